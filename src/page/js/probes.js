// Probes: the address each row is probed at, the last result of every probe, the row
// states and the result line.
import {api} from './api.js';
import {esc, txt} from './dom.js';

var lastProbe = Object.create(null); // "address port" -> last probe body with ok true
var version = 0;                     // grows with every recorded result

// The address a probe of the row connects to: a TCP row's own, a wildcard one's
// loopback address of its family; '' for a row no probe can tell about (UDP, an
// address the table could not name, a socket of another network namespace, whose
// loopback is not this host's) or that the program says it would not take ("probe":
// false in the detail answer: an address that is not this host's).
export function probeAddr(r) {
    if (r.proto !== 'tcp' || r.probe === false || (r.netns !== undefined && r.netns !== 0)) {
        return '';
    }
    if (r.bind_addr === '0.0.0.0') return '127.0.0.1';
    if (r.bind_addr === '::') return '::1';
    if (typeof r.bind_addr !== 'string' || !/^[0-9A-Fa-f.:]+$/.test(r.bind_addr)) return '';
    return r.bind_addr;
}

// The last result for the row: from a probe of its own address and port only.
export function probeOf(r) {
    var addr = probeAddr(r);
    return addr ? lastProbe[addr + ' ' + r.port] : undefined;
}

export function probeVersion() { return version; }

// Open, refused, or neither: the probe could not tell (the connection could not even
// be tried), which is no "closed".
function outcome(p) {
    if (p.open === true) return 'open';
    return p.refused === true ? 'refused' : 'error';
}

export function stateText(p) {
    if (!p) return '';
    var o = outcome(p);
    return o === 'open' ? 'open ' + p.connect_ms + 'ms' : o;
}

var STATE_CLASS = {open : 'rt g', refused : 'rt r', error : 'rt e'};

export function stateSpan(p) {
    if (!p) return '<span class="rt n">-</span>';
    var o = outcome(p);
    var text = o === 'open' ? 'open ' + esc(p.connect_ms) + 'ms' : o;
    return '<span class="' + STATE_CLASS[o] + '">' + text + '</span>';
}

// Sort order of the Probe column: open (fastest first), refused, error, not probed,
// no probe at all.
export function probeRank(r) {
    if (!probeAddr(r)) return '4';
    var p = probeOf(r);
    if (!p) return '3';
    var o = outcome(p);
    if (o !== 'open') return o === 'refused' ? '1' : '2';
    var ms = Number(p.connect_ms);
    return '0' + (ms >= 0 && ms < 1e9 ? String(1e9 + Math.floor(ms)) : '2000000000');
}

function hostPort(addr, port) {
    return (addr.indexOf(':') >= 0 ? '[' + addr + ']' : addr) + ':' + port;
}

function resultLine(addr, port, d) {
    var o = outcome(d);
    var line = hostPort(addr, port) + ' -> ' + (o === 'refused' ? 'closed' : o) + ' (connect ' +
               d.connect_ms + ' ms)';
    if (d.http_tried === true) {
        line += '; HTTP ' + (d.http_ok === true ? 'status ' + d.http_status : 'no response') +
                ' in ' + d.http_ms + ' ms';
    }
    return line;
}

// Probes the port at the address (127.0.0.1 when none is given, which the program
// probes without being told); after() runs once a result is recorded.
export function doProbe(port, addr, after) {
    if (!(port >= 1 && port <= 65535)) {
        txt('pOut', 'Port must be between 1 and 65535.');
        return;
    }
    addr = addr || '127.0.0.1';
    txt('pOut', 'Probing ' + hostPort(addr, port) + ' ...');
    var extra = 'port=' + port;
    if (addr !== '127.0.0.1') extra += '&addr=' + encodeURIComponent(addr);
    api('probe', extra)
        .then(function(d) {
            if (d.ok !== true) {
                txt('pOut', d.error || 'probe failed');
                return;
            }
            lastProbe[addr + ' ' + port] = d;
            version++;
            txt('pOut', resultLine(addr, port, d));
            after();
        })
        .catch(function(e) { txt('pOut', 'Probe failed: ' + e.message); });
}
