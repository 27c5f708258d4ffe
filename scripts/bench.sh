#!/usr/bin/env bash
# `make bench`: a Release build in build-bench/, then every benchmark program
# of bench/, gathered into one Markdown table on stdout. Each program prints
# its results as ROW lines (see bench/BenchReport.h); its progress and details
# go to build-bench/bench-results/<name>.log.
#
#   BENCH_QUICK=1          short runs (about 3 minutes on a built tree)
#   BENCH_CLOCK_SECONDS=N  length of the clock-drift run (default 600, quick 30)
#   BENCH_IDLE_SECONDS=N   length of the idle-cost run (default 120, quick 60);
#                          keep it a multiple of 60 so the logger's one scan per
#                          minute is counted at its real rate
#   BENCH_SCANS=N          scans per side for the scan rows (default 60, at least 50)
#   BENCH_CHART_SECONDS=N  length of the window-with-chart CPU run (default 300,
#                          quick 60)
#   BENCH_SCRAPE_SECONDS=N length of the 100-scrapes-a-second run (default 60,
#                          quick 20)
set -euo pipefail
cd "$(dirname "$0")/.."

build="${BENCH_BUILD:-build-bench}"
quick="${BENCH_QUICK:-0}"
[ "$quick" = "0" ] && quick=""
if [ -n "$quick" ]; then
  clock="${BENCH_CLOCK_SECONDS:-30}"
  idle="${BENCH_IDLE_SECONDS:-60}"
  chart="${BENCH_CHART_SECONDS:-60}"
  scrape="${BENCH_SCRAPE_SECONDS:-20}"
  export BENCH_SCANS="${BENCH_SCANS:-50}"
  export BENCH_QUICK=1
else
  clock="${BENCH_CLOCK_SECONDS:-600}"
  idle="${BENCH_IDLE_SECONDS:-120}"
  chart="${BENCH_CHART_SECONDS:-300}"
  scrape="${BENCH_SCRAPE_SECONDS:-60}"
  export BENCH_SCANS="${BENCH_SCANS:-60}"
  unset BENCH_QUICK
fi
# The window benchmarks run without a display.
export QT_QPA_PLATFORM=offscreen

started=$(date +%s)
# CMAKE_ARGS comes from the Makefile (or the caller) and may hold several
# words, so it is split on purpose.
# shellcheck disable=SC2086
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKELVARA_BENCH=ON ${CMAKE_ARGS:-} >/dev/null
gui=""
grep -q '^KELVARA_GUI:BOOL=ON' "$build/CMakeCache.txt" && gui=1
targets=(kelvara-log kelvara-sim serial_bench scan_bench sim_bench proc_bench session_bench alarm_bench metrics_bench)
[ -n "$gui" ] && targets+=(kelvara window_bench)
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}"

bin="$build/bin"
out="$build/bench-results"
rm -rf "$out"
mkdir -p "$out"
note() { echo "bench: $*" >&2; }

# run NAME COMMAND...: rows to $out/NAME.rows, the rest to $out/NAME.log; a
# program that fails leaves a row that says so.
run() {
  local name="$1"
  shift
  if ! "$@" >"$out/$name.rows" 2>"$out/$name.log"; then
    printf 'ROW\tzz-%s\t%s failed\tsee %s\t\t\t\n' "$name" "$name" "$out/$name.log" >>"$out/$name.rows"
  fi
}

note "serial channel (Google Benchmark)"
if "$bin/serial_bench" --benchmark_format=json >"$out/serial.json" 2>"$out/serial.log"; then
  python3 - "$out/serial.json" >"$out/serial.rows" <<'EOF'
import json, sys
runs = {b["name"].split("/")[0]: b for b in json.load(open(sys.argv[1]))["benchmarks"]}
def row(key, what, kelvara, reference, ratio, note):
    print("\t".join(["ROW", key, what, kelvara, reference, ratio, note]))
b = runs.get("BM_RecvBufferExNineQueued")
if b:
    row("0a", "Serial: 9 queued reply bytes handed out (5 + 4)", "%.1f us" % b["real_time"], "-", "n/a",
        "two RecvBufferEx calls on a pty whose input queue already holds the reply")
b = runs.get("BM_RoundTripEchoPeer")
if b:
    row("0b", "Serial: 8-byte request and echo over a pty", "%.1f us" % b["real_time"], "-", "n/a",
        "the peer is a thread echoing on the pty's other side")
b = runs.get("BM_SilentWait25ms")
if b:
    row("0c", "Serial: a 25 ms receive wait on a silent line (mean)", "%.2f ms" % b["mean_ms"], "25 ms",
        "%.2f" % (b["mean_ms"] / 25), "worst %.2f ms over %d waits" % (b["worst_ms"], b["iterations"]))
EOF
else
  printf 'ROW\tzz-serial\tserial_bench failed\tsee %s\t\t\t\n' "$out/serial.log" >"$out/serial.rows"
fi

note "one scan against the simulated bus, Kelvara and libmodbus ($BENCH_SCANS scans each, three conditions)"
run scan "$bin/scan_bench"

note "one scan on the in-process simulated bus against the pty simulator ($BENCH_SCANS scans each)"
run sim "$bin/sim_bench"

note "keeping a run safe: reconnecting after unplugs, the journal's cost per line"
run reconnect "$bin/session_bench" reconnect "$bin/kelvara-log" "$bin/kelvara-sim"
run journal "$bin/session_bench" journal

note "alarms: a session's scan with and without rules"
run alarmscan "$bin/alarm_bench" scan

note "metrics: a scan's time with the endpoint scraped, and ${scrape} s of 100 scrapes a second"
run metricsscan "$bin/metrics_bench" scan
run metricsload "$bin/metrics_bench" load "$scrape" "$bin/kelvara-log"

if [ -n "$gui" ]; then
  note "window: responsiveness during scans"
  run responsiveness "$bin/window_bench" responsiveness
  note "window: log pane up to 1 000 000 lines"
  run logpane "$bin/window_bench" logpane
  note "window: start-up"
  run startup "$bin/window_bench" startup
  note "chart: a week in the trend store, drawn"
  run chart "$bin/window_bench" chart
fi

# The Win32 window under Wine, for information beside the Qt window's rows;
# it needs the Windows build (make windows).
win="${BENCH_WINDOWS_BUILD:-build-windows}"
if [ -f "$win/build.ninja" ] && command -v xvfb-run >/dev/null 2>&1; then
  note "Win32 window under Wine: start-up"
  cmake --build "$win" -j "$(nproc)" --target win32_startup_bench >/dev/null
  run win32startup ./scripts/bench-win32.sh "$win/bin" "$([ -n "$quick" ] && echo 3 || echo 9)"
else
  note "no Windows build in $win (make windows): the Win32 window's rows are left out"
fi

# The long, quiet measurements side by side: the clocks of the logger and the
# window, and the idle cost of both front ends. None of them loads the machine.
note "clocks for ${clock} s and idle cost for ${idle} s, side by side"
run clock "$bin/proc_bench" clock "$clock" "$bin/kelvara-log" &
pids=($!)
run metricsidle "$bin/metrics_bench" idle "$idle" "$bin/kelvara-log" &
pids+=($!)
if [ -n "$gui" ]; then
  run tick "$bin/window_bench" tick "$clock" &
  pids+=($!)
  note "chart: the window's CPU with the chart open for ${chart} s"
  run chartcpu "$bin/window_bench" chartcpu "$chart" &
  pids+=($!)
  run idle "$bin/proc_bench" idle "$idle" "$bin/kelvara-log" "$bin/kelvara" "$bin/window_bench" &
else
  run idle "$bin/proc_bench" idle "$idle" "$bin/kelvara-log" - - &
fi
pids+=($!)
run alarmidle "$bin/alarm_bench" idle "$idle" "$bin/kelvara-log" &
pids+=($!)
for pid in "${pids[@]}"; do wait "$pid"; done

echo
echo "| what | Kelvara | reference | ratio | note |"
echo "| --- | --- | --- | --- | --- |"
cat "$out"/*.rows | grep "^ROW" | sort -t $'\t' -k2,2 |
  awk -F '\t' '{ printf "| %s | %s | %s | %s | %s |\n", $3, $4, $5, $6, $7 }'
echo
mode="default settings"
[ -n "$quick" ] && mode="BENCH_QUICK"
echo "Measured $(date -u '+%Y-%m-%d %H:%M UTC') on $(nproc) cores, ${mode}, in $(($(date +%s) - started)) s (build included)."
