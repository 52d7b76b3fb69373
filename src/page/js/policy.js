// What the file of expected listeners says of a load: the tile of unexpected rows, the
// rules that nothing matches and the lines of the file that are no rule.
import {$, esc, showEl, txt} from './dom.js';

// A row that a rule of the file should match and none does.
export function unexpected(r) { return r.expected === false; }

function missingItem(m) {
    return '<li>Not listening: <span class="mo">' + esc(m.proto) + ' ' + esc(m.bind_addr) + ' ' +
           esc(m.port) + '</span>, line ' + esc(m.line) + '</li>';
}

function errorText(e) { return (e.line > 0 ? 'line ' + e.line + ': ' : '') + String(e.error); }

// d is the load's answer (null when no list came), rows its rows.
export function showPolicy(d, rows) {
    var p = d && d.policy && typeof d.policy === 'object' ? d.policy : null;
    var n = 0;
    for (var i = 0; i < rows.length; i++) {
        if (unexpected(rows[i])) n++;
    }
    txt('kUnx', p ? n : '-');
    showEl('kUnxT', !!p);
    var miss = p && Array.isArray(d.missing)
                   ? d.missing.filter(function(m) { return m && typeof m === 'object'; })
                   : [];
    $('missList').innerHTML = miss.map(missingItem).join('');
    showEl('missList', miss.length > 0);
    var errs = p && Array.isArray(p.errors)
                   ? p.errors.filter(function(e) { return e && typeof e === 'object'; })
                   : [];
    txt('polErr', errs.length ? 'Expected listeners (' + String(p.path) +
                                    '): ' + errs.map(errorText).join('; ')
                              : '');
    showEl('polErr', errs.length > 0);
}
