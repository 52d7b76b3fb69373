"""Runs the program beside sockets that a test opens, in a network namespace of its own.

A holder process (this file, run as a script) opens the sockets a test plans, runs the
program once while it holds them and reports what the program wrote. By default the
holder runs under `unshare -n`, in a fresh namespace whose only sockets are the test's,
so whole bodies can be compared. PORTS_NETNS=0 runs it in the host's namespace instead;
tests then look only for their own rows (see EXACT).

Under Wine the socket tables are read by Wine's own service processes, which belong
to the Wine server of the prefix. So that they read the namespace's tables, the holder
runs the program with a private prefix (a few files beside the shared drive_c), whose
server starts inside the namespace, and waits for that server to end by itself.

Natively the holder also gets a process namespace of its own, with /proc showing its
processes alone: the detail answer lists the sockets of every network namespace that a
process it can see is in, so there it sees only the test's. The holder is then pid 2,
under a small init of its own (pid 1 is what serves as the service manager).

A plan is a dict:
  sockets  list of {"kind": "tcp"|"udp", "addr": text, "port": number or "P<i>" (the port
           of socket i), "v6only": 0|1, "count": n, "connect": true (UDP: connect
           to port 9), "pair": true (TCP: also hold an established connection to it),
           "reuse": true (SO_REUSEADDR: many UDP sockets on one address and port; SO_REUSEPORT:
           a TCP listener group), "apart": true (each socket held by a process of its own,
           whose pids the report's "holders" lists, socket by socket),
           "zone": interface name (IPv6: bound with that scope, a link-local address's),
           "freebind": true (bound with IP_FREEBIND, as any user may bind another host's
           address), "backlog": n (TCP: the accept queue's limit, default 8), "clients": [addr...]
           (TCP: a connection from each address's family to addr), "from": [addr...] (TCP: a
           connection to addr, or to the loopback address of a wildcard's, from each of these
           addresses, accepted), "accept": false
           (leave those connections waiting in the accept queue)}
  setup    list of `ip` argument lists, run first (namespace only)
  peer     {"near": [cidr...], "far": [cidr...]}: another host, a network namespace of its
           own linked to the holder's by a veth pair with the near addresses on this side
           and the far ones on its side, where a TCP server listens on every address
           (namespace only). "{B}" in an env value stands for its port. After the runs the
           holder connects once to each far address; the report's "peer" gives the
           connections the server took during the runs ("hits") and how many of those
           checks got through ("reached")
  sysctl   {name under /proc/sys: value} written next (namespace only)
  fork     true: a child process holds the sockets too
  owner    the sockets are handed to another process, and the holder keeps none:
           {"name_hex": file name (hex of its bytes)}: a copy of sleep under that name,
           "deleted": true also deletes the copy once it runs, "args": [text...] runs a
           copy of the idle helper (PORTS_IDLE) instead, with those arguments ("{P<i>}"
           in one stands for the port of socket i);
           {"leader_exits": true}: a child whose first thread exits, while a second one
           keeps the sockets;
           {"own_table": true}: a child whose second thread unshares the descriptor table
           (unshare(CLONE_FILES)) and keeps the sockets, which the first thread closes;
           "uid": n with name_hex: the copy runs as that user
           The report's "owner" and "owner_comm" give its pid and the name the answer
           should show.
  churn    {"addr": text, "port": "P<i>", "kind": "udp" (default) | "tcp", "burst": n}: while
           the program runs, another process binds n sockets (default 1) on that address
           and port, TCP ones listening with SO_REUSEPORT, then closes them, without pause;
           "port": "new" takes a port of its own (the report's "churn_port"), so that
           with one socket a burst it is a listener restarted over and over
  runs     how often the program runs (default 1); the report's "runs" holds each run
  envs     instead of env and runs: one run with each environment, in order; "{P<i>}"
           in a value stands for the port of socket i, "{OUT<i>}" for a file holding
           what run i wrote (its path as the program names files)
  args     the command-line arguments of each run, in order (default none)
  cmd      the command that runs in place of the program (see harness.run)
  nofile   descriptor limit the holder needs
  limits   soft limits the program runs with ({"stack": bytes, ...}, see harness.run)
  wrap     a command that starts the program (see harness.run)
  hide     "net": in a mount namespace of the program's, /proc shows processes only (no
           /proc/net), as when it is mounted with subset=pid
  env      the program's environment
  pidns    true: the holder is pid 1 of its process namespace
  spaces   list of more network namespaces, each {"sockets": [as above; "port": "P<i>" names
           a socket of the holder's], "setup": [`ip` argument lists], "broken": true (the
           program sees its /proc/PID/net folder as one where no list can be read; with the
           no_netlink launcher)}: a child of the holder makes each, opens its sockets there
           and holds them; the report's "spaces" gives each one's pid, netns (inode) and
           ports
  cgroup   a path (under the root of the hierarchy whose path names the systemd unit)
           that the holder moves into first, so every process it starts is there too;
           made and removed by the holder, in a mount namespace of its own
  run_uid  the user the program runs as
  broken   lists ("tcp4", "udp6"...) the program cannot read: netlink sockets are
           refused to it (the no_netlink launcher), and it sees /proc/net as a copy
           where those files hold a line too long to be one
"""
import base64
import ctypes
import json
import os
import re
import resource
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

import harness


def _netns_wanted():
    return os.environ.get("PORTS_NETNS", "1") != "0"


NETNS = _netns_wanted()
# Whole bodies can be compared only where the test's sockets are the only ones.
EXACT = NETNS

_problem = None


def namespace_problem():
    """None when this machine can make network namespaces, else the reason it cannot.

    A missing tool is no reason: it raises, so the suite fails loudly."""
    global _problem
    for tool in ("unshare", "ip"):
        if not shutil.which(tool):
            raise RuntimeError(tool + " is missing: run scripts/install-deps.sh test")
    if _problem is None:
        proc = subprocess.run(["unshare", "-n", "--", "ip", "link", "set", "lo", "up"],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=30)
        _problem = "" if proc.returncode == 0 else (proc.stderr.decode(errors="replace").strip()
                                                    or "unshare -n failed")
    return _problem or None


def hold_and_run(plan):
    """Opens the planned sockets, runs the program, returns the holder's report:
    run (harness.Run, the first of runs), runs, pid, child, comm, owner, owner_comm,
    ports (one list per socket asked for), holders (the same for sockets held apart)."""
    cmd = [sys.executable, os.path.abspath(__file__)]
    if NETNS:
        spaces = ["-n"]
        if plan.get("pidns") or not harness.WINE:
            spaces += ["-p", "-f", "--mount-proc"]
        elif plan.get("cgroup"):
            spaces += ["-m"]
        cmd = ["unshare"] + spaces + ["--"] + cmd
    elif plan.get("pidns") or plan.get("cgroup") or plan.get("spaces"):
        raise RuntimeError("process and network namespaces and cgroups are made beside a "
                           "network namespace")
    plan = dict(plan, netns=NETNS)
    proc = subprocess.run(cmd, input=json.dumps(plan).encode(), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=120)
    if proc.returncode != 0:
        raise AssertionError("holder failed: " + proc.stderr.decode(errors="replace"))
    report = json.loads(proc.stdout)
    report["runs"] = [_as_run(*r) for r in report["runs"]]
    report["run"] = report["runs"][0]
    return report


def _as_run(out, err, rc):
    """A harness.Run from a run's output as the holder reports it."""
    class _Proc:
        stdout = base64.b64decode(out)
        stderr = base64.b64decode(err)
        returncode = rc
    return harness.Run(_Proc)


# ---- the holder --------------------------------------------------------------

def _family(addr):
    return socket.AF_INET6 if ":" in addr else socket.AF_INET


def _open(want, port, held):
    kind = socket.SOCK_STREAM if want["kind"] == "tcp" else socket.SOCK_DGRAM
    s = socket.socket(_family(want["addr"]), kind)
    held.append(s)
    if "v6only" in want:
        s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, want["v6only"])
    if want.get("freebind"):
        # IP_FREEBIND (15) and IPV6_FREEBIND (78) set the same flag of the socket.
        if _family(want["addr"]) == socket.AF_INET6:
            s.setsockopt(socket.IPPROTO_IPV6, 78, 1)
        else:
            s.setsockopt(socket.IPPROTO_IP, 15, 1)
    if want.get("reuse"):
        s.setsockopt(socket.SOL_SOCKET,
                     socket.SO_REUSEPORT if want["kind"] == "tcp" else socket.SO_REUSEADDR, 1)
    if want.get("zone"):
        s.bind((want["addr"], port, 0, socket.if_nametoindex(want["zone"])))
    else:
        s.bind((want["addr"], port))
    port = s.getsockname()[1]
    if want["kind"] == "tcp":
        s.listen(want.get("backlog", 8))
        for addr in want.get("clients", []):
            held.append(socket.create_connection((addr, port), timeout=10))
            if want.get("accept", True):
                held.append(s.accept()[0])
        for source in want.get("from", []):
            # A wildcard listener is reached at the loopback address of the source's family.
            to = want["addr"]
            if to in ("0.0.0.0", "::"):
                to = "::1" if ":" in source else "127.0.0.1"
            held.append(socket.create_connection((to, port), timeout=10,
                                                 source_address=(source, 0)))
            held.append(s.accept()[0])
        if want.get("pair"):
            client = socket.create_connection((want["addr"], port), timeout=10)
            held.append(client)
            held.append(s.accept()[0])
    elif want.get("connect"):
        s.connect((want["addr"], 9))
    return port


def _wait_for(test, what, limit=10.0):
    deadline = time.monotonic() + limit
    while not test():
        if time.monotonic() > deadline:
            raise RuntimeError("holder: timed out waiting for " + what)
        time.sleep(0.01)


def _hand_over(held, owner):
    """Gives the held sockets to another process and closes the holder's copies.
    Returns (pid, the name the answer should show, a function that ends it)."""
    if owner.get("leader_exits"):
        r, w = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.close(w)

            def keep():
                os.read(r, 1)  # until the holder is done, or gone
                os._exit(0)

            threading.Thread(target=keep).start()
            # SYS_exit, not exit_group: only this, the first thread, ends.
            ctypes.CDLL(None).syscall(60, 0)
        os.close(r)

        def leader_gone():
            with open("/proc/%d/status" % pid) as f:
                return "\nState:\tZ" in f.read()

        _wait_for(leader_gone, "the first thread to exit")
        comm = os.path.basename(os.readlink("/proc/self/exe"))
        end = lambda: (os.close(w), os.waitpid(pid, 0))  # noqa: E731
    elif owner.get("own_table"):
        r, w = os.pipe()
        ready_r, ready_w = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.close(w)
            os.close(ready_r)
            unshared = threading.Event()

            def keep():
                if ctypes.CDLL(None).unshare(0x400):  # CLONE_FILES
                    os._exit(1)
                unshared.set()
                os.read(r, 1)  # until the holder is done, or gone
                os._exit(0)

            threading.Thread(target=keep).start()
            unshared.wait(10)
            for s in held:
                s.close()  # from the first thread's table only
            os.write(ready_w, b"r")
            threading.Event().wait()
        os.close(r)
        os.close(ready_w)
        if os.read(ready_r, 1) != b"r":
            raise RuntimeError("holder: the thread could not unshare its descriptors")
        os.close(ready_r)
        comm = os.path.basename(os.readlink("/proc/self/exe"))
        end = lambda: (os.close(w), os.waitpid(pid, 0))  # noqa: E731
    else:
        name = bytes.fromhex(owner["name_hex"])
        folder = tempfile.mkdtemp(prefix="ports-owner-")
        os.chmod(folder, 0o755)  # the owner may run as another user
        image = os.path.join(os.fsencode(folder), name)
        idle = "args" in owner
        if idle and not harness.IDLE:
            raise RuntimeError("owner args need the idle helper (PORTS_IDLE)")
        shutil.copy(harness.IDLE if idle else "/bin/sleep", image)
        args = [os.fsencode(a) for a in owner["args"]] if idle else [b"60"]
        proc = subprocess.Popen([image] + args, pass_fds=[s.fileno() for s in held],
                                user=owner.get("uid"), stdin=subprocess.PIPE if idle else None)
        pid = proc.pid

        def running():
            try:
                return os.path.basename(os.readlink(b"/proc/%d/exe" % pid)) == name
            except OSError:
                return False

        _wait_for(running, "the owner to start")
        if owner.get("deleted"):
            os.unlink(image)
        comm = name

        def end():
            if idle:
                proc.stdin.close()
            proc.kill()
            proc.wait()
            shutil.rmtree(folder)
    for s in held:
        s.close()
    return pid, comm, end


def _churn(plan, port):
    """A child that binds sockets on the planned address and port (0: one of its own) in
    bursts and closes them until killed (90 s at the most). Returns its pid and port."""
    want = dict(kind=plan.get("kind", "udp"), addr=plan["addr"], reuse=True)
    if not port:
        first = []
        port = _open(want, 0, first)
        first[0].close()
    pid = os.fork()
    if pid == 0:
        deadline = time.monotonic() + 90
        while time.monotonic() < deadline:
            burst = []
            for _ in range(plan.get("burst", 1)):
                _open(want, port, burst)
            for s in burst:
                s.close()
        os._exit(0)
    return pid, port


def _enter_cgroup(path):
    """Moves this process into a new cgroup at path (under the root of the hierarchy
    that names systemd units: name=systemd where there is one, else the unified one),
    mounted here privately. Returns a function that moves it back and removes it."""
    with open("/proc/self/cgroup") as f:
        lines = [line.split(":", 2) for line in f.read().splitlines()]
    named = [line for line in lines if line[1] == "name=systemd"]
    mount = tempfile.mkdtemp(prefix="ports-cgroup-")
    if named:
        args, home = ["-t", "cgroup", "-o", "none,name=systemd", "cgroup"], named[0][2]
    else:
        args, home = ["-t", "cgroup2", "cgroup2"], [x for x in lines if x[0] == "0"][0][2]
    subprocess.run(["mount"] + args + [mount], check=True)
    os.makedirs(os.path.join(mount, path))

    def move(where):
        with open(os.path.join(mount, where.lstrip("/"), "cgroup.procs"), "w") as f:
            f.write("0")  # the writing process itself

    move(path)

    def leave():
        move(home)
        parts = path.split("/")
        for i in range(len(parts), 0, -1):
            os.rmdir(os.path.join(mount, *parts[:i]))
        subprocess.run(["umount", mount], check=True)
        os.rmdir(mount)
    return leave


_LIST_FILES = {"tcp4": "tcp", "tcp6": "tcp6", "udp4": "udp", "udp6": "udp6"}


def _program_setup(plan, copy, spaces):
    """What runs in the program's process before it starts: broken lists (with copy, an
    empty folder for the /proc/net copy), broken namespaces, another user."""
    broken, uid = plan.get("broken", []), plan.get("run_uid")
    hidden = [s["pid"] for s, want in zip(spaces, plan.get("spaces", [])) if want.get("broken")]
    if not broken and uid is None and not hidden:
        return None

    def apply():
        libc = ctypes.CDLL(None, use_errno=True)
        if hidden:
            # A mount namespace of the program's own, where each such namespace's folder
            # holds lists too broken to read.
            folder = os.path.join(copy, "hidden")
            os.makedirs(folder, exist_ok=True)
            for file in _LIST_FILES.values():
                with open(os.path.join(folder, file), "wb") as out:
                    out.write(b"x" * 40000)
            if (libc.unshare(0x00020000) or
                    libc.mount(b"none", b"/", None, ctypes.c_ulong(0x4000 | 0x40000), None)):
                raise OSError(ctypes.get_errno(), "mount")
            for pid in hidden:
                if libc.mount(folder.encode(), b"/proc/%d/net" % pid, None,
                              ctypes.c_ulong(0x1000), None):
                    raise OSError(ctypes.get_errno(), "mount")
        if broken:
            for name, file in _LIST_FILES.items():
                with open(os.path.join(copy, file), "wb") as out:
                    if name in broken:
                        out.write(b"x" * 40000)  # no line of a socket table is this long
                    else:
                        with open("/proc/self/net/" + file, "rb") as f:
                            out.write(f.read())
            # A mount namespace of the program's own, where its /proc/self is this pid
            # (the files of /proc/PID/net cannot be covered one by one, the folder can).
            if (libc.unshare(0x00020000) or
                    libc.mount(b"none", b"/", None, ctypes.c_ulong(0x4000 | 0x40000), None) or
                    libc.mount(copy.encode(), b"/proc/self/net", None, ctypes.c_ulong(0x1000),
                               None)):
                raise OSError(ctypes.get_errno(), "mount")
        if uid is not None:
            os.setgroups([])
            os.setgid(uid)
            os.setuid(uid)
    return apply


def _apart(s, held, end):
    """Gives socket s to a child of its own, which holds nothing else, and closes the
    holder's copy; the child ends when the pipe `end` closes. Returns its pid."""
    pid = os.fork()
    if pid == 0:
        os.close(end[1])
        for other in held:
            other.close()
        os.read(end[0], 1)  # until the holder is done, or gone
        os._exit(0)
    s.close()
    return pid


def _hiding(hide):
    """The command that starts the program with /proc mounted with subset=pid (processes
    only, no /proc/net), in a mount namespace of its own."""
    if hide != "net":
        raise ValueError("hide: only \"net\" is known")
    return ["unshare", "-m", "--propagation", "private", "--", "sh", "-c",
            'mount -t proc -o subset=pid proc /proc && exec "$0" "$@"']


def _with_ports(env, ports, peer_port=0, outs=()):
    """env with "{P<i>}" in its values replaced by the port of socket i, "{B}" by the
    peer's, and "{OUT<i>}" by the file that holds the output of run i."""
    def out(m):
        path = outs[int(m.group(1))]
        return harness.windows_path(path) if harness.WINE else path
    return {k: re.sub(r"\{OUT(\d+)\}", out,
                      re.sub(r"\{P(\d+)\}", lambda m: str(ports[int(m.group(1))][0]), v))
            .replace("{B}", str(peer_port)) for k, v in env.items()}


class _Peer:
    """Another host: a child in a network namespace of its own, linked to this one by a
    veth pair, that counts the TCP connections its server takes until told to stop (90 s
    at the most)."""

    def __init__(self, near, far):
        self.far = [a.split("/")[0] for a in far]
        ready_r, ready_w = os.pipe()
        self.stop_r, self.stop_w = os.pipe()
        self.pid = os.fork()
        if self.pid == 0:
            os.close(ready_r)
            os.close(self.stop_w)
            self._serve(ready_w, far)
        os.close(ready_w)
        os.close(self.stop_r)
        self.report = os.fdopen(ready_r, "rb")
        if self.report.read(1) != b"n":  # its namespace is made
            raise RuntimeError("holder: the peer did not start")
        subprocess.run(["ip", "link", "add", "ports-near", "type", "veth", "peer", "name",
                        "ports-far", "netns", str(self.pid)], check=True)
        for cidr in near:
            subprocess.run(["ip", "addr", "add", cidr, "dev", "ports-near"] +
                           (["nodad"] if ":" in cidr else []), check=True)
        subprocess.run(["ip", "link", "set", "ports-near", "up"], check=True)
        os.write(self.stop_w, b"l")  # the link is there
        line = self.report.readline()
        if not line:
            raise RuntimeError("holder: the peer could not listen")
        self.port = int(line)

    def _serve(self, ready, far):
        code = 1
        try:
            libc = ctypes.CDLL(None, use_errno=True)
            if libc.unshare(0x40000000):  # CLONE_NEWNET
                raise OSError(ctypes.get_errno(), "unshare")
            os.write(ready, b"n")
            os.read(self.stop_r, 1)
            subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
            for cidr in far:
                subprocess.run(["ip", "addr", "add", cidr, "dev", "ports-far"] +
                               (["nodad"] if ":" in cidr else []), check=True)
            subprocess.run(["ip", "link", "set", "ports-far", "up"], check=True)
            server = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
            server.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
            server.bind(("::", 0))
            server.listen(64)
            os.write(ready, b"%d\n" % server.getsockname()[1])
            hits, deadline = 0, time.monotonic() + 90
            while time.monotonic() < deadline:
                readable, _, _ = select.select([server, self.stop_r], [], [], 1)
                if server in readable:
                    server.accept()[0].close()
                    hits += 1
                if self.stop_r in readable:
                    break
            os.write(ready, b"%d\n" % hits)
            code = 0
        finally:
            os._exit(code)

    def end(self):
        """Checks that each far address is reached, stops the peer; (hits during the
        runs, checks that got through)."""
        reached = 0
        for addr in self.far:
            try:
                if addr.startswith("fe80:"):  # through the link to the peer
                    s = socket.socket(socket.AF_INET6)
                    s.settimeout(5)
                    s.connect((addr, self.port, 0, socket.if_nametoindex("ports-near")))
                    s.close()
                else:
                    socket.create_connection((addr, self.port), timeout=5).close()
                reached += 1
            except OSError:
                pass
        time.sleep(0.2)  # the server takes the last check
        os.write(self.stop_w, b"s")
        total = int(self.report.readline() or b"-1")
        os.waitpid(self.pid, 0)
        return {"hits": total - reached, "reached": reached, "port": self.port}


def _private_wine_prefix():
    """A prefix of this namespace's own, sharing drive_c with WINEPREFIX; becomes
    WINEPREFIX for the run."""
    shared = os.environ.get("WINEPREFIX")
    if not shared or not os.path.isdir(os.path.join(shared, "drive_c")):
        raise RuntimeError("WINEPREFIX must name a made prefix (scripts/wine-prefix)")
    private = tempfile.mkdtemp(prefix="ports-wine-")
    for name in ("system.reg", "user.reg", "userdef.reg", ".update-timestamp"):
        shutil.copy2(os.path.join(shared, name), private)
    os.symlink(os.path.join(os.path.abspath(shared), "drive_c"),
               os.path.join(private, "drive_c"))
    os.mkdir(os.path.join(private, "dosdevices"))
    os.symlink("../drive_c", os.path.join(private, "dosdevices", "c:"))
    os.symlink("/", os.path.join(private, "dosdevices", "z:"))
    os.environ["WINEPREFIX"] = private
    return private


def _end_wine_prefix(private):
    # The server ends a few seconds after its last process; it writes the registry
    # into the private prefix as it goes.
    subprocess.run(["wineserver", "-w"], env=dict(os.environ, WINEPREFIX=private),
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
    shutil.rmtree(private)


def _space(want, ports, held):
    """A child in a network namespace of its own that opens the planned sockets there and
    holds them (and none of the holder's) until the holder is done. Returns its report
    and a function that ends it."""
    r, w = os.pipe()
    done_r, done_w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(r)
        os.close(done_w)
        for s in held:
            s.close()
        if ctypes.CDLL(None, use_errno=True).unshare(0x40000000):
            os._exit(1)
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
        for args in want.get("setup", []):
            subprocess.run(["ip"] + args, check=True)
        held, mine = [], []
        for sock in want.get("sockets", []):
            port = sock.get("port", 0)
            if isinstance(port, str):
                port = ports[int(port[1:])][0]
            mine.append(_open(sock, port, held))
        os.write(w, json.dumps(mine).encode() + b"\n")
        os.read(done_r, 1)  # until the holder is done, or gone
        os._exit(0)
    os.close(w)
    os.close(done_r)
    with os.fdopen(r) as f:
        mine = json.loads(f.readline() or "null")
    if mine is None:
        raise RuntimeError("holder: a namespace's sockets could not be opened")
    report = {"pid": pid, "netns": os.stat("/proc/%d/ns/net" % pid).st_ino, "ports": mine}

    def end():
        os.close(done_w)
        os.waitpid(pid, 0)
    return report, end


def _serve():
    plan = json.load(sys.stdin)
    if os.getpid() == 1 and not plan.get("pidns"):
        # A small init: the holder runs as its child; pid 1 would be the service manager.
        child = os.fork()
        if child:
            while True:
                pid, status = os.wait()
                if pid == child:
                    os._exit(os.waitstatus_to_exitcode(status))
    leave_cgroup = _enter_cgroup(plan["cgroup"]) if plan.get("cgroup") else None
    try:
        _hold(plan)
    finally:
        if leave_cgroup:
            leave_cgroup()


def _hold(plan):
    broken_space = any(s.get("broken") for s in plan.get("spaces", []))
    copy = tempfile.mkdtemp(prefix="ports-net-") if plan.get("broken") or broken_space else None
    if plan["netns"]:
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
        for args in plan.get("setup", []):
            subprocess.run(["ip"] + args, check=True)
        for name, value in plan.get("sysctl", {}).items():
            with open(os.path.join("/proc/sys", name), "w") as f:
                f.write(value)
    if plan.get("nofile"):
        # Only this holder needs the room; root may raise the hard limit too.
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        want = plan["nofile"]
        resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, want), max(hard, want)))
    peer = _Peer(**plan["peer"]) if plan.get("peer") else None
    held, ports, holders = [], [], []
    apart = os.pipe()
    for want in plan.get("sockets", []):
        mine, pids = [], []
        for _ in range(want.get("count", 1)):
            port = want.get("port", 0)
            if isinstance(port, str):
                port = ports[int(port[1:])][0]
            sockets = held if not want.get("apart") else []
            mine.append(_open(want, port, sockets))
            if want.get("apart"):
                pids.extend(_apart(s, held, apart) for s in sockets)
        ports.append(mine)
        holders.append(pids)
    os.close(apart[0])
    child = 0
    if plan.get("fork"):
        r, w = os.pipe()
        child = os.fork()
        if child == 0:
            os.close(w)
            os.read(r, 1)  # until the parent is done, or gone
            os._exit(0)
        os.close(r)
    spaces, ends = [], []
    for want in plan.get("spaces", []):
        report, end = _space(want, ports, held)
        spaces.append(report)
        ends.append(end)
    owner, owner_comm, end_owner = 0, b"", None
    if plan.get("owner"):
        owner_plan = dict(plan["owner"])
        if "args" in owner_plan:
            owner_plan["args"] = [_with_ports({"a": a}, ports)["a"] for a in owner_plan["args"]]
        owner, owner_comm, end_owner = _hand_over(held, owner_plan)
    churner = churn_port = 0
    if plan.get("churn"):
        at = plan["churn"]["port"]
        churner, churn_port = _churn(plan["churn"], 0 if at == "new" else ports[int(at[1:])][0])
    private = _private_wine_prefix() if plan["netns"] and harness.WINE else None
    wrap = (_hiding(plan["hide"]) if plan.get("hide") else []) + plan.get("wrap", [])
    if plan.get("broken") or broken_space:
        if not harness.NO_NETLINK:
            raise RuntimeError("broken lists need the no_netlink launcher (PORTS_NO_NETLINK)")
        wrap = [harness.NO_NETLINK] + wrap
    envs = plan.get("envs") or [plan.get("env", {})] * plan.get("runs", 1)
    outs = tempfile.mkdtemp(prefix="ports-out-")
    try:
        runs = []
        for k, (env, args) in enumerate(zip(envs, plan.get("args") or [[]] * len(envs))):
            runs.append(harness.run(
                _with_ports(env, ports, peer.port if peer else 0,
                            [os.path.join(outs, str(i)) for i in range(k)]),
                args=args, limits=plan.get("limits"), cmd=plan.get("cmd"),
                preexec=_program_setup(plan, copy, spaces), wrap=wrap))
            with open(os.path.join(outs, str(k)), "wb") as f:
                f.write(runs[-1].out)
    finally:
        shutil.rmtree(outs)
        peer_report = peer.end() if peer else None
        if churner:
            os.kill(churner, signal.SIGKILL)
            os.waitpid(churner, 0)
        # The churner held the pipe too.
        os.close(apart[1])
        for pid in (p for pids in holders for p in pids):
            os.waitpid(pid, 0)
        if child:
            os.close(w)
            os.waitpid(child, 0)
        if end_owner:
            end_owner()
        for end in ends:
            end()
        if private:
            _end_wine_prefix(private)
        if copy:
            shutil.rmtree(copy)
    exe = os.readlink("/proc/self/exe")
    if exe.endswith(" (deleted)"):
        exe = exe[:-len(" (deleted)")]
    json.dump({"pid": os.getpid(), "child": child, "comm": os.path.basename(exe),
               "owner": owner, "owner_comm": os.fsdecode(owner_comm), "ports": ports,
               "holders": holders, "peer": peer_report, "churn_port": churn_port,
               "spaces": spaces,
               "runs": [(base64.b64encode(r.out).decode(), base64.b64encode(r.err).decode(),
                         r.rc) for r in runs]}, sys.stdout)


if __name__ == "__main__":
    _serve()
