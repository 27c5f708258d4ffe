#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer), replays every kept regression input and the
# seed corpus, then fuzzes each target for SECONDS.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]      (default 60 s, all targets)
#
# BUILD_FUZZ names the build directory (default build-fuzz). The growing
# corpus lives in $BUILD_FUZZ/corpus/<target>; fuzz/corpus/<target> holds the
# seeds and is only read. A crash leaves its input in
# $BUILD_FUZZ/artifacts/<target>/; once understood, copy it into
# fuzz/regressions/<target>/ so every later run replays it first.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-60}"
shift || true
build="${BUILD_FUZZ:-build-fuzz}"
all_targets=(fuzz_reply fuzz_offsets fuzz_definitions fuzz_ini fuzz_framer fuzz_journal)
if [ "$#" -gt 0 ]; then targets=("$@"); else targets=("${all_targets[@]}"); fi

# The compiler is fixed when the directory is first configured; the options
# are set every time, so a directory made by hand gets the fuzz targets too.
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKELVARA_FUZZ=ON -DKELVARA_GUI=OFF -DKELVARA_BENCH=OFF > "${TMPDIR:-/tmp}/kelvara-fuzz-configure.log" \
  || { cat "${TMPDIR:-/tmp}/kelvara-fuzz-configure.log" >&2; exit 1; }
cmake --build "$build" --target kelvara_fuzz_targets -j "$(nproc)"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:symbolize=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

failed=()
for t in "${targets[@]}"; do
  bin="$build/fuzz/$t"
  [ -x "$bin" ] || { echo "fuzz: no target $t" >&2; exit 2; }

  # Inputs that once broke a rule, then the seeds: each runs once.
  replay=()
  for dir in "fuzz/regressions/$t" "fuzz/corpus/$t"; do
    if [ -d "$dir" ]; then
      while IFS= read -r -d '' f; do replay+=("$f"); done < <(find "$dir" -type f -print0 | sort -z)
    fi
  done
  if [ "${#replay[@]}" -gt 0 ]; then
    echo "== $t: replaying ${#replay[@]} kept inputs"
    if ! "$bin" -runs=1 "${replay[@]}" > "$build/$t.replay.log" 2>&1; then
      tail -n 40 "$build/$t.replay.log" >&2
      echo "fuzz: $t fails on a kept input (log: $build/$t.replay.log)" >&2
      failed+=("$t")
      continue
    fi
  fi

  corpus="$build/corpus/$t"
  artifacts="$build/artifacts/$t/"
  mkdir -p "$corpus" "$artifacts"
  seeds=()
  [ -d "fuzz/corpus/$t" ] && seeds=("fuzz/corpus/$t")
  echo "== $t: fuzzing for ${seconds} s"
  if ! "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
       -artifact_prefix="$artifacts" -print_final_stats=1 "$corpus" "${seeds[@]}" \
       > "$build/$t.fuzz.log" 2>&1; then
    tail -n 60 "$build/$t.fuzz.log" >&2
    echo "fuzz: $t found a failing input in $artifacts (log: $build/$t.fuzz.log)" >&2
    failed+=("$t")
    continue
  fi
  grep -E '^stat::number_of_executed_units|^#[0-9]+.*DONE' "$build/$t.fuzz.log" | tail -n 2 || true
done

# fuzz_ini and fuzz_journal work in a scratch directory per process; one that
# stopped on a broken rule had no chance to remove its own.
for d in /dev/shm/kelvara-fuzz-ini-* "${TMPDIR:-/tmp}"/kelvara-fuzz-ini-* \
         /dev/shm/kelvara-fuzz-journal-* "${TMPDIR:-/tmp}"/kelvara-fuzz-journal-*; do
  [ -d "$d" ] || continue
  kill -0 "${d##*-}" 2>/dev/null || rm -rf "$d"
done

if [ "${#failed[@]}" -gt 0 ]; then
  echo "fuzz: failing targets: ${failed[*]}" >&2
  exit 1
fi
echo "fuzz: all ${#targets[@]} targets clean"
