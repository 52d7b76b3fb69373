// What the console tells the operator, over answers made up here (the page itself
// comes from the real program behind the real hub): the detail columns, what changed
// between loads, auto refresh, sorting and the CSV export.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import { after, before, describe, test } from 'node:test';
import { frame, json, launchBrowser, pageWith, startHub, until } from './support.mjs';

let hub, browser, context;

before(async () => {
    [hub, browser] = await Promise.all([startHub(), launchBrowser()]);
    context = await browser.newContext({ timezoneId: 'UTC' });
    context.setDefaultTimeout(10000);
});

after(async () => {
    await context?.close();
    await browser?.close();
    await hub?.stop();
});

const listeners = (rows, more = {}) => json(JSON.stringify({ ok: true, listeners: rows, ...more }));
const row = (port, more = {}) => ({ proto: 'tcp', bind_addr: '127.0.0.1', port, scope: 'loopback',
                                    pid: 7, comm: 'x', ...more });
const rowCount = (page, n) => until(page, k => document.querySelectorAll('#rows tr').length === k, n);
// Runs the render that input has asked for; under a fake clock, by moving it on.
const rendered = page => (page.fakeClock ? page.clock.runFor(20) : frame(page));
const cells = async page => {
    await rendered(page);
    return page.$$eval('#rows tr', trs => trs.map(tr => [...tr.cells].map(td => td.textContent)));
};
const column = async (page, i) => (await cells(page)).map(c => c[i]);

// A page over answers that the test changes as it goes: the listeners answer is
// answer.body, or else answer.rows with answer.more; it waits for answer.hold when
// there is one. Probes are answered by answer.probe(query). A fake clock belongs to a
// whole browser context, so a page with one gets a context of its own: with clock
// 'paused' the page's timers run only as the test moves its clock on; with a Date,
// the page reads that time while its timers run as usual.
async function openWith(answer, { clock = null, query = '' } = {}) {
    let loads = 0;
    const ctx = clock ? await browser.newContext({ timezoneId: 'UTC' }) : context;
    const page = await pageWith(ctx, {
        probe: q => json(answer.probe(q)),
        process: q => json(answer.process(q)),
        peers: q => json(answer.peers(q)),
        listeners: async () => {
            loads++;
            if (answer.hold) await answer.hold;
            return answer.body ? json(answer.body) : listeners(answer.rows, answer.more);
        },
    });
    if (clock === 'paused') {
        await page.clock.install({ time: new Date('2026-12-08T02:38:00Z') });
        await page.clock.pauseAt(new Date('2026-12-08T02:38:01Z'));
    } else if (clock) {
        await page.clock.setFixedTime(clock);
    }
    page.fakeClock = clock === 'paused';
    await page.goto(`${hub.base}/plugin_ports${query}`);
    // The number of listeners requests so far, once it has reached n (or 5 s passed).
    const waitLoads = async n => {
        for (let i = 0; i < 250 && loads < n; i++) await new Promise(r => setTimeout(r, 20));
        return loads;
    };
    const close = () => (clock ? ctx.close() : page.close());
    return { page, loads: () => loads, waitLoads, close };
}

describe('detail columns', () => {
    const DETAIL = [
        row(53, { proto: 'udp', bind_addr: '0.0.0.0', scope: 'wildcard', pid: 5, comm: 'dnsmasq',
                  service: 'dnsmasq.service', user: 'dnsmasq', container: '', holders: 1,
                  queue: -1, backlog: -1, conns: -1, v6only: null }),
        row(80, { bind_addr: '0.0.0.0', scope: 'wildcard', pid: 4, comm: 'svchost.exe',
                  service: 'Dnscache', user: 'NETWORK SERVICE', container: '', holders: 1,
                  queue: 0, backlog: 128, conns: 3, v6only: null }),
        row(8080, { pid: 11, comm: 'nginx', service: '', user: 'www-data', container: 'web',
                    holders: 2, queue: 2, backlog: 511, conns: 7, v6only: null }),
        row(9000, { bind_addr: '::1', pid: 12, comm: 'app', service: '', user: 'app',
                    container: '', holders: 1, queue: 4, backlog: 4, conns: 4, v6only: true }),
        // A plain answer's row, without the detail keys.
        row(5432, { pid: 0, comm: '' }),
    ];
    const pid = (n, k) => `<button class="pid" data-pid="${n}" data-k="${k}" ` +
                          `aria-expanded="false">${n}</button>`;
    const cell = (addr, port) =>
        `<span class="rt n">-</span> <button class="gh sm" data-a="${addr}" data-p="${port}">` +
        'Probe</button>';

    // A count of connections is the button of the connections panel.
    const cn = (port, addr, n) =>
        `<button class="pid" data-cn="${port}" data-ca="${addr}" data-k="tcp ${addr} ${port}" ` +
        `aria-expanded="false" title="Who is connected">${n}</button>`;

    test('process and service, container tag, user, connections and the accept queue',
         async () => {
        const { page } = await openWith({ rows: DETAIL });
        await rowCount(page, 5);
        assert.equal(await page.innerHTML('#rows'), [
            '<tr><td class="mo">udp</td><td class="mo">0.0.0.0</td><td class="mo">53</td>' +
            `<td><span class="tag t-wi">wildcard</span></td><td class="mo">${pid(5, 'udp 0.0.0.0 53')}</td>` +
            '<td>dnsmasq - dnsmasq.service</td><td>dnsmasq</td><td class="mo">-</td>' +
            '<td><span class="rt n">-</span></td></tr>',
            '<tr><td class="mo">tcp</td><td class="mo">0.0.0.0</td><td class="mo">80</td>' +
            `<td><span class="tag t-wi">wildcard</span></td><td class="mo">${pid(4, 'tcp 0.0.0.0 80')}</td>` +
            `<td>svchost.exe - Dnscache</td><td>NETWORK SERVICE</td><td class="mo">${cn(80, '0.0.0.0', 3)}</td>` +
            `<td>${cell('127.0.0.1', 80)}</td></tr>`,
            '<tr><td class="mo">tcp</td><td class="mo">127.0.0.1</td><td class="mo">8080</td>' +
            '<td><span class="tag t-lo">loopback</span></td>' +
            `<td class="mo">${pid(11, 'tcp 127.0.0.1 8080')}</td>` +
            '<td>nginx <span class="tag t-ct">web</span></td><td>www-data</td>' +
            `<td class="mo">${cn(8080, '127.0.0.1', 7)} <span class="qu">2/511</span></td>` +
            `<td>${cell('127.0.0.1', 8080)}</td></tr>`,
            '<tr><td class="mo">tcp</td><td class="mo">::1</td><td class="mo">9000</td>' +
            `<td><span class="tag t-lo">loopback</span></td><td class="mo">${pid(12, 'tcp ::1 9000')}</td>` +
            `<td>app</td><td>app</td><td class="mo">${cn(9000, '::1', 4)} <span class="qu full">4/4</span></td>` +
            `<td>${cell('::1', 9000)}</td></tr>`,
            '<tr><td class="mo">tcp</td><td class="mo">127.0.0.1</td><td class="mo">5432</td>' +
            '<td><span class="tag t-lo">loopback</span></td><td class="mo">-</td><td>-</td>' +
            `<td>-</td><td class="mo">-</td><td>${cell('127.0.0.1', 5432)}</td></tr>`,
        ].join(''));
        assert.equal(await page.isHidden('#unr'), true);
        await page.close();
    });

    test('the filter text also finds service, user and container, each on its own',
         async () => {
        const { page } = await openWith({ rows: DETAIL });
        await rowCount(page, 5);
        for (const [text, ports] of [['DNSCACHE', ['80']], ['www-', ['8080']], ['web', ['8080']],
                                     ['network service', ['80']], ['dnsmasq', ['53']],
                                     // The new fields are not joined to the address by a blank.
                                     ['0.0.0.0 dnscache', []], ['0.0.0.0 ', []]]) {
            await page.fill('#q', text);
            assert.deepEqual(await column(page, 2), ports, text);
        }
        await page.close();
    });

    test('lists that could not be read are named; an error body takes the rows\' place',
         async () => {
        const answer = { rows: DETAIL, more: { unreadable: ['tcp6', 'udp6'] } };
        const { page } = await openWith(answer);
        await rowCount(page, 5);
        assert.equal(await page.textContent('#unr'), 'Lists that could not be read: tcp6, udp6');
        assert.equal(await page.isVisible('#unr'), true);

        answer.body = '{"ok":false,"error":"socket tables unreadable"}';
        await page.click('#rfBtn');
        await rowCount(page, 0);
        assert.equal(await page.textContent('#lsErr'), 'socket tables unreadable');
        assert.equal(await page.isVisible('#lsErr'), true);
        assert.equal(await page.isHidden('#empty'), true);
        assert.equal(await page.isHidden('#unr'), true);
        assert.deepEqual(await page.$$eval('.kpi .v', els => els.map(e => e.textContent)),
                         ['-', '-', '-', '-', '-', '-']);

        // The next list is compared with the last one that loaded: nothing changed.
        answer.body = null;
        answer.more = { unreadable: [] };
        await page.click('#rfBtn');
        await rowCount(page, 5);
        assert.equal(await page.isHidden('#lsErr'), true);
        assert.equal(await page.isHidden('#unr'), true);
        assert.equal(await page.isHidden('#chPill'), true);
        assert.equal(await page.locator('#rows .mk').count(), 0);
        await page.close();
    });
});

describe('network namespaces and forwards', () => {
    const WEB = { addr: '172.17.0.2', port: 80, netns: 4026532305, container: 'fa425de4ee5d',
                  name: 'web1' };
    const ROWS = [
        row(53, { proto: 'udp', bind_addr: '0.0.0.0', scope: 'wildcard', pid: 0, comm: '',
                  netns: 4026532400, forward: null }),
        row(80, { bind_addr: '::', scope: 'wildcard', pid: 31, comm: 'busybox',
                  container: 'fa425de4ee5d', netns: 4026532305, forward: null }),
        row(8081, { pid: 0, comm: '', netns: null, forward: null }),
        row(9000, { pid: 9, comm: 'docker-proxy', netns: 0,
                    forward: { addr: 'fd00::2', port: 8080, netns: null, container: '',
                               name: '' } }),
        row(18090, { pid: 8, comm: 'docker-proxy', netns: 0, forward: WEB }),
        row(18091, { pid: 10, comm: 'docker-proxy', netns: 0,
                     forward: { ...WEB, name: '<b>"x\'</b>' } }),
    ];
    const to = '\u2192 ';
    const none = '<span class="rt n">-</span>';
    const probe = port => `${none} <button class="gh sm" data-a="127.0.0.1" data-p="${port}">` +
                          'Probe</button>';

    test('other namespaces show their container or ns tag and no probe; forwards their ' +
         'target; the filter finds both', async () => {
        const { page } = await openWith({ rows: ROWS });
        await rowCount(page, 6);
        const processes = await page.$$eval('#rows tr', trs => trs.map(tr => tr.cells[5].innerHTML));
        assert.deepEqual(processes, [
            '- <span class="tag t-ct">ns:4026532400</span>',
            'busybox <span class="tag t-ct">fa425de4ee5d</span>',
            '- <span class="tag t-ct">ns:?</span>',
            `docker-proxy <span class="fw">${to}[fd00::2]:8080</span>`,
            `docker-proxy <span class="fw">${to}web1:80</span>`,
            `docker-proxy <span class="fw">${to}&lt;b&gt;"x'&lt;/b&gt;:80</span>`,
        ]);
        assert.deepEqual(await page.$$eval('#rows tr', trs => trs.map(tr => tr.cells[8].innerHTML)),
                         [none, none, none, probe(9000), probe(18090), probe(18091)]);
        for (const [text, ports] of [['web1', ['18090']], ['ns:4026532400', ['53']],
                                     ['fa425de4', ['80']], ['ns:?', ['8081']],
                                     [to + '[fd00', ['9000']]]) {
            await page.fill('#q', text);
            assert.deepEqual(await column(page, 2), ports, text);
        }
        await page.close();
    });
});

describe('what changed', () => {
    test('new rows and gone ones for one load, the pill, and rows that stay put', async () => {
        const a = row(80, { pid: 1 });
        const b = row(443, { pid: 2 });
        const c = row(443, { proto: 'udp', pid: 2 });
        const d = row(8080, { pid: 3 });
        const answer = { rows: [a, b, c, d] };
        const { page } = await openWith(answer);
        await rowCount(page, 4);
        assert.equal(await page.isHidden('#chPill'), true);
        assert.equal(await page.locator('#rows .mk').count(), 0);

        // 443/tcp changes hands (a new process is a new row), 8080 goes, 9000 comes.
        const b2 = row(443, { pid: 5 });
        const e = row(9000, { pid: 4 });
        answer.rows = [a, b2, c, e];
        await page.click('#rfBtn');
        await rowCount(page, 6);
        const marked = await page.$$eval('#rows tr', trs => trs.map(tr => [
            tr.className, tr.cells[2].textContent, tr.cells[4].textContent,
            tr.querySelector('.mk')?.textContent ?? '', tr.querySelectorAll('button[data-p]').length]));
        assert.deepEqual(marked, [['', '80', '1', '', 1], ['new', '443', '5', 'new', 1],
                                  ['gone', '443', '2', 'gone', 0], ['', '443', '2', '', 0],
                                  ['gone', '8080', '3', 'gone', 0], ['new', '9000', '4', 'new', 1]]);
        assert.equal(await page.textContent('#chPill'), '+2 new, -2 gone');
        assert.equal(await page.isVisible('#chPill'), true);
        assert.equal(await page.innerHTML('#rows tr.gone:nth-child(5)'),
                     '<td class="mo">tcp <span class="mk">gone</span></td><td class="mo">127.0.0.1' +
                     '</td><td class="mo">8080</td><td><span class="tag t-lo">loopback</span></td>' +
                     '<td class="mo">3</td><td>x</td><td>-</td><td class="mo">-</td>' +
                     '<td><span class="rt n">-</span></td>');
        assert.equal(await page.innerHTML('#rows tr.new:nth-child(6) td:first-child'),
                     'tcp <span class="mk">new</span>');
        // Struck through, all but the mark itself.
        const line = sel => page.$eval(sel, e => getComputedStyle(e).textDecorationLine);
        assert.equal(await line('#rows tr.gone:nth-child(5) td:nth-child(2)'), 'line-through');
        assert.equal(await line('#rows tr.gone:nth-child(5) .mk'), 'none');

        // Nothing changed since: no marks, the gone rows have left, the pill hides.
        await page.click('#rfBtn');
        await rowCount(page, 4);
        assert.equal(await page.locator('#rows .mk').count(), 0);
        assert.equal(await page.isHidden('#chPill'), true);

        // Two sockets with the same protocol, address, port and process: one closes.
        answer.rows = [a, a, e];
        await page.click('#rfBtn');
        await rowCount(page, 5);
        answer.rows = [a, e];
        await page.click('#rfBtn');
        await until(page, () => document.getElementById('chPill').textContent === '+0 new, -1 gone');
        assert.deepEqual(await page.$$eval('#rows tr', trs => trs.map(tr => tr.className)),
                         ['', 'gone', '']);
        await page.close();
    });
});

describe('auto refresh', () => {
    const ticks = (page, ms) => page.clock.runFor(ms);
    // Lets the page take in a response that has arrived: real time, not page time.
    const settle = page => page.waitForTimeout(150);

    test('off at first; every 5 s once chosen; off again stops it', async () => {
        const answer = { rows: [row(80)] };
        const { page, loads, waitLoads, close } = await openWith(answer, { clock: 'paused' });
        await rowCount(page, 1);
        assert.equal(await page.inputValue('#arSel'), '0');
        await ticks(page, 60000);
        assert.equal(loads(), 1);
        await page.selectOption('#arSel', '5');
        await ticks(page, 4900);
        await settle(page);
        assert.equal(loads(), 1);
        // 82 comes and goes again: the rows of each load show it.
        for (const [n, shown] of [[2, 2], [3, 3]]) {
            answer.rows = [row(80), row(80 + n)];
            await ticks(page, 200);
            assert.equal(await waitLoads(n), n);
            await rowCount(page, shown);
            await settle(page);
            await ticks(page, 4800);
        }
        await page.selectOption('#arSel', '0');
        await ticks(page, 60000);
        await settle(page);
        assert.equal(loads(), 3);
        await close();
    });

    test('no two loads overlap; a Rescan during a load runs once after it', async () => {
        let release;
        const answer = { rows: [row(80)] };
        const { page, loads, waitLoads, close } = await openWith(answer, { clock: 'paused' });
        await rowCount(page, 1);
        await page.selectOption('#arSel', '5');
        answer.hold = new Promise(resolve => { release = resolve; });
        await ticks(page, 5100);
        assert.equal(await waitLoads(2), 2);
        // The answer is held: time passes, Rescan is pressed, no second request leaves.
        await ticks(page, 30000);
        await page.click('#rfBtn');
        await settle(page);
        assert.equal(loads(), 2);
        // Once it is in, the Rescan runs, once.
        answer.hold = null;
        release();
        assert.equal(await waitLoads(3), 3);
        await settle(page);
        assert.equal(loads(), 3);
        // Then the interval runs from the end of the last load.
        await ticks(page, 4900);
        await settle(page);
        assert.equal(loads(), 3);
        await ticks(page, 200);
        assert.equal(await waitLoads(4), 4);
        await close();
    });

    test('hidden, it waits; shown again, it loads at once', async () => {
        const { page, loads, waitLoads, close } = await openWith({ rows: [row(80)] }, { clock: 'paused' });
        await rowCount(page, 1);
        await page.selectOption('#arSel', '15');
        const visibility = state => page.evaluate(s => {
            Object.defineProperty(document, 'visibilityState', { configurable: true, get: () => s });
            document.dispatchEvent(new Event('visibilitychange'));
        }, state);
        await visibility('hidden');
        await ticks(page, 120000);
        await settle(page);
        assert.equal(loads(), 1);
        await visibility('visible');
        assert.equal(await waitLoads(2), 2);
        await settle(page);
        await ticks(page, 14900);
        await settle(page);
        assert.equal(loads(), 2);
        await ticks(page, 200);
        assert.equal(await waitLoads(3), 3);
        await close();
    });

    test('filters, sort, focus and probe states survive the reloads', async () => {
        const answer = { rows: [row(80), row(8080), row(9000, { bind_addr: '::1' })],
                         probe: () => '{"ok":true,"open":true,"refused":false,"connect_ms":3,' +
                                      '"http_tried":false}' };
        const { page, loads, close } = await openWith(answer, { clock: 'paused' });
        await rowCount(page, 3);
        await page.selectOption('#arSel', '5');
        await page.fill('#q', '80');
        await page.click('th button[data-c="port"]');
        await ticks(page, 50);
        await page.click('th button[data-c="port"]');
        await ticks(page, 50);
        await page.click('#rows button[data-p="8080"]');
        await until(page, () => / -> open/.test(document.getElementById('pOut').textContent));
        await ticks(page, 50);
        await page.focus('#rows button[data-p="80"]');
        answer.rows = [row(80), row(180), row(8080), row(9000, { bind_addr: '::1' })];
        await ticks(page, 5000);
        await until(page, () => document.querySelectorAll('#rows tr').length === 3);
        assert.equal(loads(), 2);
        assert.equal(await page.inputValue('#q'), '80');
        assert.equal(await page.getAttribute('th:nth-child(3)', 'aria-sort'), 'descending');
        assert.deepEqual(await column(page, 2), ['8080', '180', '80']);
        assert.deepEqual(await column(page, 8), ['open 3ms Probe', '- Probe', '- Probe']);
        assert.equal(await page.evaluate(() => document.activeElement.getAttribute('data-p')), '80');
        await close();
    });
});

describe('sorting', () => {
    const ROWS = [
        row(10000, { bind_addr: '10.0.0.10', scope: 'specific', pid: 30, comm: 'beta', conns: 2 }),
        row(9, { bind_addr: '::ffff:10.0.0.1', scope: 'specific', pid: 4, comm: 'Alpha', conns: 10 }),
        row(100, { bind_addr: '10.0.0.2', scope: 'specific', pid: 200, comm: 'gamma', conns: 0 }),
        row(9, { proto: 'udp', bind_addr: '::1', pid: 0, comm: 'delta', conns: -1 }),
        row(10, { bind_addr: '2001:db8::1', scope: 'specific', pid: 1000, comm: 'alpha', conns: 2 }),
        row(10, { bind_addr: '127.0.0.1', pid: 5, comm: 'Beta', conns: 1 }),
    ];
    const aria = page => page.$$eval('thead th', ths => ths.map(th => th.getAttribute('aria-sort')));

    test('numbers as numbers, addresses by family then numerically, text; both ways',
         async () => {
        const { page } = await openWith({ rows: ROWS });
        await rowCount(page, 6);
        const served = await column(page, 2);
        assert.deepEqual(served, ['10000', '9', '100', '9', '10', '10']);
        const by = async (col, i) => {
            await page.click(`th button[data-c="${col}"]`);
            return column(page, i);
        };
        // Equal rows keep the served order, in both directions.
        assert.deepEqual(await by('port', 4), ['4', '-', '1000', '5', '200', '30']);
        assert.deepEqual(await aria(page), [null, null, 'ascending', null, null, null, null, null, null]);
        assert.deepEqual(await by('port', 4), ['30', '200', '1000', '5', '4', '-']);
        assert.deepEqual(await aria(page), [null, null, 'descending', null, null, null, null, null, null]);
        assert.deepEqual(await by('bind', 1), ['10.0.0.2', '10.0.0.10', '127.0.0.1', '::1',
                                              '::ffff:10.0.0.1', '2001:db8::1']);
        assert.deepEqual(await aria(page), [null, 'ascending', null, null, null, null, null, null, null]);
        assert.deepEqual(await by('pid', 4), ['-', '4', '5', '30', '200', '1000']);
        assert.deepEqual(await by('process', 5), ['Alpha', 'alpha', 'beta', 'Beta', 'delta', 'gamma']);
        assert.deepEqual(await by('process', 5), ['gamma', 'delta', 'beta', 'Beta', 'Alpha', 'alpha']);
        // UDP rows have no count and come first.
        assert.deepEqual(await by('conns', 7), ['-', '0', '1', '2', '2', '10']);
        assert.deepEqual(await by('proto', 0), ['tcp', 'tcp', 'tcp', 'tcp', 'tcp', 'udp']);
        await page.close();
    });

    test('the header buttons answer the keyboard', async () => {
        const { page } = await openWith({ rows: ROWS });
        await rowCount(page, 6);
        await page.focus('th button[data-c="port"]');
        await page.keyboard.press('Enter');
        await frame(page);
        assert.deepEqual(await column(page, 2), ['9', '9', '10', '10', '100', '10000']);
        await page.keyboard.press('Space');
        await frame(page);
        assert.deepEqual(await column(page, 2), ['10000', '100', '10', '10', '9', '9']);
        await page.keyboard.press('Shift+Tab');
        await page.keyboard.press('Enter');
        await frame(page);
        assert.deepEqual(await aria(page), [null, 'ascending', null, null, null, null, null, null, null]);
        await page.close();
    });

    test('the Probe column: open (fastest first), refused, error, not probed, none',
         async () => {
        const answers = { 80: '"open":true,"refused":false,"connect_ms":12',
                          81: '"open":false,"refused":true,"connect_ms":1',
                          82: '"open":true,"refused":false,"connect_ms":3',
                          83: '"open":false,"refused":false,"connect_ms":1' };
        const { page } = await openWith({
            rows: [row(79, { proto: 'udp' }), row(80), row(81), row(82), row(83), row(84)],
            probe: q => `{"ok":true,${answers[q.get('port')]},"http_tried":false}` });
        await rowCount(page, 6);
        for (const port of Object.keys(answers)) {
            await page.click(`#rows button[data-p="${port}"]`);
            await until(page, p => document.getElementById('pOut').textContent.startsWith(
                `127.0.0.1:${p} -> `), port);
        }
        await page.click('th button[data-c="probe"]');
        assert.deepEqual(await column(page, 2), ['82', '80', '81', '83', '84', '79']);
        await page.close();
    });
});

describe('export', () => {
    test('the CSV bytes of the filtered, sorted rows, formulas disarmed', async () => {
        const rows = [
            row(80, { comm: '=HYPERLINK("http://x")', service: 'web', user: '+1', conns: 2,
                      queue: 1, backlog: 8 }),
            row(81, { comm: '@SUM(A1)', user: '-2', container: 'c,1' }),
            row(82, { comm: '\tx', user: '\rcr', service: 'a "b"' }),
            row(83, { comm: 'two\nlines', pid: 0 }),
            row(84, { proto: 'udp', comm: 'dns' }),
            row(85, { comm: 'leaving' }),
        ];
        const answer = { rows,
                         probe: () => '{"ok":true,"open":false,"refused":true,"connect_ms":1,' +
                                      '"http_tried":false}' };
        const { page, close } = await openWith(answer, { query: '?node=node%201%2Fx',
                                                         clock: new Date('2026-12-08T02:38:05Z') });
        await rowCount(page, 6);
        // 85 goes: shown struck through, it is no longer listening and not exported.
        answer.rows = rows.slice(0, 5);
        await page.click('#rfBtn');
        await until(page, () => document.querySelectorAll('#rows tr.gone').length === 1);
        await page.click('#rows button[data-p="81"]');
        await until(page, () => / -> /.test(document.getElementById('pOut').textContent));
        await page.selectOption('#pr', 'tcp');
        await page.click('th button[data-c="port"]');
        await page.click('th button[data-c="port"]');
        await frame(page);
        const [download] = await Promise.all([page.waitForEvent('download'), page.click('#exBtn')]);
        assert.equal(download.suggestedFilename(), 'ports-node_1_x-20261208-023805.csv');
        const bytes = fs.readFileSync(await download.path(), 'utf8');
        assert.equal(bytes, [
            'Proto,Bind,Port,Scope,PID,Process,User,Conns,Probe',
            'tcp,127.0.0.1,83,loopback,,"two\nlines",,,',
            'tcp,127.0.0.1,82,loopback,7,"\'\tx - a ""b""","\'\rcr",,',
            'tcp,127.0.0.1,81,loopback,7,"\'@SUM(A1) c,1",\'-2,,refused',
            'tcp,127.0.0.1,80,loopback,7,"\'=HYPERLINK(""http://x"") - web",\'+1,2 1/8,',
            ''].join('\r\n'));
        await close();
    });
});

describe('process panel', () => {
    test('a PID opens the process under its row, every value escaped; Escape or the button ' +
         'closes it and the focus goes back', async () => {
        const evil = '"><img src=x onerror=alert(1)>&\'';
        const asked = [];
        const answer = {
            rows: [row(22, { pid: 400, comm: 'sshd' }), row(80, { pid: 4242, comm: evil }),
                   row(81, { pid: 4242, comm: evil })],
            process: q => {
                asked.push(q.toString());
                return answer.proc;
            },
            proc: JSON.stringify({
                ok: true, action: 'process', pid: 4242, comm: evil, user: evil, exe: `/opt/${evil}`,
                exe_deleted: true, cmdline: ['/usr/bin/python3', '-m', evil], cwd: null,
                started: '2026-12-04T22:37:00Z', age_s: 3 * 86400 + 4 * 3600 + 59,
                parents: [{ pid: 400, comm: 'sshd' }, { pid: 1, comm: 'systemd' }],
                service: evil, container: '', sockets: [{ proto: 'tcp', bind_addr: '::', port: 80 },
                                                        { proto: 'udp', bind_addr: evil, port: 5353 }],
                unreadable: ['cwd'] }),
        };
        const { page } = await openWith(answer);
        await rowCount(page, 3);
        const facts = () => page.$$eval('.pf dd', dds => dds.map(dd => dd.textContent));
        const button = '#rows tr:nth-child(2) button[data-pid]';
        await page.focus(button);
        await page.keyboard.press('Enter');
        await until(page, () => document.querySelectorAll('.pf dd').length === 8);
        assert.deepEqual(asked, ['action=process&pid=4242']);
        // Under its own row, named by its button.
        assert.equal(await page.$eval('tr.pp', tr => tr.previousElementSibling.cells[2].textContent), '80');
        assert.equal(await page.$eval('tr.pp td', td => td.colSpan), 9);
        assert.equal(await page.getAttribute(button, 'aria-expanded'), 'true');
        assert.deepEqual(await facts(), [
            `/opt/${evil} deleted`, '', "not readable with the hub's rights",
            '2026-12-04 22:37:00 UTC, 3 d 4 h ago', 'sshd \u2190 systemd', evil, evil,
            `tcp [::]:80, udp ${evil}:5353`]);
        // The command line on one line, whole in its field.
        assert.equal(await page.inputValue('.pf .cl'), `/usr/bin/python3 -m ${evil}`);
        assert.equal(await page.locator('#rows img').count(), 0);
        await page.keyboard.press('Escape');
        await until(page, () => !document.querySelector('tr.pp'));
        assert.equal(await page.evaluate(() => document.activeElement.getAttribute('data-k')),
                     'tcp 127.0.0.1 80');
        assert.equal(await page.getAttribute(button, 'aria-expanded'), 'false');

        // Opened again: a reload that puts a row before it keeps it under its row, with the
        // focus in it; the button closes it. An error answer shows its text.
        await page.click(button);
        await until(page, () => document.querySelectorAll('.pf dd').length === 8);
        await page.focus('.pf .cl');
        answer.rows = [row(21), ...answer.rows];
        await page.evaluate(() => document.getElementById('rfBtn').click());
        await until(page, () => document.querySelectorAll('#rows tr').length === 5);
        assert.equal(await page.$eval('tr.pp', tr => tr.previousElementSibling.cells[2].textContent), '80');
        assert.equal(await page.evaluate(() => document.activeElement.className), 'cl');
        await page.click('#rows tr:nth-child(3) button[data-pid]');
        assert.equal(await page.locator('tr.pp').count(), 0);
        answer.proc = '{"ok":false,"error":"no such process"}';
        await page.click('#rows tr:nth-child(4) button[data-pid]');
        await until(page, () => document.querySelector('.pf dd')?.textContent === 'no such process');
        assert.equal(await page.$eval('tr.pp', tr => tr.previousElementSibling.cells[2].textContent), '81');
        // Withheld without a node password, which the panel says.
        // A service list the hub may not read (Windows) says so, not "-".
        answer.proc = JSON.stringify({ ok: true, pid: 4242, cmdline: null, parents: [],
                                       service: null,
                                       unreadable: ['cmdline:no-password', 'parents', 'services'] });
        await page.click('#rows tr:nth-child(2) button[data-pid]');
        await until(page, () => document.querySelectorAll('.pf dd').length === 8);
        const withheld = await facts();
        assert.equal(withheld[1], 'withheld: shown only behind a node password');
        assert.equal(withheld[4], "not readable with the hub's rights");
        assert.equal(withheld[6], "not readable with the hub's rights");
        await page.close();
    });
});

describe('connections panel', () => {
    test('a Conns count opens who is connected under its row, every value escaped; Escape ' +
         'closes it and the focus goes back; one panel at a time', async () => {
        const evil = '"><img src=x onerror=alert(1)>';
        const asked = [];
        const answer = {
            rows: [row(22, { conns: 0 }), row(80, { bind_addr: '::', scope: 'wildcard', conns: 7 }),
                   row(53, { proto: 'udp', conns: -1 }),
                   row(90, { conns: 3, netns: 4026532305, container: 'web' })],
            peers: q => {
                asked.push(q.toString());
                return answer.said;
            },
            process: () => '{"ok":false,"error":"no such process"}',
            said: JSON.stringify({ ok: true, action: 'peers', proto: 'tcp', bind_addr: '::', port: 80,
                                   total: 7, peers: [{ addr: '127.0.0.2', count: 3 },
                                                     { addr: evil, count: 2 }], other: 2 }),
        };
        const { page } = await openWith(answer);
        await rowCount(page, 4);
        // Only TCP rows of this host with a count; the row of another namespace says its
        // count alone (its connections are not this host's).
        assert.deepEqual(await page.$$eval('#rows button[data-cn]', bs => bs.map(b => b.textContent)),
                         ['0', '7']);
        const button = '#rows button[data-cn="80"]';
        await page.focus(button);
        await page.keyboard.press('Enter');
        const texts = () => page.$$eval('#connPanel dt, #connPanel dd', els => els.map(e => e.textContent));
        await until(page, () => document.querySelectorAll('#connPanel dd').length === 4);
        assert.deepEqual(asked, ['action=peers&port=80&addr=%3A%3A']);
        assert.deepEqual(await texts(), ['Connections', '7 connections from 2 addresses and more',
                                         '127.0.0.2', '3', evil, '2', 'Other addresses', '2']);
        assert.equal(await page.$eval('tr.pp', tr => tr.previousElementSibling.cells[2].textContent), '80');
        assert.equal(await page.getAttribute(button, 'aria-expanded'), 'true');
        assert.equal(await page.getAttribute(button, 'aria-controls'), 'connPanel');
        assert.equal(await page.locator('#rows img').count(), 0);
        await page.keyboard.press('Escape');
        await until(page, () => !document.querySelector('tr.pp'));
        assert.equal(await page.evaluate(() => document.activeElement.getAttribute('data-cn')), '80');
        assert.equal(await page.getAttribute(button, 'aria-expanded'), 'false');

        // The PID button of another row takes the place of the open panel; the error body
        // of an open node says why there is no list.
        await page.click(button);
        await until(page, () => document.querySelectorAll('#connPanel dd').length === 4);
        await page.click('#rows tr:nth-child(1) button[data-pid]');
        await until(page, () => document.querySelector('#procPanel dd')?.textContent === 'no such process');
        assert.equal(await page.locator('tr.pp').count(), 1);
        answer.said = '{"ok":false,"error":"peers are shown only behind a node password"}';
        await page.click('#rows button[data-cn="22"]');
        await until(page, () => document.querySelector('#connPanel dd')?.textContent ===
                                'peers are shown only behind a node password');
        assert.equal(await page.locator('tr.pp').count(), 1);
        await page.click('#rows button[data-cn="22"]');
        assert.equal(await page.locator('tr.pp').count(), 0);
        await page.close();
    });
});

describe('on a phone', () => {
    test('long names and addresses wrap, marks and every cell stay in sight, nothing scrolls ' +
         'sideways', async () => {
        const long = 'x'.repeat(90);
        const answer = {
            rows: [row(80), row(81, { expected: false }),
                   row(8443, { bind_addr: 'fd12:3456:789a:bcde:1234:5678:9abc:def0',
                               scope: 'specific', comm: long, service: `${long}.service`,
                               user: 'NT AUTHORITY\\NETWORK SERVICE', container: 'abcdef012345',
                               conns: 123456, queue: 7, backlog: 4096,
                               forward: { addr: 'fd00::1234:5678', port: 8443, netns: 1,
                                          container: '', name: long } })],
            more: { policy: { path: 'p', rules: 1, errors: [] }, missing: [] },
        };
        const { page } = await openWith(answer);
        await rowCount(page, 3);
        // The next load: one row gone, one new.
        answer.rows = [row(79), ...answer.rows.slice(1)];
        await page.setViewportSize({ width: 390, height: 844 });
        await page.click('#rfBtn');
        await until(page, () => document.querySelectorAll('#rows tr.gone, #rows tr.new').length === 2);
        await rendered(page);
        const seen = await page.evaluate(() => {
            const width = document.documentElement.clientWidth;
            const out = [];
            for (const tr of document.querySelectorAll('#rows tr')) {
                for (const td of tr.cells) {
                    const r = td.getBoundingClientRect();
                    if (td.textContent && !(r.width > 0 && r.left >= 0 && r.right <= width + 0.5)) {
                        out.push(td.textContent);
                    }
                }
            }
            return { sideways: document.documentElement.scrollWidth > width, out,
                     marks: [...document.querySelectorAll('#rows .mk')].map(m => m.textContent) };
        });
        assert.deepEqual(seen, { sideways: false, out: [], marks: ['new', 'gone', 'unexpected'] });
        await page.close();
    });
});
