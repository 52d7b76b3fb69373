// Prints the version resource of an exe as Windows reads it (GetFileVersionInfoW,
// VerQueryValueW), one "name=value" line each, UTF-8: the fixed file and product
// versions, the translation, then the strings of that translation.
//
// Usage: version_info.exe FILE
#include <windows.h>

#include <stdio.h>
#include <vector>

namespace {

void print_utf8(const char *name, const wchar_t *value) {
    char buf[1024];
    const int n = WideCharToMultiByte(CP_UTF8, 0, value, -1, buf, sizeof buf, nullptr, nullptr);
    printf("%s=%s\n", name, n > 0 ? buf : "(unreadable)");
}

} // namespace

int wmain(int argc, wchar_t **argv) {
    if (argc != 2) return 2;
    DWORD unused = 0;
    const DWORD size = GetFileVersionInfoSizeW(argv[1], &unused);
    if (size == 0) {
        printf("no version resource (%lu)\n", GetLastError());
        return 1;
    }
    std::vector<char> info(size);
    if (!GetFileVersionInfoW(argv[1], 0, size, info.data())) return 1;

    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT len = 0;
    if (!VerQueryValueW(info.data(), L"\\", reinterpret_cast<void **>(&fixed), &len)) return 1;
    printf("file=%u.%u.%u.%u\n", HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
           HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS));
    printf("product=%u.%u.%u.%u\n", HIWORD(fixed->dwProductVersionMS),
           LOWORD(fixed->dwProductVersionMS), HIWORD(fixed->dwProductVersionLS),
           LOWORD(fixed->dwProductVersionLS));
    printf("type=%lu\n", fixed->dwFileType);

    WORD *lang = nullptr;
    if (!VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation",
                        reinterpret_cast<void **>(&lang), &len) ||
        len < 4)
        return 1;
    printf("translation=%04x%04x\n", lang[0], lang[1]);
    static const char *const names[] = {"CompanyName",  "FileDescription", "FileVersion",
                                        "InternalName", "LegalCopyright",  "OriginalFilename",
                                        "ProductName",  "ProductVersion"};
    for (const char *name : names) {
        wchar_t key[128];
        swprintf(key, 128, L"\\StringFileInfo\\%04x%04x\\%hs", lang[0], lang[1], name);
        wchar_t *value = nullptr;
        if (VerQueryValueW(info.data(), key, reinterpret_cast<void **>(&value), &len))
            print_utf8(name, value);
    }
    return 0;
}
