// What the file of expected listeners says of a load: the tile of unexpected rows, the
// rules that nothing matches and the lines of the file that are no rule.
import {$, esc, showEl, txt} from './dom.js';

// Whether the last load had a policy in force.
var judging = false;

// A row that a rule of the file should match and none does.
export function unexpected(r) { return r.expected === false; }

// A row of the program's own namespace that the policy could not judge: it would match
// a rule but for a fact the program could not read. Neither expected nor unexpected.
export function notJudged(r) { return judging && r.expected === null && r.netns === 0; }

function ruleText(m) {
    return '<span class="mo">' + esc(m.proto) + ' ' + esc(m.bind_addr) + ' ' + esc(m.port) +
           '</span>, line ' + esc(m.line);
}

function missingItem(m) { return '<li>Not listening: ' + ruleText(m) + '</li>'; }

function unjudgedItem(m) {
    return '<li class="nj">Not judged: ' + ruleText(m) + ' (a fact it names could not be read)</li>';
}

function objects(list) {
    return Array.isArray(list) ? list.filter(function(m) { return m && typeof m === 'object'; })
                               : [];
}

function errorText(e) { return (e.line > 0 ? 'line ' + e.line + ': ' : '') + String(e.error); }

// d is the load's answer (null when no list came), rows its rows.
export function showPolicy(d, rows) {
    var p = d && d.policy && typeof d.policy === 'object' ? d.policy : null;
    var n = 0;
    for (var i = 0; i < rows.length; i++) {
        if (unexpected(rows[i])) n++;
    }
    judging = !!p;
    txt('kUnx', p ? n : '-');
    showEl('kUnxT', !!p);
    var miss = p ? objects(d.missing) : [];
    var unj = p ? objects(d.unjudged) : [];
    $('missList').innerHTML = miss.map(missingItem).join('') + unj.map(unjudgedItem).join('');
    showEl('missList', miss.length + unj.length > 0);
    var errs = p && Array.isArray(p.errors)
                   ? p.errors.filter(function(e) { return e && typeof e === 'object'; })
                   : [];
    txt('polErr', errs.length ? 'Expected listeners (' + String(p.path) +
                                    '): ' + errs.map(errorText).join('; ')
                              : '');
    showEl('polErr', errs.length > 0);
}
