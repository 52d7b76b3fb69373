"""ports-reader, the program apart that reads what the hub's account may not: what it
refuses, and what plugin_ports tells under another account with it and without it,
Debian's lighttpd running the program as www-data included."""
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request

import harness
import sandbox
from harness import ProgramTest, capable_reader, run
from test_listeners import ListenerTest

DETAIL = {"QUERY_STRING": "action=listeners&detail=1"}
NOBODY = 65534
HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLE = os.path.join(HERE, "..", "..", "packaging", "debian", "examples", "lighttpd.conf")


def as_nobody():
    os.setgroups([])
    os.setgid(NOBODY)
    os.setuid(NOBODY)


class Refusals(ProgramTest):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="ports-reader-")
        self.addCleanup(shutil.rmtree, self.dir)

    def reader(self, args, env=None, **kw):
        return run(env or {}, args, cmd=[harness.READER], **kw)

    def test_fixed_verbs_only_and_never_under_a_cgi_host(self):
        for args in ([], ["owners", "x"], ["Owners"], ["--help"], ["process"], ["process", "0"],
                     ["process", "01"], ["process", "-1"], ["process", "+1"], ["process", "1x"],
                     ["process", " 1"], ["process", "4194305"], ["process", "99999999999"],
                     ["process", "1", "cmd"], ["process", "1", "cmdline", "x"], ["owners", ""],
                     ["netns", "1"], ["owners", "netns"]):
            with self.subTest(args=args):
                r = self.reader(args)
                self.assertEqual((r.rc != 0, r.out, r.err), (True, b"", b""))
        r = self.reader(["owners"], {"GATEWAY_INTERFACE": "CGI/1.1"})
        self.assertEqual((r.rc != 0, r.out, r.err), (True, b"", b""))

    def test_whole_output_or_none(self):
        r = self.reader(["owners"])
        self.assertEqual((r.rc, r.err), (0, b""))
        self.assertTrue(r.out.startswith(b"ports-reader 1\n"), r.out[:100])
        lines = r.out.decode().split("\n")
        self.assertEqual((lines[-2], lines[-1]), ("end %d" % (len(lines) - 3), ""))
        r = self.reader(["process", str(os.getpid()), "cmdline"])
        self.assertEqual(r.rc, 0)
        with open("/proc/self/cmdline", "rb") as f:
            args = f.read().split(b"\0")[:-1]
        self.assertIn(b"".join(b"a " + a.replace(b"%", b"%25").replace(b" ", b"%20") + b"\n"
                               for a in args), r.out)
        # Without its capabilities another account gets nothing it could not read itself.
        plain = capable_reader(self.dir, caps=None)
        r = run({}, ["owners"], cmd=[plain], preexec=as_nobody)
        self.assertEqual((r.rc, r.out, r.err), (3, b"", b""))


class AnotherAccount(ListenerTest):
    """The program as an account other than the sockets' (nobody), beside a root holder."""

    def setUp(self):
        self.needs_namespace()
        self.dir = tempfile.mkdtemp(prefix="ports-reader-")
        self.addCleanup(shutil.rmtree, self.dir)

    def detail(self, reader):
        report = sandbox.hold_and_run({"run_uid": NOBODY,
                                       "env": dict(DETAIL, PORTS_READER=reader),
                                       "sockets": [{"kind": "tcp", "addr": "127.0.0.1"}]})
        r = report["run"]
        self.assertEqual((r.rc, r.err), (0, b""))
        body = r.json()
        rows = [row for row in body["listeners"] if row["port"] == report["ports"][0][0]]
        self.assertEqual(len(rows), 1, body)
        return report, rows[0], body

    def test_a_root_listener_is_named_through_the_reader(self):
        report, row, body = self.detail(capable_reader(self.dir))
        self.assertEqual((row["pid"], row["comm"], row["holders"]),
                         (report["pid"], report["comm"], 1))
        self.assertNotIn("owners", body["unreadable"])

    def test_another_accounts_namespace_is_named_through_the_reader(self):
        report = sandbox.hold_and_run({
            "run_uid": NOBODY, "env": dict(DETAIL, PORTS_READER=capable_reader(self.dir)),
            "sockets": [{"kind": "tcp", "addr": "127.0.0.1"}],
            "spaces": [{"sockets": [{"kind": "tcp", "addr": "127.0.0.1", "port": "P0"}]}]})
        r = report["run"]
        self.assertEqual((r.rc, r.err), (0, b""))
        space = report["spaces"][0]
        rows = {row["netns"]: row for row in r.json()["listeners"]}
        self.assertEqual(sorted(rows, key=str), sorted([0, space["netns"]], key=str))
        self.assertEqual(rows[space["netns"]]["pid"], space["pid"])

    def test_without_the_reader_the_owner_is_said_hidden(self):
        for name, reader in (("no capabilities", capable_reader(self.dir, caps=None)),
                             ("missing", os.path.join(self.dir, "none-here")),
                             ("not executable", "/etc/hostname")):
            with self.subTest(reader=name):
                _, row, body = self.detail(reader)
                self.assertEqual((row["pid"], row["comm"], row["holders"]), (0, "", None))
                self.assertIn("owners", body["unreadable"])


INSIDE = "PORTS_READER_LIGHTTPD_INSIDE"


def lighttpd_inside():
    """In a network namespace of its own (no other sockets, so nothing changes between
    the baseline and the answer): a root service, the rules --baseline writes as root,
    then the package's lighttpd example running the program as www-data with the reader,
    and the detail answer through it, printed."""
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    folder = tempfile.mkdtemp(prefix="ports-www-data-")
    try:
        os.chmod(folder, 0o755)
        program = os.path.join(folder, "plugin_ports")
        shutil.copy(harness.CMD[0], program)
        os.chmod(program, 0o755)
        reader = capable_reader(folder)
        service = socket.socket()
        service.bind(("127.0.0.1", 0))
        service.listen(8)
        free = socket.socket()
        free.bind(("127.0.0.1", 0))
        port = free.getsockname()[1]
        free.close()
        policy = os.path.join(folder, "expected")
        # What listens then: the root service, and lighttpd's own socket once it runs,
        # which --baseline cannot see yet: it is started first.
        conf = os.path.join(folder, "lighttpd.conf")
        with open(EXAMPLE) as f:
            example = f.read()
        example = example.replace("/usr/lib/cgi-bin/ports/plugin_ports", program).replace(
            '( "BOT_PASSWORD" => "change-me" )',
            '( "BOT_PASSWORD" => "change-me", "PORTS_EXPECT" => "%s", "PORTS_READER" => "%s" )'
            % (policy, reader))
        with open(conf, "w") as f:
            f.write('server.bind = "127.0.0.1"\nserver.port = %d\n'
                    'server.document-root = "%s"\n'
                    'server.username = "www-data"\nserver.groupname = "www-data"\n%s'
                    % (port, folder, example))
        hub = subprocess.Popen(["timeout", "120", "lighttpd", "-D", "-f", conf],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            url = "http://127.0.0.1:%d/plugin_ports?action=listeners&detail=1" % port
            for _ in range(100):
                try:
                    urllib.request.urlopen(url, timeout=5)
                except urllib.error.HTTPError:
                    break  # 401: it answers
                except OSError:
                    time.sleep(0.1)
            baseline = subprocess.run([program, "--baseline"], env={}, check=True,
                                      stdout=subprocess.PIPE).stdout
            with open(policy, "wb") as f:
                f.write(baseline)
            os.chmod(policy, 0o644)
            req = urllib.request.Request(url, headers={"X-Bot-Password": "change-me"})
            with urllib.request.urlopen(req, timeout=30) as res:
                body = json.load(res)
            print(json.dumps({"baseline": baseline.decode(), "body": body,
                              "service_port": service.getsockname()[1], "hub_port": port}))
        finally:
            hub.terminate()
            hub.wait(timeout=30)
    finally:
        shutil.rmtree(folder)


class Lighttpd(ListenerTest):
    def test_www_data_with_the_reader_cries_no_wolf(self):
        self.needs_namespace()
        if not shutil.which("lighttpd"):
            raise RuntimeError("lighttpd is missing: run scripts/install-deps.sh test")
        r = subprocess.run(["unshare", "-n", "--", sys.executable, os.path.abspath(__file__)],
                           env=dict(os.environ, **{INSIDE: "1"}), stdout=subprocess.PIPE,
                           timeout=180)
        self.assertEqual(r.returncode, 0)
        got = json.loads(r.stdout)
        body = got["body"]
        # The rules name the processes (comm=) of both sockets, root's one included.
        self.assertIn("tcp 127.0.0.1 %d comm=" % got["service_port"], got["baseline"])
        self.assertIn("tcp 127.0.0.1 %d comm=lighttpd" % got["hub_port"], got["baseline"])
        self.assertEqual((body["missing"], body["unjudged"]), ([], []))
        own = [row for row in body["listeners"] if row["netns"] == 0]
        self.assertEqual(sorted(row["port"] for row in own),
                         sorted([got["service_port"], got["hub_port"]]))
        self.assertEqual([row["expected"] for row in own], [True, True])
        self.assertNotIn("owners", body["unreadable"])
        for row in own:
            self.assertNotEqual((row["pid"], row["comm"]), (0, ""))


if __name__ == "__main__":
    if os.environ.get(INSIDE) == "1":
        lighttpd_inside()
    else:
        unittest.main()
