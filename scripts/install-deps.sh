#!/bin/sh
# Installs from Debian every package that building and testing need, skipping those that
# are already there. Runs apt-get as root, or through sudo.
set -eu

PACKAGES="
    g++ cmake ninja-build pkg-config make ccache
    libpcre2-dev libcrypto++-dev libssl-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    clang libclang-rt-14-dev
    python3
    dante-server locales-all
    python3-pyftpdlib python3-openssl vsftpd openssl
    rhash
    curl hyperfine lftp
    iproute2
    qt6-base-dev xvfb dbus at-spi2-core python3-pyatspi imagemagick xauth
    desktop-file-utils xdg-utils shared-mime-info libfile-mimeinfo-perl libnotify-bin
"

missing=""
for package in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $package"
    fi
done

if [ -z "$missing" ]; then
    exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
    sudo=""
else
    sudo="sudo"
fi
echo "Installing:$missing"
$sudo apt-get update -qq
# shellcheck disable=SC2086
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing
