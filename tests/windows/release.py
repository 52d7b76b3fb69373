"""The release exe as an administrator receives it: its version resource as Windows
reads it (under Wine), its header, no debugging data, and the same bytes from a second
build of the same sources elsewhere.

Usage: release.py OBJDUMP PROGRAM.exe VERSION_INFO.exe SOURCE_DIR TOOLCHAIN VERSION
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "blackbox"))
import harness  # noqa: E402

OBJDUMP, PROGRAM, VERSION_INFO, SOURCE_DIR, TOOLCHAIN, VERSION = sys.argv[1:7]


def objdump(*args):
    return subprocess.run([OBJDUMP, *args, PROGRAM], check=True, stdout=subprocess.PIPE,
                          text=True).stdout


class Release(unittest.TestCase):
    def test_version_resource(self):
        r = harness.run(args=[harness.windows_path(PROGRAM)], cmd=["wine", VERSION_INFO])
        text = r.out.decode()
        self.assertEqual(r.rc, 0, text)
        four = VERSION + ".0"
        self.assertEqual(text.replace("\r\n", "\n"), "".join(line + "\n" for line in [
            "file=" + four,
            "product=" + four,
            "type=1",  # VFT_APP
            "translation=040904b0",  # US English, UTF-16
            "CompanyName=The ports developers",
            "FileDescription=Listening sockets and loopback probes: a CGI plug-in of a node hub",
            "FileVersion=" + VERSION,
            "InternalName=plugin_ports",
            "LegalCopyright=Copyright (c) 2026 The ports developers",
            "OriginalFilename=plugin_ports.exe",
            "ProductName=ports",
            "ProductVersion=" + VERSION,
        ]))

    def test_header_and_contents(self):
        header = objdump("-p")
        # No time stamp: the field is zero.
        self.assertRegex(header, r"\nTime/Date\s+Thu Jan  1 00:00:00 1970\n")
        flags = re.search(r"\nDllCharacteristics\s+([0-9a-f]+)\n", header)
        self.assertIsNotNone(flags, header[:2000])
        # HIGH_ENTROPY_VA, DYNAMIC_BASE, NX_COMPAT: address space layout randomisation
        # over the whole 64-bit range, no code run from data.
        self.assertEqual(int(flags.group(1), 16) & 0x160, 0x160)
        # The manifest: the caller's rights, long paths.
        with open(PROGRAM, "rb") as f:
            exe = f.read()
        self.assertIn(b'<requestedExecutionLevel level="asInvoker" uiAccess="false"/>', exe)
        self.assertIn(b"<longPathAware xmlns=\"http://schemas.microsoft.com/SMI/2016/"
                      b"WindowsSettings\">true</longPathAware>", exe)
        # Stripped: no debugging sections, no symbol table.
        sections = objdump("-h")
        self.assertNotIn(".debug", sections)
        self.assertIn("no symbols", objdump("-t"))
        # The stack protector and the checked string calls are linked in.
        with open(PROGRAM, "rb") as f:
            data = f.read()
        self.assertIn(b"*** stack smashing detected ***", data)
        self.assertIn(b"*** buffer overflow detected ***", data)

    def test_a_second_build_elsewhere_gives_the_same_bytes(self):
        build = tempfile.mkdtemp(prefix="ports-rebuild-")
        self.addCleanup(shutil.rmtree, build)
        subprocess.run(["cmake", "-S", SOURCE_DIR, "-B", build, "-G", "Ninja",
                        "-DCMAKE_TOOLCHAIN_FILE=" + TOOLCHAIN, "-DCMAKE_BUILD_TYPE=Release",
                        "-DPORTS_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", build, "--target", "plugin_ports"], check=True,
                       stdout=subprocess.DEVNULL)
        with open(PROGRAM, "rb") as a, open(os.path.join(build, "plugin_ports.exe"), "rb") as b:
            first, second = a.read(), b.read()
        self.assertEqual(len(first), len(second))
        differ = [i for i in range(len(first)) if first[i] != second[i]]
        self.assertEqual(differ[:16], [], "the two builds differ at these offsets")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
