"""A DLL planted beside the exe is not loaded (run under Wine).

Usage: planting.py PROGRAM.exe PLANTED.dll IMPORTER.exe

The planted IPHLPAPI.DLL reports a TCP listener on port 4242. Wine is told to prefer
a native copy of the DLL wherever its search finds one, as Windows does for a DLL
that is no known DLL. The control, a program that imports IPHLPAPI.DLL the ordinary
way, shows that the planted copy is found there; the program, run from the same
folder, must list the system's sockets and not the planted one.
"""
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "blackbox"))
import harness  # noqa: E402

PROGRAM, PLANTED, IMPORTER = (os.path.abspath(a) for a in sys.argv[1:4])
PLANTED_PORT = b'"port":4242,'


class Planting(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="ports-planting-")
        self.addCleanup(shutil.rmtree, self.dir)
        for f in (PROGRAM, IMPORTER):
            shutil.copy(f, self.dir)
        shutil.copy(PLANTED, os.path.join(self.dir, "iphlpapi.dll"))
        self.env = {k: os.environ[k] for k in ("WINEPREFIX", "HOME", "PATH") if k in os.environ}
        self.env.update(WINEDEBUG="-all", WINEDLLOVERRIDES="iphlpapi=n,b")
        harness.keep_wine_server(self.env.get("WINEPREFIX"))

    def wine(self, exe, **env):
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            proc = subprocess.run(["wine", os.path.join(self.dir, os.path.basename(exe))],
                                  env=dict(self.env, **env), cwd=self.dir, stdout=out,
                                  stderr=err, stdin=subprocess.DEVNULL, timeout=60)
            out.seek(0)
            err.seek(0)
            return proc.returncode, out.read(), err.read()

    def test_the_program_does_not_load_the_planted_dll(self):
        rc, out, err = self.wine(IMPORTER)
        self.assertEqual((rc, err), (0, b""))
        self.assertIn(b"4242", out.split(), "the control did not load the planted DLL: "
                                            "this test would prove nothing")
        with socket.socket() as listener:
            listener.bind(("127.0.0.1", 0))
            listener.listen()
            port = listener.getsockname()[1]
            rc, out, err = self.wine(PROGRAM, QUERY_STRING="action=listeners")
        self.assertEqual((rc, err), (0, b""))
        self.assertTrue(out.startswith(harness.JSON_HEAD), out[:200])
        self.assertNotIn(PLANTED_PORT, out)
        self.assertIn(b'"port":%d,' % port, out)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
