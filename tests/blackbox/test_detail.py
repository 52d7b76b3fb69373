"""The detail answer (detail=1) over sockets the tests open, compared byte for byte.

Each test plans its sockets as the listeners suite does (sandbox.py). On Linux the
holder first moves into a cgroup of the test's own, named like a systemd unit or a
container's scope, so every field of a row is known to the test.
"""
import json
import os
import unittest
import uuid

import sandbox
from harness import JSON_HEAD, SANITIZED, WINE
from test_listeners import ListenerTest, expected_body, in_answer_order

DETAIL = {"QUERY_STRING": "action=listeners&detail=1"}
CONTAINER_ID = "0123456789abcdef" * 4


def detail_body(rows, unreadable=(), truncated=False, reader=None, published="[]"):
    """The detail body for rows (the six plain fields, then user, service, container,
    holders, queue, backlog, conns, v6only, and where given netns (0 when not; None for
    null) and forward (JSON text, null when not given); probe is a TCP row's of the
    program's own namespace), in answer order, without a policy; reader: what the lists
    were read from (sock_diag, or the Windows tables under Wine, by default)."""
    plain = expected_body([r[:6] for r in rows]).decode()
    head = plain[:plain.index('"listeners":[') + len('"listeners":[')]
    objects = []
    for r in rows:
        base = '{"proto":"%s","bind_addr":"%s","port":%d,"scope":"%s","pid":%d,"comm":"%s"' % r[:6]
        words = {None: "null", True: "true", False: "false"}
        netns = r[14] if len(r) > 14 else 0
        probe = r[0] == "tcp" and netns == 0
        # holders None: an owner hidden from the program's account.
        objects.append(base + (',"user":"%s","service":"%s","container":"%s","container_name":"",'
                               '"pod":%s,"holders":%s,'
                               '"queue":%d,"backlog":%d,"conns":%d,"v6only":%s,"probe":%s,'
                               '"netns":%s,"forward":%s,"expected":null}'
                               % (r[6:9] + (r[16] if len(r) > 16 else "null",
                                            "null" if r[9] is None else r[9]) + r[10:13] +
                                  (words[r[13]], words[probe], "null" if netns is None else netns,
                                   r[15] if len(r) > 15 else "null"))))
    names = ",".join('"%s"' % n for n in unreadable)
    # No file of expected listeners: nothing is judged; no node password.
    reader = reader or ("windows-tables" if WINE else "sock_diag")
    return (head + ",".join(objects) + '],"reader":"' + reader + '","unreadable":[' + names +
            '],"truncated":' + ("true" if truncated else "false") + ',"published":' + published +
            ',"policy":null,"missing":[],"unjudged":[],"gate":false}\n').encode()


def account(uid):
    """The name /etc/passwd gives uid, or the number."""
    with open("/etc/passwd") as f:
        for line in f:
            fields = line.split(":")
            if len(fields) > 2 and fields[0] and fields[2] == str(uid):
                return fields[0]
    return str(uid)


def test_cgroup(leaf):
    """A cgroup path of this test's own, ending in leaf."""
    return "ports-test-%s/%s" % (uuid.uuid4().hex[:12], leaf)


class DetailTest(ListenerTest):
    def detail(self, plan):
        report = sandbox.hold_and_run(dict(plan, env=DETAIL))
        r = report["run"]
        self.assertEqual((r.rc, r.err), (0, b""))
        self.assertTrue(r.out.startswith(JSON_HEAD), r.out[:200])
        return report


class Routing(DetailTest):
    def test_detail_is_1_exactly_with_a_listeners_action(self):
        cases = {
            "action=listeners&detail=1": True,
            "action=all&detail=1": True,
            "detail=1&action=": True,
            "format=json&detail=1": True,
            "action=listeners&detail=%31": True,  # decoded, it is "1"
            "action=listeners&detail=1&detail=0": True,  # the first one counts
            "action=listeners&detail=0": False,
            "action=listeners&detail=11": False,
            "action=listeners&detail=": False,
            "action=listeners&detail=true": False,
            "action=listeners&Detail=1": False,
            "action=listeners&xdetail=1": False,
            "action=listeners&detail=1%00": False,
        }
        for query, detailed in cases.items():
            with self.subTest(query=query):
                body = self.request(query).json()
                self.assertEqual(body["action"], "listeners")
                self.assertEqual("unreadable" in body, detailed)
                self.assertEqual(all("v6only" in row for row in body["listeners"]), detailed)
                if not detailed:
                    self.assertTrue(all(len(row) == 6 for row in body["listeners"]))

    def test_probe_ignores_detail(self):
        body = self.request("action=probe&port=0&detail=1").json()
        self.assertEqual(body, {"ok": False, "error": "port must be 1..65535"})


class Connections(DetailTest):
    """Queues and connections, which the tables show on every system."""

    def setUp(self):
        self.needs_namespace()

    def test_queue_connections_and_dual_stack(self):
        leaf = "ports-test.service"
        report = self.detail({
            "cgroup": None if WINE else test_cgroup(leaf),
            "setup": [["addr", "add", "192.0.2.7/32", "dev", "lo"]],
            "sockets": [
                # Two connections waiting to be accepted, of five at most.
                {"kind": "tcp", "addr": "127.0.0.1", "backlog": 5,
                 "clients": ["127.0.0.1", "127.0.0.1"], "accept": False},
                # Dual-stack: its IPv4 connections count too.
                {"kind": "tcp", "addr": "::", "v6only": 0, "clients": ["127.0.0.1", "::1", "::1"]},
                {"kind": "tcp", "addr": "::", "v6only": 1, "clients": ["::1"]},
                # A wildcard takes the connections of every address of its family.
                {"kind": "tcp", "addr": "0.0.0.0", "clients": ["127.0.0.1", "192.0.2.7"]},
                {"kind": "udp", "addr": "::", "v6only": 1},
                {"kind": "udp", "addr": "127.0.0.1"},
            ]})
        ports = [p[0] for p in report["ports"]]
        if WINE:
            # Wine's tables name neither the owner nor the queues nor v6-only.
            who = (0, "", "", "", "", 0)
            facts = [(-1, -1), (-1, -1), (-1, -1), (-1, -1)]
            v6 = [None, None]
        else:
            who = (report["pid"], report["comm"], account(0), leaf, "", 1)
            facts = [(2, 5), (0, 8), (0, 8), (0, 8)]
            v6 = [False, True]
        rows = [("tcp", "127.0.0.1", ports[0], "loopback") + who + facts[0] + (2, None),
                ("tcp", "::", ports[1], "wildcard") + who + facts[1] + (3, v6[0]),
                ("tcp", "::", ports[2], "wildcard") + who + facts[2] + (1, v6[1]),
                ("tcp", "0.0.0.0", ports[3], "wildcard") + who + facts[3] + (2, None),
                ("udp", "::", ports[4], "wildcard") + who + (-1, -1, -1, None if WINE else True),
                ("udp", "127.0.0.1", ports[5], "loopback") + who + (-1, -1, -1, None)]
        self.assertEqual(report["run"].body(), detail_body(in_answer_order(rows)))


class Holders(DetailTest):
    """Who serves a socket, on Linux, where every holder can be seen."""

    def setUp(self):
        if WINE:
            self.skipTest("Wine names the owners of its own processes' sockets only")
        self.needs_namespace()

    def one_row(self, plan, leaf="ports-test.service"):
        report = self.detail(dict(plan, cgroup=test_cgroup(leaf),
                                  sockets=[{"kind": "tcp", "addr": "127.0.0.1"}]))
        return report, report["ports"][0][0], report["run"].body()

    def expect(self, port, pid, comm, user, service, container, holders, unreadable=()):
        return detail_body([("tcp", "127.0.0.1", port, "loopback", pid, comm, user, service,
                             container, holders, 0, 8, 0, None)], unreadable)

    def test_parent_and_forked_child_the_parent_serves(self):
        report, port, body = self.one_row({"fork": True})
        self.assertNotEqual(report["child"], 0)
        self.assertEqual(body, self.expect(port, report["pid"], report["comm"], account(0),
                                           "ports-test.service", "", 2))

    def test_pid_1_serves_only_alone(self):
        report, port, body = self.one_row({"pidns": True, "fork": True})
        self.assertEqual(report["pid"], 1)
        # Socket activation: the manager and the service both hold it; the service serves.
        self.assertEqual(body, self.expect(port, report["child"], report["comm"], account(0),
                                           "ports-test.service", "", 2))
        report, port, body = self.one_row({"pidns": True})
        self.assertEqual(body, self.expect(port, 1, report["comm"], account(0),
                                           "ports-test.service", "", 1))

    def test_process_of_another_account_in_a_container_scope(self):
        leaf = "docker-%s.scope" % CONTAINER_ID
        for uid in (65534, 54321):
            with self.subTest(uid=uid):
                report, port, body = self.one_row(
                    {"owner": {"name_hex": b"svc".hex(), "uid": uid}}, leaf=leaf)
                self.assertEqual(body, self.expect(port, report["owner"], "svc", account(uid),
                                                   leaf, CONTAINER_ID[:12], 1))

    def test_a_process_in_a_kubernetes_pod_names_its_pod(self):
        # A kubepods cgroup (cgroupfs) of the pod's uid, and the kubelet's log folder of
        # that pod; a folder of another uid, or of another account, names nothing, and
        # the answer says a pod could not be named (the process is in one).
        uid = str(uuid.uuid4())
        leaf = "kubepods/besteffort/pod%s/%s" % (uid, CONTAINER_ID)
        for pods, pod, unreadable in (
                ([["shop", "web-7d4b9c", uid], ["shop", "other", str(uuid.uuid4())]],
                 '{"namespace":"shop","name":"web-7d4b9c"}', []),
                ([["shop", "web-7d4b9c", uid, 65534]], "null", ["pods"])):
            with self.subTest(pod=pod):
                report, port, body = self.one_row({"pods": pods}, leaf=leaf)
                self.assertEqual(body, detail_body([
                    ("tcp", "127.0.0.1", port, "loopback", report["pid"], report["comm"],
                     account(0), "", CONTAINER_ID[:12], 1, 0, 8, 0, None, 0, "null", pod)],
                    unreadable))

    def test_hub_without_root_still_names_the_sockets_account(self):
        # The process of another account cannot be seen: no pid, no process facts, but
        # the account the socket table names, and every socket fact; its holders are
        # unknown, not none, and the answer says that owners were hidden.
        report, port, body = self.one_row({"run_uid": 65534})
        self.assertEqual(body, self.expect(port, 0, "", account(0), "", "", None, ["owners"]))


class Unreadable(DetailTest):
    def setUp(self):
        if WINE:
            self.skipTest("under Wine the tables come from Wine's own reader of them")
        self.needs_namespace()

    def test_unreadable_list_and_the_proc_files(self):
        # No netlink: every list comes from /proc/net, where the IPv6 UDP file is broken.
        leaf = "ports-test.service"
        report = self.detail({
            "cgroup": test_cgroup(leaf), "broken": ["udp6"],
            "sockets": [{"kind": "tcp", "addr": "::", "v6only": 0, "backlog": 4,
                         "clients": ["::1", "127.0.0.1"], "accept": False},
                        {"kind": "udp", "addr": "127.0.0.1"},
                        {"kind": "udp", "addr": "::1"}]})
        ports = [p[0] for p in report["ports"]]
        who = (report["pid"], report["comm"], account(0), leaf, "", 1)
        # The files show the queue but not its limit, nor v6-only.
        rows = [("tcp", "::", ports[0], "wildcard") + who + (2, -1, 2, None),
                ("udp", "127.0.0.1", ports[1], "loopback") + who + (-1, -1, -1, None)]
        self.assertEqual(report["run"].body(),
                         detail_body(in_answer_order(rows), ["udp6"], reader="proc"))
        # Only the tables that could be read count: the plain answer is the same rows.
        plain = sandbox.hold_and_run({"broken": ["tcp4", "tcp6", "udp4", "udp6"],
                                      "env": DETAIL, "sockets": []})["run"]
        self.assertEqual(plain.body(), b'{"ok":false,"error":"socket tables unreadable"}\n')


    def test_owners_lost_to_a_descriptor_limit_are_said_unreadable(self):
        if SANITIZED:
            self.skipTest("the sanitizer's runtime reads /proc through descriptors of its own")
        # Standard input, output and error, /proc and one process's descriptor folder fit
        # in five; in four the folders cannot be opened.
        for nofile, who, unreadable in ((5, None, []), (4, (0, ""), ["owners"])):
            with self.subTest(nofile=nofile):
                report = self.detail({"limits": {"nofile": nofile},
                                      "sockets": [{"kind": "tcp", "addr": "127.0.0.1"}]})
                pid, comm = who or (report["pid"], report["comm"])
                facts = (account(0), "", "", 1) if pid else (account(0), "", "", None)
                row = ("tcp", "127.0.0.1", report["ports"][0][0], "loopback", pid, comm) + \
                    facts + (0, 8, 0, None)
                self.assertEqual(report["run"].body(), detail_body([row], unreadable))


class Namespaces(DetailTest):
    """Every network namespace: those the test makes beside the program's own."""

    def setUp(self):
        if WINE:
            self.skipTest("Windows has one network stack")
        self.needs_namespace()

    def plan(self, spaces, **more):
        return dict({"cgroup": test_cgroup("ports-test.service"), "spaces": spaces}, **more)

    def test_the_same_port_in_two_namespaces_is_two_rows(self):
        report = self.detail(self.plan(
            [{"sockets": [{"kind": "tcp", "addr": "127.0.0.1", "port": "P0"},
                          {"kind": "udp", "addr": "0.0.0.0", "port": "P1"}]}],
            sockets=[{"kind": "tcp", "addr": "127.0.0.1"}, {"kind": "udp", "addr": "0.0.0.0"}]))
        tcp, udp = [p[0] for p in report["ports"]]
        space = report["spaces"][0]
        rows = []
        # Connections are counted in the program's own namespace only.
        for pid, netns, conns in ((report["pid"], 0, 0), (space["pid"], space["netns"], -1)):
            who = (pid, report["comm"], account(0), "ports-test.service", "", 1)
            rows += [("tcp", "127.0.0.1", tcp, "loopback") + who + (0, 8, conns, None, netns),
                     ("udp", "0.0.0.0", udp, "wildcard") + who + (-1, -1, -1, None, netns)]
        self.assertEqual(report["run"].body(), detail_body(in_answer_order(rows)))

    def test_a_namespace_whose_lists_cannot_be_read_is_named(self):
        # No netlink, and its /proc/PID/net folder broken: nothing of it can be read.
        report = self.detail(self.plan([{"sockets": [{"kind": "tcp", "addr": "0.0.0.0"}],
                                         "broken": True}],
                                       sockets=[{"kind": "tcp", "addr": "127.0.0.1"}]))
        netns = report["spaces"][0]["netns"]
        who = (report["pid"], report["comm"], account(0), "ports-test.service", "", 1)
        rows = [("tcp", "127.0.0.1", report["ports"][0][0], "loopback") + who +
                (0, -1, 0, None)]
        self.assertEqual(report["run"].body(), detail_body(
            rows, ["netns:%d %s" % (netns, name) for name in ("tcp4", "tcp6", "udp4", "udp6")],
            reader="proc"))

    def test_a_namespace_not_reached_for_want_of_descriptors_is_named(self):
        if SANITIZED:
            self.skipTest("the sanitizer's runtime reads /proc through descriptors of its own")
        # In four descriptors, /proc is open when the way into the namespace is looked
        # for: its lists are said unread, not left out.
        report = self.detail(self.plan([{"sockets": [{"kind": "tcp", "addr": "0.0.0.0"}]}],
                                       sockets=[{"kind": "tcp", "addr": "127.0.0.1"}],
                                       limits={"nofile": 4}))
        netns = report["spaces"][0]["netns"]
        body = report["run"].json()
        self.assertEqual([(r["port"], r["netns"]) for r in body["listeners"]],
                         [(report["ports"][0][0], 0)])
        self.assertEqual(body["unreadable"], ["owners"] + ["netns:%d %s" % (netns, name) for name
                                                           in ("tcp4", "tcp6", "udp4", "udp6")])

    def test_hub_without_root_reads_other_namespaces_it_may_not_name(self):
        # Another account's processes: the lists of their namespace can be read, but not
        # which namespace it is, nor who holds the sockets.
        report = self.detail(self.plan([{"sockets": [{"kind": "tcp", "addr": "127.0.0.1",
                                                      "port": "P0"}]}],
                                       sockets=[{"kind": "tcp", "addr": "127.0.0.1"}],
                                       run_uid=65534))
        port = report["ports"][0][0]
        rows = [("tcp", "127.0.0.1", port, "loopback", 0, "", account(0), "", "", None, 0, 8,
                 0, None, 0),
                ("tcp", "127.0.0.1", port, "loopback", 0, "", account(0), "", "", None, 0, -1,
                 -1, None, None)]
        self.assertEqual(report["run"].body(), detail_body(rows, ["owners"]))

    def test_a_named_namespace_without_a_process_is_read_through_its_file(self):
        # ip netns add, its sockets made from inside by a process that came back: no
        # process is in it. Root enters it through its file; a hub that may not enter
        # says that it could not read it.
        for uid in (None, 65534):
            with self.subTest(uid=uid):
                more = {"run_uid": uid} if uid is not None else {}
                report = self.detail(self.plan(
                    [], named=[{"sockets": [{"kind": "tcp", "addr": "127.0.0.1"},
                                            {"kind": "udp", "addr": "0.0.0.0"}]}], **more))
                named = report["named"][0]
                netns = named["netns"]
                tcp, udp = named["ports"]
                if uid is None:
                    who = (report["pid"], report["comm"], account(0), "ports-test.service", "", 1)
                    rows = [("tcp", "127.0.0.1", tcp, "loopback") + who + (0, 8, -1, None, netns),
                            ("udp", "0.0.0.0", udp, "wildcard") + who + (-1, -1, -1, None, netns)]
                    unreadable = []
                else:
                    rows = []
                    unreadable = ["netns:%d %s" % (netns, n) for n in ("tcp4", "tcp6", "udp4", "udp6")]
                self.assertEqual(report["run"].body(), detail_body(in_answer_order(rows), unreadable))

    def test_a_pods_host_port_without_a_socket_is_published_while_its_namespace_lives(self):
        # containerd's CNI cache as it writes one for a pod with a hostPort: the port works
        # through the portmap's address translation, and no socket holds it. A file a
        # crash left (its namespace gone) and one no engine wrote (a port of 70000) give
        # nothing; the latter is said.
        pod = {"named": 0, "port": 30080, "addr": "10.88.0.5", "pod": ["shop", "web-7d4b9c"]}
        report = self.detail(self.plan(
            [], named=[{}],
            cni=[pod, dict(pod, named=None, port=30081),
                 dict(pod, port=30082, replace=[["30082", "70000"]])]))
        netns = report["named"][0]["netns"]
        published = ('[{"proto":"tcp","host_addr":"0.0.0.0","host_port":30080,"forward":'
                     '{"addr":"10.88.0.5","port":80,"netns":%d,"container":"%s","name":""},'
                     '"pod":{"namespace":"shop","name":"web-7d4b9c"},"via":"cni",'
                     '"expected":null}]' % (netns, report["cni"][0][:12]))
        self.assertEqual(report["run"].body(), detail_body([], ["published"], published=published))

    def test_a_docker_proxy_that_no_engine_started_is_not_believed(self):
        # A process named docker-proxy whose command line plainly names an address that
        # another namespace holds, but whose parent is no dockerd: any account could
        # start it, so no forward is told. (The real engine's are, in test_docker.)
        space = {"setup": [["addr", "add", "10.9.8.7/32", "dev", "lo"]]}
        args = ["-proto", "tcp", "-host-ip", "127.0.0.1", "-host-port", "{P0}",
                "-container-ip", "10.9.8.7", "-container-port", "80"]
        report = self.detail(self.plan(
            [space], sockets=[{"kind": "tcp", "addr": "127.0.0.1"}],
            owner={"name_hex": b"docker-proxy".hex(), "args": args}))
        row = ("tcp", "127.0.0.1", report["ports"][0][0], "loopback", report["owner"],
               "docker-proxy", account(0), "ports-test.service", "", 1, 0, 8, 0, None, 0,
               "null")
        self.assertEqual(report["run"].body(), detail_body([row]))


if __name__ == "__main__":
    unittest.main()
