// What changed between two loads. A row is the same row when its protocol, address,
// port, process and network namespace are; rows that agree on all are matched in their
// order.

export var SAME = 0;
export var NEW = 1;
export var GONE = 2;

function rowKey(r) {
    return r.proto + ' ' + r.bind_addr + ' ' + r.port + ' ' + r.pid + ' ' + r.netns;
}

// Counts of each row key in a list of rows.
function tally(rows) {
    var counts = new Map();
    for (var i = 0; i < rows.length; i++) {
        var k = rowKey(rows[i]);
        counts.set(k, (counts.get(k) || 0) + 1);
    }
    return counts;
}

// Takes one row of key k out of counts; false when none is left.
function takeOne(counts, k) {
    var n = counts.get(k);
    if (!n) return false;
    counts.set(k, n - 1);
    return true;
}

// The server orders rows by port, then protocol.
function servedBefore(a, b) {
    return a.port < b.port || (a.port === b.port && String(a.proto) < String(b.proto));
}

// The rows of a load as the table shows them: { items, added, gone }. Each item is
// { r: row, ch: SAME | NEW | GONE }. Without a previous load nothing is new. Rows
// that are gone stay, merged into the new rows in the server's order, for this load.
export function compareLoads(prev, rows) {
    var items = [];
    var i;
    if (!prev) {
        for (i = 0; i < rows.length; i++) items.push({r : rows[i], ch : SAME});
        return {items : items, added : 0, gone : 0};
    }
    var before = tally(prev);
    var now = tally(rows);
    var added = 0;
    var gone = [];
    for (i = 0; i < prev.length; i++) {
        if (!takeOne(now, rowKey(prev[i]))) gone.push(prev[i]);
    }
    var j = 0;
    for (i = 0; i < rows.length; i++) {
        while (j < gone.length && servedBefore(gone[j], rows[i]))
            items.push({r : gone[j++], ch : GONE});
        var isNew = !takeOne(before, rowKey(rows[i]));
        if (isNew) added++;
        items.push({r : rows[i], ch : isNew ? NEW : SAME});
    }
    while (j < gone.length) items.push({r : gone[j++], ch : GONE});
    return {items : items, added : added, gone : gone.length};
}
