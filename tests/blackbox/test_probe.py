"""The probe action against servers these tests run on 127.0.0.1, seen from outside."""
import calendar
import re
import socket
import struct
import threading
import time
import unittest
from concurrent.futures import ThreadPoolExecutor

import sandbox
from harness import JSON_HEAD, WINE, ProgramTest, run

PORT_ERROR = JSON_HEAD + b'{"ok":false,"error":"port must be 1..65535"}\n'
NOT_LOCAL = JSON_HEAD + b'{"ok":false,"error":"address is not a local listener"}\n'
REQUEST = (b"HEAD / HTTP/1.0\r\nHost: 127.0.0.1:%d\r\nUser-Agent: plugin_ports/1.0.0\r\n"
           b"Connection: close\r\n\r\n")
# A probe answer takes at most about 5.5 s (two 2 s connection waits and the 1.5 s
# reply deadline); the slack covers a loaded machine or an emulator's start.
BOUND = 5.5 + 2.5
SLACK_MS = 1500
SERVER_LIFE = 30  # seconds a test server lives at the most
STAMP = re.compile(rb"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ")


class Server:
    """Listens on 127.0.0.1 (ephemeral port) and runs handle(server, conn) for each
    connection in a thread of its own; stops by itself after SERVER_LIFE seconds.
    `received` collects what each connection sent, in order of acceptance. With
    listening False the port is bound but refuses connections."""

    def __init__(self, handle=None, listening=True):
        self.handle = handle
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.bind(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]
        self.received = []
        self.stop = threading.Event()
        self.threads = []
        if listening:
            self.sock.listen(8)
            self.sock.settimeout(0.1)
            self._start(self._accept_loop)

    def _start(self, target, *args):
        t = threading.Thread(target=target, args=args, daemon=True)
        self.threads.append(t)
        t.start()

    def _accept_loop(self):
        deadline = time.monotonic() + SERVER_LIFE
        while not self.stop.is_set() and time.monotonic() < deadline:
            try:
                conn, _ = self.sock.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            slot = len(self.received)
            self.received.append(None)
            self._start(self._serve, conn, slot)

    def _serve(self, conn, slot):
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        got = b""
        with conn:
            try:
                got = self.handle(self, conn) or b""
            except OSError:
                pass
        self.received[slot] = got

    def close(self):
        self.stop.set()
        for t in self.threads:
            t.join(SERVER_LIFE)
        self.sock.close()


def read_until(conn, end=None, limit=5.0):
    """Bytes from conn until `end` is among them (None: never), the peer closes, or
    `limit` seconds pass."""
    data = b""
    deadline = time.monotonic() + limit
    while (end is None or end not in data) and time.monotonic() < deadline:
        conn.settimeout(max(0.01, deadline - time.monotonic()))
        try:
            chunk = conn.recv(4096)
        except (socket.timeout, OSError):
            break
        if not chunk:
            break
        data += chunk
    return data


def drain(conn):
    """Everything conn sends until the prober closes it."""
    return read_until(conn, limit=10.0)


def answer(*pieces, gap=0.0):
    """A server that reads the request, then writes the pieces `gap` seconds apart and
    keeps the connection open until the prober closes it. The connect probe's
    connection, which sends nothing, is just closed."""
    def handle(server, conn):
        request = read_until(conn, b"\r\n\r\n")
        if not request:
            return b""
        for i, piece in enumerate(pieces):
            if i:
                time.sleep(gap)
            conn.sendall(piece)
        return request + drain(conn)
    return handle


def greet(text):
    """A server that speaks first, like a remote shell, and reads nothing."""
    def handle(server, conn):
        conn.sendall(text)
        return drain(conn)
    return handle


def hold(server, conn):
    """Accepts, then neither writes nor closes until the prober does."""
    return drain(conn)


def close_at_once(server, conn):
    return b""


def reset_on_request(server, conn):
    """Answers the request with a reset (the connect probe's connection, which sends
    nothing, must not be reset: that would fail the connect probe itself)."""
    request = read_until(conn, b"\r\n\r\n")
    if request:
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    return request


def probe(port_text):
    """One probe run: (Run, wall-clock start, seconds taken)."""
    started = time.time()
    t0 = time.monotonic()
    r = run({"QUERY_STRING": "action=probe&port=" + port_text})
    return r, started, time.monotonic() - t0


def probe_all(port_texts):
    """Probe runs side by side (an emulator's start-up makes each run slow)."""
    with ThreadPoolExecutor(max_workers=4) as pool:
        return list(pool.map(probe, port_texts))


class ProbeTest(ProgramTest):
    def server(self, handle=None, listening=True):
        s = Server(handle, listening)
        self.addCleanup(s.close)
        return s

    def assert_probe(self, result, port, open_=True, refused=False, http=None,
                     target=b"127.0.0.1"):
        """Checks a whole probe body byte for byte: http is None when the HEAD probe must
        not have run, else (http_ok, http_status). Durations and the time stamp are
        taken from the body and checked by range. Returns (connect_ms, http_ms)."""
        r, started, took = result
        self.assertEqual((r.rc, r.err), (0, b""))
        self.assertLess(took, BOUND)
        body = r.body()
        connect_ms = int(re.search(rb'"connect_ms":(-?\d+)', body).group(1))
        m = re.search(rb'"http_ms":(-?\d+)', body)
        http_ms = int(m.group(1)) if m else -1
        stamp = re.search(rb'"checked_at":"([^"]*)"', body).group(1)
        word = {True: b"true", False: b"false"}
        want = (b'{"ok":true,"action":"probe","target":"%s","port":%d,"open":%s,'
                b'"refused":%s,"connect_ms":%d,"http_tried":%s'
                % (target, port, word[open_], word[refused], connect_ms, word[http is not None]))
        if http is not None:
            want += b',"http_ok":%s,"http_status":%d,"http_ms":%d' % (word[http[0]], http[1],
                                                                      http_ms)
        want += b',"checked_at":"%s"}\n' % stamp
        self.assertEqual(body, want)
        self.assertIn(connect_ms, range(0, 2000 + SLACK_MS))
        if http is not None:
            self.assertIn(http_ms, range(0, 3500 + SLACK_MS))
        # The stamp is UTC, to the second, and taken after the probes.
        self.assertRegex(stamp, STAMP)
        at = calendar.timegm(time.strptime(stamp.decode(), "%Y-%m-%dT%H:%M:%SZ"))
        self.assertGreaterEqual(at, int(started + (connect_ms + max(http_ms, 0)) / 1000))
        self.assertLessEqual(at, time.time())
        return connect_ms, http_ms


class PortText(ProbeTest):
    def test_malformed_or_out_of_range_ports_get_the_error_body(self):
        texts = ["", "0", "-0", "65536", "-1", "abc", "0x50", "+-80", "%20", "%2D80",
                 "80000", "2147483648",
                 # These wrap to 80 or 1 in a 32-bit conversion.
                 "4294967376", "-4294967216", "4294967297", "999999999999999",
                 # Too long for the 16-byte text, or ended early by a NUL: refused whole,
                 # never read as the number a cut would leave (8, or 80).
                 "000000000000008080", "0000000000000080", "80%001"]
        for text, result in zip(texts, probe_all(texts)):
            with self.subTest(port=text):
                self.assertEqual((result[0].out, result[0].err, result[0].rc),
                                 (PORT_ERROR, b"", 0))
        self.assertEqual(self.request("action=probe").out, PORT_ERROR)
        self.assertEqual(self.request("action=probe&xport=80").out, PORT_ERROR)
        self.assertEqual(len(PORT_ERROR) - len(JSON_HEAD), 45)

    def test_odd_forms_read_like_atoi(self):
        server = self.server(answer(b"HTTP/1.1 200 OK\r\n\r\n"))
        p = str(server.port)
        fits = "0" * (15 - len(p)) + p  # 15 characters, the most the text holds
        texts = [p + "abc", "00" + p, "+" + p, "%2B" + p, "%20%09" + p, fits]
        for text, result in zip(texts, probe_all(texts)):
            with self.subTest(port=text):
                self.assert_probe(result, server.port, http=(True, 200))

    def test_edges_and_the_cut_are_probed(self):
        # Whatever listens there on this machine: only the port and the key order count.
        for text, port in (("1", 1), ("65535", 65535), ("000000000008080", 8080)):
            with self.subTest(port=text):
                body = self.request("action=probe&port=" + text).json()
                self.assertEqual(body["port"], port)
                keys = ["ok", "action", "target", "port", "open", "refused", "connect_ms",
                        "http_tried"]
                if body["http_tried"]:
                    keys += ["http_ok", "http_status", "http_ms"]
                self.assertEqual(list(body), keys + ["checked_at"])


class Connect(ProbeTest):
    def test_closed_port_is_refused_without_the_head_probe(self):
        closed = self.server(listening=False)
        connect_ms, _ = self.assert_probe(probe(str(closed.port)), closed.port, open_=False,
                                          refused=True)
        # A refusal ends the wait at once, on Windows too (no wait for a time-out).
        self.assertLess(connect_ms, 500)

    def test_closed_port_does_not_answer_through_itself(self):
        if not sandbox.NETNS or sandbox.namespace_problem():
            self.fail("needs a network namespace of its own (unshare -n, as root)")
        # With the ephemeral range narrowed to the probed port, the probe's own source
        # port is the target; with nothing listening the connection meets itself.
        port = 40123
        started = time.time()
        report = sandbox.hold_and_run({
            "sysctl": {"net/ipv4/ip_local_port_range": "%d %d" % (port, port)},
            "env": {"QUERY_STRING": "action=probe&port=%d" % port}})
        self.assert_probe((report["run"], started, 0), port, open_=False, refused=True)

    def test_a_connection_nothing_answers_is_not_refused(self):
        if WINE:
            self.skipTest("Wine's sockets are the host's: the same kernel drops the SYN")
        if not sandbox.NETNS or sandbox.namespace_problem():
            self.fail("needs a network namespace of its own (unshare -n, as root)")
        # A listener whose accept queue is full drops every new SYN: the wait runs out,
        # and nothing refused the connection.
        started = time.time()
        report = sandbox.hold_and_run({
            "sockets": [{"kind": "tcp", "addr": "127.0.0.1", "backlog": 0,
                         "clients": ["127.0.0.1"], "accept": False}],
            "env": {"QUERY_STRING": "action=probe&port={P0}"}})
        port = report["ports"][0][0]
        connect_ms, _ = self.assert_probe((report["run"], started, 0), port, open_=False,
                                          refused=False)
        self.assertGreaterEqual(connect_ms, 1900)

    def test_two_connections_one_after_the_other(self):
        server = self.server(answer(b"HTTP/1.0 200 OK\r\n\r\n"))
        self.assert_probe(probe(str(server.port)), server.port, http=(True, 200))
        server.close()
        # The connect probe sends nothing; the HEAD probe sends its request once.
        self.assertEqual(server.received, [b"", REQUEST % server.port])
        self.assertEqual(len(server.received[1]), 88 + len(str(server.port)))


class HeadProbe(ProbeTest):
    def check(self, handle, status, ok=None, max_http_ms=None):
        server = self.server(handle)
        _, http_ms = self.assert_probe(probe(str(server.port)), server.port,
                                       http=(status > 0 if ok is None else ok, status))
        if max_http_ms is not None:
            self.assertLess(http_ms, max_http_ms)
        return http_ms

    def test_every_positive_code_is_a_success(self):
        for line, status in ((b"HTTP/1.1 200 OK", 200), (b"HTTP/1.0 404 Not Found", 404),
                             (b"HTTP/1.1 500 Internal Server Error", 500),
                             (b"HTTP/1.1 301 Moved", 301)):
            with self.subTest(line=line):
                self.check(answer(line + b"\r\nServer: t\r\n\r\n"), status)

    def test_status_line_in_three_pieces(self):
        self.check(answer(b"HTT", b"P/1.1 2", b"04 No Content\r\n\r\n", gap=0.2), 204)

    def test_replies_without_a_status(self):
        cases = [
            ("banner", greet(b"SSH-2.0-OpenSSH_9.2p1 Debian\r\n")),
            ("lower case", answer(b"http/1.1 200 OK\r\n\r\n")),
            ("no blank on the first line", answer(b"HTTP/1.1\r\nServer: x\r\n\r\n")),
            ("status beyond 32 bits", answer(b"HTTP/1.1 4294967496 Wraps\r\n\r\n")),
        ]
        for name, handle in cases:
            with self.subTest(name):
                self.check(handle, 0, max_http_ms=1000)

    def test_negative_status(self):
        self.check(answer(b"HTTP/1.1 -1 Odd\r\n\r\n"), -1)

    def test_peer_gone_before_the_reply(self):
        for name, handle in (("closes", close_at_once), ("resets", reset_on_request)):
            with self.subTest(name):
                self.check(handle, 0, max_http_ms=1000)

    def test_long_first_line_stops_at_511_bytes(self):
        # The server keeps the connection open: only the full buffer ends the reading.
        self.check(answer(b"HTTP/1.1 302" + b"x" * 700), 302, max_http_ms=1000)


class Address(ProbeTest):
    """The addr parameter: which addresses a probe may connect to, and that it gets there."""

    def in_namespace(self, plan):
        if not sandbox.NETNS or sandbox.namespace_problem():
            self.fail("needs a network namespace of its own (unshare -n, as root)")
        started = time.time()
        report = sandbox.hold_and_run(plan)
        return report, started

    def test_no_addr_an_empty_one_and_127_0_0_1_probe_alike(self):
        server = self.server(answer(b"HTTP/1.1 200 OK\r\n\r\n"))
        p = str(server.port)
        for text, result in zip(["", "&addr=", "&addr=127.0.0.1", "&addr=%3A%3Affff%3A7f00%3A1"],
                                probe_all([p, p + "&addr=", p + "&addr=127.0.0.1",
                                           p + "&addr=%3A%3Affff%3A7f00%3A1"])):
            with self.subTest(addr=text):
                self.assert_probe(result, server.port, http=(True, 200))
        server.close()
        # The same two connections each time, the same Host included (runs side by side).
        self.assertEqual(sorted(server.received), [b""] * 4 + [REQUEST % server.port] * 4)

    def test_listeners_off_127_0_0_1_are_reached_at_their_address(self):
        # Nothing accepts on these listeners: a connection completes in the backlog and
        # the HEAD probe waits out its deadline.
        silent = (False, 0)
        cases = [  # (socket, addr sent, target answered, open)
            (0, "::1", b"::1", True),
            (1, "127.0.0.2", b"127.0.0.2", True),
            (2, "192.0.2.10", b"192.0.2.10", True),
            (3, "::1", b"::1", True),
            # IPv4 never reaches the IPv6-only wildcard listener.
            (3, None, b"127.0.0.1", False),
            (4, "2001:DB8:0:0::10", b"2001:db8::10", True),
            (1, "::ffff:127.0.0.2", b"127.0.0.2", True),
            # Any port of a listener's address may be probed.
            (0, "192.0.2.10", b"192.0.2.10", False),
        ]
        envs = []
        for sock, addr, _, _ in cases:
            query = "action=probe&port={P%d}" % sock
            if addr:
                query += "&addr=" + addr.replace(":", "%3A")
            envs.append({"QUERY_STRING": query})
        report, started = self.in_namespace({
            "setup": [["addr", "add", "192.0.2.10/32", "dev", "lo"],
                      ["-6", "addr", "add", "2001:db8::10/128", "dev", "lo", "nodad"]],
            "sockets": [{"kind": "tcp", "addr": "::1"}, {"kind": "tcp", "addr": "127.0.0.2"},
                        {"kind": "tcp", "addr": "192.0.2.10"},
                        {"kind": "tcp", "addr": "::", "v6only": 1},
                        {"kind": "tcp", "addr": "2001:db8::10"}],
            "envs": envs})
        for (sock, addr, target, open_), run_ in zip(cases, report["runs"]):
            with self.subTest(addr=addr, socket=sock):
                self.assert_probe((run_, started, 0), report["ports"][sock][0], open_=open_,
                                  refused=not open_, http=silent if open_ else None,
                                  target=target)

    def test_an_address_no_tcp_listener_holds_is_refused(self):
        queries = ["port={P0}&addr=192.0.2.11",      # only a UDP socket there
                   "port={P0}&addr=192.0.2.13",      # no such address here
                   "port={P0}&addr=198.51.100.1",    # nor this one
                   "port={P0}&addr=0.0.0.0", "port={P0}&addr=%3A%3A",
                   "port={P0}&addr=fe80%3A%3A1%25lo", "port={P0}&addr=localhost",
                   "port={P0}&addr=192.0.2.10%20",
                   "port=0&addr=192.0.2.13",         # the port's error comes first
                   "port={P0}&addr=192.0.2.10"]      # and the listener itself is probed
        report, started = self.in_namespace({
            "setup": [["addr", "add", "192.0.2.10/32", "dev", "lo"],
                      ["addr", "add", "192.0.2.11/32", "dev", "lo"]],
            "sockets": [{"kind": "tcp", "addr": "192.0.2.10"},
                        {"kind": "udp", "addr": "192.0.2.11"}],
            "envs": [{"QUERY_STRING": "action=probe&" + q} for q in queries]})
        runs = report["runs"]
        for query, run_ in zip(queries[:-2], runs):
            with self.subTest(query=query):
                self.assertEqual((run_.out, run_.err, run_.rc), (NOT_LOCAL, b"", 0))
        self.assertEqual(runs[-2].out, PORT_ERROR)
        self.assert_probe((runs[-1], started, 0), report["ports"][0][0], http=(False, 0),
                          target=b"192.0.2.10")

    def test_a_link_local_listener_is_reached_through_its_interface(self):
        # The zone comes from the socket tables (the interface the listener is bound
        # to), never from the request, which may not name one.
        report, started = self.in_namespace({
            "setup": [["link", "add", "ports-ll", "type", "veth", "peer", "name", "ports-ll2"],
                      ["link", "set", "ports-ll", "up"], ["link", "set", "ports-ll2", "up"],
                      ["-6", "addr", "add", "fe80::1234/64", "dev", "ports-ll", "nodad"]],
            "sockets": [{"kind": "tcp", "addr": "fe80::1234", "zone": "ports-ll"}],
            "envs": [{"QUERY_STRING": "action=probe&port={P0}&addr=fe80%3A%3A1234" + zone}
                     for zone in ("", "%25ports-ll")]})
        self.assert_probe((report["runs"][0], started, 0), report["ports"][0][0],
                          http=(False, 0), target=b"fe80::1234")
        self.assertEqual(report["runs"][1].out, NOT_LOCAL)

    def test_listeners_on_another_hosts_addresses_reach_nothing(self):
        # Any user may bind a listener to another host's address (IP_FREEBIND): a second
        # namespace plays that host, with a server on every address of its own. Its
        # link-local address is one this host holds too, on another interface: the
        # listener bound to it on the link to that host names the wrong zone.
        far4, far6, link = "198.51.100.2", "2001:db8:b::2", "fe80::99"
        addrs = [far4, far6, "::ffff:" + far4, link]
        report, started = self.in_namespace({
            "setup": [["link", "add", "ports-ll", "type", "veth", "peer", "name", "ports-ll2"],
                      ["link", "set", "ports-ll", "up"], ["link", "set", "ports-ll2", "up"],
                      ["-6", "addr", "add", link + "/64", "dev", "ports-ll", "nodad"]],
            "peer": {"near": ["198.51.100.1/24", "2001:db8:b::1/64"],
                     "far": [far4 + "/24", far6 + "/64", link + "/64"]},
            "sockets": [{"kind": "tcp", "addr": a, "freebind": True} for a in addrs[:3]] +
                       [{"kind": "tcp", "addr": link, "freebind": True, "zone": "ports-near"}],
            "envs": [{"QUERY_STRING": "action=probe&port={B}&addr=" + a.replace(":", "%3A")}
                     for a in addrs] + [{"QUERY_STRING": "action=listeners&detail=1"}]})
        for addr, run_ in zip(addrs[:3], report["runs"]):
            with self.subTest(addr=addr):
                self.assertEqual((run_.out, run_.err, run_.rc), (NOT_LOCAL, b"", 0))
        # The link-local address is this host's (on the other interface): the probe is
        # taken, and its connection, from that address, cannot leave on the zone's link.
        # Wine's tables name no interface: the zone is then the interface that holds the
        # address, where nothing listens.
        self.assert_probe((report["runs"][3], started, 0), report["peer"]["port"],
                          open_=False, refused=WINE, target=link.encode())
        # The host was there to be reached, and nothing of the program's reached it.
        self.assertEqual(report["peer"], {"hits": 0, "reached": 3, "port": report["peer"]["port"]})
        # The console is not offered a probe of the rows on its addresses.
        rows = [r for r in report["runs"][-1].json()["listeners"] if r["netns"] == 0]
        self.assertEqual(sorted((r["bind_addr"], r["probe"]) for r in rows),
                         sorted([(a, False) for a in addrs[:3]] + [(link, True)]))


class SideBySide(ProbeTest):
    """Probes of the servers that handlers() names, all started at once in setUpClass
    (slow peers would otherwise add up); tests read self.results[name]."""

    @classmethod
    def handlers(cls):
        return {}

    @classmethod
    def setUpClass(cls):
        cls.servers = {name: Server(h) for name, h in cls.handlers().items()}
        pool = ThreadPoolExecutor(max_workers=max(1, len(cls.servers)))
        cls.results = {name: pool.submit(probe, str(s.port)) for name, s in cls.servers.items()}
        pool.shutdown(wait=False)

    @classmethod
    def tearDownClass(cls):
        for future in cls.results.values():
            future.result()
        for s in cls.servers.values():
            s.close()


class SlowServers(SideBySide):
    """The servers that make the prober wait out its deadline."""

    @classmethod
    def handlers(cls):
        return {
            "silent": hold,
            # The rest of the line, a byte every 0.6 s, ends after the deadline.
            "trickle": answer(b"HTTP/1.1 200", *[bytes([c]) for c in b" OK\r\n"], gap=0.6),
        }

    def check(self, name, http):
        s = self.servers[name]
        _, http_ms = self.assert_probe(self.results[name].result(), s.port, http=http)
        self.assertIn(http_ms, range(1500, 1500 + SLACK_MS))

    def test_silent_listener_runs_out_the_deadline(self):
        self.check("silent", (False, 0))

    def test_trickle_is_cut_by_the_deadline(self):
        self.check("trickle", (True, 200))


if __name__ == "__main__":
    unittest.main()
