# The second platform of the test command: Debian 13's Wine 10 in a root of its own, made with
# mmdebstrap inside the build folder and kept there. The test executables are the ones the
# machine's MinGW-w64 built; the root sees the source and build folders at the same paths and
# runs ctest on them with its own Wine, its own prefix and its own X display.
# Sourced by scripts/test.sh after scripts/lib.sh.

WINE10_ROOT="$BUILD/wine10-root"
WINE10_PREFIX="$BUILD/wineprefix10"
# What the suite needs inside: Wine and its fonts, an X display, the CJK font, ctest, and the
# Linux commands the tests start through Wine (chattr, mount, python3, ImageMagick's import).
WINE10_PACKAGES=(wine wine64 xvfb xauth fonts-wine fonts-wqy-microhei fontconfig cmake
  e2fsprogs mount python3 imagemagick)

# The Debian mirror this machine's apt already uses (deb822 or one-line sources).
debian_mirror() {
  local codename uri
  codename="$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")"
  uri="$(cat /etc/apt/sources.list.d/*.sources 2>/dev/null | awk -v suite="$codename" '
    /^URIs:/ { uris = $2 }
    /^Suites:/ { for (i = 2; i <= NF; i++) if ($i == suite && uris != "") { print uris; exit } }
    /^$/ { uris = "" }')"
  if [ -z "$uri" ]; then
    uri="$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
      sed -E 's/\[[^]]*\]//' | awk -v suite="$codename" '$1 == "deb" && $3 == suite { print $2; exit }')"
  fi
  echo "${uri:-http://deb.debian.org/debian}"
}

# Refuses (status 1) when something is mounted at or below the folder: a root is only ever
# deleted while none of its mounts (which live in private mount namespaces) is visible here.
nothing_mounted_below() {
  ! awk -v dir="$1" '$5 == dir || index($5, dir "/") == 1 { found = 1 } END { exit !found }' \
    /proc/self/mountinfo
}

remove_root_folder() {
  [ -e "$1" ] || return 0
  nothing_mounted_below "$1" || { echo "Something is mounted below $1: not removing it" >&2; return 1; }
  rm -rf --one-file-system "$1"
}

# Makes the root when it is missing or was made with another package list. It is built under a
# temporary name and renamed once complete, so a creation that was cut off is made again. Prints
# one line saying why and returns 1 when it cannot be made here.
ensure_wine10_root() {
  local stamp="$WINE10_ROOT/etc/tavrio-root-packages"
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "${WINE10_PACKAGES[*]}" ]; then
    return 0
  fi
  if [ "$(id -u)" != 0 ]; then
    echo "Wine 10 not run: making its Debian 13 root (mmdebstrap, chroot, mounts) needs root"
    return 1
  fi
  if ! command -v mmdebstrap >/dev/null; then
    if ! { DEBIAN_FRONTEND=noninteractive apt-get install -y -qq mmdebstrap >/dev/null 2>&1 ||
           { apt-get update -qq >/dev/null 2>&1 &&
             DEBIAN_FRONTEND=noninteractive apt-get install -y -qq mmdebstrap >/dev/null 2>&1; }; }; then
      echo "Wine 10 not run: mmdebstrap is missing and apt-get cannot install it (no network?)"
      return 1
    fi
  fi
  local partial="$WINE10_ROOT.partial" old="$WINE10_ROOT.old" log="$BUILD/wine10-root.log"
  local mirror start=$SECONDS
  mirror="$(debian_mirror)"
  remove_root_folder "$partial" || return 1
  echo "Making the Debian 13 root for Wine 10 in $WINE10_ROOT from $mirror (log: $log)"
  # Its own mount namespace: whatever mmdebstrap mounts inside goes with it, even when cut off.
  if ! unshare -m mmdebstrap --variant=minbase --components=main \
         --include="$(IFS=,; echo "${WINE10_PACKAGES[*]}")" \
         --dpkgopt='path-exclude=/usr/share/doc/*' --dpkgopt='path-exclude=/usr/share/man/*' \
         --dpkgopt='path-exclude=/usr/share/locale/*' \
         trixie "$partial" "$mirror" >"$log" 2>&1; then
    echo "Wine 10 not run: mmdebstrap could not make the Debian 13 root from $mirror" \
         "(no network?): $(grep -m1 -E '^E: ' "$log" || tail -n1 "$log")"
    remove_root_folder "$partial"
    return 1
  fi
  echo "${WINE10_PACKAGES[*]}" >"$partial/etc/tavrio-root-packages"
  remove_root_folder "$old" || return 1
  if [ -e "$WINE10_ROOT" ]; then mv "$WINE10_ROOT" "$old"; fi
  mv "$partial" "$WINE10_ROOT"
  remove_root_folder "$old"
  echo "Made the root in $((SECONDS - start)) s: $(du -sh --one-file-system "$WINE10_ROOT" | cut -f1)"
}

# Runs scripts/run-ctest.sh inside the root with the given ctest arguments. A private mount
# namespace holds /proc, /dev, fresh tmpfs on /dev/shm and /tmp, and the source and build
# folders at their own paths; a private network namespace keeps the root's X display apart from
# the machine's (X servers share abstract sockets across chroots).
run_in_wine10_root() {
  local enter='
set -euo pipefail
r="$1" root="$2" build="$3" prefix="$4"
shift 4
mount -t proc proc "$r/proc"
mount --rbind /sys "$r/sys"
mount --rbind /dev "$r/dev"
mount -t tmpfs -o mode=1777 tmpfs "$r/dev/shm"
mount -t tmpfs -o mode=1777 tmpfs "$r/tmp"
for folder in "$root" "$build"; do
  mkdir -p "$r$folder"
  mount --bind "$folder" "$r$folder"
done
exec chroot "$r" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin HOME=/root \
  LANG=C.UTF-8 TAVRIO_BUILD="$build" TAVRIO_WINEPREFIX="$prefix" \
  xvfb-run -a -s "-screen 0 1280x1024x24" bash "$root/scripts/run-ctest.sh" "$@"'
  unshare -m -n bash -c "$enter" enter "$WINE10_ROOT" "$ROOT" "$BUILD" "$WINE10_PREFIX" "$@"
}
