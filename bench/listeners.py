"""Times the listeners answer against `ss -H -ltunp` under a socket load.

Usage: listeners.py PROGRAM
Runs itself in a network namespace of its own (unshare -n, so root; and a process
namespace, so that it sees no other), where a load generator holds the sockets. At each load the program's listeners answer and
`ss -H -ltunp` are timed alternately, process start to exit, and their rows
(proto, address, port, pid) compared. At no load the program is also timed against
an empty statically linked program. At full load the detail answer (detail=1, which
reads every descriptor and the established connections too) is timed against ss as
well, and its connection count checked; so are the detail answer judged by a file of
1,000 rules (900 that match a socket, 100 that match none) and the metrics answer by
the same file, the peers answer of the listener that holds every connection against
`ss -Htn state established`, and the detail answer as www-data through ports-reader
(beside PROGRAM, given its capabilities) against the same as root. Prints the medians
and the ratios.
"""
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
RUNS = 21
WARMUP = 3
LOADS = [("none", 0, 0, 0, ""), ("medium", 50, 50, 1000, ""), ("full", 500, 500, 10000, ""),
         ("orphan", 500, 500, 10000, "orphan")]
TARGET_FULL = 0.35  # of ss
TARGET_DETAIL = 0.5  # of ss, at full load
TARGET_PEERS = 0.5  # of ss -Htn state established, at full load
TARGET_IDLE = 3.0   # of an empty static program
TARGET_READER = 1.15  # www-data through ports-reader, of root, detail at full load
ENV = {"QUERY_STRING": "action=listeners"}
DETAIL_ENV = {"QUERY_STRING": "action=listeners&detail=1"}
RULES, RULES_MISSING = 1000, 100


def timed(argv):
    """Wall time of one run, start to exit, in milliseconds; output discarded. A
    command may end in an environment (a dict) of its own."""
    env = ENV
    if isinstance(argv[-1], dict):
        argv, env = argv[:-1], argv[-1]
    actions = [(os.POSIX_SPAWN_OPEN, 1, os.devnull, os.O_WRONLY, 0),
               (os.POSIX_SPAWN_OPEN, 2, os.devnull, os.O_WRONLY, 0)]
    t0 = time.perf_counter_ns()
    pid = os.posix_spawn(argv[0], argv, env, file_actions=actions)
    os.waitpid(pid, 0)
    return (time.perf_counter_ns() - t0) / 1e6


def timed_as(uid, gid, argv, env):
    """Like timed, for a run as another account: fork, drop to uid, exec (root's runs
    take the same road, so that both pay for it)."""
    def drop():
        os.setgroups([])
        os.setgid(gid)
        os.setuid(uid)
    t0 = time.perf_counter_ns()
    subprocess.run(argv, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   preexec_fn=drop)
    return (time.perf_counter_ns() - t0) / 1e6


def reader_ratio(program, tmp, rows):
    """The detail answer at this load as www-data through a copy of the reader beside
    program, with the package's capabilities, against the same as root: (ratio, ms as
    www-data, ms as root); rows checked to name the same owners."""
    import pwd
    www = pwd.getpwnam("www-data")
    # A folder www-data may enter (tmp is root's alone).
    folder = tempfile.mkdtemp(prefix="ports-bench-reader-")
    os.chmod(folder, 0o755)
    try:
        return reader_runs(program, folder, rows, www)
    finally:
        shutil.rmtree(folder)


def reader_runs(program, folder, rows, www):
    reader = os.path.join(folder, "ports-reader")
    shutil.copy(os.path.join(os.path.dirname(program), "ports-reader"), reader)
    os.chmod(reader, 0o755)
    subprocess.run(["setcap", "cap_dac_read_search,cap_sys_ptrace=ep", reader], check=True)
    env = dict(DETAIL_ENV, PORTS_READER=reader)
    out = subprocess.run([program], env=env, stdout=subprocess.PIPE, check=True,
                         preexec_fn=lambda: (os.setgroups([]), os.setgid(www.pw_gid),
                                             os.setuid(www.pw_uid))).stdout
    seen = {(r["proto"], r["bind_addr"], r["port"], r["pid"])
            for r in json.loads(out.split(b"\r\n\r\n", 1)[1])["listeners"]}
    if seen != rows:
        print("www-data through the reader names other owners: %s"
              % sorted(seen ^ rows)[:5])
    runs = [(www.pw_uid, www.pw_gid), (0, 0)]
    for _ in range(WARMUP):
        for uid, gid in runs:
            timed_as(uid, gid, [program], env)
    samples = [[], []]
    for _ in range(RUNS):
        for i, (uid, gid) in enumerate(runs):
            samples[i].append(timed_as(uid, gid, [program], env))
    t_www, t_root = (statistics.median(x) for x in samples)
    return t_www / t_root, t_www, t_root, seen == rows


def medians(commands):
    """Median milliseconds of each command, timed in turn, RUNS times."""
    for _ in range(WARMUP):
        for argv in commands:
            timed(argv)
    samples = [[] for _ in commands]
    for _ in range(RUNS):
        for i, argv in enumerate(commands):
            samples[i].append(timed(argv))
    return [statistics.median(s) for s in samples]


def program_answer(program, env=ENV):
    out = subprocess.run([program], env=env, stdout=subprocess.PIPE, check=True).stdout
    return json.loads(out.split(b"\r\n\r\n", 1)[1])


def program_rows(program):
    return {(r["proto"], r["bind_addr"], r["port"], r["pid"])
            for r in program_answer(program)["listeners"]}


def ss_rows(ss):
    out = subprocess.run([ss, "-H", "-ltunp"], stdout=subprocess.PIPE, check=True).stdout
    rows = set()
    for line in out.decode().splitlines():
        fields = line.split()
        host, port = fields[4].rsplit(":", 1)
        host = host.strip("[]").split("%")[0]
        if host == "*":  # a dual-stack socket on the IPv6 wildcard
            host = "::"
        pids = [int(p) for p in re.findall(r"pid=(\d+)", line)]
        rows.add((fields[0], host, int(port), min(pids) if pids else 0))
    return rows


def policy_file(tmp, detail):
    """A file of RULES rules: one for each of the first rows of the detail answer, with
    the process's name, and RULES_MISSING that match nothing. Its path."""
    rows = detail["listeners"][:RULES - RULES_MISSING]
    lines = ["%s %s %d%s" % (r["proto"], r["bind_addr"], r["port"],
                             " comm=" + r["comm"] if r["comm"] else "") for r in rows]
    lines += ["tcp 192.0.2.%d %d" % (k % 250 + 1, 1 + k) for k in range(RULES - len(lines))]
    path = os.path.join(tmp, "expected")
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")
    return path


def empty_program(tmp):
    src = os.path.join(tmp, "empty.c")
    exe = os.path.join(tmp, "empty")
    with open(src, "w") as f:
        f.write("int main(void) { return 0; }\n")
    subprocess.run(["gcc", "-O2", "-static", "-o", exe, src], check=True)
    return exe


def bench(program):
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    ss = shutil.which("ss")
    ours = [program]
    theirs = [ss, "-H", "-ltunp"]
    ok = True
    results = {}
    with tempfile.TemporaryDirectory() as tmp:
        empty = [empty_program(tmp)]
        print("%-7s %6s %12s %12s %10s" % ("load", "rows", "ports ms", "ss ms", "ratio"))
        for name, listeners, udp, conns, extra in LOADS:
            gen = subprocess.Popen([sys.executable, os.path.join(HERE, "loadgen.py"),
                                    str(listeners), str(udp), str(conns)] + [extra] * bool(extra),
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE)
            try:
                if gen.stdout.readline().strip() != b"ready":
                    raise SystemExit("load generator failed")
                mine, ss_set = program_rows(program), ss_rows(ss)
                if mine != ss_set:
                    ok = False
                    print("rows differ at %s load: only ports %s, only ss %s"
                          % (name, sorted(mine - ss_set)[:5], sorted(ss_set - mine)[:5]))
                if name == "none":
                    t_ours, t_ss, t_empty = medians([ours, theirs, empty])
                    results["idle"] = t_ours / t_empty
                elif name == "full":
                    detail = program_answer(program, DETAIL_ENV)
                    # The load generator's connections all go to its first listener.
                    most = max(r["conns"] for r in detail["listeners"])
                    if most != conns or {(r["proto"], r["bind_addr"], r["port"], r["pid"])
                                         for r in detail["listeners"]} != mine:
                        ok = False
                        print("detail answer wrong at full load: most connections %d of %d"
                              % (most, conns))
                    policy = policy_file(tmp, detail)
                    judged_env = dict(DETAIL_ENV, PORTS_EXPECT=policy)
                    metrics_env = {"QUERY_STRING": "action=metrics", "PORTS_EXPECT": policy}
                    judged = program_answer(program, judged_env)
                    metrics = subprocess.run([program], env=metrics_env, stdout=subprocess.PIPE,
                                             check=True).stdout
                    if (judged["policy"]["rules"] != RULES
                            or len(judged["missing"]) != RULES - min(RULES - RULES_MISSING,
                                                                     len(mine))
                            or b"\nports_policy_rules %d\n" % RULES not in metrics):
                        ok = False
                        print("policy judged wrong at full load: %d rules, %d missing"
                              % (judged["policy"]["rules"], len(judged["missing"])))
                    t_ours, t_ss, t_detail, t_judged, t_metrics = medians(
                        [ours, theirs, ours + [DETAIL_ENV], ours + [judged_env],
                         ours + [metrics_env]])
                    # Who is connected to the listener that holds every connection.
                    busiest = max(detail["listeners"], key=lambda r: r["conns"])
                    peers_env = {"QUERY_STRING": "action=peers&port=%d" % busiest["port"],
                                 "BOT_PASSWORD": "b", "HTTP_X_BOT_PASSWORD": "b"}
                    peers = program_answer(program, peers_env)
                    if peers.get("total") != conns or peers["peers"] != [
                            {"addr": busiest["bind_addr"], "count": conns}]:
                        ok = False
                        print("peers answer wrong at full load: %s" % str(peers)[:200])
                    t_peers, t_ss_conns = medians([ours + [peers_env],
                                                   [ss, "-Htn", "state", "established"]])
                    results["peers"] = t_peers / t_ss_conns
                    print("%-7s %6d %12.3f %12.3f %10.3f   (action=peers, ss -Htn state "
                          "established)" % ("full", conns, t_peers, t_ss_conns, results["peers"]))
                    ratio, t_www, t_root, same = reader_ratio(program, tmp, mine)
                    ok = ok and same
                    results["reader"] = ratio
                    print("%-7s %6d %12.3f %12.3f %10.3f   (detail=1: www-data through the "
                          "reader, against root)" % ("full", len(mine), t_www, t_root, ratio))
                    for key, t, what in (("detail", t_detail, "detail=1"),
                                         ("judged", t_judged, "detail=1, %d rules" % RULES),
                                         ("metrics", t_metrics, "action=metrics, %d rules"
                                          % RULES)):
                        results[key] = t / t_ss
                        print("%-7s %6d %12.3f %12.3f %10.3f   (%s)"
                              % ("full", len(mine), t, t_ss, results[key], what))
                else:
                    t_ours, t_ss = medians([ours, theirs])
                results[name] = t_ours / t_ss
                print("%-7s %6d %12.3f %12.3f %10.3f" % (name, len(mine), t_ours, t_ss,
                                                          t_ours / t_ss))
                if name == "none":
                    print("%-7s %6s %12.3f %12s %10.3f   (empty static program)"
                          % ("", "", t_empty, "", results["idle"]))
            finally:
                gen.stdin.close()
                gen.wait(timeout=60)
    print()
    print("full load: ports / ss = %.3f (target <= %.2f: %s)"
          % (results["full"], TARGET_FULL, "met" if results["full"] <= TARGET_FULL else "MISSED"))
    for key, what in (("detail", "detail answer"),
                      ("judged", "detail answer, %d rules" % RULES),
                      ("metrics", "metrics answer, %d rules" % RULES)):
        print("full load, %s: ports / ss = %.3f (target <= %.2f: %s)"
              % (what, results[key], TARGET_DETAIL,
                 "met" if results[key] <= TARGET_DETAIL else "MISSED"))
    print("full load, peers answer: ports / ss -Htn state established = %.3f "
          "(target <= %.2f: %s)" % (results["peers"], TARGET_PEERS,
                                    "met" if results["peers"] <= TARGET_PEERS else "MISSED"))
    print("full load, detail answer as www-data through the reader: www-data / root = %.3f "
          "(target <= %.2f: %s)" % (results["reader"], TARGET_READER,
                                    "met" if results["reader"] <= TARGET_READER else "MISSED"))
    print("full load with one socket no process holds (every descriptor read): %.3f"
          % results["orphan"])
    print("no load: ports / empty static program = %.3f (target <= %.1f: %s)"
          % (results["idle"], TARGET_IDLE, "met" if results["idle"] <= TARGET_IDLE else "MISSED"))
    print("rows equal to ss at every load: %s" % ("yes" if ok else "NO"))
    return 0 if ok else 1


def main():
    if len(sys.argv) != 2:
        raise SystemExit("usage: listeners.py PROGRAM")
    program = os.path.abspath(sys.argv[1])
    if os.environ.get("PORTS_BENCH_NETNS") != "1":
        env = dict(os.environ, PORTS_BENCH_NETNS="1")
        # A process namespace too: the detail answer lists every network namespace that a
        # process it sees is in, and this compares it with the load's own.
        return subprocess.run(["unshare", "-n", "-p", "-f", "--mount-proc", "--", sys.executable,
                               os.path.abspath(__file__), program], env=env).returncode
    return bench(program)


if __name__ == "__main__":
    sys.exit(main())
