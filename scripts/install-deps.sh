#!/bin/sh
# Installs, from Debian's packages, everything the build and the tests need:
# the i686 and x86_64 mingw-w64 cross compilers, CMake, make, Wine's 64-bit
# loader and its 32-bit part (installed everywhere; it runs only on a host
# that executes 32-bit programs, and the tests find out which host this is),
# Xvfb and the X tools the display tests use, GoogleTest for the unit tests,
# pefile for the image checks, clang and its libFuzzer runtime for the fuzzer,
# clang-tidy and cppcheck for the static analysis, msitools and wixl (with
# python3-olefile) for the Windows Installer packages, osslsigncode and
# openssl for signing them (with OpenSSL's pkcs11 engine for keys in a
# token, and SoftHSM and OpenSC to test that), yamllint and (with
# Node.js and npm, from Debian where the machine has none) the npm registry's
# action-validator for the GitHub Actions workflow.
# Idempotent: does nothing when every package is already there. Runs as root
# with no prompt.
set -eu

packages="make cmake googletest g++-mingw-w64-i686-posix binutils-mingw-w64-i686 \
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 \
  wine wine64 wine32:i386 xvfb x11-apps imagemagick python3-pefile \
  clang libclang-rt-14-dev clang-tidy cppcheck locales yamllint \
  msitools wixl python3-olefile osslsigncode openssl softhsm2 opensc libengine-pkcs11-openssl"
# Node.js and npm from Debian only where no npm is on the machine: a Node.js
# installed another way brings its own.
command -v npm >/dev/null 2>&1 || packages="$packages nodejs npm"
# The workflow validator, pinned; its checker is WebAssembly inside the
# package, so nothing else is fetched.
VALIDATOR="@action-validator/cli@0.6.0 @action-validator/core@0.6.0"

missing=""
for p in $packages; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed'; then
        missing="$missing $p"
    fi
done
# The double-byte test runs Wine in a Japanese locale: ANSI code page 932.
need_locale=
locale -a 2>/dev/null | grep -qix 'ja_JP.utf8' || need_locale=yes
need_validator=
command -v action-validator >/dev/null 2>&1 || need_validator=yes
[ -z "$missing" ] && [ -z "$need_locale" ] && [ -z "$need_validator" ] && exit 0

if [ "$(id -u)" != 0 ]; then
    echo "install-deps: missing:$missing ${need_locale:+ja_JP.UTF-8 locale}${need_validator:+ action-validator}; run as root" >&2
    exit 1
fi

if [ -n "$missing" ]; then
    export DEBIAN_FRONTEND=noninteractive
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
    fi
    # An index that fails to download (a mirror in the middle of a sync) is
    # asked for again; after that apt goes on with the indexes it has, and
    # the install says whether every package could be had.
    tries=0
    until apt-get update -q; do
        tries=$((tries + 1))
        [ $tries -lt 3 ] || { echo "install-deps: apt-get update failed $tries times; going on with the indexes it has" >&2; break; }
        sleep 15
    done
    installed=
    apt-get install -y -q --no-install-recommends $missing && installed=yes
    # Without the i386 part (its index half-synced, say) everything else is
    # still installed: the suite then skips the i686 image's runs and says why.
    without_i386=$(echo "$missing" | sed 's/ wine32:i386//')
    if [ -z "$installed" ] && [ "$without_i386" != "$missing" ] &&
       apt-get install -y -q --no-install-recommends $without_i386; then
        echo "install-deps: wine32:i386 could not be installed; the i686 image's runs will be skipped" >&2
        installed=yes
    fi
    if [ -z "$installed" ]; then
        echo "install-deps: apt-get could not install:$missing" >&2
        echo "next step: check the package sources (apt-get update) and run scripts/install-deps.sh again as root" >&2
        exit 1
    fi
fi
if [ -n "$need_locale" ]; then
    localedef -i ja_JP -c -f UTF-8 ja_JP.UTF-8 || true
    if ! locale -a | grep -qix 'ja_JP.utf8'; then
        echo "install-deps: localedef did not make the ja_JP.UTF-8 locale" >&2
        echo "next step: check that the locales package is installed and /usr/lib/locale is writable" >&2
        exit 1
    fi
fi
if [ -n "$need_validator" ]; then
    if ! npm install --global --no-audit --no-fund $VALIDATOR >/dev/null ||
       ! command -v action-validator >/dev/null 2>&1; then
        echo "install-deps: npm could not install $VALIDATOR" >&2
        echo "next step: check that the npm registry is reachable (npm ping) and run scripts/install-deps.sh again as root" >&2
        exit 1
    fi
fi
