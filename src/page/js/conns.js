// The connections panel: a TCP row's Conns count is a button that opens, under the row,
// who is connected to that listener (the peers answer: the busiest remote addresses and
// their connections). The node shows it only behind its password; without one the
// panel says so.
import {esc, field} from './dom.js';

// The Conns cell's count as a button; k tells the row apart as the PID button's does.
export function connsButton(r, count) {
    return '<button class="pid" data-cn="' + esc(r.port) + '" data-ca="' + esc(r.bind_addr) +
           '" data-k="' + esc(r.proto + ' ' + r.bind_addr + ' ' + r.port) +
           '" aria-expanded="false" title="Who is connected">' + esc(count) + '</button>';
}

// The peers request of a Conns button: its listener's port and address.
export function peersQuery(button) {
    return 'port=' + encodeURIComponent(button.getAttribute('data-cn')) +
           '&addr=' + encodeURIComponent(button.getAttribute('data-ca'));
}

function plural(n, one, many) { return n + ' ' + (n === 1 ? one : many); }

// The panel's content for a peers answer d.
export function peersHtml(d) {
    if (!d || d.ok !== true) {
        return '<dt>Connections</dt><dd>' + esc((d && d.error) || 'peers failed') + '</dd>';
    }
    var peers = Array.isArray(d.peers) ? d.peers : [];
    var total = typeof d.total === 'number' ? d.total : 0;
    var other = typeof d.other === 'number' ? d.other : 0;
    var from = total ? ' from ' + plural(peers.length, 'address', 'addresses') : '';
    if (other > 0) from += ' and more';
    var html = '<dt>Connections</dt><dd>' + esc(plural(total, 'connection', 'connections') + from) +
               '</dd>';
    for (var i = 0; i < peers.length; i++) {
        var p = peers[i] || {};
        html +=
            '<dt class="mo">' + esc(field(p.addr)) + '</dt><dd>' + esc(field(p.count)) + '</dd>';
    }
    if (other > 0) html += '<dt>Other addresses</dt><dd>' + esc(other) + '</dd>';
    return html;
}
