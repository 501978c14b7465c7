#!/usr/bin/env bash
# Installs everything the build and the tests need on Debian 12. Safe to run again.
set -euo pipefail

packages=(
  build-essential cmake g++ clang libclang-rt-14-dev   # compilers; clang for the fuzz targets
  googletest libgtest-dev libbenchmark-dev            # unit tests and benchmarks
  libdw-dev libcap-dev libsystemd-dev                 # stack symbols, capabilities, sd_notify
  curl socat tmux procps iproute2                     # the integration tests talk to the binary with these
  tshark                                              # reads the pcap log file and the live log in the tests (with capinfos and Lua)
  rsyslog tinyproxy dante-server microsocks           # syslog receiver and proxies the network sink and proxy tests run against
  chromium chromium-driver python3-selenium           # the web console's page tested in a headless browser
  wrk                                                 # load test and benchmark of the web console
  python3-prometheus-client                           # parses the web console's Prometheus view in a test
  gdb systemd                                         # crash tests open the dumps with gdb; systemd-analyze checks the unit
  libedit-dev                                         # line editing, history and completion at the console (BSD licence)
  debhelper dpkg-dev fakeroot lintian                 # make deb builds the Debian package and checks it
  pkgconf                                             # the installed framework's hubd.pc is checked with pkg-config
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
# Capturing as root only; no setuid dumpcap question.
echo "wireshark-common wireshark-common/install-setuid boolean false" | $SUDO debconf-set-selections
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
