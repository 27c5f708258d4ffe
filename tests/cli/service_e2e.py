#!/usr/bin/env python3
"""kelvara-log as a service runs it. usage: service_e2e.py BIN_DIR prometheus|service (77: skipped)"""

import contextlib, http.client, json, os, re, select, shutil, signal, socket, subprocess, sys, tempfile, time
import urllib.parse, urllib.request

BIN = sys.argv[1]
failures = []


def check(ok, message):
    if not ok:
        failures.append(message)
        print("FAIL:", message)


def wait_for(predicate, what):
    for _ in range(1200):
        with contextlib.suppress(OSError):  # a server still starting
            if value := predicate():
                return value
        time.sleep(0.1)
    raise AssertionError("gave up waiting for " + what)


class Program:
    def __init__(self, scratch, args, env=None):
        self.out, self.err = (os.path.join(scratch, os.path.basename(args[0]) + k) for k in (".out", ".err"))
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

    def more(self, n):
        count = len(self.lines())
        wait_for(lambda: len(self.lines()) >= count + n, f"{n} more scans")


def closed(connection):
    try:
        return connection.recv(100) == b""
    except ConnectionResetError:  # closed with the request unread
        return True


def get(url):
    with urllib.request.urlopen(url, timeout=30) as reply:
        return reply.read().decode()


def case_prometheus(scratch):
    """promtool, 404 and 405, slow clients; a Prometheus server scraping while the port goes
    away and comes back holds the log line's temperatures of each scrape's second."""
    link = os.path.join(scratch, "bus")
    sim = Program(scratch, [os.path.join(BIN, "kelvara-sim"), "--link", link])
    wait_for(sim.text, "the simulator")
    log = Program(scratch, [os.path.join(BIN, "kelvara-log"), "--port", link, "--parity", "no", "--metrics", "0"])
    url = wait_for(lambda: re.search(r"metrics at (http://127\.0\.0\.1:\d+/metrics)", log.text("err")), "it").group(1)
    log.more(2)
    lint = subprocess.run(["promtool", "check", "metrics"], input=get(url), capture_output=True, text=True)
    check(lint.returncode == 0, "promtool check metrics: " + lint.stdout + lint.stderr)
    host, port = urllib.parse.urlsplit(url).netloc.split(":")
    for method, path, status in [("HEAD", "/metrics", 200), ("GET", "/", 404), ("POST", "/metrics", 405),
                                 ("DELETE", "/metrics", 405)]:
        c = http.client.HTTPConnection(host, int(port), timeout=30)
        c.request(method, path)
        r = c.getresponse()
        check(r.status == status and (status != 405 or r.getheader("Allow") == "GET, HEAD") and
              (method != "HEAD" or r.read() == b""), f"{method} {path}: {r.status}")
    slow = [socket.create_connection((host, int(port)), timeout=60) for _ in range(9)]
    for s in slow:
        s.send(b"GET /met")
    check(closed(slow[8]), "a ninth connection from one address was served")
    log.more(3)
    check(all(closed(s) for s in slow[:8]), "a slow client was not closed after its time-out")
    for bad in ["65536", "localhost:9465", "::1"]:
        r = subprocess.run([os.path.join(BIN, "kelvara-log"), "--metrics", bad], stderr=subprocess.DEVNULL)
        check(r.returncode == 2, "--metrics " + bad)

    with open(os.path.join(scratch, "prometheus.yml"), "w") as f:
        f.write(f"global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: kelvara\n"
                f"    static_configs:\n      - targets: ['{host}:{port}']\n")
    prom = Program(scratch, ["prometheus", "--config.file=" + os.path.join(scratch, "prometheus.yml"),
                             "--storage.tsdb.path=" + os.path.join(scratch, "tsdb"), "--web.listen-address=127.0.0.1:0"])
    api = "http://" + wait_for(lambda: re.search(r'"Listening on" address=(\S+)', prom.text("err")), "it").group(1)
    wait_for(lambda: get(api + "/-/ready"), "Prometheus to be ready")

    def query(q):  # each series' samples by time for a range, else the instant vector
        result = json.loads(get(api + "/api/v1/query?query=" + urllib.parse.quote(q)))["data"]["result"]
        return {tuple(sorted(r["metric"].items())): dict(r["values"]) for r in result} if "[" in q else result

    wait_for(lambda: query("kelvara_port_up == 1"), "a scrape")
    log.more(3)
    sim.proc.send_signal(signal.SIGUSR1)
    wait_for(lambda: query("kelvara_port_up == 0"), "a scrape while the port is away")
    log.more(2)
    sim.proc.send_signal(signal.SIGUSR2)
    wait_for(lambda: "back at second" in log.text("err") and query("kelvara_port_up == 1"), "the port back")
    log.more(3)
    seconds = next(iter(query("kelvara_last_scan_run_seconds[5m]").values()))
    ups = next(iter(query("kelvara_port_up[5m]").values()))
    no_port = query('kelvara_exchanges_total{slave="1",result="no_port"}')
    temperatures = query("kelvara_temperature_celsius[5m]")
    check(prom.stop() == 0 and log.stop() == 0 and sim.stop() == 0, "a program did not end cleanly")
    names = log.text().splitlines()[0].split("\t")
    lines = {int(f[0]): f for f in (line.split("\t") for line in log.lines())}
    for labels, values in temperatures.items():
        column = names.index(dict(labels)["channel"])
        for ts, value in values.items():
            logged = lines[int(seconds[ts])][column]
            check(logged != "NAN" and abs(float(value) - float(logged)) <= 0.005,
                  f"{names[column]} at second {seconds[ts]}: Prometheus {value}, log {logged}")
    check(sum(map(len, temperatures.values())) >= 35, "too few temperatures scraped")
    check("0" in ups.values() and float(no_port[0]["value"][1]) > 0, f"the port away unseen: {ups} {no_port}")


def case_service(scratch):
    """sd_notify: READY=1 with the watchdog stretched, WATCHDOG=1 after scans, STOPPING=1.
    A folder not there yet is told once while the lines go on, then takes them."""
    path, folder = os.path.join(scratch, "notify"), os.path.join(scratch, "runs")
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sock.bind(path)
    sock.settimeout(60)
    log = Program(scratch, [os.path.join(BIN, "kelvara-log"), "--simulate", "--period", "0", "--output-dir", folder],
                  {"NOTIFY_SOCKET": path, "WATCHDOG_USEC": "5000000"})
    ready = sock.recv(4096).decode()
    check(ready.startswith("READY=1\n") and "\nWATCHDOG_USEC=12000000" in ready, "first message: " + ready)
    check(all(sock.recv(4096) == b"WATCHDOG=1" for _ in range(3)), "a scan did not feed the watchdog")
    os.mkdir(folder)
    wait_for(lambda: os.listdir(folder), "a file")
    log.more(3)
    check(log.stop() == 0, "kelvara-log did not end cleanly")
    messages = []
    while select.select([sock], [], [], 0)[0]:
        messages.append(sock.recv(4096).decode())
    check("STOPPING=1" in messages and set(messages) <= {"WATCHDOG=1", "STOPPING=1"}, "then: " + str(messages))
    check(3 + messages.count("WATCHDOG=1") <= len(log.lines()), "more feeds than scans")
    check(log.text("err").count("Cannot create file") == 1, "not told once: " + log.text("err"))
    with open(os.path.join(folder, os.listdir(folder)[0]), newline="") as f:
        kept = f.read().split("\r\n")[1:-1]
    check(len(kept) >= 2 and kept == log.lines()[-len(kept):], "the file does not hold the last lines")


def main():
    if sys.argv[2] == "prometheus" and not (shutil.which("promtool") and shutil.which("prometheus")):
        print("prometheus (promtool) is not installed")
        return 77
    with tempfile.TemporaryDirectory(prefix="kelvara-service.") as scratch:
        globals()["case_" + sys.argv[2]](scratch)
    print(f"{len(failures)} failed" if failures else sys.argv[2] + ": passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
