// Windows side of the files the program reads: expected.txt and password.txt beside the
// exe, and a bounded read of a file named in UTF-8 that never reaches a pipe or a device.

// Vista is the oldest system the program runs on; set before any header.
#define _WIN32_WINNT 0x0600
#define WIN32_LEAN_AND_MEAN

#include "platform/platform.h"

#include <windows.h>

#include <string.h>
#include <wchar.h>

#include "platform/windows/procs.h"

namespace {

// Room for the longest path Windows has (32,767 characters and the terminator), and for
// the prefix that marks it long; static, too big for a stack frame.
enum { PATH_CHARS = 32768, PREFIX_CHARS = 8 };
wchar_t g_path[PATH_CHARS];
wchar_t g_full[PATH_CHARS + PREFIX_CHARS];

// A file of the exe's own folder; 0 on success.
int beside_exe(const wchar_t *name, size_t name_len, char *buf, size_t size) {
    const DWORD n = GetModuleFileNameW(nullptr, g_path, PATH_CHARS);
    // A path cut to the room (n == PATH_CHARS) names another file.
    if (n == 0 || n >= PATH_CHARS) return -1;
    size_t folder = 0; // the length up to and including the last backslash
    for (DWORD i = 0; i < n; ++i)
        if (g_path[i] == L'\\') folder = i + 1;
    if (folder == 0 || folder + name_len >= PATH_CHARS) return -1;
    for (size_t i = 0; i < name_len; ++i) g_path[folder + i] = name[i];
    return win_utf8(g_path, folder + name_len, buf, size);
}

bool is_letter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

bool same_ascii(const wchar_t *w, size_t n, const char *lower) {
    size_t i = 0;
    for (; i < n && lower[i]; ++i) {
        const wchar_t c = w[i] >= L'A' && w[i] <= L'Z' ? w[i] + 32 : w[i];
        if (c != static_cast<wchar_t>(lower[i])) return false;
    }
    return i == n && !lower[i];
}

// g_full made a path that names a file on a disk or a share, and nothing else, in the
// long form (\\?\) that takes paths past MAX_PATH and gives no file name (NUL, COM1, CON)
// a device's meaning. 0 on success; -1 for a path to a device, a pipe or a mailslot:
// opening a pipe connects to its server, and a device's read may wait.
int file_path(const wchar_t *path) {
    // Relative paths and "." or ".." are made whole first, as the long form takes none.
    wchar_t *full = g_full + PREFIX_CHARS;
    const DWORD n = GetFullPathNameW(path, PATH_CHARS, full, nullptr);
    if (n == 0 || n >= PATH_CHARS) return -1;
    const wchar_t *rest = full;
    const bool long_form = full[0] == L'\\' && full[1] == L'\\' && full[2] == L'?' && full[3] == L'\\';
    if (long_form) rest = full + 4;
    // A drive letter's path.
    if (is_letter(rest[0]) && rest[1] == L':' && rest[2] == L'\\') {
        if (long_form) {
            memmove(g_full, full, (n + 1) * sizeof(wchar_t));
        } else {
            memcpy(g_full + PREFIX_CHARS - 4, L"\\\\?\\", 4 * sizeof(wchar_t));
            memmove(g_full, g_full + PREFIX_CHARS - 4, (n + 5) * sizeof(wchar_t));
        }
        return 0;
    }
    // A share: \\server\share\... or \\?\UNC\server\share\...
    const wchar_t *server = nullptr;
    if (!long_form && full[0] == L'\\' && full[1] == L'\\' && full[2] != L'.' && full[2] != L'?')
        server = full + 2;
    else if (long_form && same_ascii(rest, 4, "unc\\"))
        server = rest + 4;
    if (!server) return -1; // \\.\, \\?\GLOBALROOT, a volume or a device
    const wchar_t *share = wcschr(server, L'\\');
    if (!share || share == server) return -1;
    ++share;
    const wchar_t *share_end = wcschr(share, L'\\');
    const size_t share_len = share_end ? static_cast<size_t>(share_end - share) : wcslen(share);
    // \\server\pipe\name is a named pipe on that server, \\server\mailslot\name a mailslot.
    if (same_ascii(share, share_len, "pipe") || same_ascii(share, share_len, "mailslot"))
        return -1;
    const size_t tail = n - static_cast<size_t>(server - full);
    memcpy(g_full, L"\\\\?\\UNC\\", 8 * sizeof(wchar_t));
    memmove(g_full + 8, server, (tail + 1) * sizeof(wchar_t));
    return 0;
}

} // namespace

int plat_policy_path(char *buf, size_t size) {
    static const wchar_t name[] = L"expected.txt";
    return beside_exe(name, sizeof name / sizeof *name - 1, buf, size);
}

int plat_password_path(char *buf, size_t size) {
    static const wchar_t name[] = L"password.txt";
    return beside_exe(name, sizeof name / sizeof *name - 1, buf, size);
}

int plat_read_file(const char *path, void *buf, size_t cap, size_t *got) {
    *got = 0;
    const int wide =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, g_path, PATH_CHARS);
    if (wide <= 0) return PLAT_FILE_UNREADABLE;
    // Refused by its name, before anything is opened: nothing connects.
    if (file_path(g_path) != 0) return PLAT_FILE_NOT_REGULAR;
    // Shared with writers and deleters: an editor that holds the file open must not make
    // it unreadable. A folder cannot be opened this way (no backup semantics). Should the
    // path still lead to a pipe (a link on a share), its server may learn who asks but
    // never act as that account.
    HANDLE h = CreateFileW(g_full, GENERIC_READ,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD err = GetLastError();
        if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) return PLAT_FILE_MISSING;
        // A folder is refused as access denied.
        const DWORD attrs = GetFileAttributesW(g_full);
        return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY)
                   ? PLAT_FILE_NOT_REGULAR
                   : PLAT_FILE_UNREADABLE;
    }
    int outcome = PLAT_FILE_READ;
    // A console, a pipe or a device is no file, and reading one may wait: the type is
    // checked before anything is read.
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

// Who may read password.txt is its access list's business (administrators and the
// account the hub runs the program as); Windows has no mode bits to judge here.
int plat_read_secret(const char *path, void *buf, size_t cap, size_t *got) {
    return plat_read_file(path, buf, cap, got);
}
