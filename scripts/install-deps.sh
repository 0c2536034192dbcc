#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the benchmarks and a run of the program need.
# Used by README's commands and by CI, so that both see the same machine.
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends \
    build-essential cmake ninja-build pkg-config file \
    qtbase5-dev qtbase5-dev-tools qttranslations5-l10n \
    libquazip1-qt5-dev zlib1g-dev \
    libbenchmark-dev \
    xvfb xauth imagemagick \
    fonts-dejavu-core \
    python3 python3-pyvisa python3-pyvisa-py
# The sanitizer runs and the wire protocol fuzzers (scripts/check.sh, scripts/fuzz.sh): clang with
# its sanitizer and fuzzer runtimes, llvm's symbolizer and coverage tools.
$SUDO apt-get install -y -q --no-install-recommends clang libclang-rt-14-dev llvm
