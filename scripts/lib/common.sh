# Shared by the scripts: the project root and installing missing Debian packages.
# shellcheck shell=bash
# The variables are read by the scripts that source this file.
# shellcheck disable=SC2034

MIRELK_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

# The Debian packages the POSIX build and its tests need.
MIRELK_POSIX_PACKAGES=(build-essential cmake pkg-config liblzma-dev libgtest-dev googletest
  python3 xz-utils lzma-alone libx11-dev xvfb x11-apps xdotool
  clang libclang-rt-14-dev python3-pefile icoutils faketime)

# The Windows builds, 32-bit and 64-bit (mingw-w64, liblzma from Debian's
# source package), and what their tests add: Wine and signing. Where the host
# runs no 32-bit programs, scripts/with-wine32 adds qemu-i386 from Debian
# trixie by itself. 32-bit Wine is wished for, not required: see
# ensure_wished_packages.
MIRELK_WINDOWS_BUILD_PACKAGES=(g++-mingw-w64-i686 binutils-mingw-w64-i686
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 make dpkg-dev)
MIRELK_WINDOWS_PACKAGES=("${MIRELK_WINDOWS_BUILD_PACKAGES[@]}"
  wine wine64 icoutils xvfb locales osslsigncode openssl)
MIRELK_WINE32_PACKAGES=(wine32:i386)

# scripts/package: the Debian package's tools and its check, and the .zip.
MIRELK_PACKAGING_PACKAGES=(dpkg-dev lintian zip)

# Installs whichever of the named packages are missing (as root); i386
# packages get their architecture enabled first.
ensure_packages() {
  local missing=() package
  for package in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$package")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" != 0 ]; then
    echo "missing Debian packages: ${missing[*]}" >&2
    echo "install them (apt-get install ${missing[*]}) or run this script as root" >&2
    exit 1
  fi
  if printf '%s\n' "${missing[@]}" | grep -q ':i386$' &&
     ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  echo "installing: ${missing[*]}"
  # A mirror caught mid-sync fails an index now and then: try again, and go on
  # with the lists there are if it keeps failing (the install then tells
  # whether they were enough).
  local attempt
  for attempt in 1 2 3; do
    apt-get update -qq && break
    echo "apt-get update failed (attempt $attempt of 3)" >&2
    [ "$attempt" = 3 ] || sleep 20
  done
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}

# Installs what it can of the named packages and says loudly what it could
# not. For 32-bit Wine: a mirror whose i386 lists are caught mid-sync leaves it
# uninstallable for days, and the tests that need it then report themselves
# skipped (scripts/with-wine32 says why) instead of failing every other test.
ensure_wished_packages() {
  if ! (ensure_packages "$@"); then
    echo "WARNING: could not install ${*}; the tests that need them are skipped" >&2
  fi
}
