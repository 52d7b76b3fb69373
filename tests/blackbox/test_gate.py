"""The node password gate, seen from outside."""
import unittest

import urllib.parse

from harness import META, REFUSAL, WINE, ProgramTest, ansi_locale

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
