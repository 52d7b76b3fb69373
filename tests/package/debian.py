"""The Debian package as `make package` makes it: its fields and files, the program it
installs answering from a scratch root (dpkg -x), lintian without errors or warnings,
and the lighttpd example serving the plug-in's routes from there.

Usage: debian.py CPACK_CONFIG VERSION SOURCE_DIR
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import urllib.error
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "blackbox"))
import harness  # noqa: E402

CPACK_CONFIG, VERSION, SOURCE_DIR = sys.argv[1:4]
PROGRAM = "usr/lib/cgi-bin/ports/plugin_ports"
DOC = "usr/share/doc/ports/"
FILES = {
    PROGRAM: "-rwxr-xr-x",
    DOC + "changelog.gz": "-rw-r--r--",
    DOC + "copyright": "-rw-r--r--",
    DOC + "examples/apache2.conf": "-rw-r--r--",
    DOC + "examples/lighttpd.conf": "-rw-r--r--",
    DOC + "examples/nginx.conf": "-rw-r--r--",
    "usr/share/lintian/overrides/ports": "-rw-r--r--",
    "usr/share/ports/prometheus/ports.rules.yml": "-rw-r--r--",
}
PASSWORD = "change-me"


def run(*argv, **kw):
    return subprocess.run(argv, check=True, stdout=subprocess.PIPE, **kw).stdout


class DebianPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="ports-deb-")
        run("cpack", "--config", CPACK_CONFIG, "-G", "DEB", "-B", cls.dir)
        arch = run("dpkg", "--print-architecture", text=True).strip()
        cls.deb = os.path.join(cls.dir, "ports_%s_%s.deb" % (VERSION, arch))
        cls.arch = arch
        cls.root = os.path.join(cls.dir, "root")
        run("dpkg", "-x", cls.deb, cls.root)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir)

    def test_fields(self):
        fields = run("dpkg-deb", "-f", self.deb, text=True)
        for want in ("Package: ports", "Version: " + VERSION, "Architecture: " + self.arch,
                     "Recommends: httpd-cgi", "Section: net"):
            self.assertIn("\n" + want + "\n", "\n" + fields)
        # Static: no library to depend on.
        self.assertNotIn("Depends:", fields)

    def test_files_and_modes(self):
        listing = run("dpkg-deb", "-c", self.deb, text=True)
        files, owners = {}, set()
        for line in listing.splitlines():
            mode, owner, _size, _date, _time, path = line.split(None, 5)
            owners.add(owner)
            if mode.startswith("d"):
                self.assertEqual(mode, "drwxr-xr-x", path)
            else:
                files[path[2:]] = mode
        self.assertEqual(files, FILES)
        self.assertEqual(owners, {"root/root"})

    def test_installed_program_answers(self):
        program = os.path.join(self.root, PROGRAM)
        env = {k: v for k, v in os.environ.items() if k in ("PATH",)}
        r = subprocess.run([program, "--meta"], env=env, stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, timeout=30)
        self.assertEqual((r.returncode, r.stdout, r.stderr), (0, harness.META, b""))
        # It needs no library: no program interpreter, no dynamic section.
        headers = run("readelf", "-lW", program, text=True)
        self.assertNotIn("INTERP", headers)
        self.assertNotIn("DYNAMIC", headers)
        with open(os.path.join(self.root, DOC, "copyright")) as f:
            self.assertIn("License: Expat", f.read())
        changelog = run("gzip", "-dc", os.path.join(self.root, DOC, "changelog.gz"), text=True)
        self.assertTrue(changelog.startswith("ports (%s) " % VERSION), changelog)

    def test_lintian_finds_no_error_and_no_warning(self):
        r = subprocess.run(["lintian", "--fail-on", "error,warning", self.deb],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                           timeout=300)
        tags = [line for line in r.stdout.splitlines() if re.match(r"^[EW]: ", line)]
        self.assertEqual((r.returncode, tags), (0, []), r.stdout + r.stderr)

    def test_lighttpd_example_serves_both_routes_behind_the_password(self):
        with open(os.path.join(self.root, DOC, "examples/lighttpd.conf")) as f:
            example = f.read()
        self.assertIn("/" + PROGRAM, example)
        example = example.replace("/" + PROGRAM, os.path.join(self.root, PROGRAM))
        conf = os.path.join(self.dir, "lighttpd.conf")
        with open(os.path.join(self.dir, "example.conf"), "w") as f:
            f.write(example)
        # Debian's /cgi-bin/ route (lighttpd's 10-cgi.conf) beside the example's, over
        # the scratch root.
        with open(conf, "w") as f:
            f.write('server.bind = "127.0.0.1"\n'
                    'server.port = env.PORTS_HUB_PORT\n'
                    'server.systemd-socket-activation = "enable"\n'
                    'server.document-root = env.PORTS_HUB_ROOT\n'
                    'server.modules += ( "mod_cgi" )\n'
                    '$HTTP["url"] =~ "^/cgi-bin/" {\n'
                    '    cgi.assign = ( "" => "" )\n'
                    '    alias.url += ( "/cgi-bin/" => "%s/" )\n'
                    '}\n'
                    'include "%s"\n' % (os.path.join(self.root, "usr/lib/cgi-bin"),
                                         os.path.join(self.dir, "example.conf")))
        hub = subprocess.Popen(
            [sys.executable, os.path.join(SOURCE_DIR, "hub", "serve.py"),
             os.path.join(self.root, PROGRAM), "--port", "0", "--config", conf],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        try:
            line = hub.stdout.readline()
            m = re.match(r"hub: (http://127\.0\.0\.1:\d+/)$", line.strip())
            self.assertIsNotNone(m, line)
            base = m.group(1)

            def get(path, **headers):
                req = urllib.request.Request(base + path, headers=headers)
                try:
                    with urllib.request.urlopen(req, timeout=30) as resp:
                        return resp.status, resp.read()
                except urllib.error.HTTPError as e:
                    return e.code, e.read()

            refusal = harness.REFUSAL.split(b"\r\n\r\n", 1)[1]
            unknown = harness.UNKNOWN_ACTION.split(b"\r\n\r\n", 1)[1]
            self.assertEqual(get("plugin_ports?action=zz"), (401, refusal))
            self.assertEqual(get("plugin_ports?action=zz", **{"X-Bot-Password": PASSWORD}),
                             (200, unknown))
            self.assertEqual(get("plugin_ports?action=zz",
                                 Authorization="Bearer " + PASSWORD), (200, unknown))
            self.assertEqual(get("plugins?plugin=ports&action=zz&pwd=" + PASSWORD),
                             (200, unknown))
            self.assertEqual(get("plugins?plugin=other&action=zz&pwd=" + PASSWORD)[0], 404)
            # The password guards Debian's route to the program too.
            for path in ("cgi-bin/ports/plugin_ports", "cgi-bin//ports/plugin_ports"):
                self.assertEqual(get(path + "?action=zz"), (401, refusal), path)
                self.assertEqual(get(path + "?action=zz&pwd=" + PASSWORD), (200, unknown), path)
        finally:
            hub.terminate()
            hub.wait(timeout=30)
            hub.stdout.close()


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
