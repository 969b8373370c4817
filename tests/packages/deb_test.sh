#!/usr/bin/env bash
# The .deb as a Linux user meets it: lintian finds no errors; `apt-get install ./the.deb` works;
# the installed programs answer --version and filter a clip; `apt-get remove` takes it away.
# This changes the machine: whatever the install added (the package and any dependency it
# pulled in) is removed again on the way out, also when a check fails or the run is stopped.
#
#   deb_test.sh DIST/pixelwell_<version>_amd64.deb
set -euo pipefail
deb=$(realpath "${1:?usage: deb_test.sh PACKAGE.deb}")
[ -f "$deb" ] || { echo "deb_test: no package at $deb" >&2; exit 1; }
version=$(dpkg-deb -f "$deb" Version)
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
apt_get() { $SUDO env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 -y -q "$@"; }
# Present: unpacked or (half-)installed, anything but absent or left as configuration files.
present() { local st; st=$(dpkg-query -W -f='${db:Status-Abbrev}' "$1" 2>/dev/null) || return 1; [[ "${st:1:1}" != [nc] ]]; }

failures=0
check() {   # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then echo "ok    $what"; else echo "FAIL  $what"; failures=$((failures + 1)); fi
}

echo "-- lintian $(basename "$deb")"
if lintian --fail-on error --tag-display-limit 0 "$deb"; then
  echo "ok    lintian reports no errors"
else
  echo "FAIL  lintian reports errors (E: lines above)"; failures=$((failures + 1))
fi

if present pixelwell; then
  echo "deb_test: pixelwell is already installed here; not touching it (apt-get remove pixelwell first)" >&2
  exit 1
fi

work=$(mktemp -d)
# What the install is going to add, as apt plans it: the package and any dependency missing here.
# Only these are removed again; packages that others install meanwhile are left alone.
apt-get -s -q install "$deb" 2>/dev/null | awk '/^Inst /{print $2}' >"$work/planned"
grep -qx pixelwell "$work/planned" || { echo "deb_test: apt-get plans no install of pixelwell from $deb" >&2; rm -rf "$work"; exit 1; }
echo "-- the install adds: $(tr '\n' ' ' <"$work/planned")"
restore() {
  local rc=$? p left=()
  while read -r p; do present "$p" && left+=("$p"); done <"$work/planned"
  if [ ${#left[@]} -gt 0 ]; then
    # Never more than that: if removing them would take another package along (one installed
    # meanwhile that needs them), only pixelwell goes.
    local others
    others=$(apt-get -s -q remove "${left[@]}" 2>/dev/null | awk '/^Remv /{print $2}' | grep -vxF -f <(printf '%s\n' "${left[@]}") || true)
    if [ -n "$others" ]; then
      echo "-- removing ${left[*]} would also remove $(echo $others); removing pixelwell only"
      left=(pixelwell)
    fi
    echo "-- restoring the machine: apt-get remove ${left[*]}"
    apt_get remove "${left[@]}" >/dev/null 2>&1 || echo "deb_test: apt-get remove ${left[*]} failed" >&2
  fi
  left=()
  while read -r p; do present "$p" && left+=("$p"); done <"$work/planned"
  if [ ${#left[@]} -gt 0 ]; then
    echo "FAIL  still installed after the test: ${left[*]}"; rc=1
  fi
  rm -rf "$work"
  exit "$rc"
}
trap restore EXIT
trap 'exit 130' INT TERM HUP

echo "-- apt-get install $deb"
if apt_get install "$deb" >"$work/install.log" 2>&1; then
  echo "ok    apt-get install ./$(basename "$deb")"
else
  echo "FAIL  apt-get install ./$(basename "$deb"):"; cat "$work/install.log"; exit 1
fi

for program in pixelwell-filter pixelwell-clip pixelwell-live; do
  check "/usr/bin/$program --version says \"$program $version\"" \
    test "$(/usr/bin/$program --version 2>&1)" = "$program $version"
done
/usr/bin/pixelwell-clip --width 64 --height 48 --frames 3 >"$work/clip.raw"
if /usr/bin/pixelwell-filter --size 64x48 --mode gray "$work/clip.raw" "$work/gray.raw" 2>"$work/filter.err"; then
  check "pixelwell-filter runs a 3-frame clip through gray: 3 frames of 64x48x4 bytes out" \
    test "$(stat -c %s "$work/gray.raw")" = $((3 * 64 * 48 * 4))
else
  echo "FAIL  pixelwell-filter on a clip: $(cat "$work/filter.err")"; failures=$((failures + 1))
fi
check "man finds the pages of the three programs" \
  bash -c 'for p in pixelwell-filter pixelwell-clip pixelwell-live; do man -w "$p" >/dev/null || exit 1; done'
check "the manuals are installed: /usr/share/doc/pixelwell/docs/live.md and its pictures" \
  test -f /usr/share/doc/pixelwell/docs/live.md -a -f /usr/share/doc/pixelwell/docs/live.png
check "pixelwell-live without a display names the installed manual" \
  bash -c 'env -u DISPLAY -u WAYLAND_DISPLAY /usr/bin/pixelwell-live --input test 2>&1 | grep -qF "see /usr/share/doc/pixelwell/docs/live.md or man pixelwell-live"'
check "the desktop entry and its icon are in place" \
  test -f /usr/share/applications/pixelwell-live.desktop -a -f /usr/share/icons/hicolor/32x32/apps/pixelwell-live.png

echo "-- apt-get remove pixelwell"
if apt_get remove pixelwell >"$work/remove.log" 2>&1; then
  echo "ok    apt-get remove pixelwell"
else
  echo "FAIL  apt-get remove pixelwell:"; cat "$work/remove.log"; failures=$((failures + 1))
fi
check "no program of the package is left" \
  test ! -e /usr/bin/pixelwell-filter -a ! -e /usr/bin/pixelwell-clip -a ! -e /usr/bin/pixelwell-live

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
