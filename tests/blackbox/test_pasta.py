"""Real pasta (Debian's passt): an account's forwarder into a namespace of its own.

pasta runs as an unprivileged account (nobody) with a command, so it makes a user and a
network namespace of that account's, listens on the host for the ports of its -t mapping
and holds the namespace it serves open. It needs /dev/net/tun, which this machine keeps
for root: the suite opens it up while pasta starts and puts its mode back at once. No
test connects through the forwarded port.
"""
import os
import shutil
import socket
import stat
import subprocess
import tempfile
import time
import unittest

import engines
import harness
from harness import WINE

DETAIL = {"QUERY_STRING": "action=listeners&detail=1"}
NOBODY = 65534


def _children(pid):
    with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
        return [int(p) for p in f.read().split()]


class Pasta(harness.ProgramTest):
    @classmethod
    def setUpClass(cls):
        if WINE:
            raise unittest.SkipTest("pasta is a Linux forwarder")
        if not shutil.which("pasta"):
            raise RuntimeError("pasta is missing: run scripts/install-deps.sh test")
        cls.port = engines.free_port()
        tun = "/dev/net/tun"
        mode = stat.S_IMODE(os.stat(tun).st_mode)
        os.chmod(tun, 0o666)
        try:
            cls.proc = subprocess.Popen(
                ["setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY, "--clear-groups",
                 "env", "HOME=/tmp", "pasta", "-f", "-t", "127.0.0.1/%d:80" % cls.port,
                 "-u", "none", "-T", "none", "-U", "none", "--config-net", "--",
                 "sleep", "120"],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
            cls.pasta, cls.inside = cls._wait_for_namespace()
        finally:
            os.chmod(tun, mode)

    @classmethod
    def _wait_for_namespace(cls):
        """pasta's pid (setpriv and env exec it in their place) and the namespace it
        serves, that of the command it runs."""
        deadline = time.monotonic() + 20
        home = os.stat("/proc/self/ns/net").st_ino
        while time.monotonic() < deadline:
            for child in _children(cls.proc.pid):
                netns = os.stat("/proc/%d/ns/net" % child).st_ino
                if netns != home:
                    return cls.proc.pid, netns
            time.sleep(0.1)
        cls.tearDownClass()
        raise RuntimeError("pasta did not start its namespace")

    @classmethod
    def tearDownClass(cls):
        os.killpg(cls.proc.pid, 9)
        cls.proc.wait()

    def row(self, port):
        deadline = time.monotonic() + 20
        while True:
            body = self.run_ok(DETAIL).json()
            rows = [r for r in body["listeners"] if r["netns"] == 0 and r["port"] == port]
            if rows:
                return rows
            self.assertLess(time.monotonic(), deadline, "the port was never listed")
            time.sleep(0.2)

    def test_pasta_leads_into_the_namespace_its_account_owns(self):
        rows = self.row(self.port)
        served = [r for r in rows if r["pid"] == self.pasta]
        self.assertEqual([(r["comm"], r["forward"]) for r in served],
                         [("passt.avx2", {"addr": "127.0.0.1", "port": 80, "netns": self.inside,
                                          "container": "", "name": ""})])

    def test_a_program_of_its_own_called_pasta_is_not_believed(self):
        # The account's own copy of a program named passt.avx2, holding the very
        # namespace pasta serves and a command line that forwards its socket: nothing a
        # file the account could write says is believed.
        folder = tempfile.mkdtemp(prefix="ports-fake-pasta-")
        self.addCleanup(shutil.rmtree, folder, True)
        fake = os.path.join(folder, "passt.avx2")
        shutil.copy(harness.IDLE, fake)
        os.chown(folder, NOBODY, NOBODY)
        os.chown(fake, NOBODY, NOBODY)
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        port = listener.getsockname()[1]
        child = [c for c in _children(self.pasta)][0]
        ns = os.open("/proc/%d/ns/net" % child, os.O_RDONLY)
        r, w = os.pipe()
        pid = os.fork()
        if pid == 0:
            try:
                os.dup2(r, 0)
                os.set_inheritable(listener.fileno(), True)
                os.set_inheritable(ns, True)
                os.setgid(NOBODY)
                os.setgroups([])
                os.setuid(NOBODY)
                os.execv(fake, ["pasta", "-t", "127.0.0.1/%d:80" % port])
            finally:
                os._exit(127)
        os.close(r)
        os.close(ns)
        listener.close()

        def stop():
            os.close(w)
            os.waitpid(pid, 0)
        self.addCleanup(stop)
        rows = self.row(port)
        self.assertEqual([(r["pid"], r["forward"]) for r in rows], [(pid, None)])


if __name__ == "__main__":
    unittest.main()
