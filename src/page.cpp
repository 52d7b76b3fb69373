#include "page.h"

#include "output.h"

// UNFINISHED: the console page is not built yet. This placeholder only carries the
// HTML header block and the back link of the full variant, so routing can be seen.
void write_page(int embedded) {
    out_lit("Content-Type: text/html; charset=utf-8\r\n"
            "Cache-Control: no-store\r\n"
            "X-Content-Type-Options: nosniff\r\n"
            "\r\n"
            "<!DOCTYPE html>\n<html lang='en'><body>");
    if (!embedded) out_lit("<a href='/'>&larr;</a>");
    out_lit("<p>UNFINISHED: the console page is not built yet.</p></body></html>\n");
}
