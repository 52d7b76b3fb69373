"""The metrics answer (action=metrics): its bytes as Prometheus' own checker reads them,
and a real Prometheus scraping it through the local hub."""
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.error
import urllib.parse
import urllib.request

import sandbox
from harness import CMD, REFUSAL, WINE, windows_path
from test_detail import account
from test_listeners import ListenerTest

HEAD = (b"Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
        b"Cache-Control: no-store\r\n"
        b"X-Content-Type-Options: nosniff\r\n\r\n")
METRICS = {"QUERY_STRING": "action=metrics"}
HUB = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "hub", "serve.py")
SAMPLE = re.compile(r"^([a-z_]+)(?:\{(.*)\})? (-?\d+)$")
LABEL = re.compile(r'([a-z_]+)="((?:[^"\\]|\\.)*)",?')


def tool(name):
    path = shutil.which(name)
    if not path:
        raise RuntimeError(name + " is missing: run scripts/install-deps.sh test")
    return path


def samples(body):
    """(name, {label: value}, value) of every sample line; label values unescaped."""
    out = []
    for line in body.decode().split("\n")[:-1]:
        if line.startswith("#"):
            continue
        m = SAMPLE.match(line)
        assert m, line
        labels = {}
        rest = m.group(2) or ""
        for lm in LABEL.finditer(rest):
            labels[lm.group(1)] = re.sub(r"\\(.)", lambda e: "\n" if e.group(1) == "n"
                                         else e.group(1), lm.group(2))
        assert "".join(lm.group(0) for lm in LABEL.finditer(rest)) == rest, line
        out.append((m.group(1), labels, int(m.group(3))))
    return out


class Exposition(ListenerTest):
    def setUp(self):
        self.needs_namespace()

    def test_checked_by_promtool_with_each_series_once_and_names_inside_their_labels(self):
        name = b'x"}\n{y="1\\ z'
        folder = tempfile.mkdtemp(prefix="ports-metrics-")
        self.addCleanup(shutil.rmtree, folder)
        policy = os.path.join(folder, "expected")
        with open(policy, "w") as f:
            f.write("tcp 127.0.0.1 8080\nudp * 53\n")
        plan = {"env": dict(METRICS, PORTS_EXPECT=windows_path(policy) if WINE else policy),
                # Either socket of the group may take either connection: none is accepted.
                "sockets": [{"kind": "tcp", "addr": "127.0.0.1", "port": 8080, "reuse": True,
                             "count": 2, "clients": ["127.0.0.1"], "accept": False},
                            {"kind": "udp", "addr": "::1", "port": 8080}]}
        if not WINE:
            plan["owner"] = {"name_hex": name.hex()}
        r = sandbox.hold_and_run(plan)["run"]
        self.assertEqual((r.rc, r.err), (0, b""))
        body = r.body(HEAD)
        check = subprocess.run([tool("promtool"), "check", "metrics"], input=body,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)
        self.assertEqual((check.returncode, check.stdout), (0, b""), body.decode())
        got = samples(body)
        series = [(n, tuple(sorted(labels.items()))) for n, labels, _ in got]
        self.assertEqual(len(series), len(set(series)), body.decode())
        # Wine names no owner of the holder's sockets.
        who = {"comm": "", "user": ""} if WINE else {"comm": name.decode(), "user": account(0)}
        info = [(labels, v) for n, labels, v in got if n == "ports_listener_info"]
        self.assertEqual(info, [
            (dict(who, proto="tcp", bind_addr="127.0.0.1", port="8080", scope="loopback",
                  service="", container="", expected="true"), 1),
            (dict(who, proto="udp", bind_addr="::1", port="8080", scope="loopback", service="",
                  container="", expected="false"), 1)])
        by_name = {n: (labels, v) for n, labels, v in got if n != "ports_listener_info"}
        # The group's two sockets took a connection each: one series, their sum.
        self.assertEqual(by_name["ports_listener_connections"],
                         ({"proto": "tcp", "bind_addr": "127.0.0.1", "port": "8080"}, 2))
        self.assertEqual(by_name["ports_expected_missing"],
                         ({"proto": "udp", "bind_addr": "*", "port": "53"}, 1))
        self.assertEqual(by_name["ports_unexpected_listeners"], ({}, 1))
        self.assertEqual([(labels, v) for n, labels, v in got if n == "ports_tables_unreadable"],
                         [({}, 0), ({"facts": "owners"}, 0)])
        self.assertEqual(by_name["ports_listeners_owner_hidden"], ({}, 0))
        self.assertEqual(by_name["ports_gate_enabled"], ({}, 0))

    def test_nothing_readable_is_said_not_left_empty(self):
        if WINE:
            self.skipTest("under Wine the tables come from Wine's own reader of them")
        r = sandbox.hold_and_run({"broken": ["tcp4", "tcp6", "udp4", "udp6"], "env": METRICS,
                                  "sockets": []})["run"]
        self.assertEqual(r.out, HEAD + b"# HELP ports_tables_unreadable Socket lists that could "
                         b"not be read, of 4; with facts=\"owners\", 1 when some socket's owner "
                         b"could not be read.\n# TYPE ports_tables_unreadable gauge\n"
                         b"ports_tables_unreadable 4\n# HELP ports_gate_enabled 1 when a node "
                         b"password guards this program, else 0.\n# TYPE ports_gate_enabled "
                         b"gauge\nports_gate_enabled 0\n")


ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
RULES = os.path.abspath(os.path.join(ROOT, "monitoring", "ports.rules.yml"))
ALERTS = ("ExpectedListenerMissing", "UnexpectedListener", "ListenerPolicyUnusable",
          "NodePasswordOff", "ListenerScrapeFailed", "ListenerMetricsMissing",
          "ListenerScrapeAbsent")


def documented_config():
    """The Prometheus configuration of docs/monitoring.md: its YAML block with
    rule_files."""
    with open(os.path.join(ROOT, "docs", "monitoring.md")) as f:
        blocks = re.findall(r"```yaml\n(.*?)```", f.read(), re.S)
    found = [b for b in blocks if "rule_files:" in b]
    assert len(found) == 1, "docs/monitoring.md should hold one configuration with rule_files"
    return found[0]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def get_json(url, limit=10):
    with urllib.request.urlopen(url, timeout=limit) as res:
        return json.load(res)


class RealPrometheus(ListenerTest):
    """Debian's Prometheus scrapes the local hub every second with the node password, on
    a loopback port and with a data folder of its own; stopped after."""

    PASSWORD = "scrape s3cret"

    def setUp(self):
        if WINE:
            self.skipTest("the local hub runs the Linux program; promtool checks the Windows "
                          "program's bytes above")
        self.dir = tempfile.mkdtemp(prefix="ports-prometheus-")
        self.addCleanup(shutil.rmtree, self.dir)

    def start(self, argv, env=None):
        """A child that ends by itself within 5 minutes and is stopped after the test; its
        output goes to a file, whose path comes back with it."""
        log = os.path.join(self.dir, os.path.basename(argv[0]) + ".log")
        with open(log, "wb") as out:
            proc = subprocess.Popen(["timeout", "-s", "TERM", "300"] + argv, env=env,
                                    stdout=out, stderr=subprocess.STDOUT,
                                    stdin=subprocess.DEVNULL)

        def stop():
            proc.terminate()
            try:
                proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        self.addCleanup(stop)
        return log

    def wait_for(self, what, test, limit=90.0):
        deadline = time.monotonic() + limit
        while True:
            got = test()
            if got:
                return got
            if time.monotonic() > deadline:
                self.fail("timed out waiting for " + what)
            time.sleep(0.5)

    def test_scrapes_the_listeners_and_a_missing_rule_through_the_hub(self):
        prometheus = tool("prometheus")
        policy = os.path.join(self.dir, "expected")
        env = dict(os.environ, BOT_PASSWORD=self.PASSWORD, PORTS_EXPECT=policy)
        hub = self.start([sys.executable, HUB, CMD[0], "--port", "0"], env=env)

        def hub_line():
            with open(hub) as f:
                return re.match(r"hub: http://127\.0\.0\.1:(\d+)/", f.readline())

        hub_port = int(self.wait_for("the hub", hub_line, limit=30).group(1))
        # The program reads the file at every request: it can follow the hub's port.
        with open(policy, "w") as f:
            f.write("tcp 127.0.0.1 %d comm=lighttpd\n# a server that is gone\ntcp * 1\n"
                    % hub_port)
        port = free_port()
        # The configuration docs/monitoring.md gives, as pasted: only the hub's port, the
        # password file, where the rules are and the intervals (1s: a test must not wait
        # on 30) are this test's.
        secret = os.path.join(self.dir, "ports-password")
        with open(secret, "w") as f:
            f.write(self.PASSWORD)
        config = os.path.join(self.dir, "prometheus.yml")
        with open(config, "w") as f:
            f.write(documented_config()
                    .replace("127.0.0.1:8150", "127.0.0.1:%d" % hub_port)
                    .replace("/etc/prometheus/ports-password", secret)
                    .replace("/usr/share/ports/prometheus/ports.rules.yml", RULES)
                    .replace("interval: 30s", "interval: 1s"))
        check = subprocess.run([tool("promtool"), "check", "config", config],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)
        self.assertEqual(check.returncode, 0, check.stdout.decode())
        self.start([prometheus, "--config.file=" + config,
                    "--storage.tsdb.path=" + os.path.join(self.dir, "data"),
                    "--web.listen-address=127.0.0.1:%d" % port])
        api = "http://127.0.0.1:%d/api/v1/query?query=" % port

        def query(q):
            try:
                return get_json(api + urllib.parse.quote(q))["data"]["result"]
            except OSError:
                return []  # not up yet

        missing = self.wait_for("a missing rule", lambda: query("ports_expected_missing"))
        self.assertEqual([s["metric"] for s in missing],
                         [{"__name__": "ports_expected_missing", "job": "ports",
                           "instance": "127.0.0.1:%d" % hub_port, "proto": "tcp",
                           "bind_addr": "*", "port": "1"}])
        hub_series = query('ports_listener_info{port="%d"}' % hub_port)
        self.assertEqual([(s["metric"]["comm"], s["metric"]["expected"], s["value"][1])
                          for s in hub_series], [("lighttpd", "true", "1")])
        self.assertEqual(query('up{job="ports"}')[0]["value"][1], "1")
        self.assertEqual(query("ports_gate_enabled")[0]["value"][1], "1")
        # The rules are loaded, every one healthy, and the missing rule's alert is on its
        # way (pending for its for:).
        rules = self.wait_for("the rules", lambda: get_json(
            "http://127.0.0.1:%d/api/v1/rules" % port)["data"]["groups"])
        self.assertEqual(sorted((r["name"], r["health"]) for g in rules for r in g["rules"]),
                         sorted((name, "ok") for name in ALERTS))
        self.wait_for("the missing rule's alert", lambda: query(
            'ALERTS{alertname="ExpectedListenerMissing",port="1",alertstate="pending"}'))
        # A scrape without the password is refused.
        with self.assertRaises(urllib.error.HTTPError) as refused:
            urllib.request.urlopen("http://127.0.0.1:%d/plugin_ports?action=metrics" % hub_port,
                                   timeout=10)
        self.assertEqual((refused.exception.code, refused.exception.read()),
                         (401, REFUSAL.split(b"\r\n\r\n", 1)[1]))
        # A wrong password: the scrape fails, and that has an alert of its own, so the
        # listener alerts do not just fall silent.
        with open(secret, "w") as f:
            f.write("wrong")
        self.wait_for("the failed scrape's alert", lambda: query(
            'ALERTS{alertname="ListenerScrapeFailed",alertstate="pending"}'))


if __name__ == "__main__":
    unittest.main()
