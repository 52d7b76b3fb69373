// The listener table: filters, sort, the row markup and its one-assignment render.
import {GONE, NEW} from './changes.js';
import {connsButton} from './conns.js';
import {$, esc, field} from './dom.js';
import {notJudged, unexpected} from './policy.js';
import {probeAddr, probeOf, probeRank, probeVersion, stateSpan} from './probes.js';
import {panelAfter, panelBefore, pidButton} from './process.js';
import {addressKey, sortItems} from './sort.js';

var view = [];       // items of the last load: { r: row, ch: change }
var shown = null;    // the row markup the table holds now
var shownItems = []; // the items behind the table's rows, in their order
var stale = false;   // a render is asked for in the next animation frame
var sortCol = '';    // '' keeps the server's order
var sortDir = 1;
var sorted = null; // view in sort order, and what it was sorted for
var sortedFor = '';

// The table's rows from now on: the items of a load, or none with the load's error
// text in their place.
export function setView(items, error) {
    view = items;
    sorted = null;
    $('lsErr').textContent = error || '';
    $('lsErr').className = error ? '' : 'hide';
}

// ---- cells ------------------------------------------------------------------

function num(v) { return typeof v === 'number' && isFinite(v) ? v : -Infinity; }

// A TCP row's established connections, or -1 where there is no count.
export function connsOf(r) {
    return r.proto === 'tcp' && typeof r.conns === 'number' && r.conns >= 0 ? r.conns : -1;
}

// The process as the table names it: its name, then the service it runs.
export function processText(r) { return field(r.comm) + (r.service ? ' - ' + r.service : ''); }

// Where a row of another network namespace lives: its container (its Kubernetes pod or
// the name its engine gives it first, then its id), else "ns:" and the namespace's number
// ("?" for one the program may not name); '' for the program's own.
export function placeText(r) {
    var pod = r.pod && typeof r.pod === 'object' ? r.pod.namespace + '/' + r.pod.name + ' ' : '';
    if (r.container) return (pod || (r.container_name ? r.container_name + ' ' : '')) + r.container;
    if (r.netns === undefined || r.netns === 0) return '';
    return 'ns:' + (typeof r.netns === 'number' ? r.netns : '?');
}

// Where a forwarder's socket leads, "\u2192 web1:80": the pod ("shop/web"), else the
// container's name, else its id, else the address; '' when it leads nowhere said.
export function forwardText(r) {
    var f = r.forward;
    if (!f || typeof f !== 'object') return '';
    var pod = r.pod && typeof r.pod === 'object' ? r.pod.namespace + '/' + r.pod.name : '';
    var to = pod || f.name || f.container || '';
    if (!to) {
        to = field(f.addr);
        if (to.indexOf(':') >= 0) to = '[' + to + ']';
    }
    return '\u2192 ' + to + ':' + field(f.port);
}

// "queue/backlog" of a listener with connections waiting to be accepted, or ''.
export function queueText(r) {
    if (r.proto !== 'tcp' || !(r.queue > 0)) return '';
    return r.queue + '/' + (r.backlog >= 0 ? r.backlog : '-');
}

function queueFull(r) { return r.backlog >= 0 && r.queue >= r.backlog; }

// Sort keys by column (the data-c of its header button).
var KEYS = {
    proto : function(r) { return field(r.proto).toLowerCase(); },
    bind : function(r) { return addressKey(r.bind_addr); },
    port : function(r) { return num(r.port); },
    scope : function(r) { return field(r.scope).toLowerCase(); },
    pid : function(r) { return num(r.pid); },
    process : function(r) { return processText(r).toLowerCase(); },
    user : function(r) { return field(r.user).toLowerCase(); },
    conns : connsOf,
};

function tagCls(scope) {
    if (scope === 'loopback') return 't-lo';
    if (scope === 'wildcard') return 't-wi';
    return 't-sp';
}

var MARK = [ '', ' <span class="mk">new</span>', ' <span class="mk">gone</span>' ];
var ROW_CLASS = [ '', 'new', 'gone' ];

// A count of connections opens who they are from, for a listener of this host that is
// still there.
function connsCell(it, conns) {
    if (conns < 0) return '-';
    var own = it.r.netns === undefined || it.r.netns === 0;
    return own && it.ch !== GONE ? connsButton(it.r, conns) : esc(conns);
}

function rowHtml(it) {
    var r = it.r;
    var conns = connsOf(r);
    var queue = queueText(r);
    var addr = it.ch === GONE ? '' : probeAddr(r);
    var place = placeText(r);
    var fw = forwardText(r);
    // A row that is gone is judged no more.
    var unx = it.ch !== GONE && unexpected(r);
    var nj = it.ch !== GONE && notJudged(r);
    var cls = ROW_CLASS[it.ch] + (unx ? (it.ch ? ' ' : '') + 'unx' : '');
    return (cls ? '<tr class="' + cls + '">' : '<tr>') + '<td class="mo">' + esc(r.proto) +
           MARK[it.ch] + (unx ? ' <span class="mk ux">unexpected</span>' : '') +
           (nj ? ' <span class="mk nj">not judged</span>' : '') +
           '</td><td class="mo">' + esc(r.bind_addr) + '</td><td class="mo">' + esc(r.port) +
           '</td><td><span class="tag ' + tagCls(r.scope) + '">' + esc(r.scope) +
           '</span></td><td class="mo">' +
           (r.pid > 0 ? (it.ch === GONE ? esc(r.pid) : pidButton(r)) : '-') + '</td><td>' +
           (r.comm ? esc(r.comm) : '-') + (r.service ? ' - ' + esc(r.service) : '') +
           (r.nat ? ' <span class="tag t-nat">NAT</span>' : '') +
           (place ? ' <span class="tag t-ct">' + esc(place) + '</span>' : '') +
           (fw ? ' <span class="fw">' + esc(fw) + '</span>' : '') + '</td><td>' +
           (r.user ? esc(r.user) : '-') + '</td><td class="mo">' + connsCell(it, conns) +
           (queue
                ? ' <span class="qu' + (queueFull(r) ? ' full' : '') + '">' + esc(queue) + '</span>'
                : '') +
           '</td><td>' +
           (addr ? stateSpan(probeOf(r)) + ' <button class="gh sm" data-a="' + esc(addr) +
                       '" data-p="' + esc(r.port) + '">Probe</button>'
                 : stateSpan(null)) +
           '</td></tr>';
}

// ---- filters and order ------------------------------------------------------------

// The text filter's haystack: port, protocol, process and address joined by blanks as
// always, then service, user, container or namespace, forward and the word "unexpected"
// of a row no rule expects after line breaks, which no typed filter holds, so a filter
// cannot run from the address into them.
function haystack(it) {
    if (it.h === undefined) {
        var r = it.r;
        it.h = (field(r.port) + ' ' + field(r.proto) + ' ' + field(r.comm) + ' ' +
                field(r.bind_addr) + '\n' + field(r.service) + '\n' + field(r.user) + '\n' +
                placeText(r) + '\n' + forwardText(r) + (r.nat ? '\nnat' : '') +
                (it.ch !== GONE && unexpected(r) ? '\nunexpected' : ''))
                   .toLowerCase();
    }
    return it.h;
}

function keyOf(col) {
    if (col === 'probe') {
        return function(it) { return probeRank(it.r); };
    }
    return function(it) {
        var k = it.k || (it.k = {});
        if (!(col in k)) k[col] = KEYS[col](it.r);
        return k[col];
    };
}

// The load's items in the chosen order; sorted once per order, load and probe result.
function ordered() {
    if (!sortCol) return view;
    var wanted = sortCol + ' ' + sortDir + ' ' + (sortCol === 'probe' ? probeVersion() : '');
    if (!sorted || sortedFor !== wanted) {
        sorted = sortItems(view, keyOf(sortCol), sortDir);
        sortedFor = wanted;
    }
    return sorted;
}

// The items the table shows: after the filters, in the chosen order.
export function visibleItems() {
    var q = $('q').value.toLowerCase();
    var sc = $('sc').value;
    var pr = $('pr').value;
    var all = ordered();
    var kept = [];
    for (var i = 0; i < all.length; i++) {
        var r = all[i].r;
        if (sc && sc !== r.scope) continue;
        if (pr && pr !== r.proto) continue;
        if (q && haystack(all[i]).indexOf(q) < 0) continue;
        kept.push(all[i]);
    }
    return kept;
}

// A click on a column's header: sorts by it, ascending; a second click reverses.
export function sortBy(col) {
    if (!Object.prototype.hasOwnProperty.call(KEYS, col) && col !== 'probe') return;
    sortDir = col === sortCol ? -sortDir : 1;
    sortCol = col;
    var heads = document.querySelectorAll('thead th');
    for (var i = 0; i < heads.length; i++) {
        var b = heads[i].querySelector('button[data-c]');
        if (b && b.getAttribute('data-c') === col) {
            heads[i].setAttribute('aria-sort', sortDir > 0 ? 'ascending' : 'descending');
        } else {
            heads[i].removeAttribute('aria-sort');
        }
    }
    renderSoon();
}

// ---- render -----------------------------------------------------------------

function sameRow(a, b) {
    return a.proto === b.proto && a.bind_addr === b.bind_addr && a.port === b.port &&
           a.netns === b.netns;
}

// The focused row button as (row, how many equal rows come before it, which of its
// buttons), or null.
function focusedRow(rows) {
    var el = document.activeElement;
    if (!el || el.tagName !== 'BUTTON' || !rows.contains(el)) return null;
    var at = el.closest('tr').sectionRowIndex;
    var it = shownItems[at];
    if (!it) return null;
    var nth = 0;
    for (var i = 0; i < at; i++) {
        if (sameRow(shownItems[i].r, it.r)) nth++;
    }
    return {
        row : it.r,
        nth : nth,
        sel : el.hasAttribute('data-pid')  ? 'button[data-pid]'
              : el.hasAttribute('data-cn') ? 'button[data-cn]'
                                           : 'button[data-p]'
    };
}

// A rebuild drops the focused button with the old rows; the keyboard user goes on
// from the same row's button in the new ones.
function refocus(rows, was) {
    var nth = was.nth;
    for (var i = 0; i < shownItems.length; i++) {
        if (!sameRow(shownItems[i].r, was.row)) continue;
        if (nth > 0) {
            nth--;
            continue;
        }
        var button = rows.rows[i].querySelector(was.sel);
        if (button) button.focus();
        return;
    }
}

export function render() {
    var items = visibleItems();
    var html = '';
    for (var i = 0; i < items.length; i++) html += rowHtml(items[i]);
    $('empty').className = items.length || $('lsErr').textContent ? 'hide' : '';
    // Most keystrokes keep the same rows: the table then already shows this markup,
    // and parsing it again would cost the most of all this work.
    if (html === shown) return;
    var rows = $('rows');
    var inPanel = panelBefore();
    var focused = focusedRow(rows);
    rows.innerHTML = html;
    shown = html;
    shownItems = items;
    if (focused) refocus(rows, focused);
    panelAfter(inPanel);
}

// Typing, the selects, the sort and probe results only mark the table stale; one
// animation frame renders the latest state. A rebuild of a long table takes longer
// than the keystrokes typed meanwhile, which then cost one rebuild together.
export function renderSoon() {
    if (stale) return;
    stale = true;
    requestAnimationFrame(function() {
        stale = false;
        render();
    });
}
