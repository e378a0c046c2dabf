#!/bin/sh
# Checks the Debian packages the build needs; installs the missing ones when run as
# root, else says what to install. Usage: tools/ensure-deps.sh [test|fuzz]
set -e
need="g++ cmake make ninja-build"
[ "$1" = test ] && need="$need libgtest-dev python3-dbf python3-dbfread"
[ "$1" = fuzz ] && need="$need clang libclang-rt-dev"
[ "$1" = wine ] && need="$need wine64"
[ "$1" = windows ] && need="$need g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686 binutils-mingw-w64-x86-64"
missing=""
for p in $need; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" = 0 ]; then
    echo "Installing:$missing"
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing
else
    echo "Missing Debian packages:$missing"
    echo "Install them with: sudo apt-get install$missing"
    exit 1
fi
