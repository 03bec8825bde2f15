#!/usr/bin/env bash
# Installs what building and testing ftq needs on a fresh Debian machine.
set -euo pipefail

packages=(cmake g++ make libgtest-dev libgmock-dev nlohmann-json3-dev iproute2 tmux)
# ftq-sim's and ftq-record's command lines (header-only); ftq-record's store,
# the HTML parser and the browser of its tests.
packages+=(libcli11-dev libsqlite3-dev libxml2-dev chromium)
if [ "${1:-}" = "--board" ]; then
    packages+=(g++-arm-linux-gnueabihf qemu-user googletest)
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO=sudo
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
