// Sorting the table by a column: numbers as numbers, addresses by family and then
// numerically, the rest as text; equal rows keep the order they had.

function hex(n, width) {
    var s = n.toString(16);
    while (s.length < width) s = '0' + s;
    return s;
}

// The four numbers of a dotted IPv4 text, or null.
function ipv4Parts(text) {
    var parts = text.split('.');
    if (parts.length !== 4) return null;
    for (var i = 0; i < 4; i++) {
        if (!/^\d{1,3}$/.test(parts[i]) || Number(parts[i]) > 255) return null;
        parts[i] = Number(parts[i]);
    }
    return parts;
}

// The eight 16-bit groups of an IPv6 text (a dotted IPv4 tail included), or null.
function ipv6Groups(text) {
    var halves = text.split('::');
    if (halves.length > 2) return null;
    var lists = halves.map(function(h) { return h ? h.split(':') : []; });
    for (var l = 0; l < lists.length; l++) {
        var list = lists[l];
        var last = list.length ? list[list.length - 1] : '';
        if (last.indexOf('.') >= 0) {
            var v4 = ipv4Parts(last);
            if (!v4) return null;
            list.splice(list.length - 1, 1, (v4[0] << 8 | v4[1]).toString(16),
                        (v4[2] << 8 | v4[3]).toString(16));
        }
    }
    var head = lists[0];
    var tail = lists.length > 1 ? lists[1] : [];
    var fill = 8 - head.length - tail.length;
    if ((lists.length === 1 && fill !== 0) || fill < 0 || (lists.length > 1 && fill < 1))
        return null;
    var groups = head.slice();
    for (var f = 0; f < (lists.length > 1 ? fill : 0); f++) groups.push('0');
    groups = groups.concat(tail);
    for (var g = 0; g < 8; g++) {
        if (!/^[0-9A-Fa-f]{1,4}$/.test(groups[g])) return null;
        groups[g] = parseInt(groups[g], 16);
    }
    return groups;
}

// A text that orders addresses as wanted when compared as text: IPv4 before IPv6,
// each by its numbers; anything else after both, as text.
export function addressKey(text) {
    var s = text === undefined || text === null ? '' : String(text);
    var v4 = ipv4Parts(s);
    if (v4) return '4' + v4.map(function(n) { return hex(n, 2); }).join('');
    var v6 = s.indexOf(':') >= 0 ? ipv6Groups(s) : null;
    if (v6) return '6' + v6.map(function(n) { return hex(n, 4); }).join('');
    return '9' + s.toLowerCase();
}

// Sorts items by the key key(item) gives: numbers or texts, never mixed in one column.
// dir 1 ascends, -1 descends; equal keys keep the items' order. A new array.
export function sortItems(items, key, dir) {
    var keyed = items.map(function(item, at) { return {item : item, key : key(item), at : at}; });
    keyed.sort(function(a, b) {
        if (a.key < b.key) return -dir;
        if (a.key > b.key) return dir;
        return a.at - b.at;
    });
    return keyed.map(function(k) { return k.item; });
}
