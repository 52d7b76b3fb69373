"""Counts listeners answers that miss long-lived sockets while a neighbour churns.

Usage: churn.py PROGRAM [SECONDS] [CASE...]
Runs itself in a network namespace of its own (unshare -n, so root). In each case 500
processes hold one long-lived socket each, all on one address and port, and a
neighbour binds 100 sockets on that address and port, then closes them, over and over.
The program's listeners answer is taken again and again for SECONDS (default 30) per
case; an answer is wrong when it does not list each long-lived socket exactly once.
Cases: udp4, udp6, tcp (a listener group with SO_REUSEPORT), proc (udp4 with netlink
refused, so the /proc/net files serve), paused (udp4 with the reader paused 5 ms after
each netlink read, as a preempted process is; through strace). Prints, per case, the
wrong answers of all answers and the most sockets one answer missed.
"""
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
HOLDERS = 500
BURST = 100
CASES = {  # kind, address, how the program is started
    "udp4": ("udp", "127.0.0.1", ""),
    "udp6": ("udp", "::1", ""),
    "tcp": ("tcp", "127.0.0.1", ""),
    "proc": ("udp", "127.0.0.1", "no-netlink"),
    "paused": ("udp", "127.0.0.1", "paused"),
}
ENV = {"QUERY_STRING": "action=listeners"}


def bound(kind, addr, port):
    family = socket.AF_INET6 if ":" in addr else socket.AF_INET
    s = socket.socket(family, socket.SOCK_STREAM if kind == "tcp" else socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT if kind == "tcp" else socket.SO_REUSEADDR,
                 1)
    s.bind((addr, port))
    if kind == "tcp":
        s.listen(8)
    return s


def hold(kind, addr):
    """HOLDERS processes, one socket each; (port, their pids, the pipe that ends them)."""
    r, w = os.pipe()
    port, pids = 0, []
    for _ in range(HOLDERS):
        s = bound(kind, addr, port)
        port = s.getsockname()[1]
        pid = os.fork()
        if pid == 0:
            os.close(w)
            os.read(r, 1)  # until the bench is done, or gone
            os._exit(0)
        s.close()
        pids.append(pid)
    os.close(r)
    return port, pids, w


def churn(kind, addr, port, until):
    pid = os.fork()
    if pid == 0:
        while time.monotonic() < until:
            burst = [bound(kind, addr, port) for _ in range(BURST)]
            for s in burst:
                s.close()
        os._exit(0)
    return pid


def launcher(how, tmp):
    if how == "no-netlink":
        exe = os.path.join(tmp, "no_netlink")
        subprocess.run(["g++", "-std=c++20", "-O2", "-o", exe,
                        os.path.join(HERE, "..", "tests", "no_netlink.cpp")], check=True)
        return [exe]
    if how == "paused":
        if not shutil.which("strace"):
            raise SystemExit("strace is missing: scripts/install-deps.sh bench")
        return ["strace", "-f", "-qq", "-o", "/dev/null", "--seccomp-bpf", "-e", "trace=recvfrom",
                "-e", "inject=recvfrom:delay_exit=5000"]
    return []


def run_case(program, name, seconds, tmp):
    kind, addr, how = CASES[name]
    argv = launcher(how, tmp) + [program]
    port, pids, stop = hold(kind, addr)
    wanted = set(pids)
    churner = churn(kind, addr, port, time.monotonic() + seconds + 120)
    answers = wrong = worst = 0
    try:
        time.sleep(0.2)
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            out = subprocess.run(argv, env=ENV, stdout=subprocess.PIPE, check=True).stdout
            rows = json.loads(out.split(b"\r\n\r\n", 1)[1])["listeners"]
            seen = [r["pid"] for r in rows if r["port"] == port and r["pid"] in wanted]
            missed = len(wanted - set(seen))
            answers += 1
            if missed or len(seen) != len(wanted):
                wrong += 1
                worst = max(worst, missed)
    finally:
        os.kill(churner, 9)
        os.waitpid(churner, 0)
        os.close(stop)
        for pid in pids:
            os.waitpid(pid, 0)
    return answers, wrong, worst


def main():
    if len(sys.argv) < 2:
        raise SystemExit("usage: churn.py PROGRAM [SECONDS] [CASE...]")
    program = os.path.abspath(sys.argv[1])
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 30.0
    names = sys.argv[3:] or list(CASES)
    if os.environ.get("PORTS_BENCH_NETNS") != "1":
        env = dict(os.environ, PORTS_BENCH_NETNS="1")
        return subprocess.run(["unshare", "-n", "--", sys.executable, os.path.abspath(__file__)]
                              + sys.argv[1:], env=env).returncode
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    print("%-7s %8s %8s %12s" % ("case", "answers", "wrong", "most missed"))
    with tempfile.TemporaryDirectory() as tmp:
        for name in names:
            answers, wrong, worst = run_case(program, name, seconds, tmp)
            print("%-7s %8d %8d %12d" % (name, answers, wrong, worst), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
