"""The listeners answer over sockets the tests open, compared byte for byte.

Each test plans its sockets; sandbox.py opens them in a network namespace of their own
and runs the program there (see sandbox.py for the switch that runs in the host's
namespace instead, where only the test's own rows are looked for).
"""
import json
import unittest

import sandbox
from harness import JSON_HEAD, NO_NETLINK, SANITIZED, WINE, ProgramTest

LISTENERS = {"QUERY_STRING": "action=listeners"}
SCOPES = ("loopback", "wildcard", "specific")


def expected_body(rows):
    """The listeners body for rows (proto, addr, port, scope, pid, comm), in answer order."""
    def count(pred):
        return sum(1 for r in rows if pred(r))

    head = ('{"ok":true,"action":"listeners","source":"windows-tables","count":%d,'
            '"summary":{"tcp":%d,"udp":%d,"loopback":%d,"wildcard":%d,"specific":%d},'
            '"listeners":[' % (len(rows), count(lambda r: r[0] == "tcp"),
                               count(lambda r: r[0] == "udp"),
                               *(count(lambda r, s=s: r[3] == s) for s in SCOPES)))
    objects = ",".join('{"proto":"%s","bind_addr":"%s","port":%d,"scope":"%s","pid":%d,'
                       '"comm":"%s"}' % r for r in rows)
    return (head + objects + "]}\n").encode()


def in_answer_order(rows):
    """Rows listed in the order the tables give them (IPv4 TCP, IPv4 UDP, IPv6 TCP, IPv6
    UDP), put in answer order: by port, TCP first, equal rows as they were."""
    return sorted(rows, key=lambda r: (r[2], r[0]))


class ListenerTest(ProgramTest):
    @classmethod
    def setUpClass(cls):
        # A machine that cannot make the namespaces fails the suite, with the reason: a
        # skipped suite would pass as if the answers had been checked.
        if sandbox.NETNS:
            problem = sandbox.namespace_problem()
            if problem:
                raise RuntimeError("no network namespace can be made here (%s): the listeners "
                                   "suite needs root or user namespaces; PORTS_NETNS=0 runs "
                                   "it in the host's namespace instead" % problem)

    def hold(self, plan):
        report = sandbox.hold_and_run(dict(plan, env=dict(LISTENERS, **plan.get("env", {}))))
        r = report["run"]
        self.assertEqual((r.rc, r.err), (0, b""))
        self.assertTrue(r.out.startswith(JSON_HEAD), r.out[:200])
        return report

    def owner(self, report):
        """The process the answer names for the holder's sockets: the lowest pid of those
        holding them. Wine names Wine processes only, and the holder is none."""
        if WINE:
            return 0, ""
        return min(p for p in (report["pid"], report["child"]) if p), report["comm"]

    def assert_rows(self, report, rows):
        """The whole answer is exactly these rows; outside a namespace of its own, the
        answer holds them (address, port and protocol) among the host's."""
        body = report["run"].body()
        if sandbox.EXACT:
            self.assertEqual(body, expected_body(rows))
            return
        got = {(o["proto"], o["bind_addr"], o["port"], o["scope"])
               for o in json.loads(body)["listeners"]}
        for r in rows:
            self.assertIn(tuple(r[:4]), got)

    def needs_namespace(self):
        if not sandbox.EXACT:
            self.skipTest("compares the whole table: needs a network namespace of its own")


class Listeners(ListenerTest):

    def test_empty_table(self):
        self.needs_namespace()
        report = self.hold({"sockets": []})
        self.assertEqual(report["run"].out, JSON_HEAD + expected_body([]))

    def test_one_listener_with_its_process(self):
        report = self.hold({"sockets": [{"kind": "tcp", "addr": "127.0.0.1"}]})
        pid, comm = self.owner(report)
        port = report["ports"][0][0]
        self.assert_rows(report, [("tcp", "127.0.0.1", port, "loopback", pid, comm)])

    def test_tcp_and_udp_on_one_port(self):
        report = self.hold({"sockets": [{"kind": "udp", "addr": "127.0.0.1"},
                                        {"kind": "tcp", "addr": "127.0.0.1", "port": "P0"}]})
        pid, comm = self.owner(report)
        port = report["ports"][0][0]
        self.assert_rows(report, [("tcp", "127.0.0.1", port, "loopback", pid, comm),
                                  ("udp", "127.0.0.1", port, "loopback", pid, comm)])

    def test_ipv4_and_ipv6_on_one_port(self):
        report = self.hold({"sockets": [{"kind": "tcp", "addr": "::1"},
                                        {"kind": "udp", "addr": "::1", "port": "P0"},
                                        {"kind": "udp", "addr": "127.0.0.1", "port": "P0"},
                                        {"kind": "tcp", "addr": "127.0.0.1", "port": "P0"}]})
        pid, comm = self.owner(report)
        port = report["ports"][0][0]
        self.assert_rows(report, [("tcp", "127.0.0.1", port, "loopback", pid, comm),
                                  ("tcp", "::1", port, "loopback", pid, comm),
                                  ("udp", "127.0.0.1", port, "loopback", pid, comm),
                                  ("udp", "::1", port, "loopback", pid, comm)])

    def test_connections_are_not_listeners_but_udp_sockets_all_count(self):
        report = self.hold({"sockets": [{"kind": "tcp", "addr": "127.0.0.1", "pair": True},
                                        {"kind": "udp", "addr": "127.0.0.1", "connect": True}]})
        pid, comm = self.owner(report)
        tcp, udp = report["ports"][0][0], report["ports"][1][0]
        self.assert_rows(report, in_answer_order([
            ("tcp", "127.0.0.1", tcp, "loopback", pid, comm),
            ("udp", "127.0.0.1", udp, "loopback", pid, comm)]))

    def test_wildcard_loopback_and_specific_addresses(self):
        self.needs_namespace()
        specs = [
            ("tcp", "0.0.0.0", {}, "wildcard"),
            ("tcp", "192.0.2.7", {}, "specific"),
            ("udp", "127.0.0.53", {}, "loopback"),
            ("udp", "0.0.0.0", {}, "wildcard"),
            # Dual-stack: one socket, seen in the IPv6 table only.
            ("tcp", "::", {"v6only": 0}, "wildcard"),
            # IPv4-mapped: the scope of the IPv4 address.
            ("tcp", "::ffff:127.0.0.1", {}, "loopback"),
            # (Wine writes this one as ::ffff:0:0; its scope is the same.)
            ("udp", "::ffff:0:0" if WINE else "::ffff:0.0.0.0", {"v6only": 0}, "wildcard"),
            ("udp", "2001:db8::7", {}, "specific"),
            ("udp", "::1", {}, "loopback"),
        ]
        report = self.hold({
            "setup": [["addr", "add", "192.0.2.7/32", "dev", "lo"],
                      ["-6", "addr", "add", "2001:db8::7/128", "dev", "lo", "nodad"]],
            "sockets": [dict(kind=k, addr=a, **extra) for k, a, extra, _ in specs]})
        pid, comm = self.owner(report)
        rows = [(k, a, ports[0], scope, pid, comm)
                for (k, a, _, scope), ports in zip(specs, report["ports"])]
        self.assert_rows(report, in_answer_order(rows))

    def test_shared_socket_belongs_to_the_lowest_pid(self):
        report = self.hold({"sockets": [{"kind": "tcp", "addr": "127.0.0.1"}], "fork": True})
        self.assertNotEqual(report["child"], 0)
        pid, comm = self.owner(report)
        port = report["ports"][0][0]
        self.assert_rows(report, [("tcp", "127.0.0.1", port, "loopback", pid, comm)])

    def test_table_stops_after_1024_rows_of_the_first_pass(self):
        self.needs_namespace()
        # 1024 IPv4 TCP listeners fill the table in the first pass; every later pass is
        # dropped whole, so which rows survive does not depend on the kernel's order.
        report = self.hold({"nofile": 1300, "sockets": [
            {"kind": "tcp", "addr": "127.0.0.1", "count": 1024},
            {"kind": "udp", "addr": "127.0.0.1", "count": 40},
            {"kind": "tcp", "addr": "::1", "count": 40}]})
        pid, comm = self.owner(report)
        rows = [("tcp", "127.0.0.1", p, "loopback", pid, comm) for p in report["ports"][0]]
        body = report["run"].body()
        self.assertEqual(body, expected_body(in_answer_order(rows)))
        self.assertEqual(body.count(b'{"proto"'), 1024)

    def test_udp_sockets_never_crowd_out_tcp_listeners(self):
        self.needs_namespace()
        # A resolver's worth of UDP sockets fills the table; both TCP lists go first.
        report = self.hold({"nofile": 1300, "sockets": [
            {"kind": "udp", "addr": "127.0.0.1", "count": 1100},
            {"kind": "tcp", "addr": "::1"},
            {"kind": "tcp", "addr": "127.0.0.1"}]})
        pid, comm = self.owner(report)
        body = json.loads(report["run"].body())
        self.assertEqual(body["count"], 1024)
        self.assertEqual(body["summary"]["tcp"], 2)
        rows = {(o["proto"], o["bind_addr"], o["port"], o["pid"], o["comm"])
                for o in body["listeners"]}
        self.assertIn(("tcp", "::1", report["ports"][1][0], pid, comm), rows)
        self.assertIn(("tcp", "127.0.0.1", report["ports"][2][0], pid, comm), rows)
        udp = {o["port"] for o in body["listeners"] if o["proto"] == "udp"}
        self.assertEqual(len(udp), 1022)
        self.assertLessEqual(udp, set(report["ports"][0]))

    def test_each_socket_once_while_others_churn(self):
        if WINE:
            self.skipTest("under Wine the tables come from Wine's own reader of them")
        self.needs_namespace()
        # 500 sockets in one hash chain, each held for the whole test by a process of its
        # own, while a neighbour binds 100 sockets in that chain and then closes them, over
        # and over. The kernel hands the chain over in pieces and resumes each by
        # position, so a burst of closes between two pieces skips as many sockets.
        for kind, addr, source in (("udp", "127.0.0.1", []), ("tcp", "127.0.0.1", []),
                                   ("udp", "::1", [NO_NETLINK])):
            with self.subTest(kind=kind, addr=addr, source=source and "/proc/net"):
                want = {"kind": kind, "addr": addr, "reuse": True, "apart": True}
                report = self.hold({
                    "nofile": 1000, "runs": 40, "wrap": source,
                    "churn": {"kind": kind, "addr": addr, "port": "P0", "burst": 100},
                    "sockets": [want, dict(want, port="P0", count=499)]})
                port = report["ports"][0][0]
                holders = report["holders"][0] + report["holders"][1]
                wrong, crowded = [], []
                for i, r in enumerate(report["runs"]):
                    self.assertEqual((r.rc, r.err), (0, b""))
                    rows = [o for o in json.loads(r.body())["listeners"]
                            if o["port"] == port and o["proto"] == kind]
                    listed = [o["pid"] for o in rows if o["pid"] in holders]
                    if sorted(listed) != sorted(holders):
                        wrong.append((i, len(set(holders) - set(listed)),
                                      len(listed) - len(set(listed))))
                    # More than were ever open at once: closed sockets kept.
                    if len(rows) > 600:
                        crowded.append((i, len(rows)))
                self.assertEqual(wrong, [], "(answer, sockets missed, sockets repeated)")
                # A /proc/net read comes a page at a time, so a burst longer than a page
                # may outlast every read the program makes: rarely, never often.
                self.assertLessEqual(len(crowded), 4 if source else 0,
                                     "(answer, rows on the port)")

    def test_closed_sockets_never_fill_the_table(self):
        if WINE:
            self.skipTest("under Wine the tables come from Wine's own reader of them")
        self.needs_namespace()
        # 700 long-lived sockets in one chain and bursts of 200 binds and closes at its
        # head: never more than 900 open at once, but a list read again is not the list
        # it was. Sockets closed between reads must not pile up toward the 1,024 rows.
        want = {"kind": "udp", "addr": "127.0.0.1", "reuse": True, "apart": True}
        report = self.hold({
            "nofile": 1300, "runs": 25,
            "churn": {"kind": "udp", "addr": "127.0.0.1", "port": "P0", "burst": 200},
            "sockets": [want, dict(want, port="P0", count=699)]})
        port = report["ports"][0][0]
        holders = sorted(report["holders"][0] + report["holders"][1])
        wrong = []
        for i, r in enumerate(report["runs"]):
            rows = [o for o in json.loads(r.body())["listeners"] if o["port"] == port]
            listed = sorted(o["pid"] for o in rows if o["pid"] in holders)
            if listed != holders or len(rows) > 900:
                wrong.append((i, len(set(holders) - set(listed)), len(rows)))
        self.assertEqual(wrong, [], "(answer, long-lived sockets missed, rows)")

    def test_a_listener_restarted_over_and_over_is_listed_once(self):
        if WINE:
            self.skipTest("under Wine the tables come from Wine's own reader of them")
        self.needs_namespace()
        # Besides 500 listeners (the list comes in pieces and is read again), one closed
        # and bound again on a port of its own, never two at once.
        report = self.hold({
            "nofile": 1000, "runs": 40,
            "churn": {"kind": "tcp", "addr": "127.0.0.1", "port": "new"},
            "sockets": [{"kind": "tcp", "addr": "127.0.0.1", "reuse": True},
                        {"kind": "tcp", "addr": "127.0.0.1", "reuse": True, "port": "P0",
                         "count": 499}]})
        port, single = report["ports"][0][0], report["churn_port"]
        counts = []
        for r in report["runs"]:
            rows = json.loads(r.body())["listeners"]
            counts.append((sum(o["port"] == port for o in rows),
                           sum(o["port"] == single for o in rows)))
        self.assertEqual([c for c in counts if c[0] != 500 or c[1] > 1], [],
                         "(listeners of the group, of the restarted port)")


class Unreadable(ListenerTest):
    """No list that can be read is an error, not a table that says nothing listens;
    some lists still make an answer."""

    ERROR = JSON_HEAD + b'{"ok":false,"error":"socket tables unreadable"}\n'
    SOCKETS = [{"kind": "tcp", "addr": "127.0.0.1"}, {"kind": "udp", "addr": "::1"}]

    def test_nothing_readable(self):
        if WINE:
            self.skipTest("under Wine the tables come from Wine's own reader of them")
        self.needs_namespace()
        plans = {
            # A service sandbox without AF_NETLINK, /proc mounted with subset=pid.
            "netlink refused, no /proc/net": {"wrap": [NO_NETLINK], "hide": "net"},
            # Standard input, output and error take the three.
            "three descriptors": {"limits": {"nofile": 3}},
        }
        for name, plan in plans.items():
            with self.subTest(name):
                if name == "three descriptors" and SANITIZED:
                    # Its runtime is loaded, and reads /proc, through descriptors.
                    continue
                report = self.hold(dict(plan, sockets=self.SOCKETS))
                self.assertEqual(report["run"].out, self.ERROR)

    def test_windows_without_ip_helper(self):
        if not WINE:
            self.skipTest("the Windows build's IP Helper, which Wine can refuse to load")
        report = self.hold({"env": {"WINEDLLOVERRIDES": "iphlpapi=d"}, "sockets": self.SOCKETS})
        self.assertEqual(report["run"].out, self.ERROR)

    def test_one_list_readable_is_an_answer(self):
        if WINE:
            self.skipTest("under Wine the tables come from Wine's own reader of them")
        # Without netlink, and every /proc/net table broken but one: that one answers.
        report = self.hold({"broken": ["tcp6", "udp4", "udp6"], "sockets": self.SOCKETS})
        pid, comm = self.owner(report)
        self.assert_rows(report, [("tcp", "127.0.0.1", report["ports"][0][0], "loopback", pid,
                                   comm)])


class Owners(ListenerTest):
    """Who the answer names as the owner, under real conditions."""

    def setUp(self):
        if WINE:
            self.skipTest("Wine names the owners of its own processes' sockets only")
        self.needs_namespace()

    def name_shows_as(self, name, comm, deleted=False):
        with self.subTest(name=name, deleted=deleted):
            report = self.hold({"sockets": [{"kind": "tcp", "addr": "127.0.0.1"}],
                                "owner": {"name_hex": name.hex(), "deleted": deleted}})
            port = report["ports"][0][0]
            body = report["run"].body()
            body.decode("utf-8")  # strictly: one bad byte and a strict client drops every row
            self.assertEqual(body, expected_body([
                ("tcp", "127.0.0.1", port, "loopback", report["owner"], comm)]))

    def test_names_are_utf8_and_cut_between_characters(self):
        self.name_shows_as("表示-café".encode(), "表示-café")
        self.name_shows_as(b"a" * 94 + "é".encode(), "a" * 94)  # the 95-byte cut
        self.name_shows_as(b"bad\xffname", "bad\ufffdname")

    def test_a_name_ending_in_deleted_is_kept(self):
        self.name_shows_as(b"svc (deleted)", "svc (deleted)")
        # The kernel marks an image that is gone; only that mark is dropped.
        self.name_shows_as(b"svc", "svc", deleted=True)
        self.name_shows_as(b"svc (deleted)", "svc (deleted)", deleted=True)

    def test_daemon_whose_first_thread_has_exited(self):
        report = self.hold({"sockets": [{"kind": "tcp", "addr": "127.0.0.1"},
                                        {"kind": "udp", "addr": "::1"}],
                            "owner": {"leader_exits": True}})
        pid, comm = report["owner"], report["owner_comm"]
        self.assertNotEqual(pid, 0)
        self.assert_rows(report, in_answer_order([
            ("tcp", "127.0.0.1", report["ports"][0][0], "loopback", pid, comm),
            ("udp", "::1", report["ports"][1][0], "loopback", pid, comm)]))

    def test_thread_with_a_descriptor_table_of_its_own(self):
        # The socket is in the table of a thread that unshared it (CLONE_FILES), not in
        # its process's, while the process's first thread holds descriptors of its own.
        report = self.hold({"sockets": [{"kind": "tcp", "addr": "127.0.0.1"}],
                            "owner": {"own_table": True}})
        self.assertNotEqual(report["owner"], 0)
        self.assert_rows(report, [("tcp", "127.0.0.1", report["ports"][0][0], "loopback",
                                   report["owner"], report["owner_comm"])])

    def test_small_stack(self):
        # A hub may start its programs with a small stack; the owner scan reads up to
        # three directories nested (/proc, a task list, a descriptor list).
        for plan in ({"owner": {"leader_exits": True}}, {"fork": True}):
            with self.subTest(plan=plan):
                report = self.hold(dict(plan, limits={"stack": 64 * 1024}, sockets=[
                    {"kind": "tcp", "addr": "127.0.0.1"}, {"kind": "udp", "addr": "::1"}]))
                pid, comm = report["owner"], report["owner_comm"]
                if not pid:
                    pid, comm = self.owner(report)
                self.assert_rows(report, in_answer_order([
                    ("tcp", "127.0.0.1", report["ports"][0][0], "loopback", pid, comm),
                    ("udp", "::1", report["ports"][1][0], "loopback", pid, comm)]))


if __name__ == "__main__":
    unittest.main()
