// The console's script, bundled from these modules into the page's one line. It runs
// once, at the end of the body, and leaves no global names behind.
'use strict';

import {$, txt} from './dom.js';
import {exportCsv} from './export.js';
import {doProbe} from './probes.js';
import {closeOnEscape, togglePanel} from './process.js';
import {load, startRefresh} from './refresh.js';
import {renderSoon, sortBy} from './table.js';

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

$('rfBtn').addEventListener('click', load);
$('thBtn').addEventListener('click', toggleTheme);
$('exBtn').addEventListener('click', exportCsv);
$('q').addEventListener('input', renderSoon);
$('sc').addEventListener('change', renderSoon);
$('pr').addEventListener('change', renderSoon);
$('pBtn').addEventListener('click',
                           function() { doProbe(parseInt($('pPort').value, 10), '', renderSoon); });
// One handler for every row's probe, PID and Conns button, whatever rows a render brings.
$('rows').addEventListener('click', function(e) {
    var b = e.target.closest('button[data-p]');
    if (b) doProbe(parseInt(b.getAttribute('data-p'), 10), b.getAttribute('data-a'), renderSoon);
    var p = e.target.closest('button[data-pid],button[data-cn]');
    if (p) togglePanel(p);
});
document.addEventListener('keydown', closeOnEscape);
document.querySelector('thead').addEventListener('click', function(e) {
    var b = e.target.closest('button[data-c]');
    if (b) sortBy(b.getAttribute('data-c'));
});
startRefresh();
load();
