// Loading the listener list: one load at a time, what changed since the last one, and
// the reloads of auto refresh.
import {api} from './api.js';
import {compareLoads} from './changes.js';
import {$, showEl, txt} from './dom.js';
import {showPolicy} from './policy.js';
import {render, setView} from './table.js';

var previous = null; // the rows of the last list that loaded, null before the first
var loading = false;
var again = false; // a load was asked for while one ran: one more follows it
var every = 0;     // auto refresh interval in seconds, 0 when off
var timer = 0;

var TILES = {kTotal : null, kTcp : 'tcp', kUdp : 'udp', kLoop : 'loopback', kWild : 'wildcard'};

// The server's counts; "-" for every tile when no list came.
function tiles(d) {
    var s = (d && d.summary) || {};
    for (var id in TILES) txt(id, !d ? '-' : (TILES[id] ? s[TILES[id]] : d.count) || 0);
}

// The lists the program could not read, named under the tiles.
// Owners hidden from the hub's account are said apart: their rows show no process.
function unreadable(list) {
    var names = Array.isArray(list) ? list.filter(function(n) {
        return typeof n === 'string' && n !== 'owners';
    })
                                    : [];
    var owners = Array.isArray(list) && list.indexOf('owners') >= 0;
    txt('unr', (names.length ? 'Lists that could not be read: ' + names.join(', ') : '') +
                   (owners ? (names.length ? '. ' : '') +
                                 'Some owners are hidden from the hub\'s account: their rows show no process.'
                           : ''));
    showEl('unr', names.length > 0 || owners);
}

function changesPill(c) {
    var any = c.added > 0 || c.gone > 0;
    txt('chPill', any ? '+' + c.added + ' new, -' + c.gone + ' gone' : '');
    showEl('chPill', any);
}

// A port published by address translation alone, as a row of its own: its host side, no
// process, marked NAT, leading where its forward says.
function natRow(p) {
    p = p && typeof p === 'object' ? p : {};
    var a = String(p.host_addr);
    var scope = a === '0.0.0.0' || a === '::' ? 'wildcard'
              : a.indexOf('127.') === 0 || a === '::1' ? 'loopback' : 'specific';
    return {proto : p.proto, bind_addr : p.host_addr, port : p.host_port, scope : scope, pid : 0,
            comm : '', netns : 0, probe : false, forward : p.forward, pod : p.pod,
            expected : p.expected, nat : true};
}

function apply(d) {
    if (d && d.ok === false) {
        // No list came: its error takes the rows' place, and the next list that
        // loads is compared with the last one that did.
        tiles(null);
        unreadable(null);
        showEl('gateOff', false);
        showPolicy(null, []);
        showEl('chPill', false);
        setView([], String(d.error || 'listeners failed'));
        render();
        return;
    }
    d = d || {};
    var rows = Array.isArray(d.listeners)
                   ? d.listeners.map(function(r) { return r && typeof r === 'object' ? r : {}; })
                   : [];
    if (Array.isArray(d.published)) rows = rows.concat(d.published.map(natRow));
    var c = compareLoads(previous, rows);
    previous = rows;
    tiles(d);
    // What the lists were really read from, when the answer says it.
    txt('srcPill',
        'source: ' + (typeof d.reader === 'string' && d.reader ? d.reader : d.source || 'local'));
    changesPill(c);
    unreadable(d.unreadable);
    // Only a plain false warns: an answer that does not say tells nothing.
    showEl('gateOff', d.gate === false);
    showPolicy(d, rows);
    setView(c.items, '');
    render();
}

// The next auto refresh, counted from now: only while it is on, the page shows and
// no load runs (a load's end schedules the next).
function schedule() {
    clearTimeout(timer);
    timer = 0;
    if (every > 0 && !loading && document.visibilityState !== 'hidden') {
        timer = setTimeout(function() {
            timer = 0;
            load();
        }, every * 1000);
    }
}

// Loads the list; never two at once: asked during a load, it loads once more after it.
export function load() {
    if (loading) {
        again = true;
        return;
    }
    loading = true;
    clearTimeout(timer);
    timer = 0;
    api('listeners', 'detail=1')
        .then(apply)
        .catch(function(e) { txt('pOut', 'Load failed: ' + e.message); })
        .then(function() {
            loading = false;
            if (again) {
                again = false;
                load();
            } else {
                schedule();
            }
        });
}

// Auto refresh follows the select; it pauses while the page is hidden and loads once
// when it shows again.
export function startRefresh() {
    $('arSel').addEventListener('change', function() {
        every = Number($('arSel').value) || 0;
        schedule();
    });
    document.addEventListener('visibilitychange', function() {
        if (document.visibilityState === 'hidden') {
            clearTimeout(timer);
            timer = 0;
        } else if (every > 0) {
            load();
        }
    });
}
