# Shared set-up of the README commands: packages, build, the project's own Wine prefix.
# Sourced by scripts/test.sh and scripts/demo.sh.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${TAVRIO_BUILD:-$ROOT/build}"   # another folder keeps parallel builds apart
# The project's own Wine prefix; the Wine 10 run (scripts/wine10.sh) gives its own.
export WINEPREFIX="${TAVRIO_WINEPREFIX:-$BUILD/wineprefix}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

# Installs with apt-get whatever is missing (as root on Debian 12).
ensure_packages() {
  local missing=()
  command -v cmake >/dev/null || missing+=(cmake)
  command -v x86_64-w64-mingw32-g++-posix >/dev/null ||
    missing+=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64)
  command -v wine >/dev/null || missing+=(wine wine64)
  [ -x /usr/lib/wine/wine64 ] || missing+=(wine64)
  command -v xvfb-run >/dev/null || missing+=(xvfb xauth)
  [ -f /usr/src/googletest/CMakeLists.txt ] || missing+=(googletest)
  command -v import >/dev/null || missing+=(imagemagick)
  [ -f /usr/share/fonts/truetype/wqy/wqy-microhei.ttc ] || missing+=(fonts-wqy-microhei fontconfig)
  # Wine's own fonts, Marlett among them: window frames draw their caption buttons with it.
  # --no-install-recommends leaves this package out.
  [ -f /usr/share/wine/fonts/marlett.ttf ] || missing+=(fonts-wine)
  command -v chattr >/dev/null || missing+=(e2fsprogs)
  command -v bc >/dev/null || missing+=(bc)
  command -v python3 >/dev/null || missing+=(python3)   # packs the release zip
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    if [ "$(id -u)" != 0 ]; then
      echo "Missing packages and not root: install ${missing[*]} with apt-get" >&2
      exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
}

build_all() {
  cmake --preset cross -B "$BUILD" >/dev/null
  cmake --build "$BUILD" -j "$(nproc)"
}

# The project's own prefix inside the build folder: created once, with a CJK font standing in
# for "Microsoft YaHei" and a drive letter on another Linux file system (tmpfs) for
# cross-volume tests.
prepare_prefix() {
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "Creating the Wine prefix in $WINEPREFIX"
    wineboot -i >/dev/null 2>&1 || true
    wineserver -w
  fi
  if ! grep -q '"Microsoft YaHei"="WenQuanYi Micro Hei"' "$WINEPREFIX/system.reg" 2>/dev/null; then
    local key='HKLM\Software\Microsoft\Windows NT\CurrentVersion'
    wine reg add "$key\\FontSubstitutes" /v "Microsoft YaHei" /d "WenQuanYi Micro Hei" /f >/dev/null 2>&1
    wine reg add "$key\\FontLink\\SystemLink" /v "Tahoma" /t REG_MULTI_SZ \
      /d "wqy-microhei.ttc,WenQuanYi Micro Hei" /f >/dev/null 2>&1
    wine reg add "$key\\FontLink\\SystemLink" /v "MS Shell Dlg" /t REG_MULTI_SZ \
      /d "wqy-microhei.ttc,WenQuanYi Micro Hei" /f >/dev/null 2>&1
    wineserver -w
  fi
  # Window frames draw their caption buttons with Marlett, which the prefix does not copy in.
  if [ ! -f "$WINEPREFIX/drive_c/windows/Fonts/marlett.ttf" ]; then
    cp /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
  fi
  local other="/dev/shm/tavrio-other-volume-$(echo "$BUILD" | md5sum | cut -c1-8)"
  mkdir -p "$other"
  ln -sfn "$other" "$WINEPREFIX/dosdevices/t:"
}
