#!/usr/bin/env bash
# The interactive run, as scripts/run starts it when DISPLAY is set, on a private Xvfb standing in
# for the user's display (no window manager, 1400x1000 as a user's was): the result window must
# come up beside the viewer, not on top of it; 制御 → 終了 ends the program with exit code 0;
# nothing of the run is left running. Also: a DISPLAY with no X server is refused with a
# message, and a run that finds the Wine prefix in use says what it waits for.
#
#   interactive_test.sh BUILD_DIR OUT_DIR     (OUT_DIR/interactive.png: the two windows)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
out=$2
mkdir -p "$out"
rm -f "$out/interactive.png" "$out/run.log"

mark="PIXELWELL_INTERACTIVE_TEST=$$-$(date +%s%N)"
export "${mark?}"
failures=0
check() {   # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then echo "ok    $what"; else echo "FAIL  $what"; failures=$((failures + 1)); fi
}
xvfb_pid= tour_pid=
cleanup() {
  local rc=$?
  if [ -n "$tour_pid" ] && kill -0 "$tour_pid" 2>/dev/null; then kill "$tour_pid"; wait "$tour_pid" 2>/dev/null || true; fi
  [ -z "$xvfb_pid" ] || kill "$xvfb_pid" 2>/dev/null || true
  if ! /usr/bin/python3 "$root/scripts/leftovers.py" "$mark"; then
    echo "FAIL  nothing of the run is left running"
    rc=1
  fi
  exit $rc
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A DISPLAY that nothing answers on (no socket for display 65000).
set +e
said=$(DISPLAY=:65000 "$root/scripts/tour" --interactive --build "$build" 2>&1)
rc=$?
set -e
check "a DISPLAY without an X server ends with exit code 2" test "$rc" = 2
check "... and says so" grep -q "no X server answers on DISPLAY=:65000" <<<"$said"

dfile=$(mktemp)
Xvfb -displayfd 8 -screen 0 1400x1000x24 -nolisten tcp 8>"$dfile" </dev/null >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 200); do [ -s "$dfile" ] && break; sleep 0.05; done
export DISPLAY=":$(cat "$dfile")"
rm -f "$dfile"

# The run starts while the prefix is in use (this script holds its lock), and must say so.
exec 9>"$build/tour-prefix.lock"
flock 9
"$root/scripts/tour" --interactive --build "$build" </dev/null >"$out/run.log" 2>&1 9>&- &
tour_pid=$!
for _ in $(seq 100); do grep -q "waiting" "$out/run.log" && break; sleep 0.1; done
check "a run that finds the Wine prefix in use says what it waits for" \
  grep -q "waiting for the viewer or tour that is using the Wine prefix" "$out/run.log"
flock -u 9
exec 9>&-

for _ in $(seq 600); do grep -q "is running on" "$out/run.log" && break; sleep 0.2; done
drv() {
  env WINEPREFIX="$build/tour-prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=ja_JP.UTF-8 \
    wine "$build/pixelwell-drive.exe" "$@" </dev/null 2>/dev/null
}
field() { sed -n "s/.* $1=\([^ ]*\).*/\1/p"; }
if ! drv wait Pixelwell 60000 >/dev/null; then
  echo "FAIL  the viewer did not appear; the run said:"; cat "$out/run.log"; exit 1
fi
drv cmd Pixelwell 1409 >/dev/null   # グレイ表示: the result window appears
for _ in $(seq 60); do
  viewer=$(drv info Pixelwell) result=$(drv info Processing)
  vx=$(field x <<<"$viewer") vy=$(field y <<<"$viewer") vw=$(field w <<<"$viewer") vh=$(field h <<<"$viewer")
  rx=$(field x <<<"$result") ry=$(field y <<<"$result") rw=$(field w <<<"$result") rh=$(field h <<<"$result")
  [ "$rx" -lt $((vx + vw)) ] || break
  sleep 0.25
done
echo "viewer: $viewer"
echo "result: $result"
check "the result window is shown" grep -q "visible=1" <<<"$result"
check "it stands to the right of the viewer, level with it, not over it" \
  test "$rx" -ge $((vx + vw)) -a "$ry" = "$vy"
sleep 1   # a few frames into the result window
x0=$((vx < rx ? vx : rx)) y0=$((vy < ry ? vy : ry))
x1=$((vx + vw > rx + rw ? vx + vw : rx + rw)) y1=$((vy + vh > ry + rh ? vy + vh : ry + rh))
import -display "$DISPLAY" -window root -crop "$((x1 - x0 + 32))x$((y1 - y0 + 32))+$((x0 > 16 ? x0 - 16 : 0))+$((y0 > 16 ? y0 - 16 : 0))" \
  +repage "$out/interactive.png"
check "screenshot $out/interactive.png" test -s "$out/interactive.png"

drv cmd Pixelwell 1201 >/dev/null || true   # 制御 → 終了
for _ in $(seq 300); do kill -0 "$tour_pid" 2>/dev/null || break; sleep 0.1; done
set +e
wait "$tour_pid"
rc=$?
set -e
tour_pid=
check "the run ends with the program's exit code 0" test "$rc" = 0
check "... and says so" grep -q "pixelwell-sim.exe exit code: 0" "$out/run.log"
[ "$failures" -eq 0 ] || { echo "$failures check(s) failed; the run said:"; cat "$out/run.log"; exit 1; }
