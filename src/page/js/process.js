// The panels under a row: a row's PID button opens what the process answer tells of
// that process (program, arguments, folder, start, parents, sockets), its Conns button
// who is connected to the listener (conns.js). One panel at a time; Escape or the
// button closes it, and the focus goes back to the button. The table's renders rebuild
// the rows; the panel is kept across them (panelBefore, panelAfter).
import {api} from './api.js';
import {peersHtml, peersQuery} from './conns.js';
import {esc, field} from './dom.js';

var panel = null; // the panel's row, while one is open
var kind = 'pid'; // which button opened it: its data-pid, or data-cn (connections)
var openPid = ''; // that attribute's value: the pid, or the listener's port
var openKey = ''; // the data-k of the button that opened it
var openNth = 0;  // equal buttons before that one
var asked = 0;    // the number of the last request: a late answer of an earlier one is dropped

// What each kind of panel is called and asks for.
var KINDS = {
    pid : {id : 'procPanel', name : 'Process', label : 'Process '},
    cn : {id : 'connPanel', name : 'Connections', label : 'Connections of port '},
};

var LEFT_ARROW = ' \u2190 ';

// The PID cell's button; k tells the row apart from others of the same process.
export function pidButton(r) {
    return '<button class="pid" data-pid="' + esc(r.pid) + '" data-k="' +
           esc(r.proto + ' ' + r.bind_addr + ' ' + r.port) + '" aria-expanded="false">' +
           esc(r.pid) + '</button>';
}

// "3 d 4 h": the two largest units of a duration in seconds.
export function ageText(s) {
    s = Math.max(0, Math.floor(s));
    var d = Math.floor(s / 86400), h = Math.floor(s % 86400 / 3600);
    var m = Math.floor(s % 3600 / 60);
    if (d) return d + ' d ' + h + ' h';
    if (h) return h + ' h ' + m + ' min';
    if (m) return m + ' min ' + s % 60 + ' s';
    return s + ' s';
}

var WITHHELD = '<span class="nr">withheld: shown only behind a node password</span>';
var UNREADABLE = '<span class="nr">not readable with the hub\'s rights</span>';

function list(v) { return Array.isArray(v) ? v : []; }

// What stands in a missing fact's place: why it is missing, or "-" when the process
// has none.
function missing(d, key) {
    var why = list(d.unreadable);
    if (why.indexOf(key + ':no-password') >= 0) return WITHHELD;
    return why.indexOf(key) >= 0 ? UNREADABLE : '-';
}

// A fact's markup: its value (escaped, or as html when given), else what stands in
// its place.
function fact(d, key, html) {
    var v = d[key];
    if (v === null || v === undefined) return missing(d, key);
    return html === undefined ? esc(v) : html;
}

function socketsText(sockets) {
    return list(sockets)
        .map(function(s) {
            var a = field(s && s.bind_addr);
            return field(s && s.proto) + ' ' + (a.indexOf(':') >= 0 ? '[' + a + ']' : a) + ':' +
                   field(s && s.port);
        })
        .join(', ');
}

function factsHtml(d) {
    var when = field(d.started).replace('T', ' ').replace('Z', ' UTC') +
               (typeof d.age_s === 'number' ? ', ' + ageText(d.age_s) + ' ago' : '');
    var parents =
        list(d.parents).map(function(p) { return field(p && p.comm) || field(p && p.pid); });
    var chain = esc(parents.join(LEFT_ARROW));
    // A chain that stops at a process the hub may not read goes on beyond it.
    if (list(d.unreadable).indexOf('parents') >= 0) {
        chain = parents.length ? chain + LEFT_ARROW + UNREADABLE : UNREADABLE;
    }
    var deleted = d.exe_deleted === true ? ' <span class="tag t-dl">deleted</span>' : '';
    // The command line on one line, in a field of its own: it can be selected whole.
    var line = '<input class="cl" readonly aria-label="Command line" value="' +
               esc(list(d.cmdline).join(' ')) + '">';
    var container = d.container ? ' <span class="tag t-ct">' + esc(d.container) + '</span>' : '';
    // Without the service list an empty service is no "runs none".
    var service = list(d.unreadable).indexOf('services') >= 0 ? UNREADABLE
                                                               : esc(field(d.service) || '-');
    var rows = [
        [ 'Program', fact(d, 'exe', esc(d.exe) + deleted) ],
        [ 'Command line', fact(d, 'cmdline', line) ],
        [ 'Folder', fact(d, 'cwd') ],
        [ 'Started', fact(d, 'started', esc(when)) ],
        [ 'Parents', chain || '-' ],
        [ 'User', fact(d, 'user') ],
        [ 'Service', service + container ],
        [ 'Sockets', fact(d, 'sockets', esc(socketsText(d.sockets) || '-')) ],
    ];
    return rows.map(function(x) { return '<dt>' + x[0] + '</dt><dd>' + x[1] + '</dd>'; }).join('');
}

function fill(html) { panel.querySelector('.pf').innerHTML = html; }

// The open panel's button, or null.
function openButton() {
    var b = document.querySelectorAll('#rows button[data-' + kind + ']');
    var nth = openNth;
    for (var i = 0; i < b.length; i++) {
        if (b[i].getAttribute('data-' + kind) !== openPid ||
            b[i].getAttribute('data-k') !== openKey) {
            continue;
        }
        if (nth-- === 0) return b[i];
    }
    return null;
}

function closePanel(refocus) {
    if (!panel) return;
    var button = openButton();
    panel.remove();
    panel = null;
    asked++;
    if (button) {
        button.setAttribute('aria-expanded', 'false');
        if (refocus) button.focus();
    }
}

function place(button) {
    var tr = button.closest('tr');
    tr.parentNode.insertBefore(panel, tr.nextSibling);
    panel.firstChild.colSpan = tr.cells.length;
    button.setAttribute('aria-expanded', 'true');
}

// The panel's content for an answer d of its request.
function answerHtml(d) {
    if (kind === 'cn') return peersHtml(d);
    if (!d || d.ok !== true) {
        return '<dt>Process</dt><dd>' + esc((d && d.error) || 'process failed') + '</dd>';
    }
    return factsHtml(d);
}

// A click on a PID or Conns button: opens its panel, or closes it when it is the open one.
export function togglePanel(button) {
    var same = panel && button === openButton();
    closePanel(same);
    if (same) return;
    kind = button.hasAttribute('data-pid') ? 'pid' : 'cn';
    var k = KINDS[kind];
    openPid = button.getAttribute('data-' + kind);
    openKey = button.getAttribute('data-k');
    openNth = 0;
    var b = document.querySelectorAll('#rows button[data-' + kind + ']');
    for (var i = 0; i < b.length && b[i] !== button; i++) {
        if (b[i].getAttribute('data-' + kind) === openPid &&
            b[i].getAttribute('data-k') === openKey) {
            openNth++;
        }
    }
    panel = document.createElement('tr');
    panel.className = 'pp';
    panel.innerHTML = '<td><dl class="pf" id="' + k.id + '" role="region" aria-label="' + k.label +
                      esc(openPid) + '"><dt>' + k.name + '</dt><dd>Loading...</dd></dl></td>';
    button.setAttribute('aria-controls', k.id);
    place(button);
    var mine = ++asked;
    var request = kind === 'pid' ? api('process', 'pid=' + encodeURIComponent(openPid))
                                 : api('peers', peersQuery(button));
    request
        .then(function(d) {
            if (mine === asked) fill(answerHtml(d));
        })
        .catch(function(e) {
            if (mine === asked)
                fill('<dt>' + k.name + '</dt><dd>' + esc('Failed: ' + e.message) + '</dd>');
        });
}

export function closeOnEscape(e) {
    if (e.key === 'Escape' && panel) closePanel(true);
}

// Before the table's rows are rebuilt: takes the panel out (so that the rows are the
// table's alone) and gives what held the focus inside it.
export function panelBefore() {
    if (!panel) return null;
    var focused = panel.contains(document.activeElement) ? document.activeElement : null;
    panel.remove();
    return focused;
}

// After: puts the panel back under its row's new button, or closes it when the row is
// no longer shown.
export function panelAfter(focused) {
    if (!panel) return;
    var button = openButton();
    if (!button) {
        panel = null;
        asked++;
        return;
    }
    place(button);
    button.setAttribute('aria-controls', KINDS[kind].id);
    if (focused) focused.focus();
}
