"""The file of expected listeners, judged in the detail answer, and --baseline, which
writes it, over sockets the tests open (sandbox.py)."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import sandbox
from harness import CMD, WINE, run, windows_path
from test_listeners import ListenerTest

DETAIL = {"QUERY_STRING": "action=listeners&detail=1"}


class PolicyTest(ListenerTest):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="ports-policy-")
        self.addCleanup(shutil.rmtree, self.dir)

    def policy(self, data, name="expected"):
        """A file holding data; its path as the program names files."""
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(data)
        return self.named(path)

    @staticmethod
    def named(path):
        return windows_path(path) if WINE else path

    def detail(self, plan):
        report = sandbox.hold_and_run(plan)
        r = report["run"]
        self.assertEqual((r.rc, r.err), (0, b""))
        return report, r.json()

    def judged(self, body):
        """(proto, address, port, expected) of every row; expected comes last in a row,
        policy, missing and unjudged after the rows, the gate last."""
        self.assertEqual(list(body)[-7:], ["unreadable", "truncated", "published", "policy",
                                           "missing", "unjudged", "gate"])
        rows = []
        for row in body["listeners"]:
            self.assertEqual(list(row)[-1], "expected")
            rows.append((row["proto"], row["bind_addr"], row["port"], row["expected"]))
        return rows


class Judgement(PolicyTest):
    def setUp(self):
        super().setUp()
        self.needs_namespace()  # its own ports

    def test_rules_meet_rows_and_missing_rules_keep_their_lines(self):
        comm = os.path.basename(os.path.realpath(sys.executable))  # the holder's
        path = self.policy(b"# what should listen here\n"
                           b"tcp 127.0.0.1 8080\n"
                           b"tcp 0:0:0::1 8081   # another spelling of ::1\n"
                           b"udp * 5353 comm=" + comm.encode() + b"\n"
                           b"tcp * 8080 comm=nginx\n"
                           b"tcp ::ffff:127.0.0.1 9090\n"
                           b"tcp * 8082 pid=4\n")
        report, body = self.detail({
            "env": dict(DETAIL, PORTS_EXPECT=path),
            "sockets": [{"kind": "tcp", "addr": "127.0.0.1", "port": 8080},
                        {"kind": "tcp", "addr": "::1", "port": 8081},
                        {"kind": "udp", "addr": "0.0.0.0", "port": 5353},
                        {"kind": "tcp", "addr": "0.0.0.0", "port": 8082}]})
        # Wine names no owner of the holder's sockets: the rule on the name misses.
        named = not WINE
        self.assertEqual(self.judged(body), [("udp", "0.0.0.0", 5353, named),
                                             ("tcp", "127.0.0.1", 8080, True),
                                             ("tcp", "::1", 8081, True),
                                             ("tcp", "0.0.0.0", 8082, False)])
        self.assertEqual(body["policy"], {"path": path, "rules": 5,
                                          "errors": [{"line": 7, "error": "a rule names no pid"}]})
        missing = [{"proto": "tcp", "bind_addr": "*", "port": 8080, "line": 5},
                   {"proto": "tcp", "bind_addr": "127.0.0.1", "port": 9090, "line": 6}]
        if not named:
            missing.insert(0, {"proto": "udp", "bind_addr": "*", "port": 5353, "line": 4})
        self.assertEqual(body["missing"], missing)

    def test_a_hub_that_cannot_see_the_owner_cries_no_wolf(self):
        if WINE:
            self.skipTest("Windows tables name every owner")
        # The program runs as another account than the holder's: the socket's process is
        # hidden, so a rule on its name is neither met nor missed, and the row is neither
        # expected nor unexpected; a rule without keys still judges it.
        comm = os.path.basename(os.path.realpath(sys.executable))
        path = self.policy(b"tcp 127.0.0.1 8080 comm=" + comm.encode() + b"\n"
                           b"tcp 127.0.0.1 8081\n"
                           b"tcp 127.0.0.1 8081 comm=nginx\n"
                           b"tcp 127.0.0.1 8083 comm=nginx\n")
        os.chmod(self.dir, 0o755)
        os.chmod(path, 0o644)
        report, body = self.detail({
            "env": dict(DETAIL, PORTS_EXPECT=path), "run_uid": 65534,
            "sockets": [{"kind": "tcp", "addr": "127.0.0.1", "port": 8080},
                        {"kind": "tcp", "addr": "127.0.0.1", "port": 8081},
                        {"kind": "tcp", "addr": "127.0.0.1", "port": 8082}]})
        self.assertEqual(self.judged(body), [("tcp", "127.0.0.1", 8080, None),
                                             ("tcp", "127.0.0.1", 8081, True),
                                             ("tcp", "127.0.0.1", 8082, False)])
        self.assertEqual([row["holders"] for row in body["listeners"]], [None] * 3)
        self.assertIn("owners", body["unreadable"])
        self.assertEqual(body["missing"],
                         [{"proto": "tcp", "bind_addr": "127.0.0.1", "port": 8083, "line": 4}])
        self.assertEqual(body["unjudged"],
                         [{"proto": "tcp", "bind_addr": "127.0.0.1", "port": 8080, "line": 1},
                          {"proto": "tcp", "bind_addr": "127.0.0.1", "port": 8081, "line": 3}])

    def test_no_number_of_udp_sockets_hides_a_server_or_silences_a_rule(self):
        if WINE:
            self.skipTest("Wine reads the tables itself, and one network stack")
        # More UDP sockets than the table holds, in the program's namespace and in
        # another: every TCP listener of both stays, the table says it was cut, a TCP
        # rule is still judged missing, and a UDP rule is judged on nothing.
        path = self.policy(b"tcp 127.0.0.1 8080\ntcp 127.0.0.1 8081\nudp 127.0.0.1 5\n")
        udp = {"kind": "udp", "addr": "127.0.0.1", "port": 9000, "reuse": True, "count": 16500}
        report, body = self.detail({
            "env": dict(DETAIL, PORTS_EXPECT=path), "nofile": 17000,
            "sockets": [{"kind": "tcp", "addr": "127.0.0.1", "port": 8080}, udp],
            "spaces": [{"sockets": [{"kind": "tcp", "addr": "0.0.0.0", "port": 8443},
                                    dict(udp, count=200)]}]})
        rows = body["listeners"]
        self.assertEqual(len(rows), 16384)
        self.assertEqual(body["truncated"], True)
        tcp = [(r["port"], r["netns"] != 0, r["expected"]) for r in rows if r["proto"] == "tcp"]
        self.assertEqual(tcp, [(8080, False, True), (8443, True, None)])
        self.assertEqual(sum(r["netns"] != 0 for r in rows if r["proto"] == "udp"), 0)
        self.assertEqual(body["missing"], [{"proto": "tcp", "bind_addr": "127.0.0.1",
                                            "port": 8081, "line": 2}])
        self.assertEqual(body["unjudged"], [{"proto": "udp", "bind_addr": "127.0.0.1",
                                             "port": 5, "line": 3}])

    def test_a_file_that_cannot_be_used_judges_nothing(self):
        os.mkdir(os.path.join(self.dir, "folder"))
        files = {
            "file not found": self.named(os.path.join(self.dir, "none")),
            "not a regular file": self.named(os.path.join(self.dir, "folder")),
            # Read only up to its bound, and said to be too large.
            "file too large": self.policy(os.urandom(3 << 20), "big"),
            "not a text file": self.policy(b"tcp * 1\n\0\x7fELF" + os.urandom(100000), "bin"),
        }
        envs = [dict(DETAIL, PORTS_EXPECT=path) for path in files.values()]
        report = sandbox.hold_and_run({"envs": envs,
                                       "sockets": [{"kind": "tcp", "addr": "127.0.0.1"}]})
        for (error, path), r in zip(files.items(), report["runs"]):
            with self.subTest(error=error):
                self.assertEqual((r.rc, r.err), (0, b""))
                body = r.json()
                self.assertEqual([row[3] for row in self.judged(body)], [None])
                self.assertEqual(body["policy"], {"path": path, "rules": 0,
                                                  "errors": [{"line": 0, "error": error}]})
                self.assertEqual(body["missing"], [])


class FixedPlace(PolicyTest):
    def test_the_file_at_the_fixed_place_needs_no_variable(self):
        rules = b"tcp 192.0.2.1 1\n"
        if WINE:
            # expected.txt beside the exe.
            exe = os.path.join(self.dir, "plugin_ports.exe")
            shutil.copy(CMD[-1], exe)
            self.policy(rules, "expected.txt")
            r = run(dict(DETAIL, PORTS_EXPECT=""), cmd=CMD[:-1] + [exe])
            where = windows_path(os.path.join(self.dir, "expected.txt"))
        else:
            # /etc/ports/expected, in a mount namespace of the program's own.
            source = self.policy(rules)
            r = run(dict(DETAIL, PORTS_EXPECT=""), wrap=["unshare", "-m", "--propagation", "private", "--", "sh", "-c",
                                  'mount -t tmpfs none /etc && mkdir /etc/ports && '
                                  'cp "$0" /etc/ports/expected && exec "$@"', source])
            where = "/etc/ports/expected"
        self.assertEqual((r.rc, r.err), (0, b""))
        body = r.json()
        self.assertEqual(body["policy"], {"path": where, "rules": 1, "errors": []})
        self.assertEqual(body["missing"],
                         [{"proto": "tcp", "bind_addr": "192.0.2.1", "port": 1, "line": 1}])


class Paths(PolicyTest):
    def test_a_path_longer_than_max_path_is_read(self):
        # Windows' old limit is 260 characters; the program asks in the long form.
        deep = self.dir
        while len(deep) < 320:
            deep = os.path.join(deep, "d" * 40)
        os.makedirs(deep)
        with open(os.path.join(deep, "expected"), "wb") as f:
            f.write(b"tcp 192.0.2.1 1\n")
        path = self.named(os.path.join(deep, "expected"))
        r = self.run_ok(dict(DETAIL, PORTS_EXPECT=path))
        self.assertEqual(r.json()["policy"], {"path": path, "rules": 1, "errors": []})

    @unittest.skipUnless(WINE, "names of devices and pipes are Windows'")
    def test_devices_and_pipes_are_refused_by_name_before_anything_opens(self):
        for name in ("NUL", "CON", "COM1", "nul.txt", "C:\\nul", "\\\\.\\pipe\\ports-none",
                     "\\\\.\\C:\\x", "\\\\?\\GLOBALROOT\\Device\\Null",
                     "\\\\server\\pipe\\x", "\\\\?\\UNC\\server\\PIPE\\x",
                     "\\\\server\\mailslot\\x"):
            with self.subTest(name=name):
                r = self.run_ok(dict(DETAIL, PORTS_EXPECT=name), timeout=60)
                self.assertEqual(r.json()["policy"]["errors"],
                                 [{"line": 0, "error": "not a regular file"}])


    @unittest.skipUnless(WINE, "named pipes as Windows has them")
    def test_a_pipe_named_as_the_file_is_never_connected_to(self):
        server = os.environ.get("PORTS_PIPE_SERVER")
        if not server:
            self.fail("PORTS_PIPE_SERVER is not set: the Windows build's tests name it")
        for connect in (False, True):
            name = "ports-policy-%d-%d" % (os.getpid(), connect)
            with self.subTest(control=connect), subprocess.Popen(
                    ["wine", server, name, "4000"], stdout=subprocess.PIPE,
                    stderr=subprocess.DEVNULL, env=dict(os.environ, WINEDEBUG="-all")) as p:
                self.assertEqual(p.stdout.readline().strip(), b"ready")
                if connect:
                    # The control: a client that opens the pipe is seen.
                    run(cmd=["wine", server, "--connect", name])
                else:
                    r = self.run_ok(dict(DETAIL, PORTS_EXPECT="\\\\.\\pipe\\" + name))
                    self.assertEqual(r.json()["policy"]["errors"],
                                     [{"line": 0, "error": "not a regular file"}])
                self.assertEqual(p.stdout.readline().strip(),
                                 b"connected" if connect else b"none")


class Baseline(PolicyTest):
    def test_written_rules_read_back_expect_every_socket(self):
        self.needs_namespace()
        plan = {
            "sockets": [{"kind": "tcp", "addr": "127.0.0.1"}, {"kind": "tcp", "addr": "::"},
                        {"kind": "udp", "addr": "::ffff:127.0.0.1"},
                        # A group of sockets of one program: one rule.
                        {"kind": "udp", "addr": "0.0.0.0", "port": 5353, "reuse": True,
                         "count": 3}],
            "args": [["--baseline"], []],
            "envs": [{}, dict(DETAIL, PORTS_EXPECT="{OUT0}")],
        }
        if not WINE:
            # A name that needs quoting in a rule, and one the answers must escape.
            plan["owner"] = {"name_hex": b'my "srv" #1\\ x=y\t'.hex()}
        report = sandbox.hold_and_run(plan)
        rules, fed = report["runs"]
        self.assertEqual((rules.rc, rules.err), (0, b""))
        lines = rules.out.decode().splitlines()
        self.assertEqual(len(lines), 4, rules.out)  # no header block, one rule per socket
        if not WINE:
            self.assertTrue(all(' comm="my \\"srv\\" #1\\\\ x=y\\x09"' in line for line in lines),
                            rules.out)
        body = fed.json()
        self.assertEqual([row[3] for row in self.judged(body)], [True] * 6)
        self.assertEqual((body["policy"]["rules"], body["policy"]["errors"], body["missing"]),
                         (4, [], []))

    def test_never_from_a_request(self):
        # A CGI host may hand a query without "=" over as the command line.
        for env, want in (({"QUERY_STRING": "--baseline"}, "full"),
                          ({"QUERY_STRING": "--baseline", "BOT_PASSWORD": "pw"}, "refusal")):
            with self.subTest(env=env):
                r = self.run_ok(dict(env, GATEWAY_INTERFACE="CGI/1.1"), args=["--baseline"])
                self.assertEqual(r.kind(), want)


if __name__ == "__main__":
    unittest.main()
