#!/usr/bin/env python3
"""Starts the local hub (lighttpd, in the foreground) in front of the plug-in.

Usage: serve.py PROGRAM [--port N] [--config FILE]

PROGRAM is the built plugin_ports. --port 0 binds a free loopback port here and hands
the socket to lighttpd, so a test never races another process for a port. BOT_PASSWORD
in the environment turns the plug-in's password gate on; PORTS_EXPECT names its file of
expected listeners. --config names another
lighttpd configuration in place of hub/lighttpd.conf (a test of another one), which
may read the same env.PORTS_HUB_* names.

The first line of standard output is "hub: http://127.0.0.1:PORT/"; the next ones give
the console's addresses to open, with the password in them (pwd=) when there is one.

lighttpd replaces this process (same process id), so stopping it (Ctrl-C, a signal to
the id) stops the hub and nothing stays behind.
"""
import argparse
import os
import shutil
import socket
import sys
from urllib.parse import quote

HERE = os.path.dirname(os.path.abspath(__file__))


def main():
    ap = argparse.ArgumentParser(description="Run the local hub in front of the plug-in.")
    ap.add_argument("program")
    ap.add_argument("--port", type=int, default=8150)
    ap.add_argument("--config", default=os.path.join(HERE, "lighttpd.conf"))
    args = ap.parse_args()

    lighttpd = shutil.which("lighttpd") or "/usr/sbin/lighttpd"
    if not os.access(lighttpd, os.X_OK):
        sys.exit("hub: lighttpd is not installed (scripts/install-deps.sh run)")
    program = os.path.abspath(args.program)
    if not os.access(program, os.X_OK):
        sys.exit(f"hub: no program at {program} (build it first)")

    env = dict(os.environ)
    env["PORTS_HUB_ROOT"] = os.path.join(HERE, "root")
    env["PORTS_HUB_PROGRAM"] = program
    env.setdefault("BOT_PASSWORD", "")
    env.setdefault("PORTS_EXPECT", "")
    for name in ("LISTEN_FDS", "LISTEN_PID", "LISTEN_FDNAMES"):
        env.pop(name, None)

    port = args.port
    if port == 0:
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(("127.0.0.1", 0))
        sock.listen(128)
        port = sock.getsockname()[1]
        # Socket activation: the listening socket as descriptor 3, for this process id,
        # which lighttpd keeps because it replaces this process.
        if sock.fileno() != 3:
            os.dup2(sock.fileno(), 3)
            sock.close()
        os.set_inheritable(3, True)
        env["LISTEN_FDS"] = "1"
        env["LISTEN_PID"] = str(os.getpid())
    env["PORTS_HUB_PORT"] = str(port)

    base = f"http://127.0.0.1:{port}/"
    # The password goes into the addresses as the browser reads it back: one query value,
    # every byte but letters, digits and -._~ percent-encoded.
    password = os.environb.get(b"BOT_PASSWORD", b"")
    query = "?pwd=" + quote(password, safe="") if password else ""
    print(f"hub: {base}", flush=True)
    print(f"console: {base}plugin_ports{query}")
    print(f"hub root, the console embedded: {base}{query}")
    print("Ctrl-C stops the hub.", flush=True)
    os.execve(lighttpd, [lighttpd, "-D", "-f", os.path.abspath(args.config)], env)


if __name__ == "__main__":
    main()
