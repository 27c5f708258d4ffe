#!/usr/bin/env bash
# End to end on Windows' terms: the cross-built kelvara-log.exe, under Wine,
# reads a simulated bus through a COM port, and the lines it logs equal those
# of the Linux kelvara-log reading the same bus. Then, on the same port, the
# bus is unplugged and plugged in again during a run, which the Windows
# logger reports and rides out, and Ctrl+C (SIGINT, which Wine hands to the
# console's control handler) ends the run after a whole line.
#
#   scripts/windows-e2e.sh LINUX_BIN_DIR WINDOWS_BIN_DIR
#
# LINUX_BIN_DIR holds kelvara-sim and kelvara-log (build/bin), WINDOWS_BIN_DIR
# kelvara-log.exe (build-windows/bin). The simulator serves fixed values on a
# pseudo-terminal; a scratch Wine prefix maps COM7 to it (dosdevices/com7). A
# reply that misses its 25 ms on a loaded machine reads NAN: a NAN is accepted
# where a value is expected, nothing else, and each logger must bring at least
# one complete line.
set -euo pipefail

say() { printf 'windows-e2e: %s\n' "$*" >&2; }

if [ "$#" -ne 2 ]; then
  say "usage: $0 LINUX_BIN_DIR WINDOWS_BIN_DIR"
  exit 2
fi
linux_bin="$(cd "$1" && pwd)"
windows_bin="$(cd "$2" && pwd)"
here="$(cd "$(dirname "$0")" && pwd)"
for f in "$linux_bin/kelvara-sim" "$linux_bin/kelvara-log" "$windows_bin/kelvara-log.exe"; do
  [ -x "$f" ] || [ -f "$f" ] || { say "missing $f"; exit 2; }
done

scratch="$(mktemp -d /tmp/kelvara-e2e.XXXXXX)"
sim_pid=""
log_pid=""
cleanup() {
  local status=$?
  if [ -n "$log_pid" ]; then
    kill -TERM "$log_pid" 2>/dev/null || true
    wait "$log_pid" 2>/dev/null || true
  fi
  if [ -n "$sim_pid" ]; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  # The prefix's wineserver lingers for a few seconds after the last program.
  WINEPREFIX="$scratch/wine" "$here/wine-run.sh" wineboot --end-session >/dev/null 2>&1 || true
  for server in wineserver /usr/lib/wine/wineserver; do
    if command -v "$server" >/dev/null 2>&1; then
      WINEPREFIX="$scratch/wine" "$server" -k 2>/dev/null || true
      break
    fi
  done
  rm -rf "$scratch"
  exit "$status"
}
trap cleanup EXIT

# Six thermocouple EMFs and a cold junction as fixed values. Slave 3 answers
# 15 ms late, well inside the 25 ms a reply may take: a wait for a reply that
# ends before its time (as Wine's WaitCommEvent on a pseudo-terminal does)
# loses that channel in every scan.
emf="0.000,1.000,2.000,4.096,10.153,-1.000"
ambient="21.5"
late="3:delay-before=15"
scans=8
port=com7

"$linux_bin/kelvara-sim" --link "$scratch/bus" --emf "$emf" --ambient "$ambient" --fault "$late" \
  >"$scratch/sim.out" 2>"$scratch/sim.err" &
sim_pid=$!
for _ in $(seq 100); do
  [ -e "$scratch/bus" ] && break
  kill -0 "$sim_pid" 2>/dev/null || { say "the simulator did not start:"; cat "$scratch/sim.err" >&2; exit 1; }
  sleep 0.1
done
[ -e "$scratch/bus" ] || { say "the simulator made no device in 10 s"; exit 1; }
say "simulated bus on $(readlink "$scratch/bus")"

say "Linux: kelvara-log --port $scratch/bus --parity no --scans $scans"
"$linux_bin/kelvara-log" --port "$scratch/bus" --parity no --scans "$scans" --period 1 \
  >"$scratch/linux.out" 2>"$scratch/linux.err" || { say "the Linux logger failed:"; cat "$scratch/linux.err" >&2; exit 1; }

# The prefix is made by its first program; then COM7 is the simulator's pty.
export WINEPREFIX="$scratch/wine"
"$here/wine-run.sh" cmd /c exit >/dev/null 2>&1 || true
mkdir -p "$WINEPREFIX/dosdevices"
ln -sfn "$scratch/bus" "$WINEPREFIX/dosdevices/$port"

say "Wine: kelvara-log.exe --port ${port^^} --parity no --scans $scans"
"$here/wine-run.sh" "$windows_bin/kelvara-log.exe" --port "${port^^}" --parity no --scans "$scans" --period 1 \
  >"$scratch/wine.raw" 2>"$scratch/wine.err" || { say "the Windows logger failed:"; cat "$scratch/wine.err" >&2; exit 1; }
# The Windows console's line ends.
tr -d '\r' <"$scratch/wine.raw" >"$scratch/wine.out"

say "Linux run, stdout:"
sed 's/^/  linux| /' "$scratch/linux.out" >&2
say "Wine run, stdout:"
sed 's/^/  wine | /' "$scratch/wine.out" >&2
say "Wine run, stderr:"
sed 's/^/  wine | /' "$scratch/wine.err" >&2

# Field by field: the header and the second counts exactly, each reading
# equal or NAN on either side; and each side has a complete line.
awk -F'\t' -v scans="$scans" '
  FNR == 1 { file++ }
  file == 1 { linux[FNR] = $0; lines1 = FNR; next }
  { wine[FNR] = $0; lines2 = FNR }
  END {
    bad = 0
    if (lines1 != scans + 1 || lines2 != scans + 1) {
      printf "windows-e2e: %d Linux and %d Wine lines, not %d each\n", lines1, lines2, scans + 1 > "/dev/stderr"
      exit 1
    }
    if (linux[1] != wine[1]) { print "windows-e2e: the headers differ" > "/dev/stderr"; bad = 1 }
    completeLinux = 0; completeWine = 0
    for (i = 2; i <= lines1; i++) {
      n1 = split(linux[i], a, "\t"); n2 = split(wine[i], b, "\t")
      if (n1 != 8 || n2 != 8 || a[1] != b[1]) {
        printf "windows-e2e: line %d differs in shape: [%s] [%s]\n", i, linux[i], wine[i] > "/dev/stderr"; bad = 1; continue
      }
      nanLinux = 0; nanWine = 0
      for (k = 2; k <= 8; k++) {
        if (a[k] == "NAN") nanLinux++
        if (b[k] == "NAN") nanWine++
        if (a[k] != b[k] && a[k] != "NAN" && b[k] != "NAN") {
          printf "windows-e2e: line %d field %d: Linux %s, Wine %s\n", i, k, a[k], b[k] > "/dev/stderr"; bad = 1
        }
      }
      if (nanLinux == 0) completeLinux++
      if (nanWine == 0) completeWine++
    }
    if (completeLinux == 0 || completeWine == 0) {
      printf "windows-e2e: complete lines: %d Linux, %d Wine; each needs one\n", completeLinux, completeWine > "/dev/stderr"
      bad = 1
    }
    exit bad
  }' "$scratch/linux.out" "$scratch/wine.out"
say "the Wine run logged what the Linux run logged"

# --- A port that goes away and comes back; Ctrl+C ends the run -------------
lines() { tr -d '\r' <"$1" | wc -l; }
# Waits up to $2 seconds for the command in $3... to succeed.
await() {
  local what="$1" seconds="$2"
  shift 2
  for _ in $(seq $((seconds * 10))); do
    "$@" && return 0
    kill -0 "$log_pid" 2>/dev/null || { say "the Windows logger ended while waiting for $what"; return 1; }
    sleep 0.1
  done
  say "no $what within $seconds s"
  return 1
}
has_lines() { [ "$(lines "$scratch/run.raw")" -ge "$1" ]; }
told() { grep -aq "$1" "$scratch/run.err"; }
# A scan while the port is away sends nothing and logs NAN in every reading.
nan_line() {
  tr -d '\r' <"$scratch/run.raw" |
    awk -F'\t' 'NR > 1 && NF == 8 { n = 0; for (k = 2; k <= 8; k++) n += $k == "NAN"; if (n == 7) found = 1 } END { exit !found }'
}

say "Wine: kelvara-log.exe --port ${port^^} --parity no, unplugged and plugged in during the run"
"$here/wine-run.sh" "$windows_bin/kelvara-log.exe" --port "${port^^}" --parity no --period 1 \
  >"$scratch/run.raw" 2>"$scratch/run.err" &
log_pid=$!
await "second line" 60 has_lines 3
kill -USR1 "$sim_pid"
await "report of the lost port" 30 told "\" lost at second"
await "line of NAN while the port is away" 30 nan_line
kill -USR2 "$sim_pid"
await "report of the port back" 30 told "\" back at second"
back_at="$(lines "$scratch/run.raw")"
await "lines after the port came back" 30 has_lines $((back_at + 3))
kill -INT "$log_pid"
status=0
wait "$log_pid" || status=$?
log_pid=""
tr -d '\r' <"$scratch/run.raw" >"$scratch/run.out"
say "Wine run with the port unplugged, stdout:"
sed 's/^/  wine | /' "$scratch/run.out" >&2
say "stderr:"
grep -a '^kelvara-log:' "$scratch/run.err" | sed 's/^/  wine | /' >&2
[ "$status" -eq 0 ] || { say "Ctrl+C: the Windows logger exited $status, not 0"; exit 1; }
grep -aq '^kelvara-log: T__A: ' "$scratch/run.err" || { say "Ctrl+C: no channel summary; the run did not end normally"; exit 1; }
# Every line whole; NAN while the port was away; readings again after it came back.
awk -F'\t' -v back="$back_at" '
  NR == 1 { next }
  NF != 8 || $1 !~ /^[0-9][0-9][0-9][0-9]$/ { printf "windows-e2e: torn line %d: [%s]\n", NR, $0 > "/dev/stderr"; bad = 1 }
  { nan = 0; for (k = 2; k <= 8; k++) if ($k == "NAN") nan++ }
  nan == 7 { lost++ }
  NR > back && nan == 0 { after++ }
  END {
    if (!lost) { print "windows-e2e: no line of NAN while the port was away" > "/dev/stderr"; bad = 1 }
    if (!after) { print "windows-e2e: no complete line after the port came back" > "/dev/stderr"; bad = 1 }
    exit bad
  }' "$scratch/run.out"
say "the Windows logger reported the lost port, read again when it came back, and stopped on Ctrl+C"
