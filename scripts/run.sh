#!/usr/bin/env bash
# Fresh Debian machine to a running program: installs the packages that are missing, builds, starts
# the crate service simulator (built-in bench) when nothing listens at the service address, runs the
# program in the current working directory (where it keeps stendix.ini and stendix.log).
#   scripts/run.sh              on a desktop (DISPLAY or WAYLAND_DISPLAY set)
#   scripts/run.sh --xvfb       in a virtual X server of 1366x768 (XVFB_SCREEN=WxHxDEPTH for another;
#                               screenshots: import -window root shot.png)
#   scripts/run.sh --offscreen  without any display
# The service is VEK_SERVICE=HOST:PORT when set, else 127.0.0.1:11111; a simulator started here
# listens there (loopback addresses only). SKIP_INSTALL=1 skips the package check and installation.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
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
service="${VEK_SERVICE:-127.0.0.1:11111}"
host="${service%:*}"
port="${service##*:}"
if [ "$host" = "$service" ] || ! [[ "$port" =~ ^[0-9]+$ ]]; then
  echo "run: VEK_SERVICE is HOST:PORT, not '$service'" >&2
  exit 2
fi
if [ "${SKIP_INSTALL:-0}" != "1" ]; then "$root/scripts/install-deps.sh"; fi
"$root/scripts/build.sh"
bin="$root/${BUILD_DIR:-build}/bin"

listening() { (exec 3<>"/dev/tcp/$host/$port") 2>/dev/null; }
vekd_pid=""
cleanup() { if [ -n "$vekd_pid" ]; then kill "$vekd_pid" 2>/dev/null || true; wait "$vekd_pid" 2>/dev/null || true; fi; }
trap cleanup EXIT
if ! listening; then
  if [[ "$host" != 127.* && "$host" != localhost ]]; then
    echo "run: nothing answers at $service, and the simulator serves loopback addresses only" >&2
  elif [ -x "$bin/vekd" ]; then
    echo "run: starting the crate service simulator vekd on $service (built-in bench)"
    "$bin/vekd" --listen "$service" &
    vekd_pid=$!
    for _ in $(seq 1 100); do
      listening && break
      sleep 0.05
    done
  else
    echo "run: no crate service at $service and no simulator built" >&2
  fi
fi
export VEK_SERVICE="$service"
# Without a login session (a root shell, a container) Qt warns that XDG_RUNTIME_DIR is not set and
# falls back to /tmp/runtime-USER: name that private folder here, so that the start says nothing.
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
  runtime="${TMPDIR:-/tmp}/runtime-$(id -un)"
  if mkdir -p -m 700 "$runtime" 2>/dev/null && [ -O "$runtime" ] && [ "$(stat -c %a "$runtime")" = 700 ]; then
    export XDG_RUNTIME_DIR="$runtime"
  fi
fi

case "$mode" in
  xvfb) xvfb-run -a -s "-screen 0 ${XVFB_SCREEN:-1366x768x24}" "$bin/vek72" "$@" ;;
  offscreen) QT_QPA_PLATFORM=offscreen "$bin/vek72" "$@" ;;
  *) "$bin/vek72" "$@" ;;
esac
