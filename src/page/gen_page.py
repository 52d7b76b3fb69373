#!/usr/bin/env python3
"""Turns the page's readable sources into the exact bytes the program serves.

Usage: gen_page.py SOURCE_DIR OUTPUT_HEADER [ESBUILD]

page.html is the document; comments in it whose text starts with '@' steer the build:
  @piece NAME  starts the next piece that write_page sends (PAGE_<NAME> in C++)
  @br          a line break (the document has exactly four)
  @css FILE    the stylesheet, compacted
  @js FILE     the script: FILE and the modules it imports, bundled into one line by
               esbuild (ESBUILD, or the one on PATH)
Everything else between elements (indentation, line breaks, other comments) goes.
The build stops with a message when the result breaks a rule of the served page.
"""
import re
import shutil
import subprocess
import sys
from pathlib import Path

LINE_BREAKS = 4


class PageError(Exception):
    pass


# ---- markup -----------------------------------------------------------------

def compact_markup(text):
    """Drops white space runs that hold a line break: to nothing next to a tag
    boundary, to one blank inside a tag or a text."""

    def squeeze(m):
        before = text[m.start() - 1] if m.start() > 0 else ""
        after = text[m.end()] if m.end() < len(text) else ""
        if not before or not after or before == ">" or after == "<":
            return ""
        return " "

    return re.sub(r"\s*\n\s*", squeeze, text)


# ---- stylesheet ---------------------------------------------------------------

# Not esbuild: it keeps the blank after a custom property's colon ("--bg: #0d0d10"),
# as custom properties demand, so the palettes would not be the bytes the page serves.

def compact_css(text):
    text = re.sub(r"/\*.*?\*/", "", text, flags=re.S)
    out = []
    # Quoted strings (font names) pass unchanged; the rest is squeezed.
    for i, part in enumerate(re.split(r"('[^'\n]*'|\"[^\"\n]*\")", text)):
        if i % 2:
            out.append(part)
            continue
        part = re.sub(r"\s+", " ", part)
        part = re.sub(r"\s*([{};,>])\s*", r"\1", part)
        part = re.sub(r":\s+", ":", part)
        out.append(part)
    css = "".join(out).strip()
    return css.replace(";}", "}")


# ---- script -----------------------------------------------------------------

# Whitespace minification only: esbuild parses the script, so every name and every
# statement stays as written, and writes it without comments or line breaks (text
# outside ASCII escaped).
ESBUILD_FLAGS = ["--minify-whitespace", "--charset=ascii", "--legal-comments=none",
                 "--log-level=error"]


def run_esbuild(args, esbuild=None, stdin=b""):
    tool = esbuild or shutil.which("esbuild")
    if not tool:
        raise PageError("esbuild is not installed (scripts/install-deps.sh installs it)")
    try:
        run = subprocess.run([tool] + ESBUILD_FLAGS + args, input=stdin, capture_output=True,
                             check=False)
    except OSError as e:
        raise PageError(f"esbuild cannot run: {e}") from e
    if run.returncode != 0:
        raise PageError("script: esbuild refused it:\n" + run.stderr.decode("utf-8", "replace"))
    out = run.stdout.decode("ascii")
    if out.endswith("\n"):
        out = out[:-1]
    # A template literal keeps its own line breaks; the page has room for none.
    if "\n" in out:
        raise PageError("script: a line break survives the joining (inside a template literal?)")
    return out


def compact_js(src, esbuild=None):
    """One script text as one line."""
    return run_esbuild(["--loader=js"], esbuild, src.encode("utf-8"))


def bundle_js(entry, esbuild=None):
    """The modules that entry imports, and theirs, joined by esbuild's bundler into one
    function that runs at once (an IIFE), as one line; a module that is missing, or an
    import that no module exports, stops the build."""
    return run_esbuild([str(entry), "--bundle", "--format=iife"], esbuild)


# ---- the document -------------------------------------------------------------

def build_pieces(src_dir, esbuild=None):
    html = (src_dir / "page.html").read_text(encoding="ascii")
    pieces = {}
    current = None
    pos = 0
    for m in re.finditer(r"<!--(.*?)-->", html, re.S):
        segment = compact_markup(html[pos:m.start()])
        pos = m.end()
        if segment:
            if current is None:
                raise PageError("page.html: markup before the first @piece")
            pieces[current] += segment
        words = m.group(1).split()
        if not words or not words[0].startswith("@"):
            continue  # a plain comment
        directive, args = words[0], words[1:]
        if directive == "@piece" and len(args) == 1:
            current = args[0]
            if current in pieces:
                raise PageError(f"page.html: piece {current} twice")
            pieces[current] = ""
        elif current is None:
            raise PageError(f"page.html: {directive} before the first @piece")
        elif directive == "@br" and not args:
            pieces[current] += "\n"
        elif directive == "@css" and len(args) == 1:
            pieces[current] += compact_css((src_dir / args[0]).read_text(encoding="ascii"))
        elif directive == "@js" and len(args) == 1:
            pieces[current] += bundle_js(src_dir / args[0], esbuild)
        else:
            raise PageError(f"page.html: unknown directive {m.group(0)}")
    if compact_markup(html[pos:]):
        raise PageError("page.html: markup after the last directive must be empty")
    return pieces


def check(pieces):
    doc = "".join(pieces.values())
    bad = sorted({c for c in doc if not (" " <= c <= "~" or c == "\n")})
    if bad:
        raise PageError(f"page: characters outside printable ASCII: {bad!r}")
    if doc.count("\n") != LINE_BREAKS:
        raise PageError(f"page: {doc.count(chr(10))} line breaks, want {LINE_BREAKS}")
    # The four: after the doctype, around the script's text, after the last tag.
    if not re.fullmatch(r"<!DOCTYPE html>\n.*<script>\n[^\n]*\n</script></body></html>\n",
                        doc, re.S):
        raise PageError("page: line breaks out of place")
    for name, text in pieces.items():
        if name in ("style", "script"):
            continue
        if re.search(r">[^\S\n]+<", text):
            raise PageError(f"page: white space between elements in {name}")
        if '"' in text:
            raise PageError(f"page: double quote in the markup of {name}")
    script = doc[doc.index("<script>\n") + 9:doc.rindex("\n</script>")]
    for bad_text in ("</script", "<!--"):
        if bad_text in script.lower():
            raise PageError(f"page: {bad_text} inside the script would end or confuse it")


def c_literal(text, width=96):
    """Adjacent C string literals, one short source line each."""
    lines, cur = [], ""
    for ch in text:
        esc = {"\\": "\\\\", '"': '\\"', "\n": "\\n"}.get(ch, ch)
        if len(cur) + len(esc) > width:
            lines.append(cur)
            cur = ""
        cur += esc
        if ch == "\n":
            lines.append(cur)
            cur = ""
    if cur or not lines:
        lines.append(cur)
    return "\n".join(f'    "{line}"' for line in lines)


def main(argv):
    if len(argv) not in (3, 4):
        print(__doc__, file=sys.stderr)
        return 2
    src_dir, out_path = Path(argv[1]), Path(argv[2])
    esbuild = argv[3] if len(argv) == 4 else None
    try:
        pieces = build_pieces(src_dir, esbuild)
        check(pieces)
    except (PageError, OSError, UnicodeDecodeError) as e:
        print(f"gen_page: {e}", file=sys.stderr)
        return 1
    parts = ["// Generated by src/page/gen_page.py from src/page: do not edit.\n",
             "#pragma once\n"]
    for name, text in pieces.items():
        parts.append(f"\nstatic const char PAGE_{name.upper()}[] =\n{c_literal(text)};\n")
    new = "".join(parts)
    # Rewrite only on change, so an unchanged page does not rebuild the program.
    if not out_path.exists() or out_path.read_text(encoding="ascii") != new:
        out_path.parent.mkdir(parents=True, exist_ok=True)
        out_path.write_text(new, encoding="ascii", newline="\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
