#!/usr/bin/env bash
# The framework as another project gets it from `make install`: every
# installed header compiles on its own against the installed include folder,
# a one-file host program builds with find_package(hubd) and with pkg-config
# and runs, and examples/echo, configured as a project of its own against
# the installed tree, echoes a line on loopback and stops on SIGTERM with 0.
set -euo pipefail
cd "$(dirname "$0")/.."
tree=$PWD
jobs=$(nproc)
prefix=/usr/local

work=$(mktemp -d "${TMPDIR:-/tmp}/hubd-check-install.XXXXXX")
echo_pid=""
cleanup() {
  if [ -n "$echo_pid" ]; then kill -KILL "$echo_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "check-install: $*" >&2
  exit 1
}

stage=$work/stage
make --no-print-directory install DESTDIR="$stage" PREFIX="$prefix"
root=$stage$prefix
include_dir=$root/include/hubd
package_dir=$(dirname "$(find "$root" -path '*/cmake/hubd/hubdConfig.cmake' -print -quit)")
pc_dir=$(dirname "$(find "$root" -path '*/pkgconfig/hubd.pc' -print -quit)")
[ -f "$include_dir/libpal/tframe/app.h" ] || fail "no headers under $include_dir"
[ -f "$package_dir/hubdConfig.cmake" ] || fail "no hubdConfig.cmake under $root"
[ -f "$pc_dir/hubd.pc" ] || fail "no hubd.pc under $root"

# A header that includes one left out of the install, or that leans on what
# its includer happened to include first, fails here.
echo "check-install: compiling each installed header alone"
(cd "$include_dir" && find . -name '*.h' | sed 's|^\./||' | sort) > "$work/headers"
[ -s "$work/headers" ] || fail "no headers installed"
export include_dir
xargs -P "$jobs" -I{} sh -c \
  'printf "#include \"%s\"\n" "$1" | g++ -std=c++20 -fsyntax-only -Wall -Wextra -Werror -I"$include_dir" -x c++ - \
     >/dev/null 2>&1 || echo "$1"' sh {} < "$work/headers" > "$work/bad_headers"
if [ -s "$work/bad_headers" ]; then
  while read -r header; do
    echo "--- $header" >&2
    printf '#include "%s"\n' "$header" | g++ -std=c++20 -fsyntax-only -Wall -Wextra -Werror -I"$include_dir" -x c++ - 2>&1 |
      head -5 >&2 || true
  done < "$work/bad_headers"
  fail "$(wc -l < "$work/bad_headers") installed header(s) do not compile on their own"
fi

# A small host program: a libpal function and the framework driver with -t
# (configuration check: loads the file, opens no port).
mkdir -p "$work/consumer"
cat > "$work/consumer/main.cpp" <<'EOF'
#include <cstdio>
#include <cstring>

#include "libapp/app_lib.h"
#include "libpal/string/str_safe.h"
#include "libpal/tframe/app.h"

int main(int argc, char **argv) {
    char cut[8];
    if (str_copy_trunc(cut, sizeof cut, "consumer of hubd") != 7 || std::strcmp(cut, "consume") != 0) {
        std::fprintf(stderr, "str_copy_trunc gave \"%s\"\n", cut);
        return 3;
    }
    g_app.app_name = "consumer";
    g_app.app_ver = "0.1";
    g_app.app_ver_date = "2026-1-1";
    g_app.app_desc = "hubd framework consumer";
    g_app.app_conf_file = "consumer.ini";
    g_app.opt_parse_proc = app_opt_parse;
    g_app.conf_init_proc = app_conf_file_init;
    g_app.conf_check_proc = app_conf_check;
    g_app.lib_init_proc = app_lib_init;
    g_app.lib_exit_proc = app_lib_exit;
    g_app.wsrv_start_proc = app_start_server;
    g_app.wsrv_stop_proc = app_stop_server;
    app_opt_init(argc, argv);
    int result = app_start_server();
    app_exit();
    return result;
}
EOF
cat > "$work/consumer/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.20)
project(consumer LANGUAGES CXX)
find_package(hubd 1.0 CONFIG REQUIRED)
add_executable(consumer main.cpp)
target_link_libraries(consumer PRIVATE hubd::framework)
EOF
printf '[log]\nlevel = info\nfile_dir = %s\n' "$work/consumer" > "$work/consumer/consumer.ini"

run_consumer() {
  local bin=$1 out
  out=$("$bin" -t -c "$work/consumer/consumer.ini" 2>&1) || fail "$bin -t exited $?: $out"
  case $out in
    *"configuration ok"*) ;;
    *) fail "$bin -t did not say \"configuration ok\": $out" ;;
  esac
}

echo "check-install: find_package(hubd) consumer"
cmake -S "$work/consumer" -B "$work/consumer/build" -DCMAKE_PREFIX_PATH="$root" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo > "$work/consumer/configure.log" 2>&1 ||
  { cat "$work/consumer/configure.log" >&2; fail "the find_package(hubd) consumer does not configure"; }
cmake --build "$work/consumer/build" -j "$jobs" > "$work/consumer/build.log" 2>&1 ||
  { cat "$work/consumer/build.log" >&2; fail "the find_package(hubd) consumer does not build"; }
run_consumer "$work/consumer/build/consumer"

# The staged tree keeps the prefix in hubd.pc; the sysroot puts the stage in front.
echo "check-install: pkg-config consumer"
pc_flags=$(PKG_CONFIG_PATH="$pc_dir" PKG_CONFIG_SYSROOT_DIR="$stage" pkg-config --cflags --libs --static hubd) ||
  fail "pkg-config --cflags --libs --static hubd failed"
# shellcheck disable=SC2086
g++ -std=c++20 "$work/consumer/main.cpp" -o "$work/consumer/pc_consumer" $pc_flags ||
  fail "the one-file consumer does not build with: $pc_flags"
run_consumer "$work/consumer/pc_consumer"

if [ ! -d "$tree/examples/echo" ]; then
  echo "check-install: SKIPPED the examples/echo build against the install: examples/echo does not exist"
  exit 0
fi

echo "check-install: examples/echo as a project of its own"
cmake -S "$tree/examples/echo" -B "$work/echo" -DCMAKE_PREFIX_PATH="$root" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo > "$work/echo-configure.log" 2>&1 ||
  { cat "$work/echo-configure.log" >&2; fail "examples/echo does not configure against the install"; }
cmake --build "$work/echo" -j "$jobs" > "$work/echo-build.log" 2>&1 ||
  { cat "$work/echo-build.log" >&2; fail "examples/echo does not build against the install"; }
echo_bin=$(find "$work/echo" -type f -name hubd-echo -perm -u+x -print -quit)
[ -n "$echo_bin" ] || fail "examples/echo built no hubd-echo"

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir -p "$work/echo-run/log"
# The debug shell and the web console stay off: only the echo port is opened.
cat > "$work/echo-run/hubd-echo.ini" <<EOF
[debug]
shell_server_port = 0
http_server_port = 0
[log]
level = info
file_dir = $work/echo-run/log
[echo]
port = $port
EOF
"$echo_bin" -q -c "$work/echo-run/hubd-echo.ini" > "$work/echo-run/out" 2>&1 &
echo_pid=$!

echo_output() { echo "--- hubd-echo output:" >&2; cat "$work/echo-run/out" >&2; }
connected=""
for _ in $(seq 1 300); do
  kill -0 "$echo_pid" 2>/dev/null || { echo_output; fail "hubd-echo exited before it listened on 127.0.0.1:$port"; }
  if exec 3<>"/dev/tcp/127.0.0.1/$port"; then
    connected=1
    break
  fi 2>/dev/null
  sleep 0.1
done
[ -n "$connected" ] || { echo_output; fail "hubd-echo does not listen on 127.0.0.1:$port"; }
line="hello from check-install $$"
printf '%s\n' "$line" >&3
reply=""
IFS= read -r -t 30 reply <&3 || true
exec 3>&-
reply=${reply%$'\r'}
[ "$reply" = "$line" ] || { echo_output; fail "hubd-echo answered \"$reply\" to \"$line\""; }

kill -TERM "$echo_pid"
status=0
wait "$echo_pid" || status=$?
echo_pid=""
[ "$status" -eq 0 ] || { echo_output; fail "hubd-echo exited $status on SIGTERM (0 expected)"; }
echo "check-install: ok (headers, find_package and pkg-config consumers, examples/echo)"
