#!/usr/bin/env bash
# Builds the two DEB packages into build/packages/:
#   ftq-sim_<version>_amd64.deb  ftq-sim for the engineers' workstations
#                                (host build: cmake --preset host)
#   ftq_<version>_armhf.deb      ftq for the board's root file system
#                                (board build: cmake --preset arm)
# Both builds are the presets' own, so after ./scripts/test.sh and
# ./scripts/test-board.sh only CPack is left to run.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh --board

# dpkg-shlibdeps works out the runtime dependencies of ftq-sim.
if ! command -v dpkg-shlibdeps > /dev/null; then
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO=sudo
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq dpkg-dev
fi

out=build/packages
mkdir -p "$out"
rm -f "$out"/*.deb
for preset in host arm; do
    cmake --preset "$preset" > /dev/null
    cmake --build --preset "$preset"
    cpack --config "build/$preset/CPackConfig.cmake" -B "$out" > /dev/null
done
rm -rf "$out/_CPack_Packages"
ls -l "$out"/*.deb
