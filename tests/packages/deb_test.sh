#!/usr/bin/env bash
# The .debs as a Linux user meets them: lintian finds no errors; `apt-get install ./the.deb` works;
# the installed programs answer --version and filter a clip; Debian's Python imports the module
# of python3-pixelwell (when given) and filters the clip as pixelwell-filter does; `apt-get
# remove` takes them away. This changes the machine: whatever the install added (the packages
# and any dependency they pulled in) is removed again on the way out, also when a check fails or
# the run is stopped.
#
#   deb_test.sh DIST/pixelwell_<version>_amd64.deb [DIST/python3-pixelwell_<version>_amd64.deb]
set -euo pipefail
deb=$(realpath "${1:?usage: deb_test.sh PACKAGE.deb [PYTHON-PACKAGE.deb]}")
[ -f "$deb" ] || { echo "deb_test: no package at $deb" >&2; exit 1; }
debs=("$deb")
packages=(pixelwell)
python_deb=""
if [ $# -ge 2 ]; then
  python_deb=$(realpath "$2")
  [ -f "$python_deb" ] || { echo "deb_test: no package at $python_deb" >&2; exit 1; }
  debs+=("$python_deb")
  packages+=(python3-pixelwell)
fi
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

for package in "${debs[@]}"; do
  echo "-- lintian $(basename "$package")"
  if lintian --fail-on error --tag-display-limit 0 "$package"; then
    echo "ok    lintian reports no errors in $(basename "$package")"
  else
    echo "FAIL  lintian reports errors in $(basename "$package") (E: lines above)"; failures=$((failures + 1))
  fi
done

for package in "${packages[@]}"; do
  if present "$package"; then
    echo "deb_test: $package is already installed here; not touching it (apt-get remove $package first)" >&2
    exit 1
  fi
done

work=$(mktemp -d)
# What the install is going to add, as apt plans it: the package and any dependency missing here.
# Only these are removed again; packages that others install meanwhile are left alone.
apt-get -s -q install "${debs[@]}" 2>/dev/null | awk '/^Inst /{print $2}' >"$work/planned"
for package in "${packages[@]}"; do
  grep -qx "$package" "$work/planned" || { echo "deb_test: apt-get plans no install of $package from ${debs[*]}" >&2; rm -rf "$work"; exit 1; }
done
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
      echo "-- removing ${left[*]} would also remove $(echo $others); removing ${packages[*]} only"
      left=("${packages[@]}")
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

echo "-- apt-get install ${debs[*]}"
if apt_get install "${debs[@]}" >"$work/install.log" 2>&1; then
  echo "ok    apt-get install $(printf './%s ' "${debs[@]##*/}")"
else
  echo "FAIL  apt-get install ${debs[*]}:"; cat "$work/install.log"; exit 1
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

if [ -n "$python_deb" ]; then
  # As a user types it, in a folder of their own, with nothing on PYTHONPATH.
  check "Debian's Python imports pixelwell $version from /usr/lib/python3/dist-packages" \
    bash -c 'cd "$1" && env -u PYTHONPATH /usr/bin/python3 -c "import pixelwell, sys; assert pixelwell.__version__ == sys.argv[1], pixelwell.__version__; assert pixelwell.__file__.startswith(\"/usr/lib/python3/dist-packages/pixelwell/\"), pixelwell.__file__" "$2"' _ "$work" "$version"
  check "pixelwell.filter gives what pixelwell-filter gives on the clip (gray)" \
    bash -c 'cd "$1" && env -u PYTHONPATH /usr/bin/python3 -c "
import numpy as np, pixelwell
clip = pixelwell.read_raw(\"clip.raw\", 64, 48)
got = pixelwell.filter(clip, [\"gray\"])
want = np.fromfile(\"gray.raw\", np.uint8).reshape(3, 48, 64, 4)[:, ::-1, :, :3]
assert np.array_equal(got, want)
help(pixelwell.Core)
" >/dev/null' _ "$work"
fi

echo "-- apt-get remove ${packages[*]}"
if apt_get remove "${packages[@]}" >"$work/remove.log" 2>&1; then
  echo "ok    apt-get remove ${packages[*]}"
else
  echo "FAIL  apt-get remove ${packages[*]}:"; cat "$work/remove.log"; failures=$((failures + 1))
fi
check "no program of the package is left" \
  test ! -e /usr/bin/pixelwell-filter -a ! -e /usr/bin/pixelwell-clip -a ! -e /usr/bin/pixelwell-live
if [ -n "$python_deb" ]; then
  check "no file of the module is left" test ! -e /usr/lib/python3/dist-packages/pixelwell
fi

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
