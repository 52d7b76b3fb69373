// Windows side of the file of expected listeners: expected.txt beside the exe, and a
// bounded read of a file named in UTF-8.

// Vista is the oldest system the program runs on; set before any header.
#define _WIN32_WINNT 0x0600
#define WIN32_LEAN_AND_MEAN

#include "platform/platform.h"

#include <windows.h>

#include "platform/windows/procs.h"

namespace {

// Room for the longest path Windows has (32,767 characters and the terminator); static,
// too big for a stack frame.
enum { PATH_CHARS = 32768 };
wchar_t g_path[PATH_CHARS];

} // namespace

int plat_policy_path(char *buf, size_t size) {
    static const wchar_t name[] = L"expected.txt";
    const DWORD n = GetModuleFileNameW(nullptr, g_path, PATH_CHARS);
    // A path cut to the room (n == PATH_CHARS) names another file.
    if (n == 0 || n >= PATH_CHARS) return -1;
    size_t folder = 0; // the length up to and including the last backslash
    for (DWORD i = 0; i < n; ++i)
        if (g_path[i] == L'\\') folder = i + 1;
    const size_t name_len = sizeof name / sizeof *name - 1;
    if (folder == 0 || folder + name_len >= PATH_CHARS) return -1;
    for (size_t i = 0; i < name_len; ++i) g_path[folder + i] = name[i];
    return win_utf8(g_path, folder + name_len, buf, size);
}

int plat_read_file(const char *path, void *buf, size_t cap, size_t *got) {
    *got = 0;
    const int wide =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, g_path, PATH_CHARS);
    if (wide <= 0) return PLAT_FILE_UNREADABLE;
    // Shared with writers and deleters: an editor that holds the file open must not make
    // it unreadable. A folder cannot be opened this way (no backup semantics).
    HANDLE h =
        CreateFileW(g_path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD err = GetLastError();
        if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) return PLAT_FILE_MISSING;
        // A folder is refused as access denied.
        const DWORD attrs = GetFileAttributesW(g_path);
        return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY)
                   ? PLAT_FILE_NOT_REGULAR
                   : PLAT_FILE_UNREADABLE;
    }
    int outcome = PLAT_FILE_READ;
    // A console, a pipe or a device is no file of rules, and reading one may wait.
    if (GetFileType(h) != FILE_TYPE_DISK) {
        outcome = PLAT_FILE_NOT_REGULAR;
    } else {
        char *into = static_cast<char *>(buf);
        while (*got < cap) {
            const size_t want = cap - *got;
            DWORD n = 0;
            if (!ReadFile(h, into + *got, want > 0x10000000 ? 0x10000000 : static_cast<DWORD>(want),
                          &n, nullptr)) {
                outcome = PLAT_FILE_UNREADABLE;
                break;
            }
            if (n == 0) break;
            *got += n;
        }
    }
    CloseHandle(h);
    return outcome;
}
