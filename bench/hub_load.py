#!/usr/bin/env python3
"""Load through the real hub: 2,000 requests at concurrency 50 against the listeners
and the probe actions behind lighttpd.

Usage: hub_load.py PROGRAM [requests] [concurrency]

For each action, ab (Apache's benchmark tool) gives the throughput and the count of
answers that were not 2xx; then a second pass of the same size, from threads here,
reads every body and checks that it is one JSON object with ok true. Afterwards the
hub's own open descriptors and the machine's count of open files must be back where
they started. Exits non-zero when any check fails.
"""
import http.client
import json
import os
import re
import signal
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor

HERE = os.path.dirname(os.path.abspath(__file__))
SERVE = os.path.join(HERE, "..", "hub", "serve.py")


def open_files():
    with open("/proc/sys/fs/file-nr") as f:
        return int(f.read().split()[0])


def hub_fds(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def ab(url, n, c):
    out = subprocess.run(["ab", "-q", "-n", str(n), "-c", str(c), "-s", "30", url],
                         capture_output=True, text=True, timeout=600).stdout
    def grab(pattern, default="0"):
        m = re.search(pattern, out)
        return m.group(1) if m else default
    return {"rps": float(grab(r"Requests per second:\s+([\d.]+)")),
            "non2xx": int(grab(r"Non-2xx responses:\s+(\d+)")),
            "complete": int(grab(r"Complete requests:\s+(\d+)")),
            "exceptions": int(grab(r"Exceptions:\s+(\d+)")),
            "p50": grab(r"\n\s+50%\s+(\d+)", "?"), "p99": grab(r"\n\s+99%\s+(\d+)", "?")}


def fetch(port, path):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    try:
        conn.request("GET", path)
        r = conn.getresponse()
        body = r.read()
        if r.status != 200:
            return f"status {r.status}"
        if not body.endswith(b"\n") or body.count(b"\n") != 1:
            return "not one line"
        d = json.loads(body)
        return None if d.get("ok") is True else f"ok is not true: {body[:80]!r}"
    except Exception as e:  # every failure is counted, whatever its kind
        return f"{type(e).__name__}: {e}"
    finally:
        conn.close()


def main():
    program = sys.argv[1]
    n = int(sys.argv[2]) if len(sys.argv) > 2 else 2000
    c = int(sys.argv[3]) if len(sys.argv) > 3 else 50
    hub = subprocess.Popen([sys.executable, SERVE, program, "--port", "0"],
                           stdout=subprocess.PIPE, text=True, env=dict(os.environ, BOT_PASSWORD=""))
    failed = False
    try:
        line = hub.stdout.readline()
        port = int(re.search(r":(\d+)/", line).group(1))
        time.sleep(0.5)
        fds0, files0 = hub_fds(hub.pid), open_files()
        print(f"hub load: {n} requests at concurrency {c} per action, lighttpd on port {port}")
        for action, query in (("listeners", "action=listeners"),
                              ("probe", f"action=probe&port={port}")):
            path = "/plugin_ports?" + query
            t0 = time.monotonic()
            a = ab(f"http://127.0.0.1:{port}{path}", n, c)
            with ThreadPoolExecutor(max_workers=c) as pool:
                errors = [e for e in pool.map(lambda _: fetch(port, path), range(n)) if e]
            took = time.monotonic() - t0
            print(f"  {action:9}: ab {a['rps']:.0f} req/s, median {a['p50']} ms, p99 {a['p99']} ms,"
                  f" {a['complete']} complete, {a['non2xx']} non-2xx, {a['exceptions']} exceptions;"
                  f" bodies checked {n - len(errors)}/{n} ({took:.1f} s in all)")
            for e in sorted(set(errors))[:5]:
                print(f"    {errors.count(e)} x {e}")
            if a["complete"] != n or a["non2xx"] or a["exceptions"] or errors:
                failed = True
        # CGI children end with their requests; give the last ones a moment.
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and hub_fds(hub.pid) > fds0:
            time.sleep(0.2)
        fds1, files1 = hub_fds(hub.pid), open_files()
        print(f"  descriptors: hub {fds0} -> {fds1}; machine open files {files0} -> {files1}")
        if fds1 != fds0:
            failed = True
    finally:
        hub.send_signal(signal.SIGINT)
        try:
            hub.wait(10)
        except subprocess.TimeoutExpired:
            hub.kill()
            hub.wait()
    print("hub load: " + ("FAILED" if failed else "ok"))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
