// The sources of the Windows process facts, apart, so the platform tests can check each
// on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <wchar.h>

// n wide characters as NUL-terminated UTF-8 in buf; 0 on success, -1 when they do not fit.
int win_utf8(const wchar_t *w, size_t n, char *buf, size_t size);

// The account in a process's token, "DOMAIN\name"; -1 when the process or its token
// may not be opened (another account's process, without administrator rights).
int win_token_account(uint32_t pid, char *buf, size_t size);

// The key names of the services that run in pid, from the service control manager's
// list (taken once per run, which a standard user may do), joined with "," in name
// order; the number of them (buf empty for none).
int win_services_of(uint32_t pid, char *buf, size_t size);

// The account the first service of pid (in name order) that tells it is set to run
// as, from its configuration (which a standard user may read for most services), with
// "LocalSystem" named as the system names that account; -1 when there is none.
int win_service_account(uint32_t pid, char *buf, size_t size);

// The system account's name as this system writes it (NT AUTHORITY\SYSTEM in English).
int win_system_account(char *buf, size_t size);

// The creation time of a process, in FILETIME ticks (GetProcessTimes on a handle with
// limited query access); 0 on success.
int win_process_created(uint32_t pid, uint64_t *filetime);

// Enables SeDebugPrivilege in the process's token where the token holds it (an elevated
// administrator's does), so that processes of every account may be opened; 1 when it is
// enabled now. A token without it stays as it is; nothing fails.
int win_debug_privilege();

// The account a service's configured start name names, as the system names its SID:
// "LocalSystem", "NT AUTHORITY\LocalService" and "NT AUTHORITY\NetworkService" as their
// well-known SIDs (NT AUTHORITY\LOCAL SERVICE in English), other names as the account
// they look up to, else as written; 0 on success.
int win_start_account(const wchar_t *start_name, char *buf, size_t size);
