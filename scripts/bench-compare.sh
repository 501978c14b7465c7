#!/usr/bin/env bash
# `make bench-compare`: HUBD against the tools operators compare it with.
# Installs the peers (Debian's libspdlog-dev, redis-server and nginx, and wrk,
# which loads nginx and the web console) only here: the normal build and tests
# do not need them.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${BUILD_BENCH:-build-bench}

packages=(libspdlog-dev redis-server nginx wrk)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DHUBD_BENCH=ON -DHUBD_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j"$(nproc)" --target hubd log_cmp_hubd log_cmp_spdlog shell_cmp_client hubd-echo echo_cmp_client
exec /usr/bin/python3 scripts/bench_compare.py "$BUILD" "$@"
