"""The Windows platform tests that need interfaces of their own (Interfaces.*), run under
Wine in a network namespace this script makes: a veth pair whose end ports0 holds
198.51.100.7/24 and fe80::7.

Under Wine the socket and address tables are read by Wine's own service processes,
which belong to the Wine server of the prefix: the tests run with a private prefix,
whose server starts inside the namespace.

Usage: interfaces.py PLATFORM_TESTS.exe
"""
import os
import socket
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "blackbox"))
import sandbox  # noqa: E402

INSIDE = "PORTS_INTERFACES_NAMESPACE"
SETUP = [["link", "set", "lo", "up"],
         ["link", "add", "ports0", "type", "veth", "peer", "name", "ports1"],
         ["link", "set", "ports0", "up"],
         ["link", "set", "ports1", "up"],
         ["addr", "add", "198.51.100.7/24", "dev", "ports0"],
         ["-6", "addr", "add", "fe80::7/64", "dev", "ports0", "nodad"]]


def main():
    tests = os.path.abspath(sys.argv[1])
    if not os.environ.get(INSIDE):
        problem = sandbox.namespace_problem()
        if problem:
            sys.exit("needs a network namespace of its own (unshare -n, as root): " + problem)
        os.execvpe("unshare", ["unshare", "-n", "--", sys.executable, os.path.abspath(__file__),
                               tests], dict(os.environ, **{INSIDE: "1"}))
    for args in SETUP:
        subprocess.run(["ip"] + args, check=True)
    private = sandbox._private_wine_prefix()
    try:
        proc = subprocess.run(["wine", tests, "--gtest_filter=Interfaces.*"],
                              env=dict(os.environ, WINEDEBUG="-all",
                                       PORTS_TEST_SCOPE=str(socket.if_nametoindex("ports0"))),
                              stdout=subprocess.PIPE, text=True, timeout=240)
    finally:
        sandbox._end_wine_prefix(private)
    sys.stdout.write(proc.stdout)
    # A filter that matches nothing passes: the tests must have run.
    if "[ RUN      ] Interfaces." not in proc.stdout:
        sys.exit("no Interfaces test ran")
    sys.exit(proc.returncode)


if __name__ == "__main__":
    main()
