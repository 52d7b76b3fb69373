"""The program started as a CGI host starts it: with an environment block the host
builds itself (CreateProcessW with CREATE_UNICODE_ENVIRONMENT), run under Wine.

Usage: environment.py PROGRAM.exe LAUNCHER.exe

Such a block may hold what no Unix environment can carry to Wine: UTF-16 that is no
text, an unpaired surrogate (a .NET hub can pass one). Read as U+FFFD, a password
holding one would be matched by "pwd=%EF%BF%BD"; the program must find such a variable
unreadable and answer nothing.
"""
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "blackbox"))
import harness  # noqa: E402

PROGRAM, LAUNCHER = (os.path.abspath(a) for a in sys.argv[1:3])
UNKNOWN = harness.UNKNOWN_ACTION
REPLACEMENT = "%EF%BF%BD"  # U+FFFD, percent-encoded as UTF-8


class HostBuiltEnvironment(unittest.TestCase):
    def launch(self, *variables):
        """Runs the program with exactly these NAME=VALUE entries (\\uXXXX: one UTF-16
        unit) and gives back its output."""
        r = harness.run(args=[harness.windows_path(PROGRAM), *variables], cmd=["wine", LAUNCHER])
        self.assertEqual((r.rc, r.err), (0, b""))
        return r.out

    def test_a_variable_holding_an_unpaired_surrogate_opens_nothing(self):
        cases = [
            # the node password itself, against the replacement character
            ("BOT_PASSWORD=\\ud800", "QUERY_STRING=action=zz&pwd=" + REPLACEMENT),
            ("BOT_PASSWORD=a\\udc00b", "QUERY_STRING=action=zz&pwd=a%sb" % REPLACEMENT),
            ("BOT_PASSWORD=\\udc00\\ud800",
             "QUERY_STRING=action=zz&pwd=" + REPLACEMENT * 2),
            # a presented password against a node password that is the replacement
            # character
            ("BOT_PASSWORD=\\ufffd", "HTTP_X_BOT_PASSWORD=\\ud800", "QUERY_STRING=action=zz"),
            ("BOT_PASSWORD=\\ufffd", "HTTP_AUTHORIZATION=Bearer \\udbff",
             "QUERY_STRING=action=zz"),
        ]
        for case in cases:
            with self.subTest(case=case):
                self.assertEqual(self.launch(*case), b"")

    def test_text_is_read_as_text(self):
        cases = [
            # a pair of surrogates is one character (U+1F511)
            ("BOT_PASSWORD=\\ud83d\\udd11", "QUERY_STRING=action=zz&pwd=%F0%9F%94%91"),
            # the replacement character is a character like any other
            ("BOT_PASSWORD=\\ufffd", "QUERY_STRING=action=zz&pwd=" + REPLACEMENT),
            # a variable the program never reads does not matter
            ("OTHER=\\ud800", "QUERY_STRING=action=zz"),
        ]
        for case in cases:
            with self.subTest(case=case):
                self.assertEqual(self.launch(*case), UNKNOWN)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
