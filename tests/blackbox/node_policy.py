"""Runs black-box suites on a node that has a file of expected listeners of its own.

Usage: node_policy.py SUITE...

In a mount namespace of its own, /etc is replaced by a copy of it whose
/etc/ports/expected is hostile (rules that nothing in a test matches, rules that make
every socket unexpected), and the suites run there. They must pass as on a node
without one: each names its own file, or none. First a run of the program shows that
the file is there and would be read.
"""
import json
import os
import subprocess
import sys
import tempfile

HOSTILE = b"""# a node's own policy, which no test may depend on
tcp * 1 comm=nothing-here
udp * 2
tcp 127.0.0.1 3 service=x.service
not a rule
"""


def inside(suites):
    root = tempfile.mkdtemp(prefix="ports-node-etc-")
    subprocess.run(["mount", "-t", "tmpfs", "tmpfs", root], check=True)
    etc = os.path.join(root, "etc")
    subprocess.run(["cp", "-a", "/etc", etc], check=True)
    # Only the hostile policy: the node's own password file would guard every run.
    subprocess.run(["rm", "-rf", os.path.join(etc, "ports")], check=True)
    os.makedirs(os.path.join(etc, "ports"))
    with open(os.path.join(etc, "ports", "expected"), "wb") as f:
        f.write(HOSTILE)
    subprocess.run(["mount", "--bind", etc, "/etc"], check=True)

    import harness
    body = harness.run({"QUERY_STRING": "action=listeners&detail=1", "PORTS_EXPECT": ""}).json()
    policy = {"path": "/etc/ports/expected", "rules": 3,
              "errors": [{"line": 5, "error": "unknown protocol"}]}
    if body.get("policy") != policy:
        sys.exit("the node's file is not in place: " + json.dumps(body.get("policy")))
    return subprocess.run([sys.executable, "-m", "unittest", "-v"] + suites).returncode


def main():
    suites = sys.argv[1:]
    if not suites:
        sys.exit(__doc__)
    if os.environ.get("PORTS_NODE_POLICY_INSIDE") == "1":
        sys.exit(inside(suites))
    env = dict(os.environ, PORTS_NODE_POLICY_INSIDE="1")
    sys.exit(subprocess.run(["unshare", "-m", "--propagation", "private", "--",
                             sys.executable, os.path.abspath(__file__)] + suites,
                            env=env).returncode)


if __name__ == "__main__":
    main()
