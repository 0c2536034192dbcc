#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the benchmarks and a run of the program need:
# the one list, used by scripts/run.sh, scripts/test.sh (and so by CI) and README's commands.
# When dpkg-query finds every package of the list installed, nothing else is done (no apt-get update
# either), so a second run starts at once.
#   scripts/install-deps.sh          install what is missing (apt-get, through sudo when not root)
#   scripts/install-deps.sh --list   print the list, one package a line
#   scripts/install-deps.sh --check  exit 0 when everything is installed, else 1 naming what is not
set -euo pipefail
packages=(
    build-essential cmake ninja-build pkg-config file
    qtbase5-dev qtbase5-dev-tools qttranslations5-l10n
    libquazip1-qt5-dev zlib1g-dev
    libfftw3-dev
    libbenchmark-dev
    xvfb xauth imagemagick
    # A window manager in the virtual display (run.sh --xvfb, the first window's test): openbox, and
    # xprop to see that it has taken the screen.
    openbox x11-utils
    fonts-dejavu-core
    python3 python3-pyvisa python3-pyvisa-py
    # The sanitizer runs and the wire protocol fuzzers (scripts/check.sh, scripts/fuzz.sh): clang
    # with its sanitizer and fuzzer runtimes, llvm's symbolizer and coverage tools.
    clang libclang-rt-14-dev llvm
)

case "${1:-}" in
  --list) printf '%s\n' "${packages[@]}"; exit 0 ;;
  --check | "") ;;
  *) echo "install-deps: unknown option $1 (--list, --check)" >&2; exit 2 ;;
esac

# The packages of the list that are not installed: dpkg-query names the installed ones (a package
# it does not know at all it only complains about on standard error).
installed=$(dpkg-query -W -f='${Package} ${db:Status-Status}\n' "${packages[@]}" 2>/dev/null |
            awk '$2 == "installed" { print $1 }' || true)
missing=()
for package in "${packages[@]}"; do
  grep -qxF "$package" <<< "$installed" || missing+=("$package")
done

if [ ${#missing[@]} -eq 0 ]; then
  [ "${1:-}" = --check ] || echo "install-deps: all ${#packages[@]} packages are installed"
  exit 0
fi
echo "install-deps: not installed: ${missing[*]}" >&2
if [ "${1:-}" = --check ]; then exit 1; fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
