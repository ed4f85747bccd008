#!/usr/bin/env bash
# Installs, from Debian's packages, everything the builds and tests need. Safe to run again: it
# only calls apt-get when something is missing.
set -euo pipefail

# With --run only what building and running orbtray needs; otherwise everything the tests need.
packages=(
    cmake ninja-build gcc g++ git           # the Linux builds (cc also builds test helpers)
    googletest                              # GoogleTest sources, built by each preset
    libcli11-dev                            # the command lines of orbtray and orbsim
    libmicrohttpd-dev nlohmann-json3-dev    # orbtray's web page: HTTP server, JSON
    libjs-dygraphs                          # the page's plots, embedded at build time
)
if [ "${1:-}" != "--run" ]; then
    packages+=(
        clang libclang-rt-14-dev            # the fuzz preset (libFuzzer, sanitizers)
        g++-mingw-w64-x86-64-posix          # the Windows cross build
        wine wine64                         # runs the Windows tests
        socat procps                        # integration tests, Wine serial tests, benchmarks
        fuse3 fusefat dosfstools bindfs     # Data folders on FUSE FAT and on two mounts of one
                                            # folder whose locks do not reach each other
        iproute2                            # ss, with which the benchmarks find free ports
        xvfb x11-utils xdotool imagemagick  # the tray application under Wine: a display, its
                                            # windows, and the screenshots of the README
        nsis                                # makensis, for the Windows setup program
        dpkg-dev man-db                     # the .deb: dpkg-shlibdeps for its dependencies,
                                            # man to check its manual pages
        chromium chromium-driver            # the web page in a real browser, driven by
        python3-selenium                    # Selenium from the browser test
        rclone                              # a real command target for the hand-off tests
    )
fi

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "install-deps.sh: installing ${missing[*]}" >&2
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
# Another install may hold the package lock for a while; wait for it rather than fail.
$sudo apt-get -o DPkg::Lock::Timeout=900 update -qq
$sudo apt-get -o DPkg::Lock::Timeout=900 install -y -qq "${missing[@]}"
