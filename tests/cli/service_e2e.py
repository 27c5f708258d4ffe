#!/usr/bin/env python3
"""kelvara-log as a service runs it: its metrics read by Prometheus's own
tools, a scrape while the port is away, the notifications systemd waits for,
and daily files in a folder that is not there at first.

usage: service_e2e.py BIN_DIR CASE    (CASE: prometheus, reconnect, notify, files)
Exit code 77 (skipped) names a tool that is not installed."""

import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request

BIN = sys.argv[1]
failures = []


def check(ok, message):
    if not ok:
        failures.append(message)
        print("FAIL:", message)


def wait_for(predicate, what, seconds=60):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.1)
    raise AssertionError("gave up waiting for " + what)


class Program:
    """A program with its stdout and stderr in files, read as they grow."""

    def __init__(self, scratch, name, args, env=None):
        self.out, self.err = (os.path.join(scratch, f"{name}.{k}") for k in ("out", "err"))
        with open(self.out, "w") as out, open(self.err, "w") as err:
            self.proc = subprocess.Popen(args, stdout=out, stderr=err, env=dict(os.environ, **(env or {})))

    def text(self, which="out"):
        with open(self.out if which == "out" else self.err) as f:
            return f.read()

    def lines(self):
        return self.text().splitlines()[1:]  # after the header

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        return self.proc.wait(60)


def logger(scratch, *args, env=None):
    log = Program(scratch, "log", [os.path.join(BIN, "kelvara-log"), "--metrics", "0", *args], env)
    url = wait_for(lambda: re.search(r"metrics at (\S+)", log.text("err")), "the metrics address").group(1)
    return log, url


def scrape(url, accept=None):
    request = urllib.request.Request(url, headers={"Accept": accept} if accept else {})
    with urllib.request.urlopen(request, timeout=30) as reply:
        return reply.read().decode()


def sample(page, series):
    m = re.search("^" + re.escape(series) + r" (\S+)$", page, re.M)
    return float(m.group(1)) if m else None


def case_prometheus(scratch):
    """promtool passes the page; a Prometheus server scraping a run answers
    its query with the temperatures of the log line of the same second."""
    log, url = logger(scratch, "--simulate", "--period", "0")
    wait_for(lambda: len(log.lines()) >= 2, "two scans")
    lint = subprocess.run(["promtool", "check", "metrics"], input=scrape(url), capture_output=True, text=True)
    check(lint.returncode == 0, "promtool check metrics: " + lint.stdout + lint.stderr)
    target = urllib.parse.urlsplit(url).netloc
    with open(os.path.join(scratch, "prometheus.yml"), "w") as f:
        f.write(f"global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: kelvara\n"
                f"    static_configs:\n      - targets: ['{target}']\n")
    prom = Program(scratch, "prometheus", ["prometheus", "--config.file=" + os.path.join(scratch, "prometheus.yml"),
                                           "--storage.tsdb.path=" + os.path.join(scratch, "tsdb"),
                                           "--web.listen-address=127.0.0.1:0"])
    base = "http://" + wait_for(lambda: re.search(r'"Listening on" address=(\S+)', prom.text("err")),
                                "Prometheus to listen", 120).group(1)

    def ready():
        try:
            return scrape(base + "/-/ready")
        except OSError:
            return None

    wait_for(ready, "Prometheus to be ready", 120)
    api = base + "/api/v1/query?query="

    def query(q):
        return json.loads(scrape(api + urllib.parse.quote(q)))["data"]["result"]

    wait_for(lambda: query("count_over_time(kelvara_last_scan_run_seconds[1m]) >= 5"), "five scrapes", 120)
    seconds = {ts: int(float(v)) for ts, v in query("kelvara_last_scan_run_seconds[1m]")[0]["values"]}
    series = query("kelvara_temperature_celsius[1m]")
    check(prom.stop() == 0 and log.stop() == 0, "Prometheus or kelvara-log did not end cleanly")
    names = log.text().splitlines()[0].split("\t")
    lines = {int(f[0]): f for f in (line.split("\t") for line in log.lines())}
    matched = set()
    for s in series:
        column = names.index(s["metric"]["channel"])
        for ts, value in s["values"]:
            logged = lines[seconds[ts]][column]
            check(logged != "NAN" and abs(float(value) - float(logged)) <= 0.005,
                  f"{s['metric']['channel']} at second {seconds[ts]}: Prometheus {value}, log {logged}")
            matched.add((column, ts))
    check(len(matched) >= 7 * 3, f"only {len(matched)} temperatures matched")


def case_reconnect(scratch):
    """While the port is away the port is down, no temperature is served and
    the exchanges count no_port; stalled clients hold neither the run nor the
    endpoint; once back, all is served again."""
    link = os.path.join(scratch, "bus")
    sim = Program(scratch, "sim", [os.path.join(BIN, "kelvara-sim"), "--link", link])
    wait_for(lambda: sim.text(), "the simulator")
    log, url = logger(scratch, "--port", link, "--parity", "no", "--period", "1")
    stalled = [socket.create_connection(urllib.parse.urlsplit(url).netloc.split(":")) for _ in range(7)]
    for s in stalled:
        s.send(b"GET /met")

    def expect(up, lost):
        n = len(log.lines())
        wait_for(lambda: len(log.lines()) >= n + 2, "two more scans")
        page = scrape(url)
        check(sample(page, "kelvara_port_up") == up, f"port_up is not {up}")
        check(("kelvara_temperature_celsius{" in page) != lost, "temperatures served: " + str(not lost))
        return sample(page, 'kelvara_exchanges_total{slave="1",channel="TC_1",result="no_port"}')

    check(expect(1, False) == 0, "no_port counted before the port went away")
    sim.proc.send_signal(signal.SIGUSR1)
    wait_for(lambda: "lost at second" in log.text("err"), "the port to be lost")
    check(expect(0, True) > 0, "no no_port exchanges while the port was away")
    sim.proc.send_signal(signal.SIGUSR2)
    wait_for(lambda: "back at second" in log.text("err"), "the port to be back")
    expect(1, False)
    check(log.stop() == 0, "kelvara-log did not end cleanly")
    sim.stop()
    times = [int(line.split("\t")[0]) for line in log.lines()]
    check(times == list(range(1, len(times) + 1)), "a scan was not logged: " + str(times))


def case_notify(scratch):
    """READY=1 once the run started, with the watchdog stretched to the
    period; WATCHDOG=1 only after scans; STOPPING=1 on SIGTERM."""
    path = os.path.join(scratch, "notify")
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sock.bind(path)
    sock.settimeout(60)
    log, _ = logger(scratch, "--simulate", "--period", "0",
                    env={"NOTIFY_SOCKET": path, "WATCHDOG_USEC": "5000000"})
    ready = sock.recv(4096).decode()
    check(ready.startswith("READY=1\n") and "\nWATCHDOG_USEC=12000000" in ready, "first message: " + ready)
    for _ in range(3):
        check(sock.recv(4096) == b"WATCHDOG=1", "a scan did not feed the watchdog")
    log.proc.send_signal(signal.SIGTERM)
    check(log.proc.wait(60) == 0, "kelvara-log did not end cleanly")
    sock.setblocking(False)
    messages = []
    while True:
        try:
            messages.append(sock.recv(4096).decode())
        except BlockingIOError:
            break
    check("STOPPING=1" in messages, "no STOPPING=1 after SIGTERM: " + str(messages))
    check(set(messages) <= {"WATCHDOG=1", "STOPPING=1"}, "other messages: " + str(messages))
    check(3 + messages.count("WATCHDOG=1") <= len(log.lines()), "more feeds than scans")


def case_files(scratch):
    """A folder that is not there is told once while the lines go on; once
    it is there, the day's file takes the lines from then on."""
    folder = os.path.join(scratch, "runs")
    log = Program(scratch, "log", [os.path.join(BIN, "kelvara-log"), "--simulate", "--period", "0",
                                   "--output-dir", folder])
    wait_for(lambda: len(log.lines()) >= 3, "three scans")
    os.mkdir(folder)
    wait_for(lambda: os.listdir(folder) and len(log.lines()) >= 6, "a file and three more scans")
    check(log.stop() == 0, "kelvara-log did not end cleanly")
    check(log.text("err").count("Cannot create file") == 1, "not told once: " + log.text("err"))
    with open(os.path.join(folder, os.listdir(folder)[0]), newline="") as f:
        kept = f.read().split("\r\n")[1:-1]
    check(len(kept) >= 2 and kept == log.lines()[-len(kept):], "the file does not hold the last lines")


def main():
    case = sys.argv[2]
    for tool in ["promtool", "prometheus"] if case == "prometheus" else []:
        if not shutil.which(tool):
            print(f"{tool} is not installed")
            return 77
    with tempfile.TemporaryDirectory(prefix="kelvara-service.") as scratch:
        globals()["case_" + case](scratch)
    print(f"{len(failures)} failed" if failures else case + ": passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
