// The rows shown, after filter and sort, as a CSV file (RFC 4180) that a spreadsheet
// opens without running any cell as a formula.
import {node} from './api.js';
import {GONE} from './changes.js';
import {field} from './dom.js';
import {probeAddr, probeOf, stateText} from './probes.js';
import {connsOf, forwardText, placeText, processText, queueText, visibleItems} from './table.js';

var HEADER = [ 'Proto', 'Bind', 'Port', 'Scope', 'PID', 'Process', 'User', 'Conns', 'Probe' ];

// One cell: a text a spreadsheet would take for a formula gets a quote in front; a
// text with a separator, a quote or a line end is quoted.
export function csvCell(value) {
    var s = field(value);
    if (/^[=+\-@\t\r]/.test(s)) s = "'" + s;
    if (/[",\r\n]/.test(s)) s = '"' + s.replace(/"/g, '""') + '"';
    return s;
}

// The cells of a row as the table shows them, with nothing where it shows "-".
function cells(r) {
    var conns = connsOf(r);
    var queue = queueText(r);
    return [
        r.proto, r.bind_addr, r.port, r.scope, r.pid > 0 ? r.pid : '',
        processText(r) + (placeText(r) ? ' ' + placeText(r) : '') +
            (forwardText(r) ? ' ' + forwardText(r) : ''),
        r.user, (conns >= 0 ? conns : '') + (queue ? ' ' + queue : ''),
        probeAddr(r) ? stateText(probeOf(r)) : ''
    ];
}

// The file's text: the header line and one line per row listening now (the rows
// marked gone are shown for a moment only), each ended by CR LF.
export function csvText() {
    var lines = [ HEADER.join(',') ];
    var items = visibleItems();
    for (var i = 0; i < items.length; i++) {
        if (items[i].ch !== GONE) lines.push(cells(items[i].r).map(csvCell).join(','));
    }
    return lines.join('\r\n') + '\r\n';
}

function two(n) { return (n < 10 ? '0' : '') + n; }

// "ports-<node>-YYYYMMDD-HHMMSS.csv" in local time; the node's name only as far as
// it is safe in a file name.
export function csvName(now) {
    var stamp = now.getFullYear() + two(now.getMonth() + 1) + two(now.getDate()) + '-' +
                two(now.getHours()) + two(now.getMinutes()) + two(now.getSeconds());
    var safe = node.replace(/[^A-Za-z0-9._-]/g, '_').slice(0, 64);
    return 'ports-' + (safe ? safe + '-' : '') + stamp + '.csv';
}

export function exportCsv() {
    var url = URL.createObjectURL(new Blob([ csvText() ], {type : 'text/csv;charset=utf-8'}));
    var a = document.createElement('a');
    a.href = url;
    a.download = csvName(new Date());
    document.body.appendChild(a);
    a.click();
    a.remove();
    // The download has taken its copy by then.
    setTimeout(function() { URL.revokeObjectURL(url); }, 10000);
}
