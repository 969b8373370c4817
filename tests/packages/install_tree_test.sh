#!/usr/bin/env bash
# `cmake --install` of a Linux build into a temporary prefix: exactly the expected tree, the
# programs run from it, the man pages read as pages, the desktop entry names the icon, and
# Debian's Python imports the installed module.
#
#   install_tree_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:?usage: install_tree_test.sh BUILD_DIR}" && pwd)
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
failures=0
check() {   # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then echo "ok    $what"; else echo "FAIL  $what"; failures=$((failures + 1)); fi
}

if ! cmake --install "$build" --prefix "$prefix" >"$prefix.log" 2>&1; then
  echo "FAIL  cmake --install $build --prefix $prefix:"; cat "$prefix.log"; rm -f "$prefix.log"; exit 1
fi
rm -f "$prefix.log"

expected=(
  bin/pixelwell-clip
  bin/pixelwell-filter
  share/doc/pixelwell/CHANGELOG.md
  share/doc/pixelwell/LICENSE
  share/doc/pixelwell/README.md
  share/man/man1/pixelwell-clip.1.gz
  share/man/man1/pixelwell-filter.1.gz
)
# The manuals and their pictures, as the source tree holds them.
source_dir=$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$build/CMakeCache.txt")
for doc in "$source_dir"/docs/*.md "$source_dir"/docs/*.png; do
  expected+=("share/doc/pixelwell/docs/$(basename "$doc")")
done
if [ -f "$build/live/pixelwell-live" ]; then
  expected+=(
    bin/pixelwell-live
    share/applications/pixelwell-live.desktop
    share/icons/hicolor/32x32/apps/pixelwell-live.png
    share/man/man1/pixelwell-live.1.gz
  )
fi
# The Python module, where the build has it: where Debian's Python looks under a prefix other
# than /usr (lib/python3.X/dist-packages; /usr/lib/python3/dist-packages under /usr).
python_dir=""
if [ -d "$build/python/pixelwell" ]; then
  python_dir=lib/python$(/usr/bin/python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')/dist-packages
  suffix=$(/usr/bin/python3 -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
  for file in __init__.py _check.py batch.py _pixelwell.pyi py.typed "_pixelwell$suffix"; do
    expected+=("$python_dir/pixelwell/$file")
  done
  expected+=(share/doc/python3-pixelwell/LICENSE)
fi
actual=$(cd "$prefix" && find . -type f -o -type l | sed 's|^\./||' | LC_ALL=C sort)
want=$(printf '%s\n' "${expected[@]}" | LC_ALL=C sort)
if [ "$actual" = "$want" ]; then
  echo "ok    the installed tree is the expected one (${#expected[@]} files)"
else
  echo "FAIL  the installed tree differs from the expected one (< expected, > installed):"
  diff <(echo "$want") <(echo "$actual") | grep '^[<>]' || true
  failures=$((failures + 1))
fi

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
for program in "$prefix"/bin/*; do
  name=$(basename "$program")
  check "installed $name --version says \"$name $version\"" test "$("$program" --version)" = "$name $version"
  check "$name is executable by everyone" test "$(stat -c %a "$program")" = 755
done

for page in "$prefix"/share/man/man1/*.1.gz; do
  name=$(basename "$page" .1.gz)
  text=$(MANWIDTH=80 man -l "$page" 2>&1)
  check "man page of $name: NAME line" grep -Eq "^ +$name +- " <<<"$text"
  check "man page of $name: SYNOPSIS, DESCRIPTION and the --version option" \
    bash -c 'grep -q "^SYNOPSIS" <<<"$1" && grep -q "^DESCRIPTION" <<<"$1" && grep -q -- "--version" <<<"$1"' _ "$text"
  check "man page of $name: no troff warnings" \
    test -z "$(zcat "$page" | LC_ALL=C.UTF-8 groff -man -Tutf8 -ww -z 2>&1)"
done

if [ -x "$prefix/bin/pixelwell-live" ]; then
  # Without a display it points to its manual, where the manual is installed.
  said=$(env -u DISPLAY -u WAYLAND_DISPLAY "$prefix/bin/pixelwell-live" --input test 2>&1 || true)
  check "pixelwell-live names the installed manual" \
    grep -qF "see $prefix/share/doc/pixelwell/docs/live.md or man pixelwell-live" <<<"$said"
fi

if [ -n "$python_dir" ]; then
  check "Debian's Python imports the installed pixelwell $version and filters a frame" \
    bash -c 'cd /tmp && PYTHONPATH="$1" /usr/bin/python3 -c "
import pixelwell, sys
assert pixelwell.__file__.startswith(sys.argv[1]) and pixelwell.__version__ == sys.argv[2]
core = pixelwell.Core(8, 6); core.select(\"sobel-x\"); core.process(pixelwell.test_clip(8, 6, 1)[0])" "$1" "$2"' \
    _ "$prefix/$python_dir" "$version"
fi

desktop="$prefix/share/applications/pixelwell-live.desktop"
if [ -f "$desktop" ]; then
  check "the desktop entry starts pixelwell-live with the installed icon's name" \
    bash -c 'grep -qx "Exec=pixelwell-live" "$1" && grep -qx "Icon=pixelwell-live" "$1"' _ "$desktop"
  check "the icon is a 32x32 PNG" \
    bash -c 'file "$1" | grep -q "PNG image data, 32 x 32"' _ "$prefix/share/icons/hicolor/32x32/apps/pixelwell-live.png"
fi

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
