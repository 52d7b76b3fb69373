"""Times the detail answer over many network namespaces against what an operator runs.

Usage: netns.py PROGRAM
Runs itself in namespaces of its own (mount, network and process: unshare, so root),
where /run/netns is a private folder. There it makes 100 network namespaces, each named
in /run/netns and held by a process of its own with 10 TCP listeners and 2 UDP sockets,
with a CNI cache file as podman writes one for a container publishing a port by
address translation alone (a private /var/lib/cni), and times the detail answer
(detail=1), which lists them all and the 100 publications, against
`ip -all netns exec ss -H -ltunp`, process start to exit, alternately. Checks that the
answer has every namespace's 12 sockets with their process, and prints the medians and
the ratio.
"""
import ctypes
import json
import os
import socket
import statistics
import subprocess
import sys
import time

SPACES = 100
TCP, UDP = 10, 2
RUNS = 11
WARMUP = 2
TARGET = 0.05  # of ip -all netns exec ss
DETAIL_ENV = {"QUERY_STRING": "action=listeners&detail=1"}
CLONE_NEWNET = 0x40000000
MS_BIND = 0x1000


def timed(argv, env):
    actions = [(os.POSIX_SPAWN_OPEN, 1, os.devnull, os.O_WRONLY, 0),
               (os.POSIX_SPAWN_OPEN, 2, os.devnull, os.O_WRONLY, 0)]
    t0 = time.perf_counter_ns()
    pid = os.posix_spawn(argv[0], argv, env, file_actions=actions)
    os.waitpid(pid, 0)
    return (time.perf_counter_ns() - t0) / 1e6


def holder(others):
    """A child in a namespace of its own with its sockets, until its pipe closes; it keeps
    none of the others' pipe ends. Returns (pid, the pipe's end that ends it)."""
    r, w = os.pipe()
    ready_r, ready_w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(w)
        os.close(ready_r)
        for _, end in others:
            os.close(end)
        libc = ctypes.CDLL(None, use_errno=True)
        if libc.unshare(CLONE_NEWNET):
            os._exit(1)
        held = []
        for k in range(TCP + UDP):
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM if k < TCP else socket.SOCK_DGRAM)
            s.bind(("0.0.0.0", 8000 + k))  # the same ports in every namespace, as containers have
            if k < TCP:
                s.listen(16)
            held.append(s)
        os.write(ready_w, b"1")
        os.read(r, 1)
        os._exit(0)
    os.close(r)
    os.close(ready_w)
    if os.read(ready_r, 1) != b"1":
        raise SystemExit("netns: a namespace's sockets could not be opened")
    os.close(ready_r)
    return pid, w


def bench(program):
    libc = ctypes.CDLL(None, use_errno=True)
    if subprocess.run(["mount", "-t", "tmpfs", "netns", "/run/netns"]).returncode != 0:
        raise SystemExit("netns: cannot make a private /run/netns")
    holders = []
    for i in range(SPACES):
        pid, end = holder(holders)
        holders.append((pid, end))
        name = "/run/netns/bench%03d" % i
        open(name, "w").close()
        if libc.mount(b"/proc/%d/ns/net" % pid, name.encode(), None, ctypes.c_ulong(MS_BIND),
                      None):
            raise SystemExit("netns: cannot name namespace %d" % i)
    # 100 containers' worth of CNI cache files, each publishing a port no socket holds.
    os.makedirs("/var/lib/cni", exist_ok=True)
    if subprocess.run(["mount", "-t", "tmpfs", "cni", "/var/lib/cni"]).returncode != 0:
        raise SystemExit("netns: cannot make a private /var/lib/cni")
    os.mkdir("/var/lib/cni/results", 0o700)
    for i in range(SPACES):
        cid = "%064x" % (i + 1)
        with open("/var/lib/cni/results/bench-%s-eth0" % cid, "w") as f:
            json.dump({"kind": "cniCacheV1", "containerId": cid, "config": "", "ifName": "eth0",
                       "networkName": "bench",
                       "cniArgs": [["IgnoreUnknown", "1"], ["K8S_POD_NAME", "c%03d" % i]],
                       "capabilityArgs": {"portMappings": [{"hostPort": 30000 + i,
                                                            "containerPort": 8000,
                                                            "protocol": "tcp", "hostIP": ""}]},
                       "result": {"cniVersion": "0.4.0",
                                  "interfaces": [{"name": "eth0",
                                                  "sandbox": "/run/netns/bench%03d" % i}],
                                  "ips": [{"address": "10.88.%d.%d/16" % (i // 250, i % 250 + 2),
                                           "version": "4"}]}}, f)
    ip = subprocess.run(["which", "ip"], stdout=subprocess.PIPE, text=True).stdout.strip()
    ss_cmd = [ip, "-all", "netns", "exec", "ss", "-H", "-ltunp"]
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin")}
    out = subprocess.run([program], env=DETAIL_ENV, stdout=subprocess.PIPE, check=True).stdout
    body = json.loads(out.split(b"\r\n\r\n", 1)[1])
    want = {pid: os.stat("/proc/%d/ns/net" % pid).st_ino for pid, _ in holders}
    rows = {}
    for r in body["listeners"]:
        if r["netns"]:
            rows.setdefault(r["netns"], set()).add((r["proto"], r["port"], r["pid"]))
    published = {p["host_port"] for p in body.get("published", [])}
    ok = len(rows) == SPACES and published == set(range(30000, 30000 + SPACES)) and all(
        rows.get(netns) == {("tcp" if k < TCP else "udp", 8000 + k, pid) for k in range(TCP + UDP)}
        for pid, netns in want.items())
    ss_lines = subprocess.run(ss_cmd, stdout=subprocess.PIPE, text=True).stdout.count("LISTEN")
    for _ in range(WARMUP):
        timed(ss_cmd, env)
        timed([program], DETAIL_ENV)
    t_ss, t_ours = [], []
    for _ in range(RUNS):
        t_ss.append(timed(ss_cmd, env))
        t_ours.append(timed([program], DETAIL_ENV))
    ours, theirs = statistics.median(t_ours), statistics.median(t_ss)
    for pid, end in holders:
        os.close(end)
        os.waitpid(pid, 0)
    ratio = ours / theirs
    print("%d namespaces x %d TCP + %d UDP: detail answer %.3f ms (%d rows), "
          "ip -all netns exec ss %.3f ms (%d TCP listeners)"
          % (SPACES, TCP, UDP, ours, sum(len(v) for v in rows.values()), theirs, ss_lines))
    print("every namespace, detail answer: ports / ip -all netns exec ss = %.3f "
          "(target <= %.2f: %s)" % (ratio, TARGET, "met" if ratio <= TARGET else "MISSED"))
    print("every namespace's sockets and processes, and every publication, listed: %s"
          % ("yes" if ok else "NO"))
    return 0 if ok else 1


def main():
    if len(sys.argv) != 2:
        raise SystemExit("usage: netns.py PROGRAM")
    program = os.path.abspath(sys.argv[1])
    if os.environ.get("PORTS_BENCH_NETNS") != "1":
        env = dict(os.environ, PORTS_BENCH_NETNS="1")
        made = not os.path.isdir("/run/netns")
        if made:
            os.makedirs("/run/netns")
        try:
            return subprocess.run(["unshare", "-m", "--propagation", "private", "-n", "-p", "-f",
                                   "--mount-proc", "--", sys.executable, os.path.abspath(__file__),
                                   program], env=env).returncode
        finally:
            if made:
                os.rmdir("/run/netns")
    return bench(program)


if __name__ == "__main__":
    sys.exit(main())
