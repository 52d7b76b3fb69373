"""The page build: what compaction keeps, and the rules it refuses to break."""
import os
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "src", "page"))
import gen_page  # noqa: E402
from gen_page import (PageError, bundle_js, check, compact_css, compact_js,  # noqa: E402
                      compact_markup)


class Script(unittest.TestCase):
    def test_joins_into_one_line_and_keeps_what_matters(self):
        src = ("var a = b + +c; // sum\n"
               "var d = e - -f;\n"
               "/* block\n comment */ var g = a;\n"
               "var s = '// not a comment', t = '/* nor this */';\n")
        self.assertEqual(compact_js(src),
                         'var a=b+ +c;var d=e- -f;var g=a;'
                         'var s="// not a comment",t="/* nor this */";')

    def test_slashes_and_line_ends_mean_what_the_browser_reads(self):
        self.assertEqual(compact_js("x = a / b / c;"), "x=a/b/c;")
        self.assertEqual(compact_js("s.replace(/[/'\"]/g, f);"), "s.replace(/[/'\"]/g,f);")
        # A line break after return ends the statement; joined, it stays ended.
        self.assertEqual(compact_js("function f(){return\nx;}"), "function f(){return;x}")
        self.assertEqual(compact_js("var t = `a${b}c`;"), "var t=`a${b}c`;")

    def test_what_cannot_be_one_line_or_ascii_or_parsed(self):
        self.assertEqual(compact_js("var s = '\u00e9';"), 'var s="\\xE9";')
        for src in ("var t = `x\ny`;", "var s = 'a\nb';", "/* open", "var = ;"):
            with self.subTest(src=src):
                with self.assertRaises(PageError):
                    compact_js(src)

    def test_a_missing_esbuild_fails_the_build(self):
        with self.assertRaises(PageError):
            compact_js("var a;", esbuild="/nonexistent/esbuild")


class Bundle(unittest.TestCase):
    def bundle(self, files, entry="main.js"):
        with tempfile.TemporaryDirectory() as d:
            for name, text in files.items():
                Path(d, name).write_text(text, encoding="utf-8")
            return bundle_js(Path(d, entry))

    def test_modules_become_one_function_run_at_once_with_their_names(self):
        out = self.bundle({
            "main.js": "'use strict';\nimport { greet, shared } from './greet.js';\n"
                       "// start\nshared.n = greet('\u00e9');\n",
            "greet.js": "export var shared = { n: '' };\n"
                        "export function greet(who) {\n    return 'hi ' + who;\n}\n"})
        self.assertEqual(out, '"use strict";(()=>{var shared={n:""};function greet(who){'
                              'return"hi "+who}shared.n=greet("\\xE9");})();')

    def test_a_missing_module_or_name_or_a_line_break_stops_the_build(self):
        cases = {
            "missing module": {"main.js": "import { a } from './gone.js';\na();\n"},
            "missing export": {"main.js": "import { b } from './a.js';\nb();\n",
                               "a.js": "export function a() {}\n"},
            "template literal": {"main.js": "import { t } from './a.js';\nt();\n",
                                 "a.js": "export function t() {\n    return `x\ny`;\n}\n"},
        }
        for name, files in cases.items():
            with self.subTest(name):
                with self.assertRaises(PageError):
                    self.bundle(files)


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
