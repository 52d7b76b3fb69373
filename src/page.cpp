#include "page.h"

#include "output.h"
// PAGE_* pieces, generated at build time from src/page (markup, style.css, script.js).
#include "page_text.h"

// The page is fixed text: nothing from the request goes into it, so both variants
// are the same bytes on every request.
void write_page(int embedded) {
    out_lit("Content-Type: text/html; charset=utf-8\r\n" NO_STORE_NOSNIFF "\r\n");
    out_lit(PAGE_DOC_START);
    out_lit(PAGE_STYLE);
    out_lit(PAGE_TOP_OPEN);
    if (!embedded) out_lit(PAGE_BACK_LINK);
    out_lit(PAGE_TOP_REST);
    out_lit(PAGE_CARD_SOCKETS);
    out_lit(PAGE_CARD_TABLE);
    out_lit(PAGE_CARD_PROBE);
    out_lit(PAGE_SCRIPT);
}
