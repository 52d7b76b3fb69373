"""Counts listeners answers that miss long-lived sockets while a neighbour churns.

Usage: churn.py PROGRAM [SECONDS] [CASE...]
Runs itself in a network namespace of its own (unshare -n, so root). In each case 500
processes hold one long-lived socket each, all on one address and port, and a
neighbour binds 100 sockets on that address and port, then closes them, over and over.
The program's listeners answer is taken again and again for SECONDS (default 30) per
case; an answer is wrong when it does not list each long-lived socket exactly once, or
lists more sockets on the port than were ever open at once.
Cases: udp4, udp6, tcp (a listener group with SO_REUSEPORT), proc (udp4 with netlink
refused, so the /proc/net files serve), paused (udp4 with the reader paused 5 ms after
each netlink read, as a preempted process is; through strace), cap (udp4 with 700
long-lived sockets and bursts of 200: never more than 900 open, so the 1,024 rows
never fill with sockets alive together), cap-tcp (the same over the TCP /proc/net
fallback), restart (tcp, and besides the group one listener on a port of its own,
closed and bound again over and over, never two at once: wrong also when it is listed
twice). The answers are detail answers, which say "churn" in "unreadable" when a
list kept changing through every read of it. Prints, per case, of all answers: the
wrong ones, those that kept a closed socket (more sockets on the port than were ever
open at once, or the restarted listener twice), those that said "churn", the wrong
ones that did not say it, and the most sockets one answer missed.
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
CASES = {  # kind, address, how the program is started, long-lived sockets, burst
    "udp4": ("udp", "127.0.0.1", "", HOLDERS, BURST),
    "udp6": ("udp", "::1", "", HOLDERS, BURST),
    "tcp": ("tcp", "127.0.0.1", "", HOLDERS, BURST),
    "proc": ("udp", "127.0.0.1", "no-netlink", HOLDERS, BURST),
    "paused": ("udp", "127.0.0.1", "paused", HOLDERS, BURST),
    "cap": ("udp", "127.0.0.1", "", 700, 200),
    "cap-tcp": ("tcp", "127.0.0.1", "no-netlink", 700, 200),
    "restart": ("tcp", "127.0.0.1", "restart", HOLDERS, BURST),
}
ENV = {"QUERY_STRING": "action=listeners&detail=1"}


def bound(kind, addr, port):
    family = socket.AF_INET6 if ":" in addr else socket.AF_INET
    s = socket.socket(family, socket.SOCK_STREAM if kind == "tcp" else socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT if kind == "tcp" else socket.SO_REUSEADDR,
                 1)
    s.bind((addr, port))
    if kind == "tcp":
        s.listen(8)
    return s


def hold(kind, addr, holders):
    """Processes holding one socket each; (port, their pids, the pipe that ends them)."""
    r, w = os.pipe()
    port, pids = 0, []
    for _ in range(holders):
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


def churn(kind, addr, port, until, burst):
    pid = os.fork()
    if pid == 0:
        while time.monotonic() < until:
            sockets = [bound(kind, addr, port) for _ in range(burst)]
            for s in sockets:
                s.close()
        os._exit(0)
    return pid


def restarter(addr, until):
    """A listener on a port of its own, closed and bound again over and over; (its
    port, its pid)."""
    s = bound("tcp", addr, 0)
    port = s.getsockname()[1]
    pid = os.fork()
    if pid == 0:
        while time.monotonic() < until:
            s.close()
            s = bound("tcp", addr, port)
        os._exit(0)
    s.close()
    return port, pid


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
    kind, addr, how, holders, burst = CASES[name]
    argv = launcher(how, tmp) + [program]
    port, pids, stop = hold(kind, addr, holders)
    wanted = set(pids)
    until = time.monotonic() + seconds + 120
    churner = churn(kind, addr, port, until, burst)
    others = [churner]
    single = 0
    if how == "restart":
        single, pid = restarter(addr, until)
        others.append(pid)
    answers = wrong = worst = closed = said = unsaid = 0
    try:
        time.sleep(0.2)
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            out = subprocess.run(argv, env=ENV, stdout=subprocess.PIPE, check=True).stdout
            body = json.loads(out.split(b"\r\n\r\n", 1)[1])
            rows = [r for r in body["listeners"] if r["netns"] == 0]
            seen = [r["pid"] for r in rows if r["port"] == port and r["pid"] in wanted]
            on_port = sum(1 for r in rows if r["port"] == port)
            missed = len(wanted - set(seen))
            answers += 1
            kept = (on_port > holders + burst or
                    sum(1 for r in rows if single and r["port"] == single) > 1)
            churn_said = "churn" in body["unreadable"]
            closed += kept
            said += churn_said
            if missed or len(seen) != len(wanted) or kept:
                wrong += 1
                unsaid += not churn_said
                worst = max(worst, missed)
    finally:
        for pid in others:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
        os.close(stop)
        for pid in pids:
            os.waitpid(pid, 0)
    return answers, wrong, worst, closed, said, unsaid


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
    print("%-7s %8s %8s %12s %10s %13s %12s" % ("case", "answers", "wrong", "kept closed",
                                                "said churn", "wrong unsaid", "most missed"))
    with tempfile.TemporaryDirectory() as tmp:
        for name in names:
            answers, wrong, worst, closed, said, unsaid = run_case(program, name, seconds, tmp)
            print("%-7s %8d %8d %12d %10d %13d %12d" % (name, answers, wrong, closed, said, unsaid,
                                                        worst), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
