// The page's render() over a full listener table (1,024 rows) in Chromium, as a user
// types into the filter. Target: under 8 ms per keystroke.
//
// Usage: node bench/page_render.mjs build/plugin_ports [rounds]
//
// The page is the program's own output; the listeners answer is made up here, since
// no machine of ours holds 1,024 listeners. Each keystroke sets the filter text and
// fires the input event the way typing does, then forces style and layout, so the
// figure is what the user waits for: render() plus the browser's work on its result.
import { spawnSync } from 'node:child_process';
import { launchBrowser } from '../tests/browser/support.mjs';

const TARGET_MS = 8;
const ROWS = 1024;

const program = process.argv[2];
const rounds = Number(process.argv[3] || 20);
if (!program) {
    console.error('usage: node bench/page_render.mjs PROGRAM [rounds]');
    process.exit(2);
}

function pageBytes() {
    const r = spawnSync(program, [], { env: { QUERY_STRING: '' }, maxBuffer: 1 << 20 });
    const out = r.stdout;
    const head = out.indexOf('\r\n\r\n');
    if (r.status !== 0 || head < 0) throw new Error(`no page from ${program}`);
    return out.subarray(head + 4);
}

function listeners() {
    const scopes = ['loopback', 'wildcard', 'specific'];
    const addrs = { loopback: '127.0.0.1', wildcard: '0.0.0.0', specific: '192.168.10.24' };
    const rows = [];
    for (let i = 0; i < ROWS; i++) {
        const scope = scopes[i % 3];
        rows.push({ proto: i % 4 === 3 ? 'udp' : 'tcp', bind_addr: addrs[scope],
                    port: 1000 + i * 37 % 60000, scope, pid: 4000 + (i >> 2),
                    comm: `service-${i % 97}.exe` });
    }
    rows.sort((a, b) => a.port - b.port || a.proto.localeCompare(b.proto));
    return JSON.stringify({ ok: true, action: 'listeners', source: 'bench', count: ROWS,
                            summary: { tcp: 768, udp: 256, loopback: 342, wildcard: 341,
                                       specific: 341 },
                            listeners: rows });
}

// What a user types and then deletes again: each prefix is one keystroke. The empty
// text and "1" keep almost every row, the longer texts fewer.
const TYPED = ['tcp 1', 'service-4', '127.0.0.1'];

const browser = await launchBrowser();
try {
    const page = await browser.newPage();
    const doc = pageBytes();
    const body = listeners();
    await page.route('http://ports.bench/**', route => {
        const url = new URL(route.request().url());
        if (url.searchParams.get('action') === 'listeners') {
            return route.fulfill({ status: 200, contentType: 'application/json', body });
        }
        return route.fulfill({ status: 200, contentType: 'text/html; charset=utf-8', body: doc });
    });
    await page.goto('http://ports.bench/plugin_ports');
    await page.waitForFunction(n => document.querySelectorAll('#rows tr').length === n, ROWS,
                               { polling: 50 });

    const times = await page.evaluate(({ typed, rounds }) => {
        const q = document.getElementById('q');
        const out = { render: [], frame: [], full: [], changed: [] };
        const rows = document.getElementById('rows');
        const key = text => {
            const before = rows.firstElementChild;
            const t0 = performance.now();
            q.value = text;
            q.dispatchEvent(new Event('input', { bubbles: true })); // runs render()
            const t1 = performance.now();
            void document.body.offsetHeight; // style and layout of the new rows
            const t2 = performance.now();
            out.render.push(t1 - t0);
            out.frame.push(t2 - t0);
            if (text === '') out.full.push(t1 - t0);
            // A keystroke that leaves the same rows does not rebuild the table.
            if (rows.firstElementChild !== before) out.changed.push(t1 - t0);
        };
        for (let r = 0; r < rounds; r++) {
            for (const word of typed) {
                for (let i = 1; i <= word.length; i++) key(word.slice(0, i));
                for (let i = word.length - 1; i >= 0; i--) key(word.slice(0, i));
            }
        }
        return out;
    }, { typed: TYPED, rounds });

    const stat = xs => {
        const s = [...xs].sort((a, b) => a - b);
        const at = p => s[Math.min(s.length - 1, Math.floor(p * s.length))];
        return { n: s.length, median: at(0.5), p95: at(0.95) };
    };
    const line = (name, xs) => {
        const s = stat(xs);
        return `${name}: median ${s.median.toFixed(2)} ms (${(s.median / TARGET_MS).toFixed(2)} of ` +
               `target), p95 ${s.p95.toFixed(2)} ms (${(s.p95 / TARGET_MS).toFixed(2)}), ` +
               `${s.n} keystrokes`;
    };
    console.log(`page render() over ${ROWS} rows as the filter is typed; target ${TARGET_MS} ms`);
    console.log(line('render(), every keystroke        ', times.render));
    console.log(line('render(), keystrokes that change the rows', times.changed));
    console.log(line('render(), all 1,024 rows shown   ', times.full));
    console.log(line('render() + style and layout      ', times.frame));
} finally {
    await browser.close();
}
