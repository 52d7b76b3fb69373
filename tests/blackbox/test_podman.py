"""Real podman, run by root with CNI: where a published port leads, and the names.

Debian's podman (4.x, CNI networking, conmon, runc). Everything the suite makes is its
own: podman's storage, run and network folders are temporary ones, its network has a
unique name and subnet, and it is removed after; only the CNI cache files podman writes
under /var/lib/cni/results (where the program reads them) are the node's, and they go
with the containers. The image is made by `podman import` from a root holding only a
static busybox. No test connects through the published port.
"""
import json
import os
import random
import shutil
import socket
import subprocess
import tempfile
import time
import unittest
import uuid

import engines
import harness
from harness import WINE

DETAIL = {"QUERY_STRING": "action=listeners&detail=1"}
RESULTS = "/var/lib/cni/results"


def _tools():
    for path in ("/usr/bin/podman", "/usr/bin/conmon", "/usr/sbin/runc", "/bin/busybox",
                 "/usr/lib/cni/portmap"):
        if not os.access(path, os.X_OK):
            raise RuntimeError(path + " is missing: run scripts/install-deps.sh test")


class Podman:
    """podman with folders of the suite's own."""

    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix="ports-podman-")
        f = self.folder
        for sub in ("root", "run", "net", "tmp"):
            os.mkdir(os.path.join(f, sub))
        self.base = ["podman", "--root", f + "/root", "--runroot", f + "/run",
                     "--network-config-dir", f + "/net", "--tmpdir", f + "/tmp",
                     "--cgroup-manager", "cgroupfs", "--events-backend", "file",
                     "--runtime", "runc"]

    def __call__(self, *args, stdin=None):
        proc = subprocess.run(self.base + list(args), input=stdin, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=120)
        if proc.returncode != 0:
            raise RuntimeError("podman %s: %s" % (" ".join(args), proc.stderr.decode()))
        return proc.stdout.decode().strip()

    def stop(self):
        with open("/proc/self/mounts") as m:
            mounts = [line.split()[1] for line in m if self.folder in line.split()[1]]
        for mount in sorted(mounts, reverse=True):
            subprocess.run(["umount", "-l", mount], stderr=subprocess.DEVNULL)
        shutil.rmtree(self.folder, ignore_errors=True)


class PodmanPorts(harness.ProgramTest):
    @classmethod
    def setUpClass(cls):
        if WINE:
            raise unittest.SkipTest("podman's conmon is a Linux process")
        _tools()
        cls.podman = Podman()
        cls.names, cls.network, cls.image = [], None, None
        try:
            cls._start()
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def _start(cls):
        tag = uuid.uuid4().hex[:10]
        tar = engines.busybox_root()
        cls.image = "ports-test-busybox:" + tag
        cls.podman("import", "-", cls.image, stdin=tar)
        cls.network = "ports-test-" + tag
        # A subnet of its own, unlikely to meet another's on this machine.
        subnet = "10.%d.%d.0/24" % (random.randint(100, 250), random.randint(0, 255))
        cls.podman("network", "create", "--subnet", subnet, cls.network)
        cls.port = engines.free_port()
        cls.web = "ports-web-" + tag
        cls.podman("run", "-d", "--name", cls.web, "--network", cls.network,
                   "--ulimit", "nofile=1024:1024", "--ulimit", "nproc=1000:1000",
                   "-p", "127.0.0.1:%d:80" % cls.port, cls.image, "/bin/httpd", "-f", "-p", "80")
        cls.names.append(cls.web)

    @classmethod
    def tearDownClass(cls):
        try:
            if cls.names:
                cls.podman("rm", "-f", "-t", "0", *cls.names)
            if cls.network:
                cls.podman("network", "rm", "-f", cls.network)
            if cls.image:
                cls.podman("rmi", "-f", cls.image)
        finally:
            cls.podman.stop()

    def inspect(self, name):
        info = json.loads(self.podman("inspect", name))[0]
        net = info["NetworkSettings"]["Networks"][self.network]
        pid = info["State"]["Pid"]
        return {"pid": pid, "id": info["Id"], "name": info["Name"], "addr": net["IPAddress"],
                "netns": os.stat("/proc/%d/ns/net" % pid).st_ino,
                "ports": info["NetworkSettings"]["Ports"]}

    def rows_when(self, ready):
        deadline = time.monotonic() + 30
        while True:
            body = self.run_ok(DETAIL, limits={"stack": 64 * 1024}).json()
            if ready(body["listeners"]):
                return body
            self.assertLess(time.monotonic(), deadline, "the listeners never showed")
            time.sleep(0.3)

    def test_conmon_leads_to_its_container_as_podman_inspect_says(self):
        web = self.inspect(self.web)
        # podman's own word on the mapping.
        self.assertEqual(web["ports"]["80/tcp"], [{"HostIp": "127.0.0.1", "HostPort": str(self.port)}])
        body = self.rows_when(lambda rows: any(r["netns"] == web["netns"] and r["port"] == 80
                                               for r in rows))
        held = [r for r in body["listeners"] if r["netns"] == 0 and r["port"] == self.port]
        self.assertEqual([(r["proto"], r["bind_addr"], r["comm"]) for r in held],
                         [("tcp", "127.0.0.1", "conmon")])
        self.assertEqual(held[0]["forward"], {"addr": web["addr"], "port": 80,
                                              "netns": web["netns"], "container": web["id"][:12],
                                              "name": web["name"]})
        inside = [(r["port"], r["pid"], r["container"], r["container_name"], r["forward"])
                  for r in body["listeners"] if r["netns"] == web["netns"]]
        self.assertEqual(inside, [(80, web["pid"], web["id"][:12], web["name"], None)])
        self.assertNotIn("forwarders", body["unreadable"])

    def fake_conmon(self, uid, cid, name):
        """A process named conmon, running as uid, whose command line is conmon's for
        container cid and name, holding a listener on 127.0.0.1; returns its port."""
        folder = tempfile.mkdtemp(prefix="ports-fake-conmon-")
        self.addCleanup(shutil.rmtree, folder, True)
        os.chmod(folder, 0o755)
        shutil.copy(harness.IDLE, os.path.join(folder, "conmon"))
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(4)
        port = listener.getsockname()[1]
        args = ["conmon", "--api-version", "1", "-c", cid, "-u", cid, "-r", "/usr/sbin/runc",
                "-b", "/var/lib/containers/storage/overlay-containers/%s/userdata" % cid,
                "-n", name, "--full-attach"]
        r, w = os.pipe()
        pid = os.fork()
        if pid == 0:
            try:
                os.dup2(r, 0)
                if uid:
                    os.setgid(uid)
                    os.setgroups([])
                    os.setuid(uid)
                os.set_inheritable(listener.fileno(), True)
                os.execv(os.path.join(folder, "conmon"), args)
            finally:
                os._exit(127)
        os.close(r)
        listener.close()

        def stop():
            os.close(w)
            os.waitpid(pid, 0)
        self.addCleanup(stop)
        return port

    def cache_file(self, cid, port, hostile=None):
        """A CNI cache file of root's for container cid publishing 127.0.0.1:port, with
        the web container's namespace and address; hostile replaces a piece of it."""
        web = self.inspect(self.web)
        sandbox = json.loads(self.podman("inspect", self.web))[0]["NetworkSettings"]["SandboxKey"]
        text = json.dumps({
            "kind": "cniCacheV1", "containerId": cid, "config": "", "ifName": "eth0",
            "networkName": self.network, "cniArgs": [["IgnoreUnknown", "1"]],
            "capabilityArgs": {"portMappings": [{"hostPort": port, "containerPort": 80,
                                                 "protocol": "tcp", "hostIP": "127.0.0.1"}]},
            "result": {"cniVersion": "0.4.0", "interfaces": [{"name": "eth0", "sandbox": sandbox}],
                       "ips": [{"address": web["addr"] + "/24", "version": "4"}]}})
        if hostile:
            text = text.replace(*hostile)
        path = os.path.join(RESULTS, "%s-%s-eth0" % (self.network, cid))
        with open(path, "w") as f:
            f.write(text)
        self.addCleanup(os.unlink, path)
        return web

    def forward_of(self, port):
        body = self.rows_when(lambda rows: any(r["port"] == port and r["netns"] == 0 and
                                               r["comm"] == "conmon" for r in rows))
        row = [r for r in body["listeners"] if r["port"] == port and r["netns"] == 0][0]
        return row["forward"], body["unreadable"]

    def test_a_conmon_is_believed_only_as_root_and_only_from_roots_cache(self):
        for uid, hostile, believed in ((0, None, True), (65534, None, False),
                                       (0, ('"hostPort": ', '"hostPort": 7'), False),
                                       (0, ('"protocol": "tcp"', '"protocol": "<b>"'), False)):
            with self.subTest(uid=uid, hostile=hostile):
                cid = uuid.uuid4().hex + uuid.uuid4().hex
                port = self.fake_conmon(uid, cid, "fake-" + cid[:6])
                web = self.cache_file(cid, port, hostile)
                forward, unreadable = self.forward_of(port)
                if believed:
                    # Root's process and root's cache: root's word, like podman's own.
                    self.assertEqual(forward, {"addr": web["addr"], "port": 80,
                                               "netns": web["netns"], "container": cid[:12],
                                               "name": "fake-" + cid[:6]})
                else:
                    self.assertIsNone(forward)
                if hostile:
                    self.assertIn("forwarders", unreadable)


if __name__ == "__main__":
    unittest.main()
