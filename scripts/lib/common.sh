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
# trixie by itself.
MIRELK_WINDOWS_BUILD_PACKAGES=(g++-mingw-w64-i686 binutils-mingw-w64-i686
  g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 make dpkg-dev)
MIRELK_WINDOWS_PACKAGES=("${MIRELK_WINDOWS_BUILD_PACKAGES[@]}"
  wine wine32:i386 wine64 icoutils xvfb locales osslsigncode openssl)

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
