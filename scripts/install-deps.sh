#!/usr/bin/env bash
# Installs the Debian 12 packages the project needs that are missing. Run as root (or with sudo).
# Usage: scripts/install-deps.sh [extra-package ...]
set -euo pipefail

PKGS=(
  g++ cmake ninja-build pkg-config                  # toolchain
  qt6-base-dev                                      # Qt 6 Widgets/Test, moc/uic/rcc, offscreen+xcb plugins
  libjpeg62-turbo-dev libcurl4-openssl-dev libsqlite3-dev libsodium-dev libssl-dev
  libicu-dev                                        # case folding of names (Qt brings it too)
  libcpp-httplib-dev libgtest-dev libgmock-dev      # test and reference servers, test frameworks
  fonts-dejavu-core fonts-liberation2               # Liberation Sans stands in for MS Sans Serif
  xvfb xauth xdotool imagemagick                    # real-window runs and screenshots
  x11-utils libxcb1-dev                             # xprop for window-manager hints; xcb to write them
  libboost-dev                                      # Boost.Beast: the reference service's HTTP
  openssl curl                                      # test certificates; the benchmark's peer
  at-spi2-core python3-pyatspi dbus-x11             # accessibility bus and a screen reader's client;
                                                    # dbus-x11 brings dbus-run-session's session bus
  qt6-wayland weston                                # native Wayland windows; a headless compositor
  appstream desktop-file-utils hicolor-icon-theme   # checking what the package gives desktops
  libglib2.0-dev                                    # the public headers beside glib's (TRUE and FALSE macros)
  abigail-tools                                     # the library's ABI against its baseline (abidw, abidiff)
  dpkg-dev file lintian                             # packages: dependencies found by dpkg-shlibdeps
                                                    # (CPack reads binaries' types with file); Debian's checks
  doxygen                                           # the component's reference (docs/reference)
  "$@"
)
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || missing+=("$p")
done
((${#missing[@]})) || exit 0

SUDO=()
[[ $(id -u) -eq 0 ]] || SUDO=(sudo)
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${SUDO[@]}" apt-get update -qq
"${SUDO[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
