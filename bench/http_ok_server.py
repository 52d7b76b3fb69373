"""A minimal HTTP server on 127.0.0.1 for the probe benchmark: answers every request
with a 200 status line at once, closes connections that send nothing, and stops by
itself after a while. Prints its port on the first line of standard output."""
import selectors
import socket
import sys
import time

LIFE = float(sys.argv[1]) if len(sys.argv) > 1 else 600.0
REPLY = b"HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n"


def main():
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(128)
    listener.setblocking(False)
    print(listener.getsockname()[1], flush=True)
    sel = selectors.DefaultSelector()
    sel.register(listener, selectors.EVENT_READ)
    pending = {}
    deadline = time.monotonic() + LIFE
    while time.monotonic() < deadline:
        for key, _ in sel.select(timeout=1.0):
            if key.fileobj is listener:
                try:
                    conn, _ = listener.accept()
                except OSError:
                    continue
                conn.setblocking(False)
                pending[conn] = b""
                sel.register(conn, selectors.EVENT_READ)
                continue
            conn = key.fileobj
            try:
                chunk = conn.recv(4096)
            except OSError:
                chunk = b""
            if chunk:
                pending[conn] += chunk
                if b"\r\n\r\n" not in pending[conn]:
                    continue
                try:
                    conn.sendall(REPLY)
                except OSError:
                    pass
            sel.unregister(conn)
            del pending[conn]
            conn.close()


if __name__ == "__main__":
    main()
