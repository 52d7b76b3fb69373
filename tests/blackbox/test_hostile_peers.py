"""Probe peers that misbehave on purpose: each probe still ends within its bound with a
well-formed answer. The slow ones run side by side."""
import socket
import struct
import time
import unittest

from test_probe import SLACK_MS, SideBySide, read_until


def drip(server, conn):
    """After the request, one byte of a status line every 100 ms: the line end would
    come after the reply deadline."""
    if not read_until(conn, b"\r\n\r\n"):
        return b""
    for c in b"HTTP/1.1 200 OK, eventually\r\n":
        if server.stop.is_set():
            break
        try:
            conn.sendall(bytes([c]))
        except OSError:
            break
        time.sleep(0.1)
    return b""


def flood(server, conn):
    """Megabytes without a line end, for as long as the prober keeps reading."""
    if not read_until(conn, b"\r\n\r\n"):
        return b""
    chunk = b"HTTP/1.1 200 " + b"z" * 65536
    sent = 0
    conn.settimeout(2.0)
    try:
        while sent < 8 << 20 and not server.stop.is_set():
            conn.sendall(chunk)
            sent += len(chunk)
            chunk = b"z" * 65536
    except OSError:
        pass
    return b""


def reset_on_accept(server, conn):
    """Every connection is answered with a reset at once, the connect probe's too."""
    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    return b""


def never_read(server, conn):
    """Accepts and then neither reads nor writes until the server's end of life."""
    server.stop.wait(10)
    return b""


class HostilePeers(SideBySide):
    @classmethod
    def handlers(cls):
        return {"drip": drip, "flood": flood, "reset": reset_on_accept,
                "never_read": never_read}

    def result(self, name):
        return self.results[name].result(), self.servers[name].port

    def test_drip_is_cut_by_the_reply_deadline(self):
        # About 15 bytes arrive before the deadline: enough for the status.
        result, port = self.result("drip")
        _, http_ms = self.assert_probe(result, port, http=(True, 200))
        self.assertIn(http_ms, range(1500, 1500 + SLACK_MS))

    def test_flood_stops_at_the_buffer(self):
        result, port = self.result("flood")
        _, http_ms = self.assert_probe(result, port, http=(True, 200))
        self.assertLess(http_ms, 1500)

    def test_reset_on_accept(self):
        # Whether the reset arrives before the connect probe sees the connection is up
        # to the scheduler; both readings are sound, and the HEAD probe finds nothing.
        (r, started, took), port = self.result("reset")
        body = r.json()
        self.assertEqual((r.rc, r.err), (0, b""))
        if body["open"]:
            self.assert_probe((r, started, took), port, http=(False, 0))
        else:
            self.assert_probe((r, started, took), port, open_=False, refused=body["refused"])

    def test_peer_that_never_reads(self):
        result, port = self.result("never_read")
        _, http_ms = self.assert_probe(result, port, http=(False, 0))
        self.assertIn(http_ms, range(1500, 1500 + SLACK_MS))


if __name__ == "__main__":
    unittest.main()
