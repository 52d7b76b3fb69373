"""Runs the built program the way the hub does and gives back what it wrote.

The program is named by PORTS_CMD (a command line, so an emulator may come first:
"wine build-windows/plugin_ports.exe"). Each run gets only the environment the test
builds, plus what an emulator or a sanitizer needs to run at all.
"""
import json
import os
import resource
import shlex
import shutil
import subprocess
import tempfile
import unittest

CMD = shlex.split(os.environ.get("PORTS_CMD", ""))

JSON_HEAD = (b"Content-Type: application/json; charset=utf-8\r\n"
             b"Cache-Control: no-store\r\n"
             b"X-Content-Type-Options: nosniff\r\n\r\n")
HTML_HEAD = (b"Content-Type: text/html; charset=utf-8\r\n"
             b"Cache-Control: no-store\r\n"
             b"X-Content-Type-Options: nosniff\r\n\r\n")
META = b'{"name":"ports","desc":"Listening TCP"}\n'
REFUSAL = (b"Status: 401 Unauthorized\r\n"
           b"Content-Type: application/json; charset=utf-8\r\n"
           b"Cache-Control: no-store\r\n"
           b"X-Content-Type-Options: nosniff\r\n\r\n"
           b'{"ok":false,"error":"invalid node password"}\n')
UNKNOWN_ACTION = JSON_HEAD + b'{"ok":false,"error":"unknown action"}\n'
BACK_LINK = b"<a href='/'"

# Variables a run may need from outside that are no part of the request.
_PASS_THROUGH = ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "WINEPREFIX", "WINEDEBUG",
                 "HOME", "WINESERVER", "WINELOADER")


# The program is a Windows program run under Wine. Where that changes what a test may
# expect, this one switch decides:
# - the environment reaches the program as Unicode, converted from the bytes by the Unix
#   locale's character set (ansi_locale sets one), so only valid text arrives unchanged;
# - Wine names the owner of a socket only when it is a Wine process;
# - the socket tables are read by the Wine server's processes, not the program's
#   (sandbox.py gives a network namespace a server of its own).
WINE = bool(CMD) and os.path.basename(CMD[0]).startswith("wine")

# The sanitizer build: it reserves terabytes of address space, so no memory limit can
# be put on it.
SANITIZED = os.environ.get("PORTS_SANITIZED") == "1"

# A launcher that starts a command with netlink sockets refused (tests/no_netlink.cpp),
# built with the native tests.
NO_NETLINK = os.environ.get("PORTS_NO_NETLINK", "")

# A helper that waits until its standard input closes, whatever its arguments
# (tests/idle.cpp): a process whose command line a test chooses.
IDLE = os.environ.get("PORTS_IDLE", "")


_LOCALES = {1252: "en_US.UTF-8", 932: "ja_JP.UTF-8"}


def ansi_locale(codepage):
    """Variables that give a run under Wine the ANSI code page `codepage` (1252 or 932)
    with UTF-8 as the Unix character set, from the locales made for the Windows tests
    (PORTS_WINE_LOCALES). Natively none are needed: the program takes the bytes."""
    if not WINE:
        return {}
    where = os.environ.get("PORTS_WINE_LOCALES")
    if not where:
        raise RuntimeError("PORTS_WINE_LOCALES is not set: run scripts/wine-locales DIR "
                           "and name DIR there")
    return {"LOCPATH": where, "LC_ALL": _LOCALES[codepage]}


class Run:
    def __init__(self, proc):
        self.out = proc.stdout
        self.err = proc.stderr
        self.rc = proc.returncode

    def body(self, head=JSON_HEAD):
        assert self.out.startswith(head), self.out[:200]
        return self.out[len(head):]

    def json(self):
        """The JSON body after the JSON header block, as one object on one line."""
        body = self.body()
        assert body.endswith(b"\n") and body.count(b"\n") == 1, body[:200]
        return json.loads(body)

    def kind(self):
        """What the run answered: meta, refusal, json, full, embedded or other."""
        if self.out == META:
            return "meta"
        if self.out == REFUSAL:
            return "refusal"
        if self.out.startswith(JSON_HEAD):
            return "json"
        if self.out.startswith(HTML_HEAD):
            return "full" if BACK_LINK in self.out else "embedded"
        return "other"


def windows_path(path):
    """The Wine name of a Unix path (drive Z: is the Unix root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


_wine_server_kept = set()
# The prefix all runs share; a test that gives a run a private one ends that one's
# server itself.
_SHARED_WINE_PREFIX = os.environ.get("WINEPREFIX")


def keep_wine_server(prefix):
    """Keeps the Wine server of a prefix up between runs. It otherwise exits a moment
    after its last client, and a run that starts while it is exiting dies with "wine
    client error: recvmsg: Connection reset by peer". It still exits by itself a minute
    after the suite's last run."""
    if prefix and prefix not in _wine_server_kept:
        _wine_server_kept.add(prefix)
        subprocess.run(["wineserver", "-p60"], env=dict(os.environ, WINEPREFIX=prefix),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)


def run(env=None, args=(), timeout=60, stdout=subprocess.PIPE, cmd=None, limits=None,
        preexec=None, wrap=()):
    """Runs the program once with exactly `env` (str or bytes values), and PORTS_EXPECT
    and PORTS_READER "none" unless env names them. `cmd` runs
    another command in its place, as in ["wine", "helper.exe"]; `limits` maps resource
    names ("stack", "nofile", "as") to the soft limit the run starts with; `preexec`
    runs in the new process before the program starts, after the limits; `wrap` is a
    command that starts the program (its arguments end with the program's command line)."""
    command = cmd or CMD
    if not command:
        raise RuntimeError("PORTS_CMD is not set: say which program to test")
    wine = os.path.basename(command[0]).startswith("wine")
    full_env = {}
    for name in _PASS_THROUGH:
        if name in os.environ:
            full_env[name] = os.environ[name]
    if wine:
        full_env.setdefault("WINEDEBUG", "-all")
    # No suite is judged by the node's own file of expected listeners: a run names its
    # own, or none ("" for the fixed place, which a test then makes itself).
    full_env["PORTS_EXPECT"] = "none"
    # Nor by a reader the node may have installed (a run that tests one names it).
    full_env["PORTS_READER"] = "none"
    for k, v in (env or {}).items():
        full_env[k] = v
    if wine and full_env.get("WINEPREFIX") == _SHARED_WINE_PREFIX:
        keep_wine_server(_SHARED_WINE_PREFIX)
    # Output goes to files rather than pipes: a helper that the command leaves running
    # (Wine's wineserver) would hold a pipe open and keep the run waiting until it exits.
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        proc = subprocess.run(list(wrap) + list(command) + list(args), env=_as_bytes_env(full_env),
                              stdout=out if stdout is subprocess.PIPE else stdout, stderr=err,
                              stdin=subprocess.DEVNULL, timeout=timeout,
                              preexec_fn=_before_start(limits, preexec))
        proc.stdout = _read_all(out) if stdout is subprocess.PIPE else None
        proc.stderr = _read_all(err)
    return Run(proc)


def _before_start(limits, preexec):
    """A function that sets the soft limits of the process about to start, then runs
    preexec; None when there is nothing to do."""
    if not limits and not preexec:
        return None

    def apply():
        for name, value in (limits or {}).items():
            which = getattr(resource, "RLIMIT_" + name.upper())
            hard = resource.getrlimit(which)[1]
            resource.setrlimit(which, (value, hard))
        if preexec:
            preexec()
    return apply


def _read_all(f):
    f.seek(0)
    return f.read()


def _as_bytes_env(env):
    return {os.fsencode(k): v if isinstance(v, bytes) else os.fsencode(v) for k, v in env.items()}


class ProgramTest(unittest.TestCase):
    """Checks every run for what holds on every path: status 0, silence on stderr."""

    def run_ok(self, env=None, args=(), **kw):
        r = run(env, args, **kw)
        self.assertEqual(r.rc, 0, r.err)
        self.assertEqual(r.err, b"")
        return r

    def request(self, query=None, method=None, **env):
        """One CGI request; query None means no QUERY_STRING at all."""
        e = dict(env)
        if query is not None:
            e["QUERY_STRING"] = query
        if method is not None:
            e["REQUEST_METHOD"] = method
        return self.run_ok(e)

    def answer(self, r):
        """Names the JSON answer: listeners, probe, unknown, or the body itself."""
        self.assertEqual(r.kind(), "json")
        if r.out == UNKNOWN_ACTION:
            return "unknown"
        body = r.json()
        if body.get("action") in ("listeners", "probe"):
            return body["action"]
        if body.get("error") == "port must be 1..65535":
            return "probe"
        return body


# The reader built beside the program (ports-reader), for the runs that test it.
READER = os.environ.get("PORTS_READER_BUILT", "")


def capable_reader(folder, caps="cap_dac_read_search,cap_sys_ptrace=ep"):
    """A copy of the built reader in folder (which other accounts may enter) with the
    file capabilities the package gives it (or caps; None for none), executable by
    every account; its path."""
    if not READER:
        raise RuntimeError("PORTS_READER_BUILT is not set: the reader is built with the "
                           "native tests")
    os.chmod(folder, 0o755)
    path = os.path.join(folder, "ports-reader")
    shutil.copy(READER, path)
    os.chmod(path, 0o755)
    if caps:
        subprocess.run(["setcap", caps, path], check=True)
    return path
