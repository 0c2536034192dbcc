#!/usr/bin/env bash
# Builds everything with a sanitizer into a folder of its own and runs the whole test suite there.
#   scripts/check.sh asan [clang|gcc] [ctest arguments...]  AddressSanitizer + UndefinedBehaviorSanitizer
#   scripts/check.sh tsan [clang|gcc] [ctest arguments...]  ThreadSanitizer
# The folder is build-asan or build-tsan (build-asan-gcc, build-tsan-gcc with gcc; clang is the
# default). Every sanitizer report ends the process that made it with an error, so the test fails.
# BUILD_TARGETS="tst_a tst_b ..." builds only those targets (and what they need), for a run of just
# those tests (with -R).
# Leaks and races inside Qt's own libraries are suppressed by the files in scripts/sanitizers/, each
# entry with the reason; nothing of this project is. With clang the build also holds the wire
# protocol fuzzers (scripts/fuzz.sh runs them).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
usage() { echo "usage: scripts/check.sh asan|tsan [clang|gcc] [ctest arguments...]" >&2; exit 2; }
kind="${1:-}"
[ "$kind" = asan ] || [ "$kind" = tsan ] || usage
shift
compiler=clang
case "${1:-}" in clang|gcc) compiler="$1"; shift ;; esac

if [ "${SKIP_INSTALL:-0}" != "1" ]; then "$root/scripts/install-deps.sh"; fi

case "$compiler" in
  clang) cc=clang; cxx=clang++; suffix="" ;;
  gcc) cc=gcc; cxx=g++; suffix="-gcc" ;;
esac
build="${BUILD_DIR:-$root/build-$kind$suffix}"
supp="$root/scripts/sanitizers"
case "$kind" in
  asan) flags="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer" ;;
  tsan) flags="-fsanitize=thread -fno-omit-frame-pointer" ;;
esac
fuzz=OFF
if [ "$compiler" = clang ] && [ "$kind" = asan ]; then fuzz=ON; fi

generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi
if [ ! -f "$build/CMakeCache.txt" ]; then
  CC=$cc CXX=$cxx cmake -S "$root" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS="$flags" -DCMAKE_SHARED_LINKER_FLAGS="$flags" \
    -DSTENDIX_BUILD_BENCH=OFF -DSTENDIX_FUZZ=$fuzz
fi
if [ -n "${BUILD_TARGETS:-}" ]; then
  # shellcheck disable=SC2086
  cmake --build "$build" --parallel "$(nproc)" --target $BUILD_TARGETS
else
  cmake --build "$build" --parallel "$(nproc)"
fi

# Sanitizer options for every process of the suite (tests, vekd, vekctl, the program itself).
common="abort_on_error=0:print_summary=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:$common"
export ASAN_OPTIONS="detect_leaks=1:detect_stack_use_after_return=1:strict_init_order=1:check_initialization_order=1:$common"
export LSAN_OPTIONS="suppressions=$supp/lsan-qt.supp:print_suppressions=0"
export TSAN_OPTIONS="suppressions=$supp/tsan-qt.supp:halt_on_error=${TSAN_HALT:-1}:second_deadlock_stack=1:ignore_noninstrumented_modules=1:print_suppressions=0:$common"
if [ "$kind" = tsan ]; then
  # How Qt hands data between threads, told to TSan (see the source); built without instrumentation.
  annotations="$build/libqt-tsan-annotations.so"
  if [ ! "$annotations" -nt "$supp/qt-tsan-annotations.cpp" ]; then
    # shellcheck disable=SC2046
    $cxx -shared -fPIC -O1 -std=c++17 "$supp/qt-tsan-annotations.cpp" $(pkg-config --cflags --libs Qt5Core) -ldl \
      -o "$annotations"
  fi
  export LD_PRELOAD="$annotations${LD_PRELOAD:+:$LD_PRELOAD}"
fi
cd "$build"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure --parallel "$(nproc)" "$@"
