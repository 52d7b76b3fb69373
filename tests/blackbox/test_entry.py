"""Mode selection, routing and the JSON dispatch, seen from outside."""
import os
import subprocess
import unittest

from harness import (JSON_HEAD, META, UNKNOWN_ACTION, WINE, ProgramTest, run)


class Metadata(ProgramTest):
    def test_argument_wins_over_everything(self):
        r = self.run_ok({"QUERY_STRING": "action=probe&port=1", "BOT_PASSWORD": "pw",
                         "REQUEST_METHOD": "POST"}, args=["--meta"])
        self.assertEqual(r.out, META)
        self.assertEqual(len(r.out), 40)

    def test_only_the_first_argument_counts(self):
        self.assertEqual(self.run_ok({}, args=["--meta", "x"]).out, META)
        self.assertEqual(self.run_ok({}, args=["x", "--meta"]).kind(), "full")

    def test_argument_must_match_whole_and_case(self):
        for arg in ("--meta=1", "--META", "-meta", "--met", ""):
            with self.subTest(arg=arg):
                self.assertEqual(self.run_ok({}, args=[arg]).kind(), "full")

    def test_environment_non_empty_selects_it(self):
        for value in ("1", "0", "no", " "):
            with self.subTest(value=value):
                r = self.run_ok({"ZL_PLUGIN_META": value, "BOT_PASSWORD": "pw",
                                 "QUERY_STRING": "action=x"})
                self.assertEqual(r.out, META)

    def test_empty_environment_value_is_ignored(self):
        r = self.run_ok({"ZL_PLUGIN_META": "", "QUERY_STRING": "action=x"})
        self.assertEqual(r.out, UNKNOWN_ACTION)


class SmallStack(ProgramTest):
    def test_every_answer_on_a_64_kib_stack(self):
        # A hub may start its programs with a small stack; the listeners answer has its
        # own test beside its sockets. The password goes the long way, through pwd.
        if WINE:
            self.skipTest("Wine gives the program's thread a stack of its own")
        for query in ("action=probe&port=1&pwd=pw", "action=process&pid=1&pwd=pw", "pwd=pw",
                      "embed=1&pwd=pw"):
            with self.subTest(query=query):
                full = run({"QUERY_STRING": query, "BOT_PASSWORD": "pw"})
                small = self.run_ok({"QUERY_STRING": query, "BOT_PASSWORD": "pw"},
                                    limits={"stack": 64 * 1024})
                self.assertEqual(small.kind(), full.kind())
                if not query.startswith("action="):
                    self.assertEqual(small.out, full.out)


class Routing(ProgramTest):
    def test_no_query_and_no_method_is_the_full_page(self):
        self.assertEqual(self.request().kind(), "full")
        self.assertEqual(self.request("").kind(), "full")

    def test_table(self):
        cases = [
            ("action=listeners", None, "listeners"),
            ("format=json", None, "listeners"),
            ("format=json&action=probe", None, "probe"),
            ("reaction=x", None, "listeners"),      # substring test, then no action parameter
            ("x=action=probe", None, "listeners"),  # parameters start at '&' only
            ("embed=1&action=probe&port=80", None, "probe"),
            ("embed=1", "POST", "listeners"),
            (None, "POST", "listeners"),
            ("", "POST", "listeners"),
            ("embed=1", None, "embedded"),
            ("a=1&embed=10", None, "embedded"),
            ("embed=true", None, "embedded"),
            ("embed=0", None, "full"),
            ("embed=TRUE", None, "full"),
            (None, "post", "full"),
            (None, "GET", "full"),
            ("format=JSON", None, "full"),
            ("ACTION=probe", None, "full"),
        ]
        for query, method, want in cases:
            with self.subTest(query=query, method=method):
                r = self.request(query, method)
                got = r.kind()
                if got == "json":
                    got = self.answer(r)
                self.assertEqual(got, want)

    def test_page_variants_differ_only_by_the_back_link(self):
        full = self.request("").out
        embedded = self.request("embed=1").out
        start = full.index(b"<a href='/'")
        end = full.index(b"</a>", start) + 4
        self.assertEqual(full[:start] + full[end:], embedded)


class Dispatch(ProgramTest):
    def test_listeners_spellings(self):
        for query in ("action=listeners", "action=all", "action=", "action=&x=1",
                      "format=json&action", "action=%6cisteners", "action=listeners%00junk", "action=%00"):
            with self.subTest(query=query):
                self.assertEqual(self.answer(self.request(query)), "listeners")

    def test_probe_spellings(self):
        for query in ("action=probe", "action=pro%62e&port=0", "port=0&action=probe"):
            with self.subTest(query=query):
                self.assertEqual(self.answer(self.request(query)), "probe")

    def test_unknown_actions_after_the_header_block(self):
        for query in ("action=ALL", "action=Probe", "action=list+eners", "action=probe%20",
                      "action=x&action=probe", "action=" + "a" * 100):
            with self.subTest(query=query):
                self.assertEqual(self.request(query).out, UNKNOWN_ACTION)


class Robustness(ProgramTest):
    def test_closed_output_pipe_still_exits_zero(self):
        read_end, write_end = os.pipe()
        os.close(read_end)
        try:
            for query in ("", "action=zzz", "embed=1"):
                with self.subTest(query=query):
                    r = run({"QUERY_STRING": query}, stdout=write_end)
                    self.assertEqual((r.rc, r.err), (0, b""))
        finally:
            os.close(write_end)

    def test_header_block_comes_first_for_every_json_answer(self):
        for query in ("action=nope", "action=probe", "format=json"):
            with self.subTest(query=query):
                self.assertTrue(self.request(query).out.startswith(JSON_HEAD))


if __name__ == "__main__":
    unittest.main()
