// The account lookups, behind one table: the program uses the real calls, and tests
// swap one for a slow stand-in, as a node whose domain controller does not answer
// meets them.
#pragma once

#include <windows.h>

#include <stdint.h>

typedef BOOL(WINAPI *win_sid_lookup_fn)(LPCWSTR system, PSID sid, LPWSTR name, LPDWORD name_len,
                                        LPWSTR domain, LPDWORD domain_len, PSID_NAME_USE use);
typedef BOOL(WINAPI *win_name_lookup_fn)(LPCWSTR system, LPCWSTR name, PSID sid, LPDWORD sid_size,
                                         LPWSTR domain, LPDWORD domain_len, PSID_NAME_USE use);

struct win_lookup_calls {
    win_sid_lookup_fn sid;
    win_name_lookup_fn name;
};

extern win_lookup_calls g_win_lookup;

// The time all lookups of one run may take together, in milliseconds: once it is
// spent, no more are made.
const uint64_t WIN_LOOKUP_BUDGET_MS = 2000;

// Forgets the time spent so far, and that lookups stopped.
void win_lookups_forget();
