#!/usr/bin/env bash
# Builds the Debian package (cpack -G DEB) from the build and runs its programs once from the
# unpacked package, without installing it: each must find its libraries as packaged. The programs
# talk to the packaged vekd on a free loopback port; vek72-play makes it play a page for vekscope.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
start=$(date +%s)
./scripts/build.sh
rm -f "$BUILD_DIR"/vek72_*.deb
(cd "$BUILD_DIR" && cpack -G DEB)
deb=$(ls "$BUILD_DIR"/vek72_*.deb)
echo "package: $deb ($(stat -c %s "$deb") bytes)"
echo "package: Depends: $(dpkg-deb -f "$deb" Depends)"

root=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  rm -rf "$root"
}
trap cleanup EXIT
fail() { echo "package: $*" >&2; exit 1; }
# Waits up to 20 s for a file to contain a text.
await() { for _ in $(seq 1 200); do grep -qa "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done; fail "no '$2' in $1"; }

dpkg-deb -x "$deb" "$root/pkg"
bin="$root/pkg/usr/bin"
for program in vek72 vekd vekctl vek72-plan vek72-play vekscope; do
  [ -x "$bin/$program" ] || fail "$program is not in the package"
  if ldd "$bin/$program" | grep -q "not found"; then ldd "$bin/$program"; fail "$program misses a library"; fi
done

"$bin/vekd" --listen 127.0.0.1:0 --parent-pid $$ > "$root/vekd.out" 2> "$root/vekd.log" &
pids+=($!)
await "$root/vekd.out" "^listening"
export VEK_SERVICE=$(sed -n 's/^listening //p' "$root/vekd.out")
"$bin/vekctl" ping
"$bin/vek72-plan" --dac-rate 48000 --signal sine:1000:2 > /dev/null
"$bin/vek72-play" --signal sine:1000:2 --signal triangle:500:1:0.5 --signal line:0:0:3 > "$root/play.out" &
play=$!
pids+=($play)
await "$root/play.out" "^playing on"
QT_QPA_PLATFORM=offscreen "$bin/vekscope" --shot "$root/shot.png" | tee "$root/shot.txt"
grep -q "triggered on ch1" "$root/shot.txt" || fail "vekscope saw no triggered output"
kill -TERM "$play"
wait "$play" || fail "vek72-play did not stop the output in order"

# The program itself, offscreen in a working directory of its own, until its journal says it started.
mkdir "$root/work"
(cd "$root/work" && exec env QT_QPA_PLATFORM=offscreen "$bin/vek72") > /dev/null 2>&1 &
pids+=($!)
await "$root/work/stendix.log" "1\.4\.27"
await "$root/work/stendix.ini" "ModuleMode=Normal"
echo "package: every program of the package ran from the unpacked package ($(( $(date +%s) - start )) s)"
