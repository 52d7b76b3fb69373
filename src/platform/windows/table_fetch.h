// The size protocol of the Windows table calls (GetExtendedTcpTable and its kin),
// kept apart from the calls themselves so tests can play a table that grows.
#pragma once

#include <cstdint>

enum : uint32_t {
    TABLE_OK = 0,                     // NO_ERROR: the table was written
    TABLE_INSUFFICIENT_BUFFER = 122,  // ERROR_INSUFFICIENT_BUFFER: *size now holds the need
    TABLE_UNSUCCESSFUL = 0xC0000001u, // STATUS_UNSUCCESSFUL: the table changed under the call
};

// One call of a table function: buf null (with *size 0) asks for the size; *size is
// the buffer's size going in and the bytes needed or used coming out.
typedef uint32_t (*table_call_fn)(void *buf, uint32_t *size, void *ctx);

// How often a call is repeated after the table changed under it: a size that grew
// past the buffer, or STATUS_UNSUCCESSFUL, after which Microsoft's advice is to call
// again. A size query that fails so is repeated within the same count.
enum { TABLE_FETCH_RETRIES = 4 };

// Room a fetch asks for beyond the size last told: the table of a busy host grows
// between the size query and the fetch.
uint32_t table_room(uint32_t need);

// Fetches one table into a fresh heap buffer, which the caller releases with free;
// *size is set to the buffer's size. Null when the table cannot be read.
void *table_fetch(table_call_fn call, void *ctx, uint32_t *size);
