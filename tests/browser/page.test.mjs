// The console as a user meets it: the real program behind the real hub, in Chromium.
import assert from 'node:assert/strict';
import os from 'node:os';
import { after, before, describe, test } from 'node:test';
import { MARKUP_NAME, frame, launchBrowser, openLoaded, startHub, startListener, startSockets,
         tableRows, until } from './support.mjs';

let hub, sockets, browser, context;

before(async () => {
    [hub, sockets, browser] = await Promise.all([startHub(), startSockets(), launchBrowser()]);
    context = await browser.newContext({ viewport: { width: 1100, height: 900 } });
    context.setDefaultTimeout(10000);
});

after(async () => {
    await context?.close();
    await browser?.close();
    await Promise.all([hub?.stop(), sockets?.stop()]);
});

const rowOf = (rows, proto, port) => rows.find(r => r[0] === proto && r[2] === String(port));

// The one table row of a protocol and port, for clicks and its probe state.
const rowLocator = (page, proto, port) => page.locator('#rows tr')
    .filter({ has: page.locator('td:nth-child(1)', { hasText: new RegExp(`^${proto}$`) }) })
    .filter({ has: page.locator('td:nth-child(3)', { hasText: new RegExp(`^${port}$`) }) });
const stateOf = async (page, proto, port) => {
    await frame(page);
    const rt = rowLocator(page, proto, port).locator('.rt');
    return [await rt.getAttribute('class'), await rt.textContent()];
};
// The markup of a row's probe cell, exactly.
const probeCell = async (page, proto, port) => {
    await frame(page);
    return rowLocator(page, proto, port).locator('td:nth-child(9)').innerHTML();
};
const UNPROBED = '<span class="rt n">-</span>';
const withButton = (state, port, addr = '127.0.0.1') =>
    `${state} <button class="gh sm" data-a="${addr}" data-p="${port}">Probe</button>`;

// Every TCP row of this host's own network namespace is probed, each at its own address.
const probeable = l => l.proto === 'tcp' && l.bind_addr !== 'unknown' && l.netns === 0;

// Where a row of another namespace lives, and where a forward leads, as the table says.
const place = l => l.container || (l.netns === 0 ? '' : `ns:${l.netns === null ? '?' : l.netns}`);
const bracketed = a => (a.includes(':') ? `[${a}]` : a);
const forward = l => (l.forward ? ` \u2192 ${l.forward.name || l.forward.container ||
                                          bracketed(l.forward.addr)}:${l.forward.port}` : '');

// The cells the table shows for a row of the answer, the detail answer's included.
const shownCells = l => {
    const queue = l.queue > 0 ? ` ${l.queue}/${l.backlog >= 0 ? l.backlog : '-'}` : '';
    return [l.proto, l.bind_addr, String(l.port), l.scope, l.pid > 0 ? String(l.pid) : '-',
            (l.comm || '-') + (l.service ? ` - ${l.service}` : '') +
            (place(l) ? ` ${place(l)}` : '') + forward(l),
            l.user || '-', l.proto === 'tcp' && l.conns >= 0 ? `${l.conns}${queue}` : '-',
            probeable(l) ? '- Probe' : '-'];
};

describe('first load', () => {
    test('fills tiles, pill and table from the listeners answer', async () => {
        const { page, body } = await openLoaded(context, `${hub.base}/plugin_ports`);
        assert.equal(body.ok, true);
        const tiles = await page.$$eval('.kpi .v', els => els.map(e => e.textContent));
        const s = body.summary;
        // No file of expected listeners here: its tile shows nothing.
        assert.deepEqual(tiles,
                         [...[body.count, s.tcp, s.udp, s.loopback, s.wildcard].map(String), '-']);
        // What the lists were really read from, which the detail answer says.
        assert.ok(['sock_diag', 'proc'].includes(body.reader), body.reader);
        assert.equal(await page.textContent('#srcPill'), `source: ${body.reader}`);

        const rows = await tableRows(page);
        assert.equal(rows.length, body.listeners.length);
        assert.deepEqual(rows, body.listeners.map(shownCells));
        assert.equal(await page.isHidden('#empty'), true);
        assert.equal(await page.textContent('#pOut'), 'No probe run yet.');
        // No node password guards this hub's program: the page says so, in the danger colour.
        assert.equal(body.gate, false);
        assert.equal(await page.isVisible('#gateOff'), true);
        assert.match(await page.textContent('#gateOff'), /^No node password guards this program/);
        assert.equal(await page.$eval('#gateOff', e => getComputedStyle(e).color),
                     await page.$eval('#unr', e => getComputedStyle(e).color));

        // The hub itself listens on loopback, and so do the helper's sockets.
        assert.deepEqual(rowOf(rows, 'tcp', hub.port).slice(0, 4),
                         ['tcp', '127.0.0.1', String(hub.port), 'loopback']);
        assert.deepEqual(rowOf(rows, 'udp', sockets.mapped).slice(0, 4),
                         ['udp', '::ffff:127.0.0.1', String(sockets.mapped), 'loopback']);
        const tags = await page.$$eval('#rows td:nth-child(4) .tag', els => els.map(e => [e.className, e.textContent]));
        for (const [cls, scope] of tags) {
            const want = { loopback: 't-lo', wildcard: 't-wi' }[scope] || 't-sp';
            assert.equal(cls, `tag ${want}`);
        }
        await page.close();
    });

    test('the detail columns show who really holds a socket, its account and connections',
         async () => {
        const { page, body } = await openLoaded(context, `${hub.base}/plugin_ports`);
        assert.deepEqual(body.unreadable, []);
        const mine = body.listeners.find(l => l.proto === 'tcp' && l.port === sockets.tcp);
        assert.deepEqual([mine.user, mine.holders, mine.conns, mine.queue],
                         [os.userInfo().username, 1, 0, 0]);
        // The request that carried this very answer is a connection to the hub.
        const hubRow = body.listeners.find(l => l.proto === 'tcp' && l.port === hub.port);
        assert.ok(hubRow.conns >= 1, `hub connections: ${hubRow.conns}`);
        const rows = await tableRows(page);
        assert.deepEqual(rowOf(rows, 'tcp', sockets.tcp).slice(6, 8), [os.userInfo().username, '0']);
        assert.equal(rowOf(rows, 'tcp', hub.port)[7], String(hubRow.conns));
        await page.close();
    });

    test('every TCP row gets a probe button for its own address; UDP rows none', async () => {
        const { page } = await openLoaded(context, `${hub.base}/plugin_ports`);
        assert.equal(await probeCell(page, 'tcp', sockets.tcp), withButton(UNPROBED, sockets.tcp));
        assert.equal(await probeCell(page, 'tcp', hub.port), withButton(UNPROBED, hub.port));
        assert.equal(await probeCell(page, 'tcp', sockets.other),
                     withButton(UNPROBED, sockets.other, '127.0.0.2'));
        assert.equal(await probeCell(page, 'tcp', sockets.v6), withButton(UNPROBED, sockets.v6, '::1'));
        assert.equal(await probeCell(page, 'tcp', sockets.mappedTcp),
                     withButton(UNPROBED, sockets.mappedTcp, '::ffff:127.0.0.2'));
        assert.equal(await probeCell(page, 'udp', sockets.udp), UNPROBED);
        assert.equal(await probeCell(page, 'udp', sockets.mapped), UNPROBED);
        await page.close();
    });

    test('a process whose file name is markup shows as text and runs nothing', async () => {
        const dialogs = [];
        context.on('page', p => p.on('dialog', d => { dialogs.push(d.message()); d.dismiss(); }));
        const { page } = await openLoaded(context, `${hub.base}/plugin_ports`);
        const rows = await tableRows(page);
        for (const [proto, port] of [['tcp', sockets.tcp], ['udp', sockets.udp]]) {
            const row = rowOf(rows, proto, port);
            assert.ok(row, `${proto} ${port} is listed`);
            assert.equal(row[5], MARKUP_NAME);
        }
        assert.equal(await page.locator('#rows img').count(), 0);
        await page.fill('#q', 'onerror');
        assert.equal(await page.locator('#rows img').count(), 0);
        assert.equal((await tableRows(page)).length >= 2, true);
        await page.waitForTimeout(200);
        assert.deepEqual(dialogs, []);
        await page.close();
    });

    test('leaves no global names behind', async () => {
        const { page } = await openLoaded(context, `${hub.base}/plugin_ports`);
        const leaked = await page.evaluate(() => {
            const fresh = document.createElement('iframe');
            document.body.appendChild(fresh);
            const base = new Set(Object.getOwnPropertyNames(fresh.contentWindow));
            fresh.remove();
            return Object.getOwnPropertyNames(window).filter(n => !base.has(n));
        });
        assert.deepEqual(leaked, []);
        await page.close();
    });
});

describe('filters', () => {
    let page, body;
    before(async () => ({ page, body } = await openLoaded(context, `${hub.base}/plugin_ports`)));
    after(() => page.close());

    const shown = () => tableRows(page);
    const reset = async () => {
        await page.fill('#q', '');
        await page.selectOption('#sc', '');
        await page.selectOption('#pr', '');
    };

    test('text matches port, protocol, process and address, ignoring case', async () => {
        await reset();
        await page.fill('#q', String(sockets.tcp));
        let rows = await shown();
        assert.ok(rowOf(rows, 'tcp', sockets.tcp));
        for (const r of rows) assert.ok([r[0], r[1], r[2], r[5]].join(' ').includes(String(sockets.tcp)));

        await page.fill('#q', 'IMG SRC');
        rows = await shown();
        assert.ok(rows.length >= 2 && rows.every(r => r[5] === MARKUP_NAME), JSON.stringify(rows));

        // Port, a blank, then the protocol: "<port> udp" finds the UDP row only.
        await page.fill('#q', `${sockets.udp} udp`);
        rows = await shown();
        assert.deepEqual(rows.map(r => r[0] + r[2]), [`udp${sockets.udp}`]);
        // The text is not trimmed: a trailing blank after the address matches nothing.
        await page.fill('#q', '::ffff:127.0.0.1 ');
        assert.deepEqual(await shown(), []);
    });

    test('scope and protocol selects keep only their rows', async () => {
        await reset();
        const count = (scope, proto) => body.listeners.filter(
            l => (!scope || l.scope === scope) && (!proto || l.proto === proto)).length;
        for (const scope of ['', 'loopback', 'wildcard', 'specific']) {
            for (const proto of ['', 'tcp', 'udp']) {
                await page.selectOption('#sc', scope);
                await page.selectOption('#pr', proto);
                const rows = await shown();
                assert.equal(rows.length, count(scope, proto), `${scope}/${proto}`);
                for (const r of rows) {
                    if (scope) assert.equal(r[3], scope);
                    if (proto) assert.equal(r[0], proto);
                }
                assert.equal(await page.isHidden('#empty'), rows.length > 0);
            }
        }
    });

    test('nothing matched shows the empty-state line, and a match hides it', async () => {
        await reset();
        await page.fill('#q', 'no-such-listener-here');
        assert.deepEqual(await shown(), []);
        assert.equal(await page.isVisible('#empty'), true);
        assert.equal(await page.textContent('#empty'), 'No listening sockets matched the filter.');
        await page.fill('#q', String(hub.port));
        assert.ok((await shown()).length >= 1);
        assert.equal(await page.isHidden('#empty'), true);
        // The tiles keep the server's counts whatever the filters show.
        assert.equal(await page.textContent('#kTotal'), String(body.count));
    });
});

describe('probe', () => {
    let page;
    const probes = [];
    before(async () => {
        ({ page } = await openLoaded(context, `${hub.base}/plugin_ports`));
        page.on('request', r => { if (r.url().includes('action=probe')) probes.push(r.url()); });
    });
    after(() => page.close());

    const probe = async port => {
        const answered = page.waitForResponse(r => r.url().includes('action=probe'));
        await page.fill('#pPort', String(port));
        await page.click('#pBtn');
        await answered;
        await until(page, () => !document.getElementById('pOut').textContent.startsWith('Probing'));
        return page.textContent('#pOut');
    };

    test('an open port: the hub answers HTTP 200, and its row turns green', async () => {
        const line = await probe(hub.port);
        assert.match(line, new RegExp(`^127\\.0\\.0\\.1:${hub.port} -> open \\(connect \\d+ ms\\); ` +
                                      'HTTP status 200 in \\d+ ms$'));
        const [cls, text] = await stateOf(page, 'tcp', hub.port);
        assert.equal(cls, 'rt g');
        assert.match(text, /^open \d+ms$/);
        assert.equal(probes.at(-1), `${hub.base}/plugin_ports?action=probe&port=${hub.port}`);
    });

    test('a server gone since the scan: "closed" in the line, "refused" in its row, from the ' +
         'row button', async () => {
        await sockets.closeGone();
        const answered = page.waitForResponse(r => r.url().includes('action=probe'));
        await rowLocator(page, 'tcp', sockets.gone).locator('button[data-p]').click();
        await answered;
        await until(page, () => !document.getElementById('pOut').textContent.startsWith('Probing'));
        assert.match(await page.textContent('#pOut'),
                     new RegExp(`^127\\.0\\.0\\.1:${sockets.gone} -> closed \\(connect \\d+ ms\\)$`));
        assert.deepEqual(await stateOf(page, 'tcp', sockets.gone), ['rt r', 'refused']);
    });

    test('a probe of 127.0.0.1 marks no row of another address', async () => {
        // These listen on their ports, but nothing answers on 127.0.0.1 over TCP.
        for (const [proto, port, cell] of [
            ['tcp', sockets.other, withButton(UNPROBED, sockets.other, '127.0.0.2')],
            ['tcp', sockets.v6, withButton(UNPROBED, sockets.v6, '::1')],
            ['tcp', sockets.mappedTcp, withButton(UNPROBED, sockets.mappedTcp, '::ffff:127.0.0.2')],
            ['udp', sockets.udp, UNPROBED], ['udp', sockets.mapped, UNPROBED]]) {
            assert.match(await probe(port), / -> closed /);
            assert.equal(await probeCell(page, proto, port), cell, `${proto} ${port}`);
        }
    });

    test('results stay through filter changes and a rescan', async () => {
        await page.fill('#q', String(hub.port));
        await page.fill('#q', '');
        assert.deepEqual(await stateOf(page, 'tcp', sockets.gone), ['rt r', 'refused']);
        const reloaded = page.waitForResponse(r => r.url().includes('action=listeners'));
        await page.click('#rfBtn');
        await reloaded;
        assert.equal((await stateOf(page, 'tcp', hub.port))[0], 'rt g');
        // The server that has gone shows for this one load, marked, with no button.
        const gone = rowLocator(page, 'tcp gone', sockets.gone);
        assert.equal(await gone.getAttribute('class'), 'gone');
        assert.equal(await gone.locator('button').count(), 0);
        // The probe line stays too: a successful load does not touch it.
        assert.match(await page.textContent('#pOut'), /-> closed/);
    });

    test('a row button still probes after a render that kept the same rows', async () => {
        await page.fill('#q', String(sockets.tcp));
        await frame(page);
        const first = await page.$('#rows tr');
        // The same filter again: the table keeps its rows (and their handlers).
        await page.dispatchEvent('#q', 'input');
        await frame(page);
        assert.equal(await page.evaluate(el => el.isConnected, first), true);
        const before = probes.length;
        const answered = page.waitForResponse(r => r.url().includes('action=probe'));
        await rowLocator(page, 'tcp', sockets.tcp).locator('button[data-p]').click();
        await answered;
        assert.equal(probes.length, before + 1);
        assert.match(probes.at(-1), new RegExp(`action=probe&port=${sockets.tcp}$`));
        await page.fill('#q', '');
    });

    test('the port field must hold 1 to 65535; nothing is sent otherwise', async () => {
        const before = probes.length;
        for (const value of ['0', '-1', '65536', '']) {
            await page.fill('#pPort', value);
            await page.click('#pBtn');
            assert.equal(await page.textContent('#pOut'), 'Port must be between 1 and 65535.', value);
        }
        assert.equal(probes.length, before);
        await probe(65535);
        assert.equal(probes.length, before + 1);
    });

    test('each TCP row is probed at its own address and reads open', async () => {
        // Nothing accepts on these listeners: the connection completes in the backlog and
        // the HEAD probe gets no reply.
        for (const [port, addr, host] of [[sockets.v6, '::1', '[::1]'],
                                          [sockets.other, '127.0.0.2', '127.0.0.2'],
                                          [sockets.mappedTcp, '::ffff:127.0.0.2',
                                           '[::ffff:127.0.0.2]']]) {
            await page.evaluate(() => { document.getElementById('pOut').textContent = ''; });
            const answered = page.waitForResponse(r => r.url().includes('action=probe'));
            await rowLocator(page, 'tcp', port).locator('button[data-p]').click();
            const res = await answered;
            assert.equal(new URL(res.url()).searchParams.get('addr'), addr);
            await until(page, () => / -> /.test(document.getElementById('pOut').textContent));
            assert.match(await page.textContent('#pOut'), new RegExp(
                `^${host.replace(/[[\].]/g, '\\$&')}:${port} -> open \\(connect \\d+ ms\\); ` +
                'HTTP no response in \\d+ ms$'));
            const [cls, text] = await stateOf(page, 'tcp', port);
            assert.equal(cls, 'rt g', addr);
            assert.match(text, /^open \d+ms$/);
        }
    });

    test('a row on "::" is probed at ::1', async () => {
        // A listener on the IPv6 wildcard would listen on the machine's network too: the
        // row is added to the real answer, on the port of the real listener on ::1.
        const p = await context.newPage();
        await p.route(u => u.searchParams.get('action') === 'listeners', async route => {
            const res = await route.fetch();
            const json = await res.json();
            json.listeners.push({ proto: 'tcp', bind_addr: '::', port: sockets.v6,
                                  scope: 'wildcard', pid: 0, comm: '' });
            return route.fulfill({ response: res, json });
        });
        await p.goto(`${hub.base}/plugin_ports`);
        const wildcard = p.locator('#rows tr')
            .filter({ has: p.locator('td:nth-child(2)', { hasText: /^::$/ }) })
            .filter({ has: p.locator('td:nth-child(3)', { hasText: new RegExp(`^${sockets.v6}$`) }) });
        const answered = p.waitForResponse(r => r.url().includes('action=probe'));
        await wildcard.locator('button[data-p]').click();
        assert.equal(new URL((await answered).url()).searchParams.get('addr'), '::1');
        await until(p, () => / -> /.test(document.getElementById('pOut').textContent));
        assert.match(await p.textContent('#pOut'), new RegExp(`^\\[::1\\]:${sockets.v6} -> open `));
        // The row on ::1 itself is the same address and port: it shows the same result.
        await frame(p);
        assert.deepEqual(await p.$$eval(`#rows button[data-p="${sockets.v6}"]`,
                                        bs => bs.map(b => b.previousElementSibling.className)),
                         ['rt g', 'rt g']);
        await p.close();
    });
});

describe('keyboard', () => {
    test('after a probe from the keyboard, focus is on the same row\'s new button', async () => {
        const { page } = await openLoaded(context, `${hub.base}/plugin_ports`);
        for (const [key, port] of [['Enter', sockets.tcp], ['Space', hub.port]]) {
            const button = rowLocator(page, 'tcp', port).locator('button[data-p]');
            await button.focus();
            const old = await button.elementHandle();
            const answered = page.waitForResponse(r => r.url().includes(`action=probe&port=${port}`));
            await page.keyboard.press(key);
            await answered;
            await until(page, () => / -> /.test(document.getElementById('pOut').textContent));
            await frame(page);
            // The result rebuilt the rows: the button that had focus is gone.
            assert.equal(await old.evaluate(el => el.isConnected), false, key);
            const focused = await page.evaluate(() => {
                const el = document.activeElement;
                const tr = el.closest('#rows tr');
                return [el.tagName, el.getAttribute('data-p'),
                        ...(tr ? [...tr.cells].slice(0, 3).map(td => td.textContent) : [])];
            });
            assert.deepEqual(focused, ['BUTTON', String(port), 'tcp', '127.0.0.1', String(port)], key);
            await page.evaluate(() => { document.getElementById('pOut').textContent = ''; });
        }
        await page.close();
    });
});

describe('rendering', () => {
    test('a burst of input in one frame rebuilds the table once, to its last state', async () => {
        const { page } = await openLoaded(context, `${hub.base}/plugin_ports`);
        const typed = String(hub.port);
        // Every keystroke of the hub's port and both selects, all before the next frame.
        const rebuilds = await page.evaluate(async typed => {
            const rows = document.getElementById('rows');
            let count = 0;
            const watch = new MutationObserver(records => { count += records.length; });
            watch.observe(rows, { childList: true });
            const set = (id, value, type) => {
                const el = document.getElementById(id);
                el.value = value;
                el.dispatchEvent(new Event(type, { bubbles: true }));
            };
            for (let i = 1; i <= typed.length; i++) set('q', typed.slice(0, i), 'input');
            set('sc', 'loopback', 'change');
            set('pr', 'tcp', 'change');
            await new Promise(resolve => requestAnimationFrame(() => resolve()));
            count += watch.takeRecords().length;
            watch.disconnect();
            return count;
        }, typed);
        assert.equal(rebuilds, 1);
        const burst = await tableRows(page);

        // The same filters set one at a time, a frame after each.
        await page.fill('#q', '');
        await page.selectOption('#sc', '');
        await page.selectOption('#pr', '');
        assert.notDeepEqual(await tableRows(page), burst);
        await page.fill('#q', typed);
        await page.selectOption('#sc', 'loopback');
        await page.selectOption('#pr', 'tcp');
        assert.deepEqual(await tableRows(page), burst);
        assert.ok(rowOf(burst, 'tcp', hub.port));
        await page.close();
    });
});

describe('theme', () => {
    test('the toggle switches the palette both ways; accents stay', async () => {
        const { page } = await openLoaded(context, `${hub.base}/plugin_ports`);
        const look = () => page.evaluate(() => {
            const css = e => getComputedStyle(document.querySelector(e));
            return {
                attr: document.documentElement.getAttribute('data-t'),
                label: document.getElementById('thBtn').textContent,
                bg: css('body').backgroundColor,
                tx: css('body').color,
                card: css('.card').backgroundColor,
                tile: css('.kpi').backgroundColor,
                muted: css('.card h2').color,
                button: css('#pBtn').backgroundColor,
                buttonText: css('#pBtn').color,
                mono: css('.kpi .v').fontFamily,
            };
        });
        const dark = {
            attr: null, label: 'Light', bg: 'rgb(13, 13, 16)', tx: 'rgb(245, 245, 247)',
            card: 'rgb(22, 22, 26)', tile: 'rgb(30, 30, 36)', muted: 'rgb(142, 142, 150)',
            button: 'rgb(10, 132, 255)', buttonText: 'rgb(255, 255, 255)',
            mono: 'ui-monospace, SFMono-Regular, Menlo, monospace',
        };
        const light = {
            ...dark, attr: 'light', label: 'Dark', bg: 'rgb(244, 244, 247)', tx: 'rgb(28, 28, 30)',
            card: 'rgb(255, 255, 255)', tile: 'rgb(240, 240, 244)', muted: 'rgb(107, 107, 115)',
        };
        assert.deepEqual(await look(), dark);
        await page.click('#thBtn');
        assert.deepEqual(await look(), light);
        await page.click('#thBtn');
        assert.deepEqual(await look(), { ...dark, attr: 'dark' });
        await page.close();
    });
});

describe('layout', () => {
    test('before the script runs the page shows its written state', async () => {
        const ctx = await browser.newContext({ javaScriptEnabled: false });
        const page = await ctx.newPage();
        await page.goto(`${hub.base}/plugin_ports`);
        const texts = await page.evaluate(() => Object.fromEntries(
            ['kTotal', 'kTcp', 'kUdp', 'kLoop', 'kWild', 'srcPill', 'thBtn', 'rfBtn', 'pBtn', 'pOut']
                .map(id => [id, document.getElementById(id).textContent])));
        assert.deepEqual(texts, {
            kTotal: '-', kTcp: '-', kUdp: '-', kLoop: '-', kWild: '-', srcPill: 'local',
            thBtn: 'Light', rfBtn: 'Rescan', pBtn: 'Probe 127.0.0.1', pOut: 'No probe run yet.',
        });
        assert.equal(await page.locator('#rows tr').count(), 0);
        assert.equal(await page.isHidden('#empty'), true);
        assert.equal(await page.inputValue('#pPort'), '8150');
        await ctx.close();
    });

    test('a narrow screen tightens the padding and never widens the page', async () => {
        const ctx = await browser.newContext({ viewport: { width: 420, height: 800 } });
        const { page } = await openLoaded(ctx, `${hub.base}/plugin_ports`);
        const m = await page.evaluate(() => ({
            body: getComputedStyle(document.body).padding,
            card: getComputedStyle(document.querySelector('.card')).padding,
            widened: document.documentElement.scrollWidth > document.documentElement.clientWidth,
            tb: getComputedStyle(document.querySelector('.tb')).overflowX,
        }));
        assert.deepEqual(m, { body: '10px', card: '12px', widened: false, tb: 'auto' });
        await ctx.close();
    });
});

describe('a phone and a desk', () => {
    // Each row's cells: their text, and whether each one with text lies inside the page's
    // width, drawn; and whether the page scrolls sideways.
    const layout = page => page.evaluate(() => {
        const width = document.documentElement.clientWidth;
        const inside = el => {
            const r = el.getBoundingClientRect();
            return r.width > 0 && r.height > 0 && r.left >= 0 && r.right <= width + 0.5;
        };
        return {
            sideways: document.documentElement.scrollWidth > width,
            rows: [...document.querySelectorAll('#rows tr:not(.pp)')].map(tr => [...tr.cells].map(
                td => [td.textContent, td.textContent === '' || inside(td)])),
            controls: [...document.querySelectorAll('button, input, select')]
                .filter(el => !el.closest('tr.pp')).every(inside),
            panel: document.querySelector('tr.pp') ? inside(document.querySelector('tr.pp .pf'))
                                                  : null,
        };
    });

    test('at 390 px every cell of 1400 px is there, as a card, and nothing scrolls sideways',
         async () => {
        // One load seen at both widths: the node's sockets may change between two loads.
        const seen = {};
        const ctx = await browser.newContext({ viewport: { width: 1400, height: 900 } });
        ctx.setDefaultTimeout(10000);
        const { page } = await openLoaded(ctx, `${hub.base}/plugin_ports`);
        for (const [width, height] of [[1400, 900], [390, 844]]) {
            await page.setViewportSize({ width, height });
            await frame(page);
            const l = await layout(page);
            assert.equal(l.sideways, false, `${width}: the page scrolls sideways`);
            assert.equal(l.controls, true, `${width}: a control lies outside the page`);
            for (const cells of l.rows) {
                for (const [text, shown] of cells) assert.ok(shown, `${width}: "${text}" is out of sight`);
            }
            seen[width] = l.rows.map(cells => cells.map(c => c[0]));
            // The narrow table is cards: one box per row, the headings a row of sort buttons.
            const card = await page.$eval('#rows tr', tr => getComputedStyle(tr).display);
            assert.equal(card, width < 600 ? 'flex' : 'table-row');
        }
        assert.deepEqual(seen[390], seen[1400]);
        await ctx.close();
    });

    test('at 390 px both panels fit, and the keyboard opens and closes them', async () => {
        const ctx = await browser.newContext({ viewport: { width: 390, height: 844 } });
        ctx.setDefaultTimeout(10000);
        const { page } = await openLoaded(ctx, `${hub.base}/plugin_ports`);
        for (const [button, panel] of [[`#rows button[data-pid]`, '#procPanel'],
                                       [`#rows button[data-cn="${sockets.tcp}"]`, '#connPanel']]) {
            await page.focus(button);
            await page.keyboard.press('Enter');
            await until(page, sel => document.querySelector(sel) &&
                                     !/Loading/.test(document.querySelector(sel).textContent), panel);
            await frame(page);
            const l = await layout(page);
            assert.deepEqual([l.sideways, l.panel], [false, true], panel);
            await page.keyboard.press('Escape');
            await until(page, () => !document.querySelector('tr.pp'));
            assert.ok(await page.evaluate(sel => document.activeElement === document.querySelector(sel),
                                          button), `${panel}: the focus went back`);
        }
        // An open node lists nobody: the panel says why.
        await page.click(`#rows button[data-cn="${sockets.tcp}"]`);
        await until(page, () => / password/.test(document.getElementById('connPanel')?.textContent));
        assert.equal(await page.textContent('#connPanel dd'),
                     'peers are shown only behind a node password');
        await ctx.close();
    });
});

describe('hub', () => {
    test('the root page embeds the plug-in without the back link', async () => {
        const page = await context.newPage();
        await page.goto(`${hub.base}/`);
        const frame = page.frameLocator('#embedded');
        await frame.locator('#kTotal').filter({ hasNotText: '-' }).waitFor();
        assert.equal(await frame.locator('.top > :first-child').evaluate(e => e.tagName), 'H1');
        assert.equal(await frame.locator('a[href="/"]').count(), 0);
        await page.click('#full');
        await page.waitForURL(`${hub.base}/plugin_ports`);
        assert.equal(await page.locator('.top > :first-child').getAttribute('href'), '/');
        await page.close();
    });

    test('the hub route /plugins?plugin=ports carries the page and its calls', async () => {
        const seen = [];
        const page = await context.newPage();
        page.on('request', r => seen.push(r.url()));
        const answer = page.waitForResponse(r => r.url().includes('action=listeners'));
        await page.goto(`${hub.base}/plugins?plugin=ports&node=n%201&id=7`);
        assert.equal((await answer).status(), 200);
        const want = `${hub.base}/plugins?plugin=ports&action=listeners&detail=1&node=n%201&id=7`;
        assert.ok(seen.includes(want), seen.join('\n'));
        await page.close();
    });
});

describe('screenshot', () => {
    test('of the page after a change and a probe of the hub', async () => {
        const file = process.env.PORTS_SCREENSHOT;
        assert.ok(file, 'PORTS_SCREENSHOT names the file to write');
        // The picture shows the machine's own sockets, not the test's helper, and one
        // listener that opens after the first load.
        await sockets.stop();
        const page = await context.newPage();
        await page.goto(`${hub.base}/plugin_ports`);
        await until(page, () => document.getElementById('kTotal').textContent !== '-');
        const listener = await startListener();
        try {
            await page.click('#rfBtn');
            await until(page, () => document.querySelector('#rows tr.new') !== null);
            await page.fill('#pPort', String(hub.port));
            await page.click('#pBtn');
            await until(page, () => / -> /.test(document.getElementById('pOut').textContent));
            await frame(page);
            await page.screenshot({ path: file, fullPage: true });
        } finally {
            await listener.stop();
        }
        await page.close();
    });
});
