"""Who is connected (action=peers): connections the test makes from addresses of its
choice to a listener of its own, counted by remote address, byte for byte; the error
bodies; and no remote address in any answer of an open node, nor in the metrics."""
import json
import unittest

import sandbox
from harness import JSON_HEAD, NO_NETLINK, WINE, ProgramTest

PASSWORD = {"BOT_PASSWORD": "s3cret", "HTTP_X_BOT_PASSWORD": "s3cret"}
NO_PASSWORD_BODY = b'{"ok":false,"error":"peers are shown only behind a node password"}\n'
NO_LISTENER = b'{"ok":false,"error":"no such listener"}\n'
READER = "windows-tables" if WINE else "sock_diag"


def peers_body(addr, port, peers, other=0):
    total = sum(n for _, n in peers) + other
    named = ",".join('{"addr":"%s","count":%d}' % p for p in peers)
    return ('{"ok":true,"action":"peers","proto":"tcp","bind_addr":"%s","port":%d,"total":%d,'
            '"peers":[%s],"other":%d}\n' % (addr, port, total, named, other)).encode()


class Peers(ProgramTest):
    def run_plan(self, sockets, envs, **more):
        report = sandbox.hold_and_run(dict({"sockets": sockets, "envs": envs}, **more))
        for r in report["runs"]:
            self.assertEqual((r.rc, r.err), (0, b""))
        return report

    def test_counts_by_remote_address_only_behind_the_password(self):
        sockets = [{"kind": "tcp", "addr": "127.0.0.1",
                    "from": ["127.0.0.2"] * 3 + ["127.0.0.3"] * 2}]
        asked = [dict(PASSWORD, QUERY_STRING="action=peers&port={P0}"),
                 dict(PASSWORD, QUERY_STRING="action=peers&port={P0}&addr=127.0.0.1&proto=tcp"),
                 dict(PASSWORD, QUERY_STRING="action=peers&port={P0}&addr=127.0.0.2"),
                 dict(PASSWORD, QUERY_STRING="action=listeners&detail=1"),
                 dict(PASSWORD, QUERY_STRING="action=metrics")]
        # An open node: no answer names a remote address.
        open_node = [{"QUERY_STRING": q} for q in
                     ("action=peers&port={P0}", "action=listeners&detail=1", "action=listeners",
                      "action=metrics")]
        report = self.run_plan(sockets, asked + open_node)
        port = report["ports"][0][0]
        runs = report["runs"]
        body = peers_body("127.0.0.1", port, [("127.0.0.2", 3), ("127.0.0.3", 2)])
        self.assertEqual(runs[0].body(), body)
        self.assertEqual(runs[1].body(), body)
        self.assertEqual(runs[2].body(), NO_LISTENER)
        detail = runs[3].json()
        self.assertEqual(detail["reader"], READER)
        row = [r for r in detail["listeners"] if r["port"] == port][0]
        self.assertEqual(row["conns"], 5)
        self.assertEqual(runs[5].body(), NO_PASSWORD_BODY)
        for r in runs[4:5] + runs[6:]:
            self.assertNotIn(b"127.0.0.2", r.out)
            self.assertNotIn(b"127.0.0.3", r.out)

    def test_more_than_twenty_addresses_fold_into_other(self):
        sources = ["127.0.1.%d" % k for k in range(23, 0, -1)] + ["127.0.0.9"] * 2
        report = self.run_plan([{"kind": "tcp", "addr": "0.0.0.0", "from": sources}],
                               [dict(PASSWORD, QUERY_STRING="action=peers&port={P0}")])
        # Busiest first, ties by address as numbers (127.0.1.9 before 127.0.1.10).
        named = [("127.0.0.9", 2)] + [("127.0.1.%d" % k, 1) for k in range(1, 20)]
        self.assertEqual(report["run"].body(),
                         peers_body("0.0.0.0", report["ports"][0][0], named, other=4))

    def test_the_errors(self):
        cases = {"action=peers": b'{"ok":false,"error":"port must be 1..65535"}\n',
                 "action=peers&port=70000": b'{"ok":false,"error":"port must be 1..65535"}\n',
                 "action=peers&port={P0}&proto=udp":
                     b'{"ok":false,"error":"peers are told of tcp listeners only"}\n',
                 "action=peers&port={P0}&addr=%3Cscript%3E": NO_LISTENER,
                 "action=peers&port={P0}&addr=::1": NO_LISTENER}
        report = self.run_plan([{"kind": "tcp", "addr": "127.0.0.1", "from": ["127.0.0.2"]},
                                {"kind": "udp", "addr": "127.0.0.1"}],
                               [dict(PASSWORD, QUERY_STRING=q) for q in cases] +
                               [dict(PASSWORD, QUERY_STRING="action=peers&port={P1}")])
        for (q, want), run in zip(list(cases.items()) + [("udp port", NO_LISTENER)],
                                  report["runs"]):
            self.assertEqual(run.body(), want, q)

    def test_the_proc_fallback_reads_the_same(self):
        if WINE or not NO_NETLINK:
            self.skipTest("the /proc/net fallback is Linux's")
        report = self.run_plan(
            [{"kind": "tcp", "addr": "::", "v6only": 0,
              "from": ["127.0.0.2", "::1", "127.0.0.2"]}],
            [dict(PASSWORD, QUERY_STRING="action=peers&port={P0}"),
             dict(PASSWORD, QUERY_STRING="action=listeners&detail=1")],
            wrap=[NO_NETLINK])
        # IPv4 peers of a dual-stack socket are named as the IPv4 addresses they are.
        self.assertEqual(report["run"].body(),
                         peers_body("::", report["ports"][0][0], [("127.0.0.2", 2), ("::1", 1)]))
        self.assertEqual(report["runs"][1].json()["reader"], "proc")


if __name__ == "__main__":
    unittest.main()
