"""Real rootless podman: an account's container, published by its rootlessport.

An account of the suite's own (a unique name, subordinate ids of its own, removed after)
runs podman with slirp4netns, which needs /dev/net/tun: the suite opens it up while the
container starts and puts its mode back at once. The image is imported from a
busybox-static root. No test connects through the published port.
"""
import json
import os
import random
import shutil
import signal
import socket
import stat
import subprocess
import tempfile
import time
import unittest
import uuid

import engines
import harness
from harness import WINE

DETAIL = {"QUERY_STRING": "action=listeners&detail=1"}


class Rootless(harness.ProgramTest):
    @classmethod
    def setUpClass(cls):
        if WINE:
            raise unittest.SkipTest("rootless podman is a Linux engine")
        for tool in ("podman", "newuidmap", "slirp4netns", "useradd", "userdel"):
            if not shutil.which(tool):
                raise RuntimeError(tool + " is missing: run scripts/install-deps.sh test")
        cls.user = "ports-" + uuid.uuid4().hex[:10]
        subprocess.run(["useradd", "-m", "-s", "/bin/sh", cls.user], check=True)
        cls.uid = int(subprocess.run(["id", "-u", cls.user], stdout=subprocess.PIPE,
                                     check=True).stdout)
        try:
            base = 1000000 + random.randint(0, 1000) * 65536
            subprocess.run(["usermod", "--add-subuids", "%d-%d" % (base, base + 65535),
                            "--add-subgids", "%d-%d" % (base, base + 65535), cls.user],
                           check=True)
            cls.runtime = "/run/user/%d" % cls.uid
            os.makedirs(cls.runtime, exist_ok=True)
            os.chown(cls.runtime, cls.uid, cls.uid)
            os.chmod(cls.runtime, 0o700)
            cls._start()
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def podman(cls, *args):
        proc = subprocess.run(
            ["setpriv", "--reuid=%d" % cls.uid, "--regid=%d" % cls.uid, "--init-groups",
             "env", "HOME=/home/" + cls.user, "XDG_RUNTIME_DIR=" + cls.runtime,
             "USER=" + cls.user, "podman", "--cgroup-manager", "cgroupfs",
             "--events-backend", "file", "--runtime", "runc"] + list(args),
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=180, cwd="/")
        if proc.returncode != 0:
            raise RuntimeError("podman %s: %s" % (" ".join(args), proc.stderr.decode()))
        return proc.stdout.decode().strip()

    @classmethod
    def _start(cls):
        tag = uuid.uuid4().hex[:10]
        tar = os.path.join("/home", cls.user, "image.tar")
        engines.busybox_root(tar)
        os.chown(tar, cls.uid, cls.uid)
        cls.podman("import", tar, "ports-test-busybox:" + tag)
        cls.port = engines.free_port()
        cls.web = "ports-rootless-" + tag
        tun = "/dev/net/tun"
        mode = stat.S_IMODE(os.stat(tun).st_mode)
        os.chmod(tun, 0o666)
        try:
            cls.podman("run", "-d", "--name", cls.web, "--ulimit", "nofile=1024:1024",
                       "--ulimit", "nproc=1000:1000", "-p", "127.0.0.1:%d:80" % cls.port,
                       "ports-test-busybox:" + tag, "/bin/httpd", "-f", "-p", "80")
        finally:
            os.chmod(tun, mode)

    @classmethod
    def tearDownClass(cls):
        try:
            cls.podman("rm", "-f", "-a")
        except (RuntimeError, subprocess.TimeoutExpired):
            pass
        # The account's processes are all the suite's (podman's pause process among them).
        for entry in os.listdir("/proc"):
            if entry.isdigit():
                try:
                    if os.stat("/proc/" + entry).st_uid == cls.uid:
                        os.kill(int(entry), signal.SIGKILL)
                except (FileNotFoundError, ProcessLookupError):
                    pass
        time.sleep(0.2)
        subprocess.run(["userdel", "-r", "-f", cls.user], stderr=subprocess.DEVNULL)
        shutil.rmtree("/run/user/%d" % cls.uid, ignore_errors=True)

    def row(self, port, settled=lambda rows: True):
        deadline = time.monotonic() + 30
        while True:
            body = self.run_ok(DETAIL).json()
            rows = [r for r in body["listeners"] if r["netns"] == 0 and r["port"] == port]
            if rows and settled(rows):
                return rows
            self.assertLess(time.monotonic(), deadline, "the port was never listed")
            time.sleep(0.3)

    def test_rootlessport_leads_into_its_accounts_container_port_untold(self):
        info = json.loads(self.podman("inspect", self.web))[0]
        netns = os.stat("/proc/%d/ns/net" % info["State"]["Pid"]).st_ino
        # rootlessport listens on the host before it moves into the container's namespace.
        rows = self.row(self.port, lambda rows: rows[0]["forward"] is not None)
        self.assertEqual([(r["comm"], r["user"], r["forward"]) for r in rows],
                         [("rootlessport", self.user, {
                             "addr": "127.0.0.1", "port": None, "netns": netns,
                             "container": info["Id"][:12], "name": info["Name"]})])

    def test_a_program_of_its_own_called_rootlessport_is_not_believed(self):
        folder = tempfile.mkdtemp(prefix="ports-fake-rootlessport-")
        self.addCleanup(shutil.rmtree, folder, True)
        fake = os.path.join(folder, "rootlessport")
        shutil.copy(harness.IDLE, fake)
        os.chown(folder, self.uid, self.uid)
        os.chown(fake, self.uid, self.uid)
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        port = listener.getsockname()[1]
        r, w = os.pipe()
        pid = os.fork()
        if pid == 0:
            try:
                os.dup2(r, 0)
                os.set_inheritable(listener.fileno(), True)
                os.setgid(self.uid)
                os.setgroups([])
                os.setuid(self.uid)
                os.execv(fake, ["rootlessport"])
            finally:
                os._exit(127)
        os.close(r)
        listener.close()

        def stop():
            os.close(w)
            os.waitpid(pid, 0)
        self.addCleanup(stop)
        self.assertEqual([(r["pid"], r["forward"]) for r in self.row(port)], [(pid, None)])


if __name__ == "__main__":
    unittest.main()
