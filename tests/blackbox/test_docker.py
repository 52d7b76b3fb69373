"""Real Docker: where a published port leads, and the containers' own listeners.

Debian's docker.io: the engine already running on the default socket, else one started
here (its state in a folder of its own) and stopped after. The image is made by `docker
import` from a root holding only a static busybox (no registry is reachable). One
container publishes 127.0.0.1:PORT:80, one publishes nothing; the detail answer is
checked against `docker inspect`. No test connects through the published port: the
proxy would forward over the container bridge.
"""
import ctypes
import json
import os
import random
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest
import uuid

import engines
import harness
from harness import JSON_HEAD, WINE

DOCKER = "/usr/bin/docker"  # Debian's client
DETAIL = {"QUERY_STRING": "action=listeners&detail=1"}


def _tools():
    """Fails loudly where a tool the suite needs is missing."""
    for path in ("/usr/sbin/dockerd", DOCKER, "/bin/busybox"):
        if not os.access(path, os.X_OK):
            raise RuntimeError(path + " is missing: run scripts/install-deps.sh test")


class Engine:
    """The Docker engine the suite talks to: the running one, or one of its own."""

    def __init__(self, more=None):
        """more: arguments of an engine of the suite's own, which then always starts,
        on a bridge of its own."""
        self.folder = None
        self.pid = 0
        self.host = []
        self.bridge = None
        self.had_bridge = os.path.exists("/sys/class/net/docker0")
        if more is None and self._answers([]):
            return
        self.folder = tempfile.mkdtemp(prefix="ports-docker-")
        f = self.folder
        sock = "unix://%s/sock" % f
        self.log = open(os.path.join(f, "log"), "wb")
        args = []
        if more is not None:
            self.bridge = "pt" + uuid.uuid4().hex[:10]
            subprocess.run(["ip", "link", "add", self.bridge, "type", "bridge"], check=True)
            subprocess.run(["ip", "addr", "add", "10.%d.%d.1/24" % (random.randint(100, 250),
                            random.randint(0, 255)), "dev", self.bridge], check=True)
            subprocess.run(["ip", "link", "set", self.bridge, "up"], check=True)
            args = ["--bridge", self.bridge] + more
        # No firewall rules: nothing reaches the containers from outside in this test.
        self.proc = subprocess.Popen(
            ["dockerd", "--data-root", f + "/root", "--exec-root", f + "/exec", "--pidfile",
             f + "/pid", "-H", sock, "--iptables=false"] + args,
            stdout=self.log, stderr=subprocess.STDOUT, start_new_session=True)
        self.host = ["-H", sock]
        deadline = time.monotonic() + 90
        while not self._answers(self.host):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.stop()
                with open(os.path.join(f, "log"), "rb") as log:
                    tail = log.read()[-2000:].decode(errors="replace")
                raise RuntimeError("dockerd could not be started:\n" + tail)
            time.sleep(0.5)

    @staticmethod
    def _answers(host):
        return subprocess.run([DOCKER] + host + ["info"], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=60).returncode == 0

    def docker(self, *args, stdin=None):
        proc = subprocess.run([DOCKER] + self.host + list(args), input=stdin,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
        if proc.returncode != 0:
            raise RuntimeError("docker %s: %s" % (" ".join(args), proc.stderr.decode()))
        return proc.stdout.decode().strip()

    def stop(self):
        if not self.folder:
            return
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=60)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait()
        self.log.close()
        with open("/proc/self/mounts") as f:
            mounts = [line.split()[1] for line in f if self.folder in line.split()[1]]
        for mount in sorted(mounts, reverse=True):
            subprocess.run(["umount", "-l", mount], stderr=subprocess.DEVNULL)
        shutil.rmtree(self.folder, ignore_errors=True)
        if self.bridge:
            subprocess.run(["ip", "link", "del", self.bridge], stderr=subprocess.DEVNULL)
        elif not self.had_bridge and os.path.exists("/sys/class/net/docker0"):
            subprocess.run(["ip", "link", "del", "docker0"], stderr=subprocess.DEVNULL)


class PublishedPorts(harness.ProgramTest):
    @classmethod
    def setUpClass(cls):
        if WINE:
            raise unittest.SkipTest("Docker's proxy is a Linux process")
        _tools()
        cls.engine = Engine()
        cls.names, cls.image = [], None
        try:
            cls._start_containers()
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def _start_containers(cls):
        tag = uuid.uuid4().hex[:10]
        tar = engines.busybox_root()
        cls.image = "ports-test-busybox:" + tag
        cls.engine.docker("import", "-", cls.image, stdin=tar)
        cls.port = engines.free_port()
        cls.web = "ports-web-" + tag
        cls.quiet = "ports-quiet-" + tag
        for name, args in ((cls.web, ["-p", "127.0.0.1:%d:80" % cls.port, cls.image,
                                      "/bin/httpd", "-f", "-p", "80"]),
                           (cls.quiet, [cls.image, "/bin/httpd", "-f", "-p", "8081"])):
            cls.engine.docker("run", "-d", "--name", name, *args)
            cls.names.append(name)

    @classmethod
    def tearDownClass(cls):
        if cls.names:
            cls.engine.docker("rm", "-f", *cls.names)
        if cls.image:
            cls.engine.docker("rmi", cls.image)
        cls.engine.stop()

    def inspect(self, name):
        info = json.loads(self.engine.docker("inspect", name))[0]
        return {"pid": info["State"]["Pid"], "id": info["Id"], "name": info["Name"].lstrip("/"),
                "addr": info["NetworkSettings"]["IPAddress"],
                "netns": os.stat("/proc/%d/ns/net" % info["State"]["Pid"]).st_ino}

    def answer(self):
        # The containers' servers may take a moment to listen. A hub may start the
        # program with a small stack.
        deadline = time.monotonic() + 30
        while True:
            r = self.run_ok(DETAIL, limits={"stack": 64 * 1024})
            self.assertTrue(r.out.startswith(JSON_HEAD))
            body = r.json()
            self.assertEqual(body["count"], len(body["listeners"]))
            ports = {(row["netns"], row["port"]) for row in body["listeners"]}
            web, quiet = self.inspect(self.web), self.inspect(self.quiet)
            if {(web["netns"], 80), (quiet["netns"], 8081)} <= ports:
                return body, web, quiet
            self.assertLess(time.monotonic(), deadline, "the containers' servers never listened")
            time.sleep(0.5)

    def proxy_row(self, body, port):
        rows = [r for r in body["listeners"] if r["netns"] == 0 and r["proto"] == "tcp" and
                r["port"] == port]
        self.assertEqual(len(rows), 1, rows)
        return rows[0]

    def test_the_published_port_leads_to_its_container_and_each_container_is_listed(self):
        body, web, quiet = self.answer()
        rows = body["listeners"]
        proxy = [r for r in rows if r["netns"] == 0 and r["proto"] == "tcp" and
                 r["port"] == self.port]
        self.assertEqual([(r["bind_addr"], r["comm"]) for r in proxy],
                         [("127.0.0.1", "docker-proxy")])
        self.assertEqual(proxy[0]["forward"], {"addr": web["addr"], "port": 80,
                                               "netns": web["netns"], "container": web["id"][:12],
                                               "name": web["name"]})
        for c, port in ((web, 80), (quiet, 8081)):
            inside = [(r["proto"], r["port"], r["pid"], r["container"], r["container_name"],
                       r["forward"]) for r in rows if r["netns"] == c["netns"]]
            self.assertEqual(inside, [("tcp", port, c["pid"], c["id"][:12], c["name"], None)])

    def fake_pair(self, uid, engine_args, port=None):
        """A process named dockerd with engine_args whose child, named docker-proxy,
        listens on 127.0.0.1 and says it forwards to the web container, both running as
        uid. Ended by closing their standard input; returns (processes' input, port)."""
        folder = tempfile.mkdtemp(prefix="ports-fake-engine-")
        self.addCleanup(shutil.rmtree, folder, True)
        os.chmod(folder, 0o755)
        for name in ("dockerd", "docker-proxy"):
            shutil.copy(harness.IDLE, os.path.join(folder, name))
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(4)
        port = listener.getsockname()[1]
        web = self.inspect(self.web)
        proxy_args = ["-proto", "tcp", "-host-ip", "127.0.0.1", "-host-port", str(port),
                      "-container-ip", web["addr"], "-container-port", "80"]
        r, w = os.pipe()
        pid = os.fork()
        if pid == 0:  # the fake engine, whose child the fake proxy is
            try:
                os.dup2(r, 0)
                if uid:
                    os.setgid(uid)
                    os.setgroups([])
                    os.setuid(uid)
                if os.fork() == 0:
                    os.set_inheritable(listener.fileno(), True)
                    os.execv(os.path.join(folder, "docker-proxy"), ["docker-proxy"] + proxy_args)
                listener.close()
                os.execv(os.path.join(folder, "dockerd"), ["dockerd"] + engine_args)
            finally:
                os._exit(127)
        os.close(r)
        listener.close()

        def stop():
            os.close(w)
            os.waitpid(pid, 0)
        self.addCleanup(stop)
        return folder, port

    def forward_of(self, port):
        deadline = time.monotonic() + 30
        while True:
            r = self.run_ok(DETAIL, timeout=20)
            body = r.json()
            rows = [x for x in body["listeners"] if x["port"] == port and x["netns"] == 0]
            if rows and rows[0]["comm"] == "docker-proxy":
                return rows[0]["forward"], body["unreadable"]
            self.assertLess(time.monotonic(), deadline, "the fake proxy was never listed")
            time.sleep(0.2)

    def test_a_forwarder_is_believed_only_from_roots_engine_and_its_files_never_wait(self):
        web = self.inspect(self.web)
        # Another account's pair names the real container: nothing is believed.
        _, port = self.fake_pair(65534, ["--data-root", "/var/lib/docker"])
        self.assertEqual(self.forward_of(port), (None, []))
        # Root's engine whose configuration file is a FIFO, whose container state is a
        # FIFO, a device behind root's link, or a file of another account: the answer
        # comes at once, the target as the proxy says, the container unsaid and the
        # engine's state said unreadable.
        for kind in ("fifo-config", "fifo-state", "device-state", "foreign-state"):
            with self.subTest(kind=kind):
                folder = tempfile.mkdtemp(prefix="ports-fake-root-")
                self.addCleanup(shutil.rmtree, folder, True)
                state = os.path.join(folder, "containers", web["id"])
                os.makedirs(state)
                path = os.path.join(state, "config.v2.json")
                if kind == "fifo-config":
                    os.mkfifo(os.path.join(folder, "daemon.json"))
                    args = ["--config-file", os.path.join(folder, "daemon.json")]
                else:
                    args = ["--data-root", folder]
                if kind == "fifo-state":
                    os.mkfifo(path)
                elif kind == "device-state":
                    os.symlink("/dev/zero", path)
                elif kind == "foreign-state":
                    with open(path, "w") as f:
                        json.dump({"Name": "/not-the-engines"}, f)
                    os.chown(path, 65534, 65534)
                _, port = self.fake_pair(0, args)
                forward, unreadable = self.forward_of(port)
                self.assertEqual(forward, {"addr": web["addr"], "port": 80, "netns": None,
                                           "container": "", "name": ""})
                self.assertIn("forwarders", unreadable)

    def test_a_namespace_of_another_account_holding_the_address_changes_nothing(self):
        body, web, _ = self.answer()
        expected = self.proxy_row(body, self.port)["forward"]
        # unshare -Urn as nobody: a user namespace of its own whose loopback holds the
        # container's address.
        holder = subprocess.Popen(
            ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "unshare",
             "-Urn", "sh", "-c", "ip link set lo up && ip addr add %s/32 dev lo && "
             "echo ready && exec cat" % web["addr"]],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.addCleanup(holder.stdout.close)
        try:
            self.assertEqual(holder.stdout.readline(), b"ready\n")
            body = self.run_ok(DETAIL).json()
            self.assertEqual(self.proxy_row(body, self.port)["forward"], expected)
        finally:
            holder.stdin.close()
            holder.wait(timeout=30)


def _image(engine, tag):
    """An image of a busybox-static root, imported into engine."""
    image = "ports-test-busybox:" + tag
    engine.docker("import", "-", image, stdin=engines.busybox_root())
    return image


class WithoutProxy(harness.ProgramTest):
    """A second engine, run without its proxy (--userland-proxy=false): it keeps each
    published port itself, in dockerd, and its named namespaces in its own folder."""

    @classmethod
    def setUpClass(cls):
        if WINE:
            raise unittest.SkipTest("Docker is a Linux engine")
        _tools()
        cls.engine = Engine(["--userland-proxy=false"])
        cls.names = []
        try:
            tag = uuid.uuid4().hex[:10]
            cls.image = _image(cls.engine, tag)
            cls.port = engines.free_port()
            cls.web = "ports-nat-" + tag
            cls.engine.docker("run", "-d", "--name", cls.web, "-p", "127.0.0.1:%d:80" % cls.port,
                              cls.image, "/bin/httpd", "-f", "-p", "80")
            cls.names.append(cls.web)
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        if cls.names:
            cls.engine.docker("rm", "-f", *cls.names)
        cls.engine.stop()

    def test_the_engines_own_socket_leads_to_its_container_and_nothing_is_published_twice(self):
        info = json.loads(self.engine.docker("inspect", self.web))[0]
        self.assertEqual(info["NetworkSettings"]["Ports"]["80/tcp"],
                         [{"HostIp": "127.0.0.1", "HostPort": str(self.port)}])
        netns = os.stat("/proc/%d/ns/net" % info["State"]["Pid"]).st_ino
        deadline = time.monotonic() + 30
        while True:
            body = self.run_ok(DETAIL).json()
            inside = [r for r in body["listeners"] if r["netns"] == netns and r["port"] == 80]
            if inside:
                break
            self.assertLess(time.monotonic(), deadline, "the container's server never listened")
            time.sleep(0.3)
        held = [r for r in body["listeners"] if r["netns"] == 0 and r["port"] == self.port]
        self.assertEqual([(r["comm"], r["forward"]) for r in held], [("dockerd", {
            "addr": info["NetworkSettings"]["IPAddress"], "port": 80, "netns": netns,
            "container": info["Id"][:12], "name": info["Name"].lstrip("/")})])
        self.assertEqual([(r["container"], r["container_name"]) for r in inside],
                         [(info["Id"][:12], info["Name"].lstrip("/"))])
        self.assertEqual([p for p in body["published"] if p["host_port"] == self.port], [])

    def test_a_namespace_of_the_engines_folder_without_a_process_is_listed(self):
        # A namespace file in the engine's own netns folder, no process in it, and a
        # listener made inside by a process that came back.
        folder = os.path.join(self.engine.folder, "exec", "netns")
        path = os.path.join(folder, "ports-test-" + uuid.uuid4().hex[:8])
        open(path, "w").close()
        subprocess.run(["unshare", "--net=" + path, "true"], check=True)
        self.addCleanup(os.unlink, path)
        self.addCleanup(subprocess.run, ["umount", path], check=True)
        libc = ctypes.CDLL(None, use_errno=True)
        home = os.open("/proc/self/ns/net", os.O_RDONLY)
        there = os.open(path, os.O_RDONLY)
        try:
            self.assertEqual(libc.setns(there, 0x40000000), 0)
            listener = socket.socket()
            try:
                listener.bind(("127.0.0.1", 0))
                listener.listen(1)
            finally:
                self.assertEqual(libc.setns(home, 0x40000000), 0)
            self.addCleanup(listener.close)
        finally:
            os.close(there)
            os.close(home)
        netns = os.stat(path).st_ino
        body = self.run_ok(DETAIL).json()
        rows = [(r["port"], r["pid"]) for r in body["listeners"] if r["netns"] == netns]
        self.assertEqual(rows, [(listener.getsockname()[1], os.getpid())])


if __name__ == "__main__":
    unittest.main()
