"""Hostile requests: whatever arrives, the run exits 0, says nothing on standard error
and answers with something well-formed: JSON that parses, the exact refusal, or a page."""
import json
import unittest

from harness import HTML_HEAD, JSON_HEAD, REFUSAL, WINE, ProgramTest

# One environment string may hold at most 128 KiB on Linux (MAX_ARG_STRLEN), name
# included: the largest value any CGI host can hand over.
BIG = 128 * 1024 - 64
ALL_BYTES = bytes(range(1, 256))  # an environment value cannot hold NUL


class WellFormed(ProgramTest):
    def check(self, env):
        r = self.run_ok(env)
        if r.out == REFUSAL:
            return "refusal"
        if r.out.startswith(JSON_HEAD):
            body = r.out[len(JSON_HEAD):]
            self.assertTrue(body.endswith(b"\n") and body.count(b"\n") == 1, body[:200])
            self.assertIsInstance(json.loads(body), dict)
            return "json"
        self.assertTrue(r.out.startswith(HTML_HEAD), r.out[:200])
        self.assertTrue(r.out.endswith(b"</html>\n"))
        return "page"


class HugeInput(WellFormed):
    def test_huge_query_strings(self):
        for q in (b"a" * BIG, b"action=" + b"x" * BIG, b"action=probe&port=" + b"9" * BIG,
                  b"pwd=" + b"%41" * (BIG // 3), b"&" * BIG, b"embed=1" * (BIG // 7),
                  b"action=listeners&" + b"%" * BIG):
            with self.subTest(start=q[:20], size=len(q)):
                self.check({"QUERY_STRING": q})
                self.assertEqual(self.check({"QUERY_STRING": q, "BOT_PASSWORD": "pw"}),
                                 "refusal")

    def test_huge_headers(self):
        for name in ("HTTP_X_BOT_PASSWORD", "HTTP_AUTHORIZATION"):
            for value in (b"x" * BIG, b"Bearer " + b" " * BIG, b" " * BIG + b"Bearer pw"):
                with self.subTest(name=name, start=value[:10]):
                    env = {name: value, "BOT_PASSWORD": "pw", "QUERY_STRING": "action=zz"}
                    want = "json" if value.endswith(b"Bearer pw") and name.endswith(
                        "AUTHORIZATION") else "refusal"
                    self.assertEqual(self.check(env), want)

    def test_huge_password_matching_itself(self):
        pw = b"\xfe" * BIG
        self.assertEqual(self.check({"BOT_PASSWORD": pw, "HTTP_X_BOT_PASSWORD": pw,
                                     "QUERY_STRING": "action=zz"}), "json")


class OddBytes(WellFormed):
    def test_every_byte_in_parameters(self):
        for b in ALL_BYTES:
            with self.subTest(byte=b):
                self.check({"QUERY_STRING": b"action=" + bytes([b]) + b"&pwd=" + bytes([b])})
        for q in (b"action=probe&port=" + ALL_BYTES, ALL_BYTES + b"action=listeners",
                  b"action=x" + ALL_BYTES, b"embed=1" + ALL_BYTES, ALL_BYTES):
            with self.subTest(q=q[:20]):
                self.check({"QUERY_STRING": q})

    def test_every_byte_in_headers_and_method(self):
        env = {"BOT_PASSWORD": "pw", "QUERY_STRING": "action=zz"}
        for name in ("HTTP_X_BOT_PASSWORD", "HTTP_AUTHORIZATION", "REQUEST_METHOD"):
            with self.subTest(name=name):
                self.assertEqual(self.check(dict(env, **{name: ALL_BYTES})), "refusal")

    def test_escaped_nul_and_broken_escapes(self):
        for q in ("action=%00", "action=probe&port=%00", "action=probe&port=8%0080",
                  "action=%", "action=%%", "action=%4", "action=%g1", "port=%zz&action=probe",
                  "action=probe&port=%2B%2D1", "action=probe&port=%20%0965536",
                  "pwd=%00&action=x", "action=%E2%80%AE", "action=%ff%fe"):
            with self.subTest(q=q):
                self.check({"QUERY_STRING": q})

    def test_repeated_parameters(self):
        for q in ("action=zz&action=probe", "action=probe&port=0&port=80&port=x",
                  "pwd=a&pwd=pw&action=zz", "&&&&action=zz&&&&", "action=&action=probe"):
            with self.subTest(q=q):
                self.check({"QUERY_STRING": q})
        # The first pwd decides, a later right one does not pass.
        self.assertEqual(self.check({"QUERY_STRING": "pwd=a&pwd=pw&action=zz",
                                     "BOT_PASSWORD": "pw"}), "refusal")

    def test_passwords_with_blanks_and_high_bytes(self):
        for pw, given in ((b" pw ", b"pwd=%20pw%20"), (b"p\tw", b"pwd=p%09w"),
                          (b"\xc3\xa9t\xc3\xa9", b"pwd=%C3%A9t%C3%A9"), (b"\xff", b"pwd=%ff"),
                          (b"a+b", b"pwd=a%2Bb"), (b"100%", b"pwd=100%25")):
            if WINE and max(pw) > 127:
                continue  # BOT_PASSWORD arrives in the ANSI code page, the query's bytes do not
            with self.subTest(pw=pw):
                env = {"BOT_PASSWORD": pw, "QUERY_STRING": b"action=zz&" + given}
                self.assertEqual(self.check(env), "json")
                env["QUERY_STRING"] = b"action=zz&pwd=" + pw.strip() + b"x"
                self.assertEqual(self.check(env), "refusal")


if __name__ == "__main__":
    unittest.main()
