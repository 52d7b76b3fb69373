// The node password: from the page address, from the hub's local-storage items, and
// the refusal without it. The hub here runs the program with its gate on.
import assert from 'node:assert/strict';
import { after, before, describe, test } from 'node:test';
import { launchBrowser, openLoaded, startHub, until } from './support.mjs';

// Blank, ampersand and plus: each must survive the address and the header.
const PASSWORD = 's3 cr&t+pw';

let hub, browser;

before(async () => {
    [hub, browser] = await Promise.all([startHub({ password: PASSWORD }), launchBrowser()]);
});

after(async () => {
    await browser?.close();
    await hub?.stop();
});

// Opens the page in a fresh context whose local storage holds items, and gives the
// first listeners request and the page's state after its answer. The gate guards the
// page too: unless pageAuth is false, the page's own request carries the password in
// an Authorization header, as a hub that has authorised its user would send it, so
// that only the script's API calls depend on what the script finds.
async function visit(query, items = {}, { pageAuth = true } = {}) {
    const ctx = await browser.newContext();
    ctx.setDefaultTimeout(10000);
    if (pageAuth) {
        await ctx.route(u => u.pathname === '/plugin_ports' && !u.searchParams.has('action'),
                        r => r.continue({ headers: { ...r.request().headers(),
                                                     authorization: `Bearer ${PASSWORD}` } }));
    }
    // The items as the hub's other pages leave them, in place before the page's script.
    await ctx.addInitScript(entries => {
        for (const [k, v] of Object.entries(entries)) localStorage.setItem(k, v);
    }, items);
    const request = new Promise(resolve => ctx.on('request', r => {
        if (r.url().includes('action=listeners')) resolve(r);
    }));
    const { page, status } = await openLoaded(ctx, `${hub.base}/plugin_ports${query}`);
    const req = await request;
    await until(page, () => document.getElementById('kTotal').textContent !== '-' ||
                                     document.getElementById('pOut').textContent.startsWith('Load'));
    const state = {
        status,
        url: req.url().slice(hub.base.length),
        header: req.headers()['x-bot-password'],
        total: await page.textContent('#kTotal'),
        out: await page.textContent('#pOut'),
        warned: await page.isVisible('#gateOff'),
    };
    await ctx.close();
    return state;
}

const ENC = encodeURIComponent(PASSWORD);

test('without a password the load fails with HTTP 401 and the tiles stay', async () => {
    const s = await visit('');
    assert.deepEqual(s, { status: 401, url: '/plugin_ports?action=listeners&detail=1',
                          header: undefined, total: '-', out: 'Load failed: HTTP 401',
                          warned: false });
});

test('the password from the page address opens the page and goes with every call',
     async () => {
    const s = await visit(`?pwd=${ENC}`, {}, { pageAuth: false });
    assert.equal(s.status, 200);
    assert.equal(s.url, `/plugin_ports?action=listeners&detail=1&pwd=${ENC}`);
    assert.equal(s.header, PASSWORD);
    assert.notEqual(s.total, '-');
    assert.equal(s.out, 'No probe run yet.');
    // A password guards the program: no warning that it is open.
    assert.equal(s.warned, false);
});

test('behind the password a Conns count opens who is connected, with the password',
     async () => {
    const ctx = await browser.newContext({ viewport: { width: 390, height: 844 } });
    ctx.setDefaultTimeout(10000);
    const { page } = await openLoaded(ctx, `${hub.base}/plugin_ports?pwd=${ENC}`);
    const asked = page.waitForRequest(r => r.url().includes('action=peers'));
    // The hub's own listener: the page's requests are connections to it, from 127.0.0.1.
    await page.click(`#rows button[data-cn="${hub.port}"]`);
    const req = await asked;
    assert.equal(req.url().slice(hub.base.length),
                 `/plugin_ports?action=peers&port=${hub.port}&addr=127.0.0.1&pwd=${ENC}`);
    assert.equal(req.headers()['x-bot-password'], PASSWORD);
    await until(page, () => document.querySelectorAll('#connPanel dd').length > 1);
    const cells = await page.$$eval('#connPanel dt, #connPanel dd', els => els.map(e => e.textContent));
    assert.match(cells[1], /^\d+ connections? from 1 address$/);
    assert.equal(cells[2], '127.0.0.1');
    await ctx.close();
});

test('a "+" in the page address reads as a blank', async () => {
    const s = await visit(`?pwd=${ENC.replace('%20', '+')}`, {}, { pageAuth: false });
    assert.equal(s.status, 200);
    assert.equal(s.header, PASSWORD);
});

test('local storage: the node\'s own item first, then the active one', async () => {
    let s = await visit('?node=n1', { bot_pwd_n1: PASSWORD, bot_active_pwd: 'other' });
    assert.equal(s.status, 200);
    assert.equal(s.url, `/plugin_ports?action=listeners&detail=1&node=n1&pwd=${ENC}`);

    s = await visit('?node=n1', { bot_pwd_n1: '', bot_active_pwd: PASSWORD });
    assert.equal(s.status, 200);

    // Without a node only the active item counts.
    s = await visit('', { bot_pwd_: 'other', bot_active_pwd: PASSWORD });
    assert.equal(s.status, 200);
    assert.equal(s.url, `/plugin_ports?action=listeners&detail=1&pwd=${ENC}`);
});

test('the page address wins over local storage', async () => {
    const s = await visit('?pwd=wrong', { bot_active_pwd: PASSWORD });
    assert.equal(s.status, 401);
    assert.equal(s.out, 'Load failed: HTTP 401');
});

test('a password a header cannot carry travels in the parameter alone', async () => {
    // Not this hub's password: what counts is that the request goes out at all.
    const s = await visit('?pwd=p%C3%A4ss%0Aword');
    assert.equal(s.status, 401);
    assert.equal(s.header, undefined);
    assert.equal(s.url, '/plugin_ports?action=listeners&detail=1&pwd=p%C3%A4ss%0Aword');
    assert.equal(s.out, 'Load failed: HTTP 401');
});

describe('the hub root', () => {
    test('opened at the address the hub prints, it hands the password on to the console',
         async () => {
        assert.equal(hub.root, `${hub.base}/?pwd=${ENC}`);
        assert.equal(hub.console, `${hub.base}/plugin_ports?pwd=${ENC}`);
        const ctx = await browser.newContext();
        ctx.setDefaultTimeout(10000);
        const page = await ctx.newPage();
        await page.goto(hub.root);
        const links = await page.evaluate(() => ({
            full: document.getElementById('full').getAttribute('href'),
            hubroute: document.getElementById('hubroute').getAttribute('href'),
            embedded: document.getElementById('embedded').getAttribute('src'),
        }));
        assert.deepEqual(links, { full: `/plugin_ports?pwd=${ENC}`,
                                  hubroute: `/plugins?plugin=ports&pwd=${ENC}`,
                                  embedded: `/plugin_ports?embed=1&pwd=${ENC}` });
        // The embedded console loads its list behind the gate.
        const frame = page.frameLocator('#embedded');
        await frame.locator('#kTotal').filter({ hasNotText: '-' }).waitFor();
        assert.equal(await frame.locator('#pOut').textContent(), 'No probe run yet.');
        for (const id of ['full', 'hubroute']) {
            const answer = page.waitForResponse(r => r.url().includes('action=listeners'));
            await page.click(`#${id}`);
            assert.equal((await answer).status(), 200, id);
            await until(page, () => document.getElementById('kTotal').textContent !== '-');
            await page.goBack();
        }
        await ctx.close();
    });

    test('a password that is markup stays one query value and never becomes markup',
         async () => {
        const evil = '"><img src=x onerror=alert(1)>&embed=0#';
        const ctx = await browser.newContext();
        ctx.setDefaultTimeout(10000);
        const page = await ctx.newPage();
        const dialogs = [];
        page.on('dialog', d => { dialogs.push(d.message()); d.dismiss(); });
        const framed = page.waitForResponse(r => r.url().includes('embed=1'));
        await page.goto(`${hub.base}/?pwd=${encodeURIComponent(evil)}`);
        assert.equal((await framed).status(), 401);
        assert.equal(await page.getAttribute('#full', 'href'),
                     `/plugin_ports?pwd=${encodeURIComponent(evil)}`);
        assert.equal(await page.getAttribute('#embedded', 'src'),
                     `/plugin_ports?embed=1&pwd=${encodeURIComponent(evil)}`);
        assert.equal(await page.locator('img').count(), 0);
        assert.deepEqual(dialogs, []);
        await ctx.close();
    });
});
