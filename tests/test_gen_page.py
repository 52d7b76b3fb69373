"""The page build: what compaction keeps, and the rules it refuses to break."""
import os
import sys
import unittest
from pathlib import Path

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "src", "page"))
import gen_page  # noqa: E402
from gen_page import PageError, check, compact_css, compact_js, compact_markup  # noqa: E402


class Script(unittest.TestCase):
    def test_joins_into_one_line_and_keeps_what_matters(self):
        src = ("var a = b + +c; // sum\n"
               "var d = e - -f;\n"
               "/* block\n comment */ return a;\n"
               "var s = '// not a comment', t = \"/* nor this */\";\n")
        self.assertEqual(compact_js(src),
                         "var a=b+ +c;var d=e- -f;return a;"
                         "var s='// not a comment',t=\"/* nor this */\";")

    def test_slash_is_a_regex_or_a_division_by_what_precedes_it(self):
        self.assertEqual(compact_js("x = a / b / c;"), "x=a/b/c;")
        self.assertEqual(compact_js("s.replace(/[/'\"]/g, f);"), "s.replace(/[/'\"]/g,f);")
        self.assertEqual(compact_js("return /a b/.test(s);"), "return/a b/.test(s);")

    def test_refuses_what_it_cannot_join_safely(self):
        for src in ("return\nx;", "var t = `x`;", "var s = 'a\nb';", "/* open"):
            with self.subTest(src=src):
                with self.assertRaises(PageError):
                    compact_js(src)


class Styles(unittest.TestCase):
    def test_squeezes_outside_strings(self):
        css = ("/* c */ .a, .b > p {\n  font: 14px 'Segoe UI' , serif;\n  margin: 0 0 10px;\n}\n"
               "@media (max-width: 560px) { body { padding: 10px; } }")
        self.assertEqual(compact_css(css),
                         ".a,.b>p{font:14px 'Segoe UI',serif;margin:0 0 10px}"
                         "@media (max-width:560px){body{padding:10px}}")


class Markup(unittest.TestCase):
    def test_line_breaks_go_between_elements_and_become_blanks_elsewhere(self):
        src = "<div>\n  <input id='q'\n         style='x'>\n  <p>one\n  two</p>\n</div>"
        self.assertEqual(compact_markup(src), "<div><input id='q' style='x'><p>one two</p></div>")


class Document(unittest.TestCase):
    GOOD = {"a": "<!DOCTYPE html>\n<html><body><p class='x'>t</p>",
            "script": "<script>\nvar a=1;\n</script></body></html>\n"}

    def test_a_good_document_passes(self):
        check(dict(self.GOOD))

    def test_each_rule(self):
        bad = {
            "non-ASCII": {"a": self.GOOD["a"].replace("t<", "\u00e9<")},
            "fifth line break": {"a": self.GOOD["a"] + "\n"},
            "double quote": {"a": self.GOOD["a"].replace("'x'", '"x"')},
            "blank between elements": {"a": self.GOOD["a"].replace("<p", " <p")},
            "script end inside": {"script": "<script>\nvar s='</script>';\n</script>"
                                            "</body></html>\n"},
        }
        for name, change in bad.items():
            with self.subTest(name):
                with self.assertRaises(PageError):
                    check({**self.GOOD, **change})

    def test_the_sources_build(self):
        pieces = gen_page.build_pieces(Path(__file__).parent.parent / "src" / "page")
        check(pieces)
        self.assertEqual(list(pieces), ["doc_start", "style", "top_open", "back_link", "top_rest",
                                        "card_sockets", "card_table", "card_probe", "script"])


if __name__ == "__main__":
    unittest.main()
