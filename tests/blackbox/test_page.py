"""The console page as the program writes it: exact bytes, both variants."""
import re
import unittest
from html.parser import HTMLParser

from harness import HTML_HEAD, ProgramTest

BACK_LINK = (b"<a href='/' style='color:var(--act);text-decoration:none;font-weight:600'>"
             b"&larr;</a>")
DOC_START = (b"<!DOCTYPE html>\n<html lang='en' class='d'><head><meta charset='utf-8'>"
             b"<meta name='viewport' content='width=device-width,initial-scale=1'>"
             b"<title>ports</title><style>")
PALETTES = (b".d{--bg:#0d0d10;--sf:#16161a;--sf2:#1e1e24;--tx:#f5f5f7;--mu:#8e8e96;"
            b"--ln:rgba(255,255,255,.11);--ac:#0a84ff;--ok:#30d158;--wr:#ffd60a;--dg:#ff453a;"
            b"--mo:ui-monospace,SFMono-Regular,Menlo,monospace}"
            b"html[data-t=light]{--bg:#f4f4f7;--sf:#fff;--sf2:#f0f0f4;--tx:#1c1c1e;"
            b"--mu:#6b6b73;--ln:rgba(0,0,0,.10)}"
            # Text in the accents' hues: the accents in the dark theme, darker shades of
            # them in the light one.
            b".d{--okt:var(--ok);--wrt:var(--wr);--act:var(--ac);--dgt:var(--dg)}"
            b"html[data-t=light]{--okt:#1c7d34;--wrt:#856f00;--act:#0065cc;--dgt:#ea0d00}")
TOP_REST = (b"<h1 class='title'>ports</h1><span class='pill' id='srcPill'>local</span>"
            b"<span class='pill hide' id='chPill'></span>"
            b"<span class='sp'></span><button class='gh sm' id='thBtn'>Light</button>"
            b"<label class='lb' for='arSel'>Auto refresh</label><select class='sm' id='arSel'>"
            b"<option value='0'>Off</option><option value='5'>5 s</option>"
            b"<option value='15'>15 s</option><option value='60'>60 s</option></select>"
            b"<button class='sm' id='rfBtn'>Rescan</button></div>")
END = b"\n</script></body></html>\n"


class Elements(HTMLParser):
    """Collects each element with an id, the option lists and the headings."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.by_id = {}
        self.options = {}
        self.headings = []
        self._open = []  # [tag, attrs, text]
        self._select = None

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == "select":
            self._select = attrs["id"]
            self.options[self._select] = []
        if tag in ("meta", "input"):
            if "id" in attrs:
                self.by_id[attrs["id"]] = (tag, attrs, "")
            return
        self._open.append([tag, attrs, ""])

    def handle_data(self, data):
        for el in self._open:
            el[2] += data

    def handle_endtag(self, tag):
        while self._open:
            t, attrs, text = self._open.pop()
            if "id" in attrs:
                self.by_id[attrs["id"]] = (t, attrs, text)
            if t == "option":
                self.options[self._select].append((attrs["value"], text))
            if t in ("th", "h2"):
                self.headings.append(text)
            if t == tag:
                break


class Page(ProgramTest):
    def page(self, query):
        r = self.request(query)
        self.assertTrue(r.out.startswith(HTML_HEAD), r.out[:200])
        return r.out[len(HTML_HEAD):]

    def test_variants_differ_only_by_the_back_link(self):
        full, embedded = self.page(""), self.page("embed=1")
        top = b"<div class='top'>"
        self.assertEqual(full.count(top), 1)
        self.assertIn(top + BACK_LINK + TOP_REST, full)
        self.assertIn(top + TOP_REST, embedded)
        self.assertEqual(full.replace(BACK_LINK, b"", 1), embedded)
        self.assertEqual(self.page("embed=true"), embedded)

    def test_document_shape(self):
        for query in ("", "embed=1"):
            with self.subTest(query=query):
                doc = self.page(query)
                self.assertTrue(doc.startswith(DOC_START + PALETTES), doc[:400])
                self.assertTrue(doc.endswith(END), doc[-200:])
                # Exactly four line breaks: after the doctype, around the script's
                # text, after the last tag.
                self.assertEqual(doc.count(b"\n"), 4)
                self.assertRegex(doc, rb"^<!DOCTYPE html>\n[^\n]*<script>\n[^\n]*\n</script>"
                                      rb"</body></html>\n$")
                self.assertFalse(re.search(rb"[^\x20-\x7e\n]", doc), "printable ASCII only")
                markup = doc[:doc.index(b"<script>")]
                self.assertNotIn(b'"', markup, "attribute values in single quotes")
                self.assertFalse(re.search(rb">\s+<", markup[16:]),
                                 "no white space between elements")
                # The wrap container stays open: body and html close it.
                self.assertEqual(markup.count(b"<div"), markup.count(b"</div>") + 1)
                self.assertEqual(doc.count(b"<script>"), 1)
                self.assertNotIn(b"<link", doc)
                self.assertNotIn(b" src=", markup)

    def test_elements_the_script_works_on(self):
        p = Elements()
        p.feed(self.page("").decode("ascii"))
        texts = {i: (tag, text) for i, (tag, _, text) in p.by_id.items()}
        want = {
            "srcPill": ("span", "local"), "thBtn": ("button", "Light"),
            "rfBtn": ("button", "Rescan"), "kTotal": ("div", "-"), "kTcp": ("div", "-"),
            "kUdp": ("div", "-"), "kLoop": ("div", "-"), "kWild": ("div", "-"),
            "q": ("input", ""), "rows": ("tbody", ""), "pPort": ("input", ""),
            "pBtn": ("button", "Probe 127.0.0.1"), "pOut": ("div", "No probe run yet."),
            "empty": ("div", "No listening sockets matched the filter."),
            "chPill": ("span", ""), "exBtn": ("button", "Export CSV"), "unr": ("div", ""),
            "lsErr": ("div", ""), "kUnx": ("div", "-"), "polErr": ("div", ""),
            "missList": ("ul", ""),
        }
        for i, v in want.items():
            self.assertEqual(texts.get(i), v, i)
        for hidden in ("empty", "chPill", "unr", "lsErr", "kUnxT", "polErr", "missList"):
            self.assertIn("hide", p.by_id[hidden][1]["class"].split(), hidden)
        self.assertEqual(p.by_id["q"][1]["placeholder"],
                         "Filter by port, process, service, user or address")
        port = p.by_id["pPort"][1]
        self.assertEqual((port["type"], port["min"], port["max"], port["value"]),
                         ("number", "1", "65535", "8150"))
        self.assertEqual(p.options, {
            "sc": [("", "All scopes"), ("loopback", "Loopback only"),
                   ("wildcard", "Wildcard (0.0.0.0)"), ("specific", "Specific address")],
            "pr": [("", "TCP+UDP"), ("tcp", "TCP only"), ("udp", "UDP only")],
            "arSel": [("0", "Off"), ("5", "5 s"), ("15", "15 s"), ("60", "60 s")],
        })
        self.assertEqual(p.headings, ["Listening sockets", "Proto", "Bind", "Port", "Scope",
                                      "PID", "Process", "User", "Conns", "Probe",
                                      "Loopback health probe"])
        # Every heading sorts its column through a button of its own.
        sorts = re.findall(r"<th><button class='sb' data-c='(\w+)'>", self.page("").decode())
        self.assertEqual(sorts, ["proto", "bind", "port", "scope", "pid", "process", "user",
                                 "conns", "probe"])
        labels = re.findall(r"<div class='k'>([^<]*)</div>", self.page("").decode())
        self.assertEqual(labels, ["Total", "TCP", "UDP", "Loopback", "Wildcard", "Unexpected"])

    def test_nothing_from_the_request_reaches_the_page(self):
        full, embedded = self.page(""), self.page("embed=1")
        hostile = "<script>alert(1)</script>'\"&node=<b>&id=%3Cx%3E&pwd=secret&plugin=x"
        for query, want in ((hostile, full), ("embed=1&" + hostile, embedded),
                            ("q=" + "A" * 4000, full)):
            with self.subTest(query=query[:40]):
                self.assertEqual(self.page(query), want)
        r = self.request("embed=1&pwd=pw%20x", BOT_PASSWORD="pw x",
                         HTTP_X_BOT_PASSWORD="<i>", HTTP_AUTHORIZATION="Bearer <i>")
        self.assertEqual(r.out, HTML_HEAD + embedded)


if __name__ == "__main__":
    unittest.main()
