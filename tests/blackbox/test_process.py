"""The process answer (action=process): the pid texts it takes, and what it tells of a
process the test starts: on Linux a helper under another account, from a folder and with
arguments the test knows, on a copy of an executable deleted once it runs; under Wine a
parent and its child (tests/windows/process_tree.cpp).
"""
import calendar
import json
import os
import re
import select
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import harness
from harness import JSON_HEAD, SANITIZED, WINE, ProgramTest

PID_ERROR = JSON_HEAD + b'{"ok":false,"error":"pid must be a process id"}\n'
NO_PROCESS = JSON_HEAD + b'{"ok":false,"error":"no such process"}\n'
KEYS = ["ok", "action", "pid", "comm", "user", "exe", "exe_deleted", "cmdline", "cwd",
        "started", "age_s", "parents", "service", "container", "sockets", "unreadable"]
PASSWORD = {"BOT_PASSWORD": "s3cret", "HTTP_X_BOT_PASSWORD": "s3cret"}
NOBODY = 65534


def read_lines(stream, patterns, limit=60):
    """The first line matching each pattern, within limit seconds (a helper that hangs
    fails the test instead of holding it)."""
    found, buf, deadline = {}, b"", time.monotonic() + limit
    while len(found) < len(patterns):
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([stream], [], [], left)[0]:
            raise RuntimeError("helper: no %s within %d s" % (sorted(set(patterns) - set(found)),
                                                               limit))
        chunk = os.read(stream.fileno(), 65536)
        if not chunk:
            raise RuntimeError("helper ended early")
        buf += chunk
        for line in buf.split(b"\n")[:-1]:
            for name, pattern in patterns.items():
                m = re.match(pattern, line)
                if m and name not in found:
                    found[name] = m
    return found


def start_helper(args, patterns, **popen):
    """Starts a helper that runs until its standard input closes; (its Popen, the first
    line matching each pattern)."""
    proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, **popen)
    try:
        return proc, read_lines(proc.stdout, patterns)
    except Exception:
        stop_helper(proc)
        raise


def stop_helper(proc):
    proc.stdin.close()
    try:
        proc.wait(timeout=30)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
    proc.stdout.close()


class ProcessTest(ProgramTest):
    def answer(self, pid, env=None, **kw):
        """The answer for pid, its keys checked in their order."""
        r = self.run_ok(dict({"QUERY_STRING": "action=process&pid=%d" % pid}, **(env or {})), **kw)
        body = r.body()
        self.assertEqual([k for k, _ in json.loads(body, object_pairs_hook=list)], KEYS)
        return json.loads(body)

    def assert_started(self, body, before, after):
        started = calendar.timegm(time.strptime(body["started"], "%Y-%m-%dT%H:%M:%SZ"))
        self.assertTrue(before - 2 <= started <= after + 1, (before, body["started"], after))
        self.assertAlmostEqual(body["age_s"], time.time() - started, delta=3)


class PidTexts(ProcessTest):
    def test_only_a_process_id_is_taken(self):
        texts = [None, "", "0", "-1", "abc", "12x", "1" * 20, "%00", "1%00", "%201", "+1", "007",
                 "4294967296"]
        for text in texts:
            query = "action=process" + ("" if text is None else "&pid=" + text)
            with self.subTest(query=query):
                self.assertEqual(self.request(query).out, PID_ERROR)

    def test_a_pid_without_a_process(self):
        if WINE:
            # Any 32-bit number may name a Windows process; none has this one.
            pids = [4294967292]
        else:
            # A free pid, and the id of a thread (a thread of a process is none).
            with open("/proc/sys/kernel/pid_max") as f:
                free = int(f.read()) - 1
            while os.path.exists("/proc/%d" % free):
                free -= 1
            stop = threading.Event()
            thread = threading.Thread(target=stop.wait)
            thread.start()
            self.addCleanup(thread.join)
            self.addCleanup(stop.set)
            pids = [free, thread.native_id]
            self.assertEqual(self.request("action=process&pid=%d" % (free + 1)).out, PID_ERROR)
        for pid in pids:
            with self.subTest(pid=pid):
                self.assertEqual(self.request("action=process&pid=%d" % pid).out, NO_PROCESS)


HELPER = """
import socket, sys
t = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
t.bind(("127.0.0.1", 0))
t.listen(4)
u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
u.bind(("127.0.0.1", 0))
print("ports", t.getsockname()[1], u.getsockname()[1], flush=True)
sys.stdin.read()
"""


def ancestors(pid):
    """The pids from pid's parent up to the one without a parent, from /proc."""
    out = []
    while True:
        with open("/proc/%d/status" % pid) as f:
            pid = int(re.search(r"^PPid:\s+(\d+)", f.read(), re.M).group(1))
        if pid == 0:
            return out
        out.append(pid)


def task_name(pid):
    with open("/proc/%d/stat" % pid, "rb") as f:
        line = f.read()
    return line[line.index(b"(") + 1:line.rindex(b")")].decode()


def account(uid):
    with open("/etc/passwd") as f:
        for line in f:
            fields = line.split(":")
            if len(fields) > 2 and fields[2] == str(uid):
                return fields[0]
    return str(uid)


class LinuxProcess(ProcessTest):
    """A helper of another account: a copy of Python, deleted once it runs."""

    @classmethod
    def setUpClass(cls):
        if WINE:
            raise unittest.SkipTest("the Linux helper; under Wine see WineProcess")
        cls.folder = tempfile.mkdtemp(prefix="ports-process-")
        os.chmod(cls.folder, 0o755)  # the helper runs as another user
        cls.exe = os.path.join(cls.folder, "ports-helper")
        shutil.copy(os.path.realpath("/usr/bin/python3"), cls.exe)
        cls.args = [cls.exe, "-c", HELPER, "two words", b"\xff"]
        cls.before = time.time()
        try:
            cls.proc, found = start_helper(cls.args, {"ports": rb"ports (\d+) (\d+)"},
                                           cwd=cls.folder, user=NOBODY, group=NOBODY,
                                           extra_groups=[])
        except Exception:
            shutil.rmtree(cls.folder)
            raise
        cls.tcp, cls.udp = int(found["ports"].group(1)), int(found["ports"].group(2))
        os.unlink(cls.exe)
        cls.after = time.time()

    @classmethod
    def tearDownClass(cls):
        stop_helper(cls.proc)
        shutil.rmtree(cls.folder)

    def sockets(self):
        return sorted([{"proto": "tcp", "bind_addr": "127.0.0.1", "port": self.tcp},
                       {"proto": "udp", "bind_addr": "127.0.0.1", "port": self.udp}],
                      key=lambda s: (s["port"], s["proto"]))

    def test_program_arguments_folder_start_parents_and_sockets(self):
        body = self.answer(self.proc.pid, PASSWORD)
        self.assert_started(body, self.before, self.after)
        parents = ancestors(self.proc.pid)
        self.assertEqual(parents[0], os.getpid())
        self.assertEqual(parents[-1], 1)
        self.assertEqual([p["pid"] for p in body["parents"]], parents)
        self.assertEqual(body["parents"][0]["comm"], os.path.basename(os.readlink("/proc/self/exe")))
        self.assertIsInstance(body["service"], str)
        self.assertIsInstance(body["container"], str)
        for key in ("started", "age_s", "parents", "service", "container"):
            del body[key]
        self.assertEqual(body, {
            "ok": True, "action": "process", "pid": self.proc.pid, "comm": "ports-helper",
            "user": account(NOBODY), "exe": self.exe, "exe_deleted": True,
            "cmdline": [self.exe, "-c", HELPER, "two words", "\ufffd"], "cwd": self.folder,
            "sockets": self.sockets(), "unreadable": []})

        # Without a node password the command line stays out, and the answer says why.
        plain = self.answer(self.proc.pid)
        self.assertEqual((plain["cmdline"], plain["unreadable"]), (None, ["cmdline:no-password"]))
        self.assertEqual((plain["exe"], plain["cwd"], plain["sockets"]),
                         (self.exe, self.folder, self.sockets()))

    def test_a_hub_out_of_descriptors_says_so_and_not_that_the_process_is_gone(self):
        if SANITIZED:
            self.skipTest("the sanitizer's runtime reads /proc through descriptors of its own")
        # Standard input, output and error fill three: no file of /proc can be opened.
        r = self.run_ok({"QUERY_STRING": "action=process&pid=%d" % self.proc.pid},
                        limits={"nofile": 3})
        self.assertEqual(r.body(), b'{"ok":false,"error":"cannot read processes"}\n')

    def test_a_hub_that_is_not_root(self):
        def as_other_user():
            os.setgroups([])
            os.setgid(54321)
            os.setuid(54321)
        body = self.answer(self.proc.pid, PASSWORD, preexec=as_other_user)
        self.assert_started(body, self.before, self.after)
        # The image, folder and descriptors of another account's process are closed to
        # it; its task name, account, arguments, start and parents are not.
        self.assertEqual([p["pid"] for p in body["parents"]], ancestors(self.proc.pid))
        self.assertEqual(body["parents"][0]["comm"], task_name(os.getpid()))
        self.assertEqual({k: body[k] for k in ("comm", "user", "exe", "exe_deleted", "cmdline",
                                               "cwd", "sockets", "unreadable")},
                         {"comm": "ports-helper", "user": account(NOBODY), "exe": None,
                          "exe_deleted": None,
                          "cmdline": [self.exe, "-c", HELPER, "two words", "\ufffd"],
                          "cwd": None, "sockets": None,
                          "unreadable": ["exe", "cwd", "sockets"]})


    def test_a_hub_that_is_not_root_with_the_reader(self):
        # The reader reads the image, folder and descriptors the account may not; the
        # command line still only behind the password.
        folder = tempfile.mkdtemp(prefix="ports-process-reader-")
        self.addCleanup(shutil.rmtree, folder)
        reader = {"PORTS_READER": harness.capable_reader(folder)}

        def as_other_user():
            os.setgroups([])
            os.setgid(54321)
            os.setuid(54321)
        body = self.answer(self.proc.pid, dict(PASSWORD, **reader), preexec=as_other_user)
        self.assertEqual({k: body[k] for k in ("comm", "exe", "exe_deleted", "cmdline", "cwd",
                                               "sockets", "unreadable")},
                         {"comm": "ports-helper", "exe": self.exe, "exe_deleted": True,
                          "cmdline": [self.exe, "-c", HELPER, "two words", "\ufffd"],
                          "cwd": self.folder, "sockets": self.sockets(), "unreadable": []})
        plain = self.answer(self.proc.pid, reader, preexec=as_other_user)
        self.assertEqual((plain["cmdline"], plain["unreadable"]), (None, ["cmdline:no-password"]))


class OtherNamespace(ProcessTest):
    def test_the_sockets_of_a_process_in_another_network_namespace(self):
        # The detail answer lists a container's sockets in its own namespace: its
        # process's answer finds them there, not in the program's.
        if WINE:
            self.skipTest("Windows has one network stack")
        proc, found = start_helper(["unshare", "-n", sys.executable, "-c", NAMESPACE_HELPER],
                                   {"port": rb"port (\d+)"})
        self.addCleanup(stop_helper, proc)
        port = int(found["port"].group(1))
        self.assertEqual(self.answer(proc.pid)["sockets"],
                         [{"proto": "tcp", "bind_addr": "0.0.0.0", "port": port}])


NAMESPACE_HELPER = """
import socket, sys
t = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
t.bind(("0.0.0.0", 0))
t.listen(4)
print("port", t.getsockname()[1], flush=True)
sys.stdin.read()
"""


class WineProcess(ProcessTest):
    """A Wine process and its parent, started by tests/windows/process_tree.cpp."""

    @classmethod
    def setUpClass(cls):
        if not WINE:
            raise unittest.SkipTest("a Wine process")
        tree = os.environ.get("PORTS_PROCESS_TREE")
        if not tree:
            raise RuntimeError("PORTS_PROCESS_TREE is not set: the windows build names it")
        harness.keep_wine_server(os.environ.get("WINEPREFIX"))
        cls.before = time.time()
        cls.proc, found = start_helper(["wine", tree],
                                       {"tree": rb"tree (\d+) (\d+)\r?$",
                                        "child": rb"child (\d+) (.*?)\r?$"},
                                       env=dict(os.environ, WINEDEBUG="-all"))
        cls.after = time.time()
        cls.parent, cls.child = int(found["tree"].group(1)), int(found["tree"].group(2))
        cls.port = int(found["child"].group(1))
        cls.command_line = found["child"].group(2).decode()
        cls.exe = harness.windows_path(tree)

    @classmethod
    def tearDownClass(cls):
        stop_helper(cls.proc)

    def test_path_start_parents_and_sockets_of_a_wine_process(self):
        body = self.answer(self.child, PASSWORD)
        self.assert_started(body, self.before, self.after)
        self.assertEqual(body["parents"][0], {"pid": self.parent, "comm": "process_tree.exe"})
        pids = [p["pid"] for p in body["parents"]]
        self.assertEqual(len(pids), len(set(pids)))
        # Windows keeps a command line as one text. Wine, like Windows before 8.1, refuses
        # to tell another process's: then it is unreadable, not guessed.
        if body["cmdline"] is None:
            self.assertEqual(body["unreadable"], ["cmdline"])
        else:
            self.assertEqual((body["cmdline"], body["unreadable"]), ([self.command_line], []))
        self.assertTrue(self.command_line.endswith(" child \u00e9t\u00e9"), self.command_line)
        # Wine's tables name the owner of a socket seldom (Windows' name every one), so the
        # listener is there or no socket is.
        listener = {"proto": "tcp", "bind_addr": "127.0.0.1", "port": self.port}
        self.assertIn(body["sockets"], ([], [listener]))
        self.assertEqual({k: body[k] for k in ("pid", "comm", "exe", "exe_deleted", "cwd",
                                               "container")},
                         {"pid": self.child, "comm": "process_tree.exe", "exe": self.exe,
                          "exe_deleted": None, "cwd": None, "container": ""})
        # Without the node password the command line is not even asked for.
        plain = self.answer(self.child)
        self.assertEqual((plain["cmdline"], plain["unreadable"]), (None, ["cmdline:no-password"]))


if __name__ == "__main__":
    unittest.main()
