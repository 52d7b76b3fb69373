// The service control manager calls that the service list is read with, behind one
// table: the program uses the real ones, and tests swap one for a failing stand-in, as
// a hub's account that may not enumerate services meets them.
#pragma once

#include <windows.h>

typedef SC_HANDLE(WINAPI *win_scm_open_fn)(LPCWSTR machine, LPCWSTR database, DWORD access);
typedef BOOL(WINAPI *win_scm_enumerate_fn)(SC_HANDLE scm, SC_ENUM_TYPE level, DWORD type,
                                           DWORD state, LPBYTE buf, DWORD size, LPDWORD needed,
                                           LPDWORD returned, LPDWORD resume, LPCWSTR group);

struct win_scm_calls {
    win_scm_open_fn open;
    win_scm_enumerate_fn enumerate;
};

extern win_scm_calls g_win_scm;

// Forgets the service list read so far, and that it could not be read: the next fact
// reads it anew.
void win_services_forget();
