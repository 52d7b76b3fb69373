// Answers the real program never gives: a listeners body without fields, a probe
// body with ok false, bodies that are no JSON. Only these requests are intercepted;
// the page itself comes from the real program behind the real hub.
import assert from 'node:assert/strict';
import { after, before, describe, test } from 'node:test';
import { frame, json, launchBrowser, pageWith as pageWithAnswers, startHub, tableRows,
         until } from './support.mjs';

let hub, browser, context;

before(async () => {
    [hub, browser] = await Promise.all([startHub(), launchBrowser()]);
    context = await browser.newContext();
    context.setDefaultTimeout(10000);
});

after(async () => {
    await context?.close();
    await browser?.close();
    await hub?.stop();
});

const ROW = { proto: 'tcp', bind_addr: '127.0.0.1', port: 4321, scope: 'loopback', pid: 0,
              comm: '' };
const LISTENERS = JSON.stringify({ ok: true, action: 'listeners', source: 'test', count: 1,
                                   summary: { tcp: 1, udp: 0, loopback: 1, wildcard: 0 },
                                   listeners: [ROW] });

const pageWith = routes => pageWithAnswers(context, routes);

test('a listeners body without fields: empty table, tiles 0, pill "local"', async () => {
    const page = await pageWith({ listeners: () => json('{}') });
    await page.goto(`${hub.base}/plugin_ports`);
    await until(page, () => document.getElementById('kTotal').textContent !== '-');
    const tiles = await page.$$eval('.kpi .v', els => els.map(e => e.textContent));
    // No policy: the tile of unexpected rows stays hidden.
    assert.deepEqual(tiles, ['0', '0', '0', '0', '0', '-']);
    assert.equal(await page.textContent('#srcPill'), 'source: local');
    assert.equal(await page.locator('#rows tr').count(), 0);
    assert.equal(await page.isVisible('#empty'), true);
    await page.close();
});

test('pid 0 and an empty name show "-"', async () => {
    const page = await pageWith({ listeners: () => json(LISTENERS) });
    await page.goto(`${hub.base}/plugin_ports`);
    await until(page, () => document.getElementById('kTotal').textContent === '1');
    const cells = await page.$$eval('#rows td', tds => tds.map(td => td.textContent));
    // A plain answer has no user and no connection count either.
    assert.deepEqual(cells, ['tcp', '127.0.0.1', '4321', 'loopback', '-', '-', '-', '-', '- Probe']);
    await page.close();
});

test('load failures leave tiles, pill and table as they were', async () => {
    let answer = () => json(LISTENERS);
    const page = await pageWith({ listeners: () => answer() });
    await page.goto(`${hub.base}/plugin_ports`);
    await until(page, () => document.getElementById('kTotal').textContent === '1');
    for (const [next, want] of [[{ status: 503, body: '' }, 'Load failed: HTTP 503'],
                                [json('not json'), /^Load failed: .+/]]) {
        answer = () => next;
        await page.click('#rfBtn');
        await until(page, () => document.getElementById('pOut').textContent.startsWith('Load'));
        const out = await page.textContent('#pOut');
        if (typeof want === 'string') assert.equal(out, want); else assert.match(out, want);
        assert.equal(await page.textContent('#kTotal'), '1');
        assert.equal(await page.textContent('#srcPill'), 'source: test');
        assert.equal(await page.locator('#rows tr').count(), 1);
        await page.evaluate(() => { document.getElementById('pOut').textContent = ''; });
    }
    await page.close();
});

test('a probe body with ok false shows its error and records nothing', async () => {
    let probe = () => json('{"ok":false,"error":"port must be 1..65535"}');
    const page = await pageWith({ listeners: () => json(LISTENERS), probe: () => probe() });
    await page.goto(`${hub.base}/plugin_ports`);
    await until(page, () => document.getElementById('kTotal').textContent === '1');
    const run = async () => {
        await page.click('#rows button[data-p]');
        await until(page, () => !document.getElementById('pOut').textContent.startsWith('Probing'));
        await frame(page);
        return page.textContent('#pOut');
    };
    assert.equal(await run(), 'port must be 1..65535');
    probe = () => json('{"ok":false}');
    assert.equal(await run(), 'probe failed');
    assert.equal(await page.textContent('#rows .rt'), '-');

    // A good answer without the HTTP part ends the line after the connect time.
    probe = () => json('{"ok":true,"open":true,"refused":false,"connect_ms":3,"http_tried":false}');
    assert.equal(await run(), '127.0.0.1:4321 -> open (connect 3 ms)');
    assert.equal(await page.textContent('#rows .rt'), 'open 3ms');
    probe = () => json('{"ok":true,"open":true,"refused":false,"connect_ms":1,"http_tried":true,' +
                       '"http_ok":false,"http_status":0,"http_ms":1500}');
    assert.equal(await run(), '127.0.0.1:4321 -> open (connect 1 ms); HTTP no response in 1500 ms');
    // A failed answer afterwards keeps the recorded state.
    probe = () => ({ status: 500, body: '' });
    assert.equal(await run(), 'Probe failed: HTTP 500');
    assert.equal(await page.textContent('#rows .rt'), 'open 1ms');
    // Neither open nor refused: the probe could not tell, which is no "closed".
    probe = () => json('{"ok":true,"open":false,"refused":false,"connect_ms":2}');
    assert.equal(await run(), '127.0.0.1:4321 -> error (connect 2 ms)');
    assert.equal(await page.getAttribute('#rows .rt', 'class'), 'rt e');
    assert.equal(await page.textContent('#rows .rt'), 'error');
    probe = () => json('{"ok":true,"open":false,"refused":true,"connect_ms":2}');
    assert.equal(await run(), '127.0.0.1:4321 -> closed (connect 2 ms)');
    assert.equal(await page.textContent('#rows .rt'), 'refused');
    await page.close();
});

test('a probe of a port without a row is kept for the row a later scan brings', async () => {
    let rows = [];
    const page = await pageWith({
        listeners: () => json(JSON.stringify({ listeners: rows })),
        probe: () => json('{"ok":true,"open":true,"refused":false,"connect_ms":5,"http_tried":false}'),
    });
    await page.goto(`${hub.base}/plugin_ports`);
    await until(page, () => document.getElementById('kTotal').textContent === '0');
    await page.fill('#pPort', '4321');
    await page.click('#pBtn');
    await until(page, () => / -> /.test(document.getElementById('pOut').textContent));
    // The TCP rows that a probe of 127.0.0.1 tells about show it; the UDP row of the
    // port, and the row on "::", which is probed at ::1, do not.
    rows = [ROW, { ...ROW, proto: 'udp' }, { ...ROW, bind_addr: '::' },
            { ...ROW, bind_addr: '0.0.0.0' }];
    await page.click('#rfBtn');
    await until(page, () => document.querySelectorAll('#rows tr').length === 4);
    assert.deepEqual(await page.$$eval('#rows .rt', els => els.map(e => e.textContent)),
                     ['open 5ms', '-', '-', 'open 5ms']);
    await page.close();
});

test('every server value is escaped in the row markup', async () => {
    const evil = '"><img src=x onerror=alert(1)>&\'';
    const detail = { service: evil, user: evil, container: evil };
    // The second row is a TCP row, so its button carries the port and the address.
    let body = JSON.stringify({ listeners: [
        { proto: evil, bind_addr: evil, port: evil, scope: evil, pid: 1, comm: evil, ...detail },
        { proto: 'tcp', bind_addr: '127.0.0.1', port: evil, scope: evil, pid: 1, comm: evil,
          ...detail, conns: 2, queue: 3, backlog: 4 }], unreadable: [evil] });
    const page = await pageWith({ listeners: () => json(body) });
    await page.goto(`${hub.base}/plugin_ports`);
    await until(page, () => document.querySelectorAll('#rows tr').length === 2);
    const cells = await page.$$eval('#rows td', tds => tds.map(td => td.textContent));
    const process = `${evil} - ${evil} ${evil}`;
    assert.deepEqual(cells, [evil, evil, evil, evil, '1', process, evil, '-', '-',
                             'tcp', '127.0.0.1', evil, evil, '1', process, evil, '2 3/4',
                             '- Probe']);
    assert.equal(await page.locator('#rows img').count(), 0);
    assert.equal(await page.getAttribute('#rows button[data-p]', 'data-p'), evil);
    assert.equal(await page.getAttribute('#rows button[data-pid]', 'data-k'), `${evil} ${evil} ${evil}`);
    assert.equal(await page.getAttribute('#rows .tag', 'class'), 'tag t-sp');
    assert.equal(await page.textContent('#unr'), `Lists that could not be read: ${evil}`);
    // Owners hidden from the hub's account are said as such, apart from the lists.
    body = JSON.stringify({ listeners: [ROW], unreadable: ['udp6', 'owners'] });
    await page.click('#rfBtn');
    await until(page, () => document.querySelector('#unr').textContent.includes('hidden'));
    assert.equal(await page.textContent('#unr'), 'Lists that could not be read: udp6. Some owners ' +
                 'are hidden from the hub\'s account: their rows show no process.');
    await page.close();
});

test('the file of expected listeners: rows no rule expects, rules nothing matches', async () => {
    const evil = '<img src=x onerror=alert(1)>';
    const row = (port, expected) => ({ ...ROW, port, expected });
    // Row 82 is of the program's own namespace and could not be judged (its owner was
    // hidden): neither unexpected nor the danger colour; row 81 is another namespace's.
    let body = { listeners: [row(22, true), row(80, false), row(81, null),
                             { ...row(82, null), netns: 0 }],
                 policy: { path: '/etc/ports/expected', rules: 2,
                           errors: [{ line: 4, error: 'bad port' }, { line: 0, error: evil }] },
                 missing: [{ proto: 'tcp', bind_addr: evil, port: 443, line: 3 }],
                 unjudged: [{ proto: 'tcp', bind_addr: '0.0.0.0', port: 82, line: 5 }] };
    const page = await pageWith({ listeners: () => json(JSON.stringify(body)) });
    await page.goto(`${hub.base}/plugin_ports`);
    await until(page, () => document.querySelectorAll('#rows tr').length === 4);
    assert.deepEqual(await page.$$eval('#rows tr', trs => trs.map(tr => [tr.className,
                                                                         tr.cells[0].textContent])),
                     [['', 'tcp'], ['unx', 'tcp unexpected'], ['', 'tcp'], ['', 'tcp not judged']]);
    assert.equal(await page.textContent('#kUnx'), '1');
    assert.equal(await page.isVisible('#kUnx'), true);
    assert.deepEqual(await page.$$eval('#missList li', els => els.map(e => [e.className, e.textContent])),
                     [['', `Not listening: tcp ${evil} 443, line 3`],
                      ['nj', 'Not judged: tcp 0.0.0.0 82, line 5 (a fact it names could not be read)']]);
    assert.equal(await page.textContent('#polErr'),
                 `Expected listeners (/etc/ports/expected): line 4: bad port; ${evil}`);
    assert.equal(await page.locator('img').count(), 0);
    // The filter finds the rows no rule expects by that word.
    await page.fill('#q', 'unexpected');
    assert.deepEqual((await tableRows(page)).map(r => r[2]), ['80']);
    await page.fill('#q', '');

    // The next load: the unexpected row is gone, which is judged no more; without a
    // policy nothing of it shows.
    body = { listeners: [row(22, true)], policy: { path: 'x', rules: 1, errors: [] }, missing: [] };
    await page.click('#rfBtn');
    await until(page, () => document.querySelector('#rows tr.gone') !== null);
    assert.equal(await page.locator('#rows .mk.ux').count(), 0);
    assert.equal(await page.textContent('#kUnx'), '0');
    assert.equal(await page.isVisible('#missList'), false);
    assert.equal(await page.isVisible('#polErr'), false);
    body = { listeners: [row(22, null)], policy: null, missing: [] };
    await page.click('#rfBtn');
    await until(page, () => document.querySelectorAll('#rows tr').length === 1);
    assert.equal(await page.isVisible('#kUnxT'), false);
    await page.close();
});

describe('probe buttons and states', () => {
    // One port, every kind of row: every TCP row is probed at its own address, a
    // wildcard row at the loopback address of its family; UDP rows are not probed, nor
    // a row the detail answer says the program would not probe ("probe": false).
    const row = (proto, bind_addr, scope, more) => ({ proto, bind_addr, port: 4321, scope, pid: 7,
                                                      comm: 'x', ...more });
    const ROWS = [row('tcp', '127.0.0.1', 'loopback'), row('tcp', '0.0.0.0', 'wildcard'),
                  row('tcp', '::', 'wildcard'), row('tcp', '127.0.0.2', 'loopback'),
                  row('tcp', '::1', 'loopback'), row('tcp', '192.168.1.10', 'specific'),
                  row('tcp', '::ffff:127.0.0.1', 'specific'), row('udp', '127.0.0.1', 'loopback'),
                  row('udp', '0.0.0.0', 'wildcard'), row('udp', '::', 'wildcard'),
                  row('udp', '::1', 'loopback'), row('TCP', '127.0.0.1', 'loopback'),
                  row('tcp', 'unknown', 'specific'),
                  row('tcp', '192.168.1.11', 'specific', { probe: false }),
                  row('tcp', '192.168.1.12', 'specific', { probe: true })];
    const PROBED_AT = { 'tcp 127.0.0.1': '127.0.0.1', 'tcp 0.0.0.0': '127.0.0.1', 'tcp ::': '::1',
                        'tcp 127.0.0.2': '127.0.0.2', 'tcp ::1': '::1',
                        'tcp 192.168.1.10': '192.168.1.10',
                        'tcp ::ffff:127.0.0.1': '::ffff:127.0.0.1',
                        'tcp 192.168.1.12': '192.168.1.12' };
    const tagOf = scope => ({ loopback: 't-lo', wildcard: 't-wi' })[scope] || 't-sp';
    // states: probe address -> state markup of the rows probed there.
    const markup = states => ROWS.map(r => {
        const addr = PROBED_AT[`${r.proto} ${r.bind_addr}`];
        const state = states[addr] || '<span class="rt n">-</span>';
        const cell = addr
            ? `${state} <button class="gh sm" data-a="${addr}" data-p="4321">Probe</button>`
            : '<span class="rt n">-</span>';
        return `<tr><td class="mo">${r.proto}</td><td class="mo">${r.bind_addr}</td>` +
               `<td class="mo">4321</td><td><span class="tag ${tagOf(r.scope)}">${r.scope}` +
               `</span></td><td class="mo"><button class="pid" data-pid="7" ` +
               `data-k="${r.proto} ${r.bind_addr} 4321" aria-expanded="false">7</button></td>` +
               `<td>x</td><td>-</td><td class="mo">-</td>` +
               `<td>${cell}</td></tr>`;
    }).join('');

    test('each row before and after probes of its address and port, exactly', async () => {
        let probe;
        const sent = [];
        const page = await pageWith({ listeners: () => json(JSON.stringify({ listeners: ROWS })),
                                      probe: q => { sent.push(q.toString()); return json(probe); } });
        await page.goto(`${hub.base}/plugin_ports`);
        await until(page, () => document.querySelectorAll('#rows tr').length === 15);
        const table = async () => {
            await frame(page);
            return page.innerHTML('#rows');
        };
        assert.equal(await table(), markup({}));
        let state;
        for (const [answer, want] of [
            ['"open":true,"refused":false,"connect_ms":3', '<span class="rt g">open 3ms</span>'],
            ['"open":false,"refused":true,"connect_ms":0', '<span class="rt r">refused</span>'],
            ['"open":false,"refused":false,"connect_ms":2000', '<span class="rt e">error</span>'],
        ]) {
            probe = `{"ok":true,${answer},"http_tried":false}`;
            await page.fill('#pPort', '4321');
            await page.click('#pBtn');
            await until(page, () => / -> /.test(document.getElementById('pOut').textContent));
            state = want;
            assert.equal(await table(), markup({ '127.0.0.1': state }));
            await page.evaluate(() => { document.getElementById('pOut').textContent = ''; });
        }
        // The card probes 127.0.0.1 without naming it; a row on "::" names ::1.
        assert.equal(sent.at(-1), 'action=probe&port=4321');
        probe = '{"ok":true,"open":true,"refused":false,"connect_ms":9,"http_tried":false}';
        await page.click('#rows tr:nth-child(3) button[data-p]');
        await until(page, () => / -> /.test(document.getElementById('pOut').textContent));
        assert.equal(sent.at(-1), 'action=probe&port=4321&addr=%3A%3A1');
        assert.equal(await page.textContent('#pOut'), '[::1]:4321 -> open (connect 9 ms)');
        assert.equal(await table(), markup({ '127.0.0.1': state,
                                             '::1': '<span class="rt g">open 9ms</span>' }));
        await page.close();
    });
});

describe('focus', () => {
    test('focus stays on the probed row\'s button while the rows around it change', async () => {
        // Three rows of one port: data-p alone cannot tell them apart, and the last two
        // differ only by their process (two sockets sharing the port).
        const other = { ...ROW, bind_addr: '0.0.0.0', scope: 'wildcard' };
        const first = { ...ROW, pid: 1 };
        const second = { ...ROW, pid: 2 };
        let rows = [other, first, second];
        let answer;
        const held = new Promise(resolve => { answer = resolve; });
        const page = await pageWith({
            listeners: () => json(JSON.stringify({ listeners: rows })),
            probe: async () => {
                await held;
                return json('{"ok":true,"open":true,"refused":false,"connect_ms":4,' +
                            '"http_tried":false}');
            },
        });
        await page.goto(`${hub.base}/plugin_ports`);
        await until(page, () => document.querySelectorAll('#rows tr').length === 3);
        const focused = () => page.evaluate(() => {
            const el = document.activeElement;
            const tr = el.closest('#rows tr');
            return tr ? [el.tagName, ...[...tr.cells].slice(0, 5).map(td => td.textContent)]
                      : [el.tagName];
        });
        const WANT = ['BUTTON', 'tcp', '127.0.0.1', '4321', 'loopback', '2'];
        await page.locator('#rows tr:nth-child(3) button[data-p]').focus();
        const sent = page.waitForRequest(r => r.url().includes('action=probe'));
        await page.keyboard.press('Enter');
        await sent;

        // A rescan meanwhile puts another row in front of it.
        rows = [{ ...ROW, port: 80 }, other, first, second];
        await page.evaluate(() => document.getElementById('rfBtn').click());
        await until(page, () => document.querySelectorAll('#rows tr').length === 4);
        assert.deepEqual(await focused(), WANT);

        answer();
        await until(page, () => / -> open/.test(document.getElementById('pOut').textContent));
        await frame(page);
        assert.deepEqual(await page.$$eval('#rows .rt', els => els.map(e => e.textContent)),
                         ['-', 'open 4ms', 'open 4ms', 'open 4ms']);
        assert.deepEqual(await focused(), WANT);
        await page.close();
    });
});

describe('contrast', () => {
    // WCAG 2: relative luminance of sRGB colours, and the ratio of two.
    const luminance = rgb => {
        const [r, g, b] = rgb.map(c => {
            const s = c / 255;
            return s <= 0.04045 ? s / 12.92 : ((s + 0.055) / 1.055) ** 2.4;
        });
        return 0.2126 * r + 0.7152 * g + 0.0722 * b;
    };
    const ratio = (a, b) => {
        const [hi, lo] = [luminance(a), luminance(b)].sort((x, y) => y - x);
        return (hi + 0.05) / (lo + 0.05);
    };
    // Paints layers (r, g, b, alpha), the outermost first, over a white canvas.
    const paint = layers => layers.reduce(
        (under, [r, g, b, a]) => [r, g, b].map((c, i) => a * c + (1 - a) * under[i]),
        [255, 255, 255]);

    // Every text of the page, by what draws it.
    const TEXTS = {
        title: 'h1.title', 'back link': '.top > a', pill: '#srcPill', 'ghost button': '#thBtn',
        button: '#rfBtn', 'card heading': '.card h2', 'tile label': '.kpi .k',
        'tile value': '.kpi .v', input: '#q', select: '#sc', 'column heading': 'th',
        cell: '#rows td.mo', 'loopback tag': '.t-lo', 'wildcard tag': '.t-wi',
        'specific tag': '.t-sp', open: '.rt.g', refused: '.rt.r', 'not probed': '.rt.n',
        'row button': '#rows button[data-p]', 'pid button': '#rows button[data-pid]',
        'conns button': '#rows button[data-cn]',
        'probe line': '#pOut', 'probe note': '#pBtn + span',
        'empty line': '#empty',
        'changes pill': '#chPill', 'unreadable line': '#unr', 'auto refresh label': '.lb',
        'auto refresh': '#arSel', 'export button': '#exBtn', 'sort heading': 'th .sb',
        'sorted heading': 'th[aria-sort] .sb', 'new mark': 'tr.new .mk',
        'gone mark': 'tr.gone .mk', 'gone row': 'tr.gone td:nth-child(2)',
        'container tag': '.t-ct', queue: '.qu:not(.full)', 'full queue': '.qu.full',
        error: '.rt.e', 'unexpected mark': 'tr.unx .mk.ux', 'missing rule': '#missList li',
        'policy error': '#polErr', 'unexpected tile': '#kUnx',
        'panel label': '.pf dt', 'panel value': '.pf dd',
        'panel note': '.pf .nr', 'command line': '.pf .cl', 'deleted tag': '.t-dl',
    };
    // Kept as they are in both themes: the fixed white on the accent of the solid
    // buttons (3.65:1), and the dark palette's accent on its specific tag (4.12:1).
    const KEPT = { dark: ['button', 'specific tag'], light: ['button'] };

    const measure = (page, texts) => page.evaluate(texts => {
        const rgba = s => {
            const v = s.match(/[\d.]+/g).map(Number);
            return v.length === 3 ? [...v, 1] : v;
        };
        const out = {};
        for (const [name, sel] of Object.entries(texts)) {
            const el = document.querySelector(sel);
            const layers = [];
            for (let e = el; e; e = e.parentElement) layers.unshift(rgba(getComputedStyle(e).backgroundColor));
            out[name] = { fg: rgba(getComputedStyle(el).color), layers };
        }
        return out;
    }, texts);

    // Ratios of each text against what it is drawn on, in the theme the page shows.
    const ratios = async (page, texts) => Object.fromEntries(Object.entries(await measure(page, texts))
        .map(([name, { fg, layers }]) => [name, ratio(paint([...layers, fg]), paint(layers))]));

    test('every text reads at 4.5:1 or more against what it is drawn on, in both themes',
         async t => {
        const at = (port, more) => ({ ...ROW, port, ...more });
        const first = [at(4321, { conns: 2, queue: 1, backlog: 8, user: 'www-data', pid: 7 }),
                       at(4322, { bind_addr: '0.0.0.0', scope: 'wildcard' }),
                       at(4323, { bind_addr: '::', scope: 'wildcard' }),
                       at(4324, { bind_addr: '192.168.1.10', scope: 'specific' }),
                       at(4325)];
        // The second load: one row new (its queue full, in a container), one gone.
        // New and unexpected at once: both marks.
        const second = [at(4320, { conns: 0, queue: 4, backlog: 4, container: 'web',
                                   expected: false }),
                        ...first.slice(0, 4)];
        let rows = first;
        let failed = false;
        const answers = { 4321: '"open":true,"refused":false', 4322: '"open":false,"refused":true',
                          4323: '"open":false,"refused":false' };
        const page = await pageWith({
            listeners: () => json(failed ? '{"ok":false,"error":"socket tables unreadable"}'
                                         : JSON.stringify({ listeners: rows, unreadable: ['udp6'],
                                                            policy: { path: 'p', rules: 1,
                                                                      errors: [{ line: 2,
                                                                                 error: 'bad port' }] },
                                                            missing: [{ proto: 'tcp', bind_addr: '*',
                                                                        port: 1, line: 1 }] })),
            probe: q => json(`{"ok":true,${answers[q.get('port')]},"connect_ms":1,"http_tried":false}`),
            process: () => json(JSON.stringify({ ok: true, pid: 7, exe: '/x', exe_deleted: true,
                                                 cmdline: ['x'], cwd: null, unreadable: ['cwd'] })),
        });
        await page.goto(`${hub.base}/plugin_ports`);
        await until(page, () => document.querySelectorAll('#rows tr').length === 5);
        rows = second;
        await page.click('#rfBtn');
        await until(page, () => document.querySelectorAll('#rows tr').length === 6);
        for (const port of Object.keys(answers)) {
            await page.click(`#rows button[data-p="${port}"]`);
            await until(page, () => / -> /.test(document.getElementById('pOut').textContent));
            await page.evaluate(() => { document.getElementById('pOut').textContent = 'x'; });
        }
        await page.click('th button[data-c="port"]');
        await until(page, () => document.querySelectorAll('#rows .rt.r, #rows .rt.e').length === 2);
        await page.click('#rows button[data-pid]');
        await until(page, () => document.querySelector('.t-dl'));

        const seen = {};
        for (const theme of ['dark', 'light']) {
            if (theme === 'light') await page.click('#thBtn');
            seen[theme] = await measure(page, TEXTS);
            const got = await ratios(page, TEXTS);
            t.diagnostic(`${theme}: ` + Object.entries(got)
                .map(([name, r]) => `${name} ${r.toFixed(2)}`).join(', '));
            for (const [name, r] of Object.entries(got)) {
                if (KEPT[theme].includes(name)) continue;
                assert.ok(r >= 4.5, `${theme} ${name}: ${r.toFixed(2)}:1`);
            }
        }
        // The dark theme draws its tags, states and back link in the accents themselves.
        const accent = { 'back link': [10, 132, 255], 'specific tag': [10, 132, 255],
                         'loopback tag': [48, 209, 88], open: [48, 209, 88],
                         'wildcard tag': [255, 214, 10], refused: [255, 69, 58] };
        for (const [name, rgb] of Object.entries(accent)) {
            assert.deepEqual(seen.dark[name].fg, [...rgb, 1], name);
        }

        // A phone: every text of the cards again, and the labels the cards add, in both
        // themes (the page is light now).
        await page.setViewportSize({ width: 390, height: 844 });
        const labels = () => page.evaluate(() => {
            const rgba = s => {
                const v = s.match(/[\d.]+/g).map(Number);
                return v.length === 3 ? [...v, 1] : v;
            };
            const td = document.querySelector('#rows tr:not(.gone) td:nth-child(5)');
            const layers = [];
            for (let e = td; e; e = e.parentElement) layers.unshift(rgba(getComputedStyle(e).backgroundColor));
            return { fg: rgba(getComputedStyle(td, '::before').color), layers,
                     text: getComputedStyle(td, '::before').content };
        });
        for (const theme of ['light', 'dark']) {
            if (theme === 'dark') await page.click('#thBtn');
            const got = await ratios(page, TEXTS);
            for (const [name, r] of Object.entries(got)) {
                if (KEPT[theme].includes(name)) continue;
                assert.ok(r >= 4.5, `390 px ${theme} ${name}: ${r.toFixed(2)}:1`);
            }
            const { fg, layers, text } = await labels();
            assert.equal(text, '"PID "');
            const r = ratio(paint([...layers, fg]), paint(layers));
            assert.ok(r >= 4.5, `390 px ${theme} card label: ${r.toFixed(2)}:1`);
        }
        await page.click('#thBtn');
        await page.setViewportSize({ width: 1280, height: 720 });

        // A list that could not be read: its error in place of the rows.
        failed = true;
        await page.click('#rfBtn');
        await until(page, () => document.getElementById('lsErr').textContent !== '');
        for (const theme of ['light', 'dark']) {
            if (theme === 'dark') await page.click('#thBtn');
            const r = (await ratios(page, { 'list error': '#lsErr' }))['list error'];
            assert.ok(r >= 4.5, `${theme} list error: ${r.toFixed(2)}:1`);
        }
        await page.close();
});
});
