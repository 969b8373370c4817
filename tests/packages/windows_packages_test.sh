#!/usr/bin/env bash
# The Windows packages as a teacher meets them, under Wine in a fresh prefix on a private Xvfb:
#  - the zip holds the camera program (not the simulated one), README, licence and first page;
#  - the installer, run silently (/S), puts the program, its papers, a Start-menu shortcut and an
#    "Apps & features" uninstall entry in place;
#  - the installed pixelwell.exe starts and shows its no-device box (Wine has no camera);
#  - the uninstaller, run silently while the program runs, closes it and leaves nothing of it
#    behind.
# The prefix, its wineserver and the Xvfb are stopped and removed at the end, also on failure.
#
#   windows_packages_test.sh ZIP SETUP_EXE DRIVE_EXE     (DRIVE_EXE: pixelwell-drive.exe)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
zip=$(realpath "${1:?usage: windows_packages_test.sh ZIP SETUP_EXE DRIVE_EXE}")
setup=$(realpath "${2:?usage: windows_packages_test.sh ZIP SETUP_EXE DRIVE_EXE}")
drive=$(realpath "${3:?usage: windows_packages_test.sh ZIP SETUP_EXE DRIVE_EXE}")
for f in "$zip" "$setup" "$drive"; do [ -f "$f" ] || { echo "windows_packages_test: no file $f" >&2; exit 1; }; done
version=$(basename "$zip" | sed -n 's/^pixelwell-\(.*\)-win64\.zip$/\1/p')

failures=0
check() {   # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then echo "ok    $what"; else echo "FAIL  $what"; failures=$((failures + 1)); fi
}

# --- the zip ----------------------------------------------------------------------------------
listing=$(python3 -c 'import sys, zipfile; print("\n".join(sorted(zipfile.ZipFile(sys.argv[1]).namelist())))' "$zip")
top="pixelwell-$version-win64"
check "the zip holds one folder with pixelwell.exe, README.md, LICENSE.txt and START-HERE.txt" \
  test "$listing" = "$(printf '%s\n' "$top/LICENSE.txt" "$top/README.md" "$top/START-HERE.txt" "$top/pixelwell.exe")"
work=$(mktemp -d)
xvfb_pid=
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset WINEARCH
# Code page 932 on the Windows side, so that the program's Shift-JIS texts read back as written.
wine() { env LC_ALL=ja_JP.UTF-8 wine "$@"; }
cleanup() {
  local rc=$?
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  [ -z "$xvfb_pid" ] || { kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; }
  rm -rf "$work"
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP
python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' "$zip" "$work/zip"
check "the zip's pixelwell.exe is the camera program (imports avicap32)" \
  bash -c 'x86_64-w64-mingw32-objdump -p "$1" | grep -qi "DLL Name: avicap32.dll"' _ "$work/zip/$top/pixelwell.exe"
check "START-HERE.txt has its Japanese and its English part" \
  bash -c 'grep -q "はじめに" "$1" && grep -q "how to start" "$1"' _ "$work/zip/$top/START-HERE.txt"
check "... and says, in both, how to show the Japanese texts on a Windows set to another language" \
  bash -c 'grep -q "システム ロケールの変更" "$1" && grep -q "Change system locale" "$1"' _ "$work/zip/$top/START-HERE.txt"

# --- a fresh prefix on a private X server ------------------------------------------------------
dfile="$work/display"
Xvfb -displayfd 8 -screen 0 1280x1024x24 -nolisten tcp 8>"$dfile" </dev/null >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 200); do [ -s "$dfile" ] && break; sleep 0.05; done
[ -s "$dfile" ] || { echo "FAIL  Xvfb did not start"; exit 1; }
export DISPLAY=":$(cat "$dfile")"
wineboot -i </dev/null >/dev/null 2>&1 || true
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f </dev/null >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f </dev/null >/dev/null 2>&1
c="$WINEPREFIX/drive_c"
folder="$c/Program Files/Pixelwell"
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Pixelwell'
regvalue() { wine reg query "$key" /v "$1" </dev/null 2>/dev/null | tr -d '\r' | sed -n "s/^ *$1 *REG_[A-Z_]* *//p"; }
leftovers() { find "$c" -iname '*pixelwell*' 2>/dev/null; }
check "a fresh prefix holds nothing of Pixelwell" test -z "$(leftovers)"

# --- silent install ---------------------------------------------------------------------------
if wine "$setup" /S </dev/null >"$work/setup.log" 2>&1; then
  echo "ok    $(basename "$setup") /S ends with exit code 0"
else
  echo "FAIL  $(basename "$setup") /S ended with exit code $?"; failures=$((failures + 1))
fi
for f in pixelwell.exe README.md LICENSE.txt START-HERE.txt Uninstall.exe; do
  check "installed: C:\\Program Files\\Pixelwell\\$f" test -f "$folder/$f"
done
if [ ! -f "$folder/pixelwell.exe" ]; then
  echo "FAIL  the installer put no pixelwell.exe in place; the checks that need it are skipped"; exit 1
fi
shortcut=$(find "$c" -path '*Start Menu/Programs/*' -iname 'Pixelwell.lnk' | head -1)
check "a Start-menu shortcut Pixelwell.lnk (${shortcut#"$c"/})" test -n "$shortcut"
check "... that starts pixelwell.exe" bash -c '[ -n "$1" ] && iconv -f UTF-16LE -t UTF-8 -c "$1" | cat - "$1" | grep -aqi "Pixelwell.pixelwell\.exe"' _ "$shortcut"
check "\"Apps & features\" entry: DisplayName \"Pixelwell $version\"" test "$(regvalue DisplayName)" = "Pixelwell $version"
check "... DisplayVersion $version" test "$(regvalue DisplayVersion)" = "$version"
check "... an UninstallString that names Uninstall.exe" bash -c '[[ "$1" == *'"'"'\Pixelwell\Uninstall.exe'"'"'* ]]' _ "$(regvalue UninstallString)"

# --- the installed program: no camera under Wine, so its no-device box ------------------------
wine "C:\\Program Files\\Pixelwell\\pixelwell.exe" </dev/null >/dev/null 2>&1 &
app=$!
boxes=$(wine "$drive" waitbox 30000 + boxes ok </dev/null 2>&1 | tr -d '\r') || true
for _ in $(seq 150); do kill -0 "$app" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$app" 2>/dev/null; then
  kill "$app"; wait "$app" 2>/dev/null || true; app_rc="still running after 15 s"
else
  wait "$app" && app_rc=0 || app_rc=$?
fi
echo "box: $boxes"
check "the installed pixelwell.exe shows \"ビデオデバイスが見つかりません。\" in its box \"処理中断の案内\"" \
  bash -c 'grep -q "caption=\"処理中断の案内\"" <<<"$1" && grep -q "text=\"ビデオデバイスが見つかりません。\"" <<<"$1"' _ "$boxes"
check "... and, the box closed, ends with exit code 0 (was: $app_rc)" test "$app_rc" = 0

# --- silent uninstall, with the program running (its no-device box open) ----------------------
wine "C:\\Program Files\\Pixelwell\\pixelwell.exe" </dev/null >/dev/null 2>&1 &
app=$!
wine "$drive" waitbox 30000 </dev/null >/dev/null 2>&1 || true
check "pixelwell.exe runs again, its box open, before the uninstall" kill -0 "$app"
# Without _?= the uninstaller copies itself to the temporary folder, starts the copy and returns
# at once; with it, it runs in place until done (and cannot delete its own file, which the copy
# would have deleted). _?= must come last and unquoted, which wine's own argument quoting does
# not allow for a path with a space: the command line goes through a batch file, as typed.
printf '%s\r\n' '@"C:\Program Files\Pixelwell\Uninstall.exe" /S _?=C:\Program Files\Pixelwell' >"$c/uninstall.bat"
if wine cmd /c 'C:\uninstall.bat' </dev/null >"$work/uninstall.log" 2>&1; then
  echo "ok    Uninstall.exe /S ends with exit code 0"
else
  echo "FAIL  Uninstall.exe /S ended with exit code $?"; failures=$((failures + 1))
fi
for _ in $(seq 100); do kill -0 "$app" 2>/dev/null || break; sleep 0.1; done
if kill -0 "$app" 2>/dev/null; then
  check "the uninstaller closed the running pixelwell.exe" false
  kill "$app"; wait "$app" 2>/dev/null || true
else
  check "the uninstaller closed the running pixelwell.exe" true
fi
check "only Uninstall.exe itself is left in its folder" \
  test "$(find "$folder" -mindepth 1 2>/dev/null | sed "s|$folder/||")" = Uninstall.exe
rm -f "$folder/Uninstall.exe"
rmdir "$folder" 2>/dev/null || true
rm -f "$c/uninstall.bat"
left=$(leftovers | sed "s|$c/||" | tr '\n' ' ')
check "nothing of Pixelwell is left in the prefix${left:+ (left: $left)}" test -z "$left"
check "the uninstall entry is gone" bash -c '! wine reg query "$1" </dev/null >/dev/null 2>&1' _ "$key"

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
