// What the browser tests share: the real hub in front of the built program, Debian's
// Chromium, and a helper process that owns a few loopback sockets. Everything started
// here is bounded in time and is stopped by its own process id.
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

const HERE = path.dirname(fileURLToPath(import.meta.url));
export const REPO = path.resolve(HERE, '..', '..');

// Longest life of any process a test starts: a run that dies early leaves nothing
// behind for longer than this.
const MAX_LIFE_S = 600;

// Children still running when this process ends, however it ends, get a signal to
// stop; MAX_LIFE_S covers a hard kill.
const live = new Set();
process.on('exit', () => {
    for (const child of live) child.kill('SIGTERM');
});
for (const sig of ['SIGINT', 'SIGTERM']) process.on(sig, () => process.exit(1));

function track(child) {
    live.add(child);
    child.on('exit', () => live.delete(child));
    return child;
}

export function program() {
    const p = process.env.PORTS_PROGRAM;
    if (!p) throw new Error('PORTS_PROGRAM is not set: say which built plugin_ports to test');
    return p;
}

// Reads a child's standard output until a line matches, within ms milliseconds.
function firstLine(child, pattern, ms, what) {
    return new Promise((resolve, reject) => {
        let buf = '';
        let err = '';
        const timer = setTimeout(() => done(new Error(`${what}: no start within ${ms} ms: ${err}`)), ms);
        const onData = chunk => {
            buf += chunk;
            const m = buf.match(pattern);
            if (m) done(null, m);
        };
        const onErr = chunk => { err += chunk; };
        const onExit = code => done(new Error(`${what} ended (${code}) before it started: ${err}`));
        function done(e, m) {
            clearTimeout(timer);
            child.stdout.off('data', onData);
            child.off('exit', onExit);
            if (e) reject(e); else resolve(m);
        }
        child.stdout.setEncoding('utf8');
        child.stderr.setEncoding('utf8');
        child.stdout.on('data', onData);
        child.stderr.on('data', onErr);
        child.on('exit', onExit);
    });
}

async function stopChild(child) {
    if (child.exitCode !== null || child.signalCode !== null) return;
    const exited = once(child, 'exit');
    child.kill('SIGTERM');
    const timer = setTimeout(() => child.kill('SIGKILL'), 5000);
    await exited;
    clearTimeout(timer);
}

// The local hub on a free loopback port; password turns the program's gate on, expect
// names the file of expected listeners ("none" by default: never the node's own). Gives
// the addresses it printed to open: console (the full page) and root (the hub's root).
export async function startHub({ password = '', expect = 'none' } = {}) {
    const env = { ...process.env, BOT_PASSWORD: password, PORTS_EXPECT: expect };
    const child = track(spawn('timeout', ['-s', 'TERM', String(MAX_LIFE_S), 'python3',
                                          path.join(REPO, 'hub', 'serve.py'), program(),
                                          '--port', '0'],
                              { env, stdio: ['ignore', 'pipe', 'pipe'] }));
    const m = await firstLine(
        child, /hub: http:\/\/127\.0\.0\.1:(\d+)\/\nconsole: (\S+)\nhub root[^:]*: (\S+)\n/,
        15000, 'hub');
    const port = Number(m[1]);
    return { port, base: `http://127.0.0.1:${port}`, console: m[2], root: m[3],
             stop: () => stopChild(child) };
}

// A copy of the Python interpreter under a file name that is markup. It listens on
// TCP at 127.0.0.1, at 127.0.0.2 (a loopback address that a connection to 127.0.0.1
// does not reach), at ::1 (IPv6 only) and at ::ffff:127.0.0.2 (an IPv6 socket on an
// IPv4-mapped address: a "specific" address that still stays on this machine), binds
// UDP on 127.0.0.1 and UDP on ::ffff:127.0.0.1, and prints the ports. One more TCP
// listener on 127.0.0.1 stays until closeGone(): its row then stands for a server that
// has gone since the scan.
export const MARKUP_NAME = '<img src=x onerror=alert(1)>';
export async function startSockets() {
    const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'ports-browser-'));
    const exe = path.join(dir, MARKUP_NAME);
    fs.copyFileSync(fs.realpathSync('/usr/bin/python3'), exe);
    fs.chmodSync(exe, 0o755);
    const code = `
import socket, sys
def tcp(addr, family=socket.AF_INET):
    s = socket.socket(family, socket.SOCK_STREAM)
    if family == socket.AF_INET6:
        s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, addr == "::1")
    s.bind((addr, 0)); s.listen(8)
    return s
t, other, gone = tcp("127.0.0.1"), tcp("127.0.0.2"), tcp("127.0.0.1")
v6, mapped_tcp = tcp("::1", socket.AF_INET6), tcp("::ffff:127.0.0.2", socket.AF_INET6)
u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
u.bind(("127.0.0.1", 0))
m = socket.socket(socket.AF_INET6, socket.SOCK_DGRAM)
m.bind(("::ffff:127.0.0.1", 0))
print("ports", *(s.getsockname()[1] for s in (t, u, m, other, gone, v6, mapped_tcp)), flush=True)
for line in sys.stdin:  # until the test closes the pipe (or ends)
    if line.strip() == "close gone":
        gone.close()
        print("gone", flush=True)
`;
    const child = track(spawn('timeout', ['-s', 'TERM', String(MAX_LIFE_S), exe, '-c', code],
                              { stdio: ['pipe', 'pipe', 'pipe'] }));
    const m = await firstLine(child, /ports (\d+) (\d+) (\d+) (\d+) (\d+) (\d+) (\d+)/, 15000,
                              'socket owner');
    return {
        tcp: Number(m[1]),
        udp: Number(m[2]),
        mapped: Number(m[3]),
        other: Number(m[4]),
        gone: Number(m[5]),
        v6: Number(m[6]),
        mappedTcp: Number(m[7]),
        closeGone: async () => {
            const closed = firstLine(child, /^gone$/m, 15000, 'socket owner');
            child.stdin.write('close gone\n');
            await closed;
        },
        stop: async () => {
            child.stdin.end();
            await stopChild(child);
            fs.rmSync(dir, { recursive: true, force: true });
        },
    };
}

// A plain TCP listener on 127.0.0.1 in a process of its own, until stop().
export async function startListener() {
    const code = 'import socket, sys\ns = socket.create_server(("127.0.0.1", 0))\n' +
                 'print("port", s.getsockname()[1], flush=True)\nsys.stdin.read()\n';
    const child = track(spawn('timeout', ['-s', 'TERM', String(MAX_LIFE_S), 'python3', '-c', code],
                              { stdio: ['pipe', 'pipe', 'pipe'] }));
    const m = await firstLine(child, /port (\d+)/, 15000, 'listener');
    return { port: Number(m[1]), stop: () => { child.stdin.end(); return stopChild(child); } };
}

// Debian's Chromium, headless, with no traffic of its own; Playwright gives every
// launch a fresh profile directory and removes it on close.
export function launchBrowser() {
    const args = ['--disable-background-networking', '--disable-component-update',
                  '--disable-sync', '--no-first-run', '--disable-quic', '--disable-gpu'];
    if (process.getuid && process.getuid() === 0) args.push('--no-sandbox');
    return chromium.launch({ executablePath: '/usr/bin/chromium', headless: true, args,
                             timeout: 60000 });
}

// Opens a page and resolves once its first listeners answer has been applied; gives
// the page and that answer's parsed body (null when the answer was not JSON).
export async function openLoaded(context, url) {
    const page = await context.newPage();
    const answer = page.waitForResponse(r => r.url().includes('action=listeners'));
    await page.goto(url);
    const res = await answer;
    let body = null;
    // A refused answer's body is never read by the page, and asking for it can wait
    // forever; the page reads every successful one.
    if (res.ok()) {
        try {
            body = await res.json();
        } catch {
            body = null;
        }
    }
    if (body) await until(page, () => document.getElementById('kTotal').textContent !== '-');
    return { page, body, status: res.status() };
}

// A JSON answer for route.fulfill.
export const json = body => ({ status: 200, contentType: 'application/json', body });

// A new page whose API requests with an action that routes names are answered by
// routes[action](query) (a fulfil object, or a promise of one); the page itself and
// every other request go to the real hub.
export async function pageWith(context, routes) {
    const page = await context.newPage();
    await page.route(u => u.searchParams.has('action'), async route => {
        const query = new URL(route.request().url()).searchParams;
        const answer = routes[query.get('action')];
        return answer ? route.fulfill(await answer(query)) : route.continue();
    });
    return page;
}

// Waits until fn, run in the page, holds; checks on a timer rather than on animation
// frames, which a page in the background may not get.
export function until(page, fn, arg) {
    return page.waitForFunction(fn, arg, { polling: 50 });
}

// Resolves after the page's next animation frame has run, and with it any render that
// input, a select or a probe result has asked for.
export function frame(page) {
    return page.evaluate(() => new Promise(resolve => requestAnimationFrame(() => resolve())));
}

// The table as the user sees it, once the renders asked for have run: one array of cell
// texts per row.
export async function tableRows(page) {
    await frame(page);
    return page.$$eval('#rows tr', trs => trs.map(tr => [...tr.cells].map(td => td.textContent)));
}
