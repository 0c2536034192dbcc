#!/usr/bin/env bash
# Fresh Debian machine to a green test run: installs the packages that are missing (nothing when
# all are there; SKIP_INSTALL=1 skips even the check), builds, runs every test.
# Tests run offscreen and each one that needs the crate service starts its own simulator.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${SKIP_INSTALL:-0}" != "1" ]; then ./scripts/install-deps.sh; fi
./scripts/build.sh
cd "${BUILD_DIR:-build}"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure --parallel "$(nproc)" "$@"
