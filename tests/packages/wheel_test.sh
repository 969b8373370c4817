#!/usr/bin/env bash
# The wheel as a pip user meets it: installed with pip, offline, into a fresh venv of Debian's
# Python made with --system-site-packages (for Debian's numpy), the module imports from the
# venv, its help reads, and it filters a clip as pixelwell-filter does.
#
#   wheel_test.sh DIST/pixelwell-<version>-cp311-cp311-linux_x86_64.whl PIXELWELL_FILTER
set -euo pipefail
wheel=$(realpath "${1:?usage: wheel_test.sh WHEEL PIXELWELL_FILTER}")
filter=$(realpath "${2:?usage: wheel_test.sh WHEEL PIXELWELL_FILTER}")
[ -f "$wheel" ] || { echo "wheel_test: no wheel at $wheel" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
check() {   # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then echo "ok    $what"; else echo "FAIL  $what"; failures=$((failures + 1)); fi
}

/usr/bin/python3 -m venv --system-site-packages "$work/venv"
if "$work/venv/bin/pip" install --no-index --quiet "$wheel" >"$work/pip.log" 2>&1; then
  echo "ok    pip install --no-index $(basename "$wheel") into a fresh venv"
else
  echo "FAIL  pip install --no-index $(basename "$wheel"):"; cat "$work/pip.log"; exit 1
fi
cd "$work"
check "the venv's Python imports pixelwell from the venv" \
  env -u PYTHONPATH "$work/venv/bin/python" -c "import pixelwell, sys; assert pixelwell.__file__.startswith(sys.prefix), pixelwell.__file__"
check "help(pixelwell.Core) reads, and the stubs are there" \
  bash -c 'env -u PYTHONPATH "$1/venv/bin/python" -c "import pixelwell, os; help(pixelwell.Core); assert os.path.exists(os.path.join(os.path.dirname(pixelwell.__file__), \"_pixelwell.pyi\"))" | grep -q "Runs one frame"' _ "$work"
env -u PYTHONPATH "$work/venv/bin/python" -c "import pixelwell; pixelwell.test_clip(64, 48, 6).tofile('clip.raw')"
"$filter" --size 64x48 --top-down --mode average4 --mode sobel-x@3 clip.raw want.bgrx
check "pixelwell.filter over a clip equals pixelwell-filter --top-down" \
  env -u PYTHONPATH "$work/venv/bin/python" -c "
import numpy as np, pixelwell
clip = pixelwell.read_raw('clip.raw', 64, 48, top_down=True)
want = np.fromfile('want.bgrx', np.uint8).reshape(6, 48, 64, 4)[..., :3]
assert np.array_equal(pixelwell.filter(clip, ['average4', 'sobel-x@3']), want)"
[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
