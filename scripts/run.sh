#!/usr/bin/env bash
# Fresh Debian machine to a running program: installs the packages that are missing, builds the
# program and the simulator (nothing else), starts the crate service simulator (built-in bench) when
# nothing listens at the service address, runs the program in the current working directory (where
# it keeps stendix.ini and stendix.log).
#   scripts/run.sh              on a desktop (DISPLAY or WAYLAND_DISPLAY set)
#   scripts/run.sh --xvfb       in a virtual X server of 1366x768 (XVFB_SCREEN=WxHxDEPTH for another),
#                               with openbox when it is installed; prints the display and how to take
#                               a screenshot of it
#   scripts/run.sh --offscreen  without any display
# The service is VEK_SERVICE=HOST:PORT when set, else CrateService of group Global in stendix.ini,
# else 127.0.0.1:11111; a simulator started here
# listens there (loopback addresses only) and writes what it says to vekd.log in the working
# directory. The program's journal is shown in the terminal one record a line, in the terminal's own
# encoding (the journal itself stays Windows-1251). SKIP_INSTALL=1 skips the package check and
# installation.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

# The journal's copy on standard error, one record a line in the terminal's encoding.
run_program() {
  "$root/${BUILD_DIR:-build}/bin/vek72" "$@" 2> >(python3 "$root/scripts/journal-lines.py" >&2)
}

# Inside the virtual X server (run.sh --xvfb starts itself again there).
if [ "${RUN_INSIDE_XVFB:-}" = 1 ]; then
  echo "run: the program runs on the virtual display DISPLAY=$DISPLAY (XAUTHORITY=$XAUTHORITY)"
  echo "run: a screenshot, from another terminal while it runs:"
  echo "       DISPLAY=$DISPLAY XAUTHORITY=$XAUTHORITY import -window root shot.png"
  wm_pid=""
  if command -v openbox >/dev/null 2>&1; then
    openbox >/dev/null 2>&1 &
    wm_pid=$!
  else
    echo "run: no window manager (openbox is not installed): the window has no title bar"
  fi
  status=0
  run_program "$@" || status=$?
  if [ -n "$wm_pid" ]; then kill "$wm_pid" 2>/dev/null || true; wait "$wm_pid" 2>/dev/null || true; fi
  exit "$status"
fi

mode=display
case "${1:-}" in
  --xvfb) mode=xvfb; shift ;;
  --offscreen) mode=offscreen; shift ;;
esac
# Said before anything is installed or built.
if [ "$mode" = display ] && [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "run: there is no display (DISPLAY and WAYLAND_DISPLAY are not set)." >&2
  echo "run: start it in a virtual X server with:  scripts/run.sh --xvfb" >&2
  echo "run: or without any display with:         scripts/run.sh --offscreen" >&2
  exit 2
fi
# The address the program will use: VEK_SERVICE when set (it wins there too), else "CrateService" of
# group "Global" in the working directory's stendix.ini, else 127.0.0.1:11111 (as the program, which
# also falls back to that when the file's value is no address).
ini_service() {
  [ -f stendix.ini ] || return 0
  awk -F= '/^[ \t]*\[/ { group = $0; gsub(/[ \t\r]/, "", group) }
           group == "[Global]" && $1 ~ /^[ \t]*CrateService[ \t]*$/ {
             value = substr($0, index($0, "=") + 1); gsub(/^[ \t"]+|[ \t"\r]+$/, "", value); print value; exit }' stendix.ini
}
address_ok() { [[ "$1" =~ ^[^:]+:[0-9]+$ ]]; }
if [ -n "${VEK_SERVICE:-}" ]; then
  service="$VEK_SERVICE"
  if ! address_ok "$service"; then
    echo "run: VEK_SERVICE is HOST:PORT, not '$service'" >&2
    exit 2
  fi
else
  service="$(ini_service)"
  address_ok "$service" || service=127.0.0.1:11111
fi
host="${service%:*}"
port="${service##*:}"
if [ "${SKIP_INSTALL:-0}" != "1" ]; then "$root/scripts/install-deps.sh"; fi
# Only what runs here: the program and the simulator (the tests and benchmarks: scripts/build.sh).
"$root/scripts/build.sh" vek72 vekd
bin="$root/${BUILD_DIR:-build}/bin"

listening() { (exec 3<>"/dev/tcp/$host/$port") 2>/dev/null; }
vekd_pid=""
cleanup() { if [ -n "$vekd_pid" ]; then kill "$vekd_pid" 2>/dev/null || true; wait "$vekd_pid" 2>/dev/null || true; fi; }
trap cleanup EXIT
if ! listening; then
  if [[ "$host" != 127.* && "$host" != localhost ]]; then
    echo "run: nothing answers at $service, and the simulator serves loopback addresses only" >&2
  elif [ -x "$bin/vekd" ]; then
    echo "run: starting the crate service simulator vekd on $service (built-in bench); its output: $PWD/vekd.log"
    "$bin/vekd" --listen "$service" >>vekd.log 2>&1 &
    vekd_pid=$!
    for _ in $(seq 1 100); do
      listening && break
      kill -0 "$vekd_pid" 2>/dev/null || break
      sleep 0.05
    done
    if ! listening; then
      echo "run: the simulator did not start on $service: $(tail -n 1 vekd.log 2>/dev/null)" >&2
    fi
  else
    echo "run: no crate service at $service and no simulator built" >&2
  fi
fi
# Without a login session (a root shell, a container) Qt warns that XDG_RUNTIME_DIR is not set and
# falls back to /tmp/runtime-USER: name that private folder here, so that the start says nothing.
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
  runtime="${TMPDIR:-/tmp}/runtime-$(id -un)"
  if mkdir -p -m 700 "$runtime" 2>/dev/null && [ -O "$runtime" ] && [ "$(stat -c %a "$runtime")" = 700 ]; then
    export XDG_RUNTIME_DIR="$runtime"
  fi
fi

case "$mode" in
  xvfb) RUN_INSIDE_XVFB=1 xvfb-run -a -s "-screen 0 ${XVFB_SCREEN:-1366x768x24}" "$0" "$@" ;;
  offscreen) QT_QPA_PLATFORM=offscreen run_program "$@" ;;
  *) run_program "$@" ;;
esac
