#!/usr/bin/env bash
# Fresh Debian machine to a running program: installs the packages, builds, starts the crate
# service simulator (built-in bench) when nothing listens on 127.0.0.1:11111, runs the program in the
# current working directory (where it keeps stendix.ini and stendix.log).
#   scripts/run.sh              on a desktop (DISPLAY or WAYLAND_DISPLAY set)
#   scripts/run.sh --xvfb       in a virtual X server (screenshots: import -window root shot.png)
#   scripts/run.sh --offscreen  without any display
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
if [ "${SKIP_INSTALL:-0}" != "1" ]; then "$root/scripts/install-deps.sh"; fi
"$root/scripts/build.sh"
bin="$root/${BUILD_DIR:-build}/bin"

vekd_pid=""
cleanup() { if [ -n "$vekd_pid" ]; then kill "$vekd_pid" 2>/dev/null || true; wait "$vekd_pid" 2>/dev/null || true; fi; }
trap cleanup EXIT
if [ -z "${VEK_SERVICE:-}" ] && ! (exec 3<>/dev/tcp/127.0.0.1/11111) 2>/dev/null; then
  if [ -x "$bin/vekd" ]; then
    echo "run: starting the crate service simulator vekd on 127.0.0.1:11111 (built-in bench)"
    "$bin/vekd" --listen 127.0.0.1:11111 &
    vekd_pid=$!
    for _ in $(seq 1 100); do
      (exec 3<>/dev/tcp/127.0.0.1/11111) 2>/dev/null && break
      sleep 0.05
    done
  else
    echo "run: no crate service on 127.0.0.1:11111 and no simulator built" >&2
  fi
fi

case "$mode" in
  xvfb) xvfb-run -a -s "-screen 0 1600x900x24" "$bin/vek72" "$@" ;;
  offscreen) QT_QPA_PLATFORM=offscreen "$bin/vek72" "$@" ;;
  *) "$bin/vek72" "$@" ;;
esac
