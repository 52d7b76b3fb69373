"""The node password gate, seen from outside."""
import os
import shutil
import tempfile
import unittest

import urllib.parse

from harness import (CMD, JSON_HEAD, META, REFUSAL, WINE, ProgramTest, ansi_locale,
                     keep_wine_server, run)

PW = "s3cret pass"


class Refusal(ProgramTest):
    def test_exact_bytes_whatever_was_asked(self):
        self.assertEqual(len(REFUSAL), 178)
        for query in (None, "", "embed=1", "action=listeners", "action=probe&port=80",
                      "action=bogus", "format=json", "action=metrics"):
            with self.subTest(query=query):
                self.assertEqual(self.request(query, BOT_PASSWORD=PW).out, REFUSAL)

    def test_post_without_password_is_refused(self):
        self.assertEqual(self.request(None, "POST", BOT_PASSWORD=PW).out, REFUSAL)

    def test_wrong_passwords_in_every_form(self):
        wrong = [
            {"HTTP_X_BOT_PASSWORD": PW + " "},
            {"HTTP_X_BOT_PASSWORD": PW.upper()},
            {"HTTP_X_BOT_PASSWORD": ""},
            {"HTTP_AUTHORIZATION": "Bearer " + PW + " "},
            {"HTTP_AUTHORIZATION": "bearer " + PW},
            {"HTTP_AUTHORIZATION": "\tBearer " + PW},
            {"HTTP_AUTHORIZATION": "Basic " + PW},
            {"HTTP_AUTHORIZATION": PW},
            {"QUERY_STRING": "action=x&xpwd=s3cret+pass"},
            {"QUERY_STRING": "action=x&pwd=s3cret+pass+"},
            {"QUERY_STRING": "action=x&pwd=s3cret%2Bpass"},
        ]
        for env in wrong:
            with self.subTest(env=env):
                self.assertEqual(self.run_ok(dict(env, BOT_PASSWORD=PW)).out, REFUSAL)


class Passing(ProgramTest):
    def assert_passes(self, env):
        r = self.run_ok(dict(env, BOT_PASSWORD=PW))
        self.assertNotEqual(r.out, REFUSAL)
        return r

    def test_header_form(self):
        r = self.assert_passes({"HTTP_X_BOT_PASSWORD": PW, "QUERY_STRING": "action=zz"})
        self.assertEqual(self.answer(r), "unknown")

    def test_bearer_form_with_blanks(self):
        for value in ("Bearer " + PW, "   Bearer      " + PW):
            with self.subTest(value=value):
                r = self.assert_passes({"HTTP_AUTHORIZATION": value,
                                        "QUERY_STRING": "action=zz"})
                self.assertEqual(self.answer(r), "unknown")

    def test_metrics_as_a_scraper_asks_for_them(self):
        r = self.assert_passes({"HTTP_AUTHORIZATION": "Bearer " + PW,
                                "QUERY_STRING": "action=metrics"})
        self.assertTrue(r.out.startswith(b"Content-Type: text/plain; version=0.0.4; "
                                         b"charset=utf-8\r\n"), r.out[:100])

    def test_query_form_decodes_blanks(self):
        for pwd in ("s3cret+pass", "s3cret%20pass", "%73%33cret%20pass"):
            with self.subTest(pwd=pwd):
                r = self.assert_passes({"QUERY_STRING": "action=zz&pwd=" + pwd})
                self.assertEqual(self.answer(r), "unknown")

    def test_wrong_header_then_right_later_form(self):
        self.assert_passes({"HTTP_X_BOT_PASSWORD": "nope", "QUERY_STRING": "pwd=s3cret+pass"})
        self.assert_passes({"HTTP_X_BOT_PASSWORD": "nope", "HTTP_AUTHORIZATION": "Bearer " + PW})
        self.assert_passes({"HTTP_AUTHORIZATION": "Basic x", "QUERY_STRING": "pwd=s3cret+pass"})

    def test_page_is_served_after_the_gate(self):
        r = self.assert_passes({"HTTP_X_BOT_PASSWORD": PW})
        self.assertEqual(r.kind(), "full")
        r = self.assert_passes({"QUERY_STRING": "embed=1&pwd=s3cret%20pass"})
        self.assertEqual(r.kind(), "embedded")

    def test_password_bytes_are_taken_verbatim(self):
        odd = b" \xc3\xa9 \xff%41+"
        r = self.run_ok({"BOT_PASSWORD": odd, "HTTP_X_BOT_PASSWORD": odd,
                         "QUERY_STRING": "action=zz"})
        self.assertEqual(self.answer(r), "unknown")
        if WINE:
            return  # Wine reads a byte that is no UTF-8 as another character; the query keeps it
        r = self.run_ok({"BOT_PASSWORD": odd, "QUERY_STRING": "action=zz&pwd=%20%C3%A9%20%FF%2541%2B"})
        self.assertEqual(self.answer(r), "unknown")


class TextPasswords(ProgramTest):
    """A password in letters the ANSI code page lacks is read as the text it is, in every
    code page: never as the "?" that stand in for those letters there."""

    PASSWORDS = ("пароль", "表示 café")

    def forms(self, pw):
        return [{"HTTP_X_BOT_PASSWORD": pw.encode()},
                {"HTTP_AUTHORIZATION": b"Bearer " + pw.encode()},
                {"QUERY_STRING": "action=zz&pwd=" + urllib.parse.quote(pw)}]

    def test_the_text_passes_and_its_ansi_stand_in_does_not(self):
        for cp in (1252, 932):
            for pw in self.PASSWORDS:
                # What the ANSI code page makes of it: "??????" for "пароль" in 1252.
                stand_in = pw.encode("cp%d" % cp, errors="replace").decode("cp%d" % cp)
                env = dict(ansi_locale(cp), BOT_PASSWORD=pw.encode())
                for form in self.forms(pw):
                    with self.subTest(cp=cp, pw=pw, form=list(form)[0]):
                        r = self.run_ok({**env, "QUERY_STRING": "action=zz", **form})
                        self.assertEqual(self.answer(r), "unknown")
                if stand_in == pw:
                    continue
                for form in self.forms(stand_in) + self.forms("?" * len(pw)):
                    with self.subTest(cp=cp, pw=pw, stand_in=form):
                        self.assertEqual(self.run_ok(dict(env, **form)).out, REFUSAL)


UNUSABLE = (b"Status: 500 Internal Server Error\r\n" + JSON_HEAD +
            b'{"ok":false,"error":"node password file unusable"}\n')


class PasswordFile(ProgramTest):
    """The node password from the file at the fixed place: /etc/ports/password, in a mount
    namespace of the run's own over the node's /etc; password.txt beside a copy of the
    Windows exe."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="ports-gate-")
        self.addCleanup(shutil.rmtree, self.dir)
        self.folder = os.path.join(self.dir, "ports")
        os.mkdir(self.folder)
        self.path = os.path.join(self.folder, "password.txt" if WINE else "password")

    def file(self, data, mode=0o640):
        with open(self.path, "wb") as f:
            f.write(data)
        os.chmod(self.path, mode)

    def ask(self, env=None, args=(), no_dac=False):
        """One run with the password file in place; no_dac: without the rights that let
        root read any file, so that the file's mode counts."""
        env = dict(env or {})
        env.setdefault("QUERY_STRING", "action=zz")
        if WINE:
            exe = os.path.join(self.folder, "plugin_ports.exe")
            if not os.path.exists(exe):
                shutil.copy(CMD[-1], exe)
            r = run(env, args, cmd=CMD[:-1] + [exe])
        else:
            wrap = ["unshare", "-m", "--propagation", "private", "--", "sh", "-c",
                    'mount -t tmpfs none /etc && mkdir /etc/ports && '
                    'mount --bind "$0" /etc/ports && exec "$@"', self.folder]
            if no_dac:
                wrap += ["setpriv", "--bounding-set=-dac_override,-dac_read_search", "--"]
            r = run(env, args, wrap=wrap)
        self.assertEqual((r.rc, r.err), (0, b""))
        return r

    def test_the_file_guards_and_loses_to_the_variable(self):
        self.file(b"from file\r\nsecond line\n")
        self.assertEqual(self.ask().out, REFUSAL)
        self.assertEqual(self.ask({"HTTP_X_BOT_PASSWORD": "nope"}).out, REFUSAL)
        for form in ({"HTTP_X_BOT_PASSWORD": "from file"},
                     {"QUERY_STRING": "action=zz&pwd=from+file"}):
            with self.subTest(form=form):
                self.assertEqual(self.answer(self.ask(form)), "unknown")
        # BOT_PASSWORD set and not empty wins; empty, it is no password.
        self.assertEqual(self.answer(self.ask({"BOT_PASSWORD": "env", "HTTP_X_BOT_PASSWORD":
                                               "env"})), "unknown")
        self.assertEqual(self.ask({"BOT_PASSWORD": "env", "HTTP_X_BOT_PASSWORD": "from file"}).out,
                         REFUSAL)
        self.assertEqual(self.ask({"BOT_PASSWORD": ""}).out, REFUSAL)
        # The detail answer says that a password guards it.
        r = self.ask({"QUERY_STRING": "action=listeners&detail=1&pwd=from+file"})
        self.assertIs(r.json()["gate"], True)

    def test_no_file_no_gate_and_the_answer_says_so(self):
        self.assertEqual(self.answer(self.ask()), "unknown")
        self.assertIs(self.ask({"QUERY_STRING": "action=listeners&detail=1"}).json()["gate"],
                      False)

    def test_a_file_that_cannot_be_used_closes_everything_but_the_metadata(self):
        cases = {"empty first line": lambda: self.file(b"\nsecond\n"),
                 "folder": lambda: os.mkdir(self.path),
                 "longer than 1,024 bytes": lambda: self.file(b"k" * 1025 + b"\n")}
        if not WINE:
            cases["readable by every account"] = lambda: self.file(b"pw\n", 0o644)
            cases["FIFO"] = lambda: os.mkfifo(self.path, 0o640)
        for name, make in cases.items():
            with self.subTest(case=name):
                make()
                for env in ({}, {"BOT_PASSWORD": ""}, {"QUERY_STRING": ""},
                            {"QUERY_STRING": "action=listeners&pwd=pw"},
                            {"HTTP_X_BOT_PASSWORD": "pw", "QUERY_STRING": "action=metrics"}):
                    self.assertEqual(self.ask(env).out, UNUSABLE)
                self.assertEqual(self.ask(args=["--meta"]).out, META)
                self.assertEqual(self.ask({"ZL_PLUGIN_META": "1"}).out, META)
                # A variable that is set does not need the file.
                r = self.ask({"BOT_PASSWORD": "pw", "HTTP_X_BOT_PASSWORD": "pw"})
                self.assertEqual(self.answer(r), "unknown")
                if os.path.isdir(self.path):
                    os.rmdir(self.path)
                else:
                    os.unlink(self.path)

    @unittest.skipIf(WINE, "the Wine server opens files for its clients, with its own rights")
    def test_a_file_the_hub_may_not_read_closes_the_gate(self):
        self.file(b"pw\n", 0o000)
        self.assertEqual(self.ask(no_dac=True).out, UNUSABLE)
        self.file(b"pw\n", 0o640)
        self.assertEqual(self.ask(no_dac=True).out, REFUSAL)


class NoGate(ProgramTest):
    def test_missing_or_empty_password_serves_everything(self):
        for env in ({}, {"BOT_PASSWORD": ""}):
            with self.subTest(env=env):
                r = self.run_ok(dict(env, QUERY_STRING="action=zz"))
                self.assertEqual(self.answer(r), "unknown")

    def test_metadata_needs_no_password(self):
        self.assertEqual(self.run_ok({"BOT_PASSWORD": PW}, args=["--meta"]).out, META)
        self.assertEqual(self.run_ok({"BOT_PASSWORD": PW, "ZL_PLUGIN_META": "1"}).out, META)


if __name__ == "__main__":
    unittest.main()
