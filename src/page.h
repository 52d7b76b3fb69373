// The console page.
#pragma once

// Writes the HTML header block and the whole page; the embedded variant (embedded
// != 0) has no link back to the hub's root.
void write_page(int embedded);
