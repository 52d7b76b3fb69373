// Small helpers over the document: the page's elements, text and escaping.

export function $(id) { return document.getElementById(id); }

// Sets the text content (never markup) of the element with that id, if there is one.
export function txt(id, value) {
    var el = $(id);
    if (el) el.textContent = value;
}

// Shows or hides an element through the class that hides it.
export function showEl(id, on) {
    var el = $(id);
    if (el) el.classList.toggle('hide', !on);
}

var ESC = {'&' : '&amp;', '<' : '&lt;', '>' : '&gt;', '"' : '&quot;', "'" : '&#39;'};

// Markup escaping: every value from the server passes through here before it
// enters markup.
export function esc(value) {
    if (value === undefined || value === null) return '';
    return String(value).replace(/[&<>"']/g, function(c) { return ESC[c]; });
}

// A value as text: the empty text when absent.
export function field(v) { return v === undefined || v === null ? '' : String(v); }
