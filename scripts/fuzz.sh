#!/usr/bin/env bash
# A short run of the fuzzers (libFuzzer, ASan+UBSan) built by scripts/check.sh asan:
#   scripts/fuzz.sh [seconds per fuzzer, default 30]
# fuzz_server feeds client byte streams to vekd's connection, fuzz_client feeds service answers to
# the client libraries, fuzz_scpi feeds command lines to a remote-control client's session. Each starts from its kept inputs in tests/fuzz/corpus/<server|client>; what
# it finds goes to a scratch folder, so the checkout stays as it was (FUZZ_KEEP=1 merges the inputs
# that add coverage into the kept corpus). A crash stops the run with the input's path: copy that
# input into the fuzzer's corpus folder and it runs in tst_wire_corpus (tst_scpi_corpus) from then on.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-30}"
build="${BUILD_DIR:-$root/build-asan}"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:print_summary=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$root/scripts/sanitizers/lsan-qt.supp:print_suppressions=0"
export QT_QPA_PLATFORM=offscreen
status=0
for kind in server client scpi; do
  fuzzer="$build/bin/fuzz_$kind"
  [ -x "$fuzzer" ] || { echo "fuzz: $fuzzer is missing (scripts/check.sh asan builds it with clang)" >&2; exit 2; }
  kept="$root/tests/fuzz/corpus/$kind"
  mkdir -p "$scratch/$kind" "$scratch/$kind-crashes"
  echo "fuzz: fuzz_$kind for ${seconds}s from $(ls "$kept" | wc -l) kept inputs"
  # -close_fd_mask=2: vekd's log lines are not wanted; libFuzzer and the sanitizers still report.
  dict=()
  [ -f "$root/tests/fuzz/$kind.dict" ] && dict=(-dict="$root/tests/fuzz/$kind.dict")
  if ! "$fuzzer" "$scratch/$kind" "$kept" "${dict[@]}" -max_total_time="$seconds" -max_len=16384 -timeout=20 \
       -rss_limit_mb=4096 -print_final_stats=1 -close_fd_mask=2 -artifact_prefix="$scratch/$kind-crashes/" \
       > "$scratch/$kind.log" 2>&1; then
    status=1
    tail -n 60 "$scratch/$kind.log"
    for crash in "$scratch/$kind-crashes"/*; do
      [ -e "$crash" ] || continue
      mkdir -p "$root/build-fuzz-crashes"
      cp "$crash" "$root/build-fuzz-crashes/"
      echo "fuzz: failing input kept as build-fuzz-crashes/$(basename "$crash")"
    done
  fi
  # The last status line (inputs run, coverage) and the final statistics.
  grep -E '^#[0-9]+.*(DONE|pulse|NEW|REDUCE)' "$scratch/$kind.log" | tail -n 1 || true
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)' "$scratch/$kind.log" || true
  if [ "${FUZZ_KEEP:-0}" = 1 ] && [ "$status" = 0 ]; then
    "$fuzzer" -merge=1 "$kept" "$scratch/$kind" -close_fd_mask=2 > "$scratch/$kind-merge.log" 2>&1
    echo "fuzz: kept corpus now $(ls "$kept" | wc -l) inputs"
  fi
done
exit $status
