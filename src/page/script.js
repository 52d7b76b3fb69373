// The console's script. It runs once, at the end of the body, inside one function
// scope: it leaves no global names behind. Every statement ends with a semicolon,
// because the build joins the whole script into one line.
(function () {
    'use strict';

    // ---- context from the page's own address ---------------------------------

    var params = new URLSearchParams(location.search);
    var node = params.get('node') || '';
    var sid = params.get('id') || '';
    var HUB = params.get('plugin') || '';
    var pwd = params.get('pwd') || '';

    // The hub's other pages keep node passwords in local storage. Storage can be
    // closed to the page (a sandboxed frame, a browser setting): then it holds
    // nothing for us, instead of stopping the whole script.
    function stored(name) {
        try {
            return localStorage.getItem(name) || '';
        } catch (e) {
            return '';
        }
    }
    if (!pwd && node) pwd = stored('bot_pwd_' + node);
    if (!pwd) pwd = stored('bot_active_pwd');

    var DATA = [];
    var shown = null; // the row markup the table holds now
    var shownRows = []; // the records behind the table's rows, in their order
    var lastProbe = Object.create(null); // port -> last probe body with ok true
    var stale = false; // a render is asked for in the next animation frame

    // ---- helpers --------------------------------------------------------------

    function $(id) {
        return document.getElementById(id);
    }

    function txt(id, value) {
        var el = $(id);
        if (el) el.textContent = value;
    }

    var ESC = { '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&#39;' };
    function esc(value) {
        if (value === undefined || value === null) return '';
        return String(value).replace(/[&<>"']/g, function (c) {
            return ESC[c];
        });
    }

    function tagCls(scope) {
        if (scope === 'loopback') return 't-lo';
        if (scope === 'wildcard') return 't-wi';
        return 't-sp';
    }

    // A header value can carry only printable ASCII; a password with anything else
    // travels in the pwd parameter alone, which the gate accepts as well.
    function headerSafe(s) {
        for (var i = 0; i < s.length; i++) {
            var c = s.charCodeAt(i);
            if (c < 32 || c > 126) return false;
        }
        return true;
    }

    // ---- the program's API, through the hub ---------------------------------

    function api(action, extra) {
        var url = HUB ? '/plugins?plugin=' + encodeURIComponent(HUB) + '&' : '/plugin_ports?';
        url += 'action=' + encodeURIComponent(action);
        if (extra) url += '&' + extra;
        if (node) url += '&node=' + encodeURIComponent(node);
        if (sid) url += '&id=' + encodeURIComponent(sid);
        if (pwd) url += '&pwd=' + encodeURIComponent(pwd);
        var init = { method: 'GET' };
        if (pwd && headerSafe(pwd)) init.headers = { 'X-Bot-Password': pwd };
        return fetch(url, init).then(function (r) {
            if (r.status < 200 || r.status > 299) throw new Error('HTTP ' + r.status);
            return r.json();
        });
    }

    // ---- listeners ----------------------------------------------------------

    function load() {
        api('listeners', '')
            .then(function (d) {
                var s = d.summary || {};
                DATA = d.listeners || [];
                txt('kTotal', d.count || 0);
                txt('kTcp', s.tcp || 0);
                txt('kUdp', s.udp || 0);
                txt('kLoop', s.loopback || 0);
                txt('kWild', s.wildcard || 0);
                txt('srcPill', 'source: ' + (d.source || 'local'));
                render();
            })
            .catch(function (e) {
                txt('pOut', 'Load failed: ' + e.message);
            });
    }

    // The probe connects over TCP to 127.0.0.1: it tells about the TCP listeners such a
    // connection reaches, and says nothing true about any other row.
    var PROBED_BINDS = { '127.0.0.1': true, '0.0.0.0': true, '::': true };
    function probeable(r) {
        return r.proto === 'tcp' && PROBED_BINDS[r.bind_addr] === true;
    }

    function stateSpan(p) {
        if (!p) return '<span class="rt n">-</span>';
        if (p.open === true) return '<span class="rt g">open ' + esc(p.connect_ms) + 'ms</span>';
        if (p.refused === true) return '<span class="rt r">refused</span>';
        return '<span class="rt r">closed</span>';
    }

    function field(v) {
        return v === undefined || v === null ? '' : String(v);
    }

    function sameRow(a, b) {
        return a.proto === b.proto && a.bind_addr === b.bind_addr && a.port === b.port;
    }

    // The focused row button as (record, how many equal rows come before it), or null.
    function focusedRow(rows) {
        var el = document.activeElement;
        if (!el || el.tagName !== 'BUTTON' || !rows.contains(el)) return null;
        var at = el.closest('tr').sectionRowIndex;
        var r = shownRows[at];
        if (!r) return null;
        var nth = 0;
        for (var i = 0; i < at; i++) {
            if (sameRow(shownRows[i], r)) nth++;
        }
        return { row: r, nth: nth };
    }

    // A rebuild drops the focused button with the old rows; the keyboard user goes on
    // from the same row's button in the new ones.
    function refocus(rows, was) {
        var nth = was.nth;
        for (var i = 0; i < shownRows.length; i++) {
            if (!sameRow(shownRows[i], was.row)) continue;
            if (nth > 0) {
                nth--;
                continue;
            }
            var button = rows.rows[i].querySelector('button[data-p]');
            if (button) button.focus();
            return;
        }
    }

    function render() {
        var q = $('q').value.toLowerCase();
        var sc = $('sc').value;
        var pr = $('pr').value;
        var html = '';
        var kept = [];
        for (var i = 0; i < DATA.length; i++) {
            var r = DATA[i] || {};
            if (sc && sc !== r.scope) continue;
            if (pr && pr !== r.proto) continue;
            if (q) {
                var hay = field(r.port) + ' ' + field(r.proto) + ' ' + field(r.comm) + ' ' +
                          field(r.bind_addr);
                if (hay.toLowerCase().indexOf(q) < 0) continue;
            }
            kept.push(r);
            html += '<tr><td class="mo">' + esc(r.proto) + '</td><td class="mo">' +
                    esc(r.bind_addr) + '</td><td class="mo">' + esc(r.port) +
                    '</td><td><span class="tag ' + tagCls(r.scope) + '">' + esc(r.scope) +
                    '</span></td><td class="mo">' + (r.pid > 0 ? esc(r.pid) : '-') +
                    '</td><td>' + (r.comm ? esc(r.comm) : '-') + '</td><td>' +
                    (probeable(r) ? stateSpan(lastProbe[r.port]) +
                                    ' <button class="gh sm" data-p="' + esc(r.port) +
                                    '">Probe</button>'
                                  : stateSpan(null)) + '</td></tr>';
        }
        $('empty').className = kept.length ? 'hide' : '';
        // Most keystrokes keep the same rows: the table then already shows this
        // markup, and parsing it again would cost the most of all this work.
        if (html === shown) return;
        var rows = $('rows');
        var focused = focusedRow(rows);
        rows.innerHTML = html;
        shown = html;
        shownRows = kept;
        if (focused) refocus(rows, focused);
        var buttons = rows.querySelectorAll('button[data-p]');
        for (var j = 0; j < buttons.length; j++) {
            buttons[j].addEventListener('click', function () {
                doProbe(parseInt(this.getAttribute('data-p'), 10));
            });
        }
    }

    // Typing, the selects and probe results only mark the table stale; one animation
    // frame renders the latest state. A rebuild of a long table takes longer than the
    // keystrokes typed meanwhile, which then cost one rebuild together, not one each.
    function renderSoon() {
        if (stale) return;
        stale = true;
        requestAnimationFrame(function () {
            stale = false;
            render();
        });
    }

    // ---- probe --------------------------------------------------------------

    function resultLine(port, d) {
        var line = '127.0.0.1:' + port + ' -> ' + (d.open === true ? 'open' : 'closed') +
                   ' (connect ' + d.connect_ms + ' ms)';
        if (d.http_tried === true) {
            line += '; HTTP ' + (d.http_ok === true ? 'status ' + d.http_status : 'no response') +
                    ' in ' + d.http_ms + ' ms';
        }
        return line;
    }

    function doProbe(port) {
        if (!(port >= 1 && port <= 65535)) {
            txt('pOut', 'Port must be between 1 and 65535.');
            return;
        }
        txt('pOut', 'Probing 127.0.0.1:' + port + ' ...');
        api('probe', 'port=' + port)
            .then(function (d) {
                if (d.ok !== true) {
                    txt('pOut', d.error || 'probe failed');
                    return;
                }
                lastProbe[port] = d;
                txt('pOut', resultLine(port, d));
                renderSoon();
            })
            .catch(function (e) {
                txt('pOut', 'Probe failed: ' + e.message);
            });
    }

    // ---- theme --------------------------------------------------------------

    // The button names the theme the next click switches to.
    function toggleTheme() {
        var root = document.documentElement;
        if (root.getAttribute('data-t') === 'light') {
            root.setAttribute('data-t', 'dark');
            txt('thBtn', 'Light');
        } else {
            root.setAttribute('data-t', 'light');
            txt('thBtn', 'Dark');
        }
    }

    // ---- start --------------------------------------------------------------

    $('rfBtn').addEventListener('click', load);
    $('thBtn').addEventListener('click', toggleTheme);
    $('q').addEventListener('input', renderSoon);
    $('sc').addEventListener('change', renderSoon);
    $('pr').addEventListener('change', renderSoon);
    $('pBtn').addEventListener('click', function () {
        doProbe(parseInt($('pPort').value, 10));
    });
    load();
})();
