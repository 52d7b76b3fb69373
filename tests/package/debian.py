"""The Debian package as `make package` makes it: its fields and files, the program it
installs answering from a scratch root (dpkg -x), lintian without errors or warnings,
the lighttpd example serving the plug-in's routes from there, and the package
installed with dpkg (in a copy of this system: an overlay of its root in a mount and
network namespace of the test's own): the group ports, the reader's owner, mode and
capabilities, and what www-data and an account outside the group are told.

Usage: debian.py CPACK_CONFIG VERSION SOURCE_DIR
"""
import json
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

if sys.argv[1:2] != ["--inside"]:
    CPACK_CONFIG, VERSION, SOURCE_DIR = sys.argv[1:4]
PROGRAM = "usr/lib/cgi-bin/ports/plugin_ports"
READER = "usr/libexec/ports/ports-reader"
DOC = "usr/share/doc/ports/"
FILES = {
    PROGRAM: "-rwxr-xr-x",
    READER: "-rwxr-xr-x",
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
        # Static: no library to depend on; the maintainer scripts' tools alone.
        self.assertIn("\nDepends: adduser, libcap2-bin\n", "\n" + fields)

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


    def installed(self, mode):
        """What the installed package shows (installed in a copy of this system, see
        installed_facts), mode "caps" or "no-setcap"."""
        r = subprocess.run(["unshare", "-m", "-n", "--propagation", "private", "--",
                            sys.executable, os.path.abspath(__file__), "--inside", self.deb, mode],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300)
        self.assertEqual(r.returncode, 0, r.stderr.decode())
        return json.loads(r.stdout)

    def test_installed_reader_for_the_group_ports_alone(self):
        got = self.installed("caps")
        self.assertEqual(got["dpkg"][0], 0, got["dpkg"][1])
        self.assertIn("may read every account's sockets and processes", got["dpkg"][1])
        gid, members = got["group"]
        self.assertLess(gid, 1000)  # a system group
        self.assertIn("www-data", members)
        self.assertEqual(got["reader"], ["root", "ports", "0o750"])
        self.assertEqual(got["reader_caps"], "cap_dac_read_search,cap_sys_ptrace=ep")
        self.assertEqual(got["program_caps"], "")
        # www-data: a root listener named, its process told, the command line only
        # behind the password.
        www = got["www-data"]
        self.assertEqual(www["row"], {"pid": got["root_pid"], "comm": got["root_comm"],
                                      "holders": 1, "expected": True})
        self.assertNotIn("owners", www["unreadable"])
        self.assertEqual((www["missing"], www["unjudged"]), ([], []))
        self.assertEqual(www["process"], {"exe": got["root_exe"], "cwd": "/", "sockets": True,
                                          "cmdline": True, "unreadable": []})
        self.assertEqual(www["process_plain"], {"cmdline": None,
                                                "unreadable": ["cmdline:no-password"]})
        # An account outside the group: the owner said hidden, and the rules --baseline
        # wrote as root neither missing nor met: nothing cries wolf.
        other = got["nobody"]
        self.assertEqual(other["row"], {"pid": 0, "comm": "", "holders": None,
                                        "expected": None})
        self.assertIn("owners", other["unreadable"])
        self.assertEqual(other["missing"], [])
        self.assertEqual(len(other["unjudged"]), 1)
        self.assertEqual(other["process"]["unreadable"], ["exe", "cwd", "sockets"])

    def test_installed_without_file_capabilities_says_so(self):
        got = self.installed("no-setcap")
        self.assertEqual(got["dpkg"][0], 0, got["dpkg"][1])
        self.assertIn("could not be set", got["dpkg"][1])
        self.assertEqual(got["reader"], ["root", "ports", "0o750"])
        self.assertEqual(got["reader_caps"], "")
        www = got["www-data"]
        self.assertEqual(www["row"], {"pid": 0, "comm": "", "holders": None, "expected": None})
        self.assertIn("owners", www["unreadable"])
        self.assertEqual(www["missing"], [])


def installed_facts(deb, mode):
    """Run inside a mount and network namespace of the test's own: installs deb with dpkg
    into an overlay of this system's root (so nothing of the real one changes), then
    reads what the test checks, and prints it as JSON."""
    import grp
    import pwd
    import socket
    work = tempfile.mkdtemp(prefix="ports-deb-install-")
    subprocess.run(["mount", "-t", "tmpfs", "tmpfs", work], check=True)
    for d in ("upper", "work", "root"):
        os.mkdir(os.path.join(work, d))
    root = os.path.join(work, "root")
    subprocess.run(["mount", "-t", "overlay", "overlay", "-o",
                    "lowerdir=/,upperdir=%s/upper,workdir=%s/work" % (work, work), root],
                   check=True)
    for mount in ("/proc", "/dev", "/sys"):
        subprocess.run(["mount", "--rbind", mount, root + mount], check=True)
    shutil.copy(deb, os.path.join(root, "tmp", "ports.deb"))
    os.chroot(root)
    os.chdir("/")
    # The copy holds the node's own /etc/ports (the overlay sees beneath any mount over
    # it): its password file or policy must not reach the runs below.
    shutil.rmtree("/etc/ports", ignore_errors=True)
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    if mode == "no-setcap":
        # A file system without extended attributes, a container without CAP_SETFCAP.
        with open("/usr/sbin/setcap", "w") as f:
            f.write("#!/bin/sh\nexit 1\n")
    env = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin"}
    dpkg = subprocess.run(["dpkg", "-i", "/tmp/ports.deb"], env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True)
    program, reader = "/" + PROGRAM, "/" + READER
    st = os.stat(reader)

    def caps(path):
        return subprocess.run(["getcap", path], stdout=subprocess.PIPE, text=True,
                              env=env).stdout.replace(path, "").strip()
    # A root service, this process, and the rules as root writes them.
    service = socket.socket()
    service.bind(("127.0.0.1", 0))
    service.listen(8)
    port = service.getsockname()[1]
    with open("/tmp/expected", "wb") as f:
        f.write(subprocess.run([program, "--baseline"], env={}, check=True,
                               stdout=subprocess.PIPE).stdout)
    os.chmod("/tmp/expected", 0o644)

    def ask(user, query, password=True):
        account = pwd.getpwnam(user)
        who = ["--reuid", str(account.pw_uid), "--regid", str(account.pw_gid)] + \
            (["--init-groups"] if user == "www-data" else ["--clear-groups"])
        e = {"QUERY_STRING": query, "PORTS_EXPECT": "/tmp/expected"}
        if password:
            e.update(BOT_PASSWORD="pw", HTTP_X_BOT_PASSWORD="pw")
        out = subprocess.run(["setpriv"] + who + [program], env=e, stdout=subprocess.PIPE,
                             check=True).stdout
        return json.loads(out.split(b"\r\n\r\n", 1)[1])

    def seen_by(user):
        body = ask(user, "action=listeners&detail=1")
        rows = [r for r in body["listeners"] if r["port"] == port and r["netns"] == 0]
        proc = ask(user, "action=process&pid=%d" % os.getpid())
        plain = ask(user, "action=process&pid=%d" % os.getpid(), password=False)
        return {"row": {k: rows[0][k] for k in ("pid", "comm", "holders", "expected")},
                "unreadable": body["unreadable"], "missing": body["missing"],
                "unjudged": body["unjudged"],
                "process": {"exe": proc["exe"], "cwd": proc["cwd"],
                            "sockets": bool(proc["sockets"]) and
                            {"proto": "tcp", "bind_addr": "127.0.0.1", "port": port}
                            in proc["sockets"],
                            "cmdline": proc["cmdline"] == [a.decode() for a in open(
                                "/proc/self/cmdline", "rb").read().split(b"\0")[:-1]],
                            "unreadable": proc["unreadable"]},
                "process_plain": {"cmdline": plain["cmdline"],
                                  "unreadable": plain["unreadable"]}}
    print(json.dumps({
        "dpkg": [dpkg.returncode, dpkg.stdout],
        "group": [grp.getgrnam("ports").gr_gid, grp.getgrnam("ports").gr_mem],
        "reader": [pwd.getpwuid(st.st_uid).pw_name, grp.getgrgid(st.st_gid).gr_name,
                   oct(st.st_mode & 0o7777)],
        "reader_caps": caps(reader), "program_caps": caps(program),
        "root_pid": os.getpid(), "root_comm": os.path.basename(os.readlink("/proc/self/exe")),
        "root_exe": os.readlink("/proc/self/exe"),
        "www-data": seen_by("www-data"), "nobody": seen_by("nobody")}))


if __name__ == "__main__":
    if sys.argv[1:2] == ["--inside"]:
        installed_facts(sys.argv[2], sys.argv[3])
    else:
        unittest.main(argv=sys.argv[:1], verbosity=2)
