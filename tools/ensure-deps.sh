#!/bin/sh
# Checks the Debian packages the build needs; installs the missing ones when run as
# root, else says what to install. Usage: tools/ensure-deps.sh [test|fuzz|wine|windows]
# Wine runs the 32-bit build too (wine32:i386), which needs Debian's i386 architecture.
set -e
need="g++ cmake make ninja-build"
[ "$1" = test ] && need="$need libgtest-dev python3-dbf python3-dbfread pkg-config python3-pip"
[ "$1" = fuzz ] && need="$need clang libclang-rt-dev"
[ "$1" = wine ] && need="$need wine64 wine32:i386"
[ "$1" = windows ] && need="$need g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686 binutils-mingw-w64-x86-64"
missing=""
for p in $need; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
foreign=""
case "$missing" in *:i386*) dpkg --print-foreign-architectures | grep -qx i386 || foreign=i386 ;; esac
if [ "$(id -u)" = 0 ]; then
    echo "Installing:$missing"
    [ -n "$foreign" ] && dpkg --add-architecture "$foreign"
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing
else
    echo "Missing Debian packages:$missing"
    [ -n "$foreign" ] && echo "First add the $foreign architecture: sudo dpkg --add-architecture $foreign && sudo apt-get update"
    echo "Install them with: sudo apt-get install$missing"
    exit 1
fi
