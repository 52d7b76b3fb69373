"""The Windows zip as `make package` makes it: the exe as built, the notes for Windows
hubs (with CR LF line ends) and the license; with SIGN_CERT and SIGN_KEY, the exe inside
is Authenticode-signed (checked with osslsigncode verify against a certificate made
here) and still runs (under Wine).

Usage: windows.py CPACK_CONFIG PROGRAM.exe VERSION SOURCE_DIR
"""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "blackbox"))
import harness  # noqa: E402

CPACK_CONFIG, PROGRAM, VERSION, SOURCE_DIR = sys.argv[1:5]
TOP = "ports-%s-windows-x64/" % VERSION


class WindowsZip(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="ports-zip-")
        self.addCleanup(shutil.rmtree, self.dir)

    def cpack(self, **sign):
        """Makes the zip with these signing variables (and no others); the process."""
        env = {k: v for k, v in os.environ.items() if not k.startswith("SIGN_")}
        env.update(sign)
        out = os.path.join(self.dir, "out")
        proc = subprocess.run(["cpack", "--config", CPACK_CONFIG, "-G", "ZIP", "-B", out],
                              env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              text=True, timeout=300)
        proc.zip = os.path.join(out, TOP[:-1] + ".zip")
        return proc

    def unpacked_exe(self, zip_path):
        with zipfile.ZipFile(zip_path) as z:
            z.extract(TOP + "plugin_ports.exe", self.dir)
        return os.path.join(self.dir, TOP, "plugin_ports.exe")

    def verify(self, exe, ca):
        return subprocess.run(["osslsigncode", "verify", "-CAfile", ca, "-in", exe],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                              timeout=60)

    def certificate(self):
        cert, key = (os.path.join(self.dir, n) for n in ("cert.pem", "key.pem"))
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                        "-keyout", key, "-out", cert, "-days", "2",
                        "-subj", "/CN=ports test signer",
                        "-addext", "extendedKeyUsage=codeSigning",
                        "-addext", "keyUsage=critical,digitalSignature"],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return cert, key

    def test_unsigned_zip_holds_the_exe_as_built(self):
        proc = self.cpack()
        self.assertEqual(proc.returncode, 0, proc.stdout)
        with zipfile.ZipFile(proc.zip) as z:
            self.assertEqual(sorted(z.namelist()),
                             [TOP + n for n in ("LICENSE.txt", "README.txt", "plugin_ports.exe")])
            with open(PROGRAM, "rb") as f:
                self.assertEqual(z.read(TOP + "plugin_ports.exe"), f.read())
            with open(os.path.join(SOURCE_DIR, "LICENSE"), "rb") as f:
                self.assertEqual(z.read(TOP + "LICENSE.txt"), f.read())
            # The notes as written, with Windows line ends (Notepad before Windows 10
            # 1809 shows a file with bare LF as one line).
            with open(os.path.join(SOURCE_DIR, "packaging", "windows", "README.txt"), "rb") as f:
                self.assertEqual(z.read(TOP + "README.txt"), f.read().replace(b"\n", b"\r\n"))
        cert, _ = self.certificate()
        self.assertNotEqual(self.verify(self.unpacked_exe(proc.zip), cert).returncode, 0)

    def test_signed_zip_holds_a_signed_exe_that_runs(self):
        cert, key = self.certificate()
        proc = self.cpack(SIGN_CERT=cert, SIGN_KEY=key)
        self.assertEqual(proc.returncode, 0, proc.stdout)
        exe = self.unpacked_exe(proc.zip)
        v = self.verify(exe, cert)
        self.assertEqual(v.returncode, 0, v.stdout)
        self.assertIn("Subject: /CN=ports test signer", v.stdout)
        self.assertIn("Signature verification: ok", v.stdout)
        # The build's own exe stays unsigned; only the packed copy is signed.
        self.assertNotEqual(self.verify(PROGRAM, cert).returncode, 0)
        r = harness.run(args=["--meta"], cmd=["wine", exe])
        self.assertEqual((r.rc, r.out, r.err), (0, harness.META, b""))

    def test_half_a_signing_setup_makes_no_zip(self):
        cert, key = self.certificate()
        for sign in ({"SIGN_CERT": cert}, {"SIGN_KEY": key},
                     {"SIGN_CERT": cert, "SIGN_KEY": os.path.join(self.dir, "missing.pem")}):
            with self.subTest(sign=list(sign)):
                proc = self.cpack(**sign)
                self.assertNotEqual(proc.returncode, 0, proc.stdout)
                self.assertFalse(os.path.exists(proc.zip))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
