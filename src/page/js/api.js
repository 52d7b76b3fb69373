// The hub's context from the page's own address, and the program's API through the hub.

var params = new URLSearchParams(location.search);
export var node = params.get('node') || '';
var sid = params.get('id') || '';
var HUB = params.get('plugin') || '';
var pwd = params.get('pwd') || '';

// The hub's other pages keep node passwords in local storage. Storage can be closed
// to the page (a sandboxed frame, a browser setting): then it holds nothing for us,
// instead of stopping the whole script.
function stored(name) {
    try {
        return localStorage.getItem(name) || '';
    } catch (e) {
        return '';
    }
}
if (!pwd && node) pwd = stored('bot_pwd_' + node);
if (!pwd) pwd = stored('bot_active_pwd');

// A header value can carry only printable ASCII; a password with anything else
// travels in the pwd parameter alone, which the gate accepts as well.
function headerSafe(s) {
    for (var i = 0; i < s.length; i++) {
        var c = s.charCodeAt(i);
        if (c < 32 || c > 126) return false;
    }
    return true;
}

// GET of one action; yields the parsed JSON body, or fails with "HTTP <status>" or
// the parser's message.
export function api(action, extra) {
    var url = HUB ? '/plugins?plugin=' + encodeURIComponent(HUB) + '&' : '/plugin_ports?';
    url += 'action=' + encodeURIComponent(action);
    if (extra) url += '&' + extra;
    if (node) url += '&node=' + encodeURIComponent(node);
    if (sid) url += '&id=' + encodeURIComponent(sid);
    if (pwd) url += '&pwd=' + encodeURIComponent(pwd);
    var init = {method : 'GET'};
    if (pwd && headerSafe(pwd)) init.headers = {'X-Bot-Password' : pwd};
    return fetch(url, init).then(function(r) {
        if (r.status < 200 || r.status > 299) throw new Error('HTTP ' + r.status);
        return r.json();
    });
}
