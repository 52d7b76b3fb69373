"""Holds a socket load on loopback until its standard input closes.

Usage: loadgen.py LISTENERS UDP CONNECTIONS [orphan]
Opens LISTENERS TCP listeners and UDP bound UDP sockets, alternately on 127.0.0.1 and
::1 with ports the kernel picks, and CONNECTIONS established TCP connections to the
first listener: this process holds the accepted ends, a child the connecting ends, so
neither needs more descriptors than a common hard limit allows. With "orphan", one
more UDP socket is held by no process at all (it travels in a local socket's queue, as
kernel sockets and sockets in flight do), so an owner search must read every
descriptor of the system. Prints "ready" once everything is open.
"""
import os
import resource
import socket
import sys


def raise_limit(need):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < need:
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(need, hard), hard))


def main():
    listeners, udp, connections = (int(a) for a in sys.argv[1:4])
    raise_limit(listeners + udp + connections + 64)
    held = []
    addrs = [(socket.AF_INET, "127.0.0.1"), (socket.AF_INET6, "::1")]
    for i in range(listeners):
        family, addr = addrs[i % 2]
        s = socket.socket(family, socket.SOCK_STREAM)
        s.bind((addr, 0))
        s.listen(4096)
        held.append(s)
    for i in range(udp):
        family, addr = addrs[i % 2]
        s = socket.socket(family, socket.SOCK_DGRAM)
        s.bind((addr, 0))
        held.append(s)
    if sys.argv[4:] == ["orphan"]:
        orphan = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        orphan.bind(("127.0.0.1", 0))
        queue = socket.socketpair()
        socket.send_fds(queue[0], [b"x"], [orphan.fileno()])
        orphan.close()
        held.extend(queue)
    child = 0
    if connections:
        server = held[0]
        target = server.getsockname()[:2]
        done_r, done_w = os.pipe()
        child = os.fork()
        if child == 0:
            for s in held:
                s.close()
            clients = [socket.create_connection(target, timeout=30) for _ in range(connections)]
            os.write(done_w, b"1")
            sys.stdin.read()  # the shared input closes for both
            os._exit(0 if clients else 1)
        for _ in range(connections):
            held.append(server.accept()[0])
        os.read(done_r, 1)
    print("ready", flush=True)
    sys.stdin.read()
    if child:
        os.waitpid(child, 0)


if __name__ == "__main__":
    main()
