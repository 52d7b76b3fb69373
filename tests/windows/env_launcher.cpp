// A CGI host in miniature: starts a program with an environment block of its own
// making, as a host that builds the child's environment from scratch does, and hands
// it its own standard handles.
//
// Usage: env_launcher.exe PROGRAM [NAME=VALUE ...]
//
// A VALUE may hold \uXXXX, one UTF-16 unit (an unpaired surrogate too), and \\ for a
// backslash. The exit status is the child's.
#include <windows.h>

#include <stdio.h>
#include <string>

namespace {

std::wstring unescape(const wchar_t *s) {
    std::wstring out;
    for (; *s; ++s) {
        if (s[0] == L'\\' && s[1] == L'\\') {
            out += L'\\';
            ++s;
        } else if (s[0] == L'\\' && s[1] == L'u' && wcslen(s) >= 6) {
            out += static_cast<wchar_t>(wcstoul(std::wstring(s + 2, 4).c_str(), nullptr, 16));
            s += 5;
        } else {
            out += *s;
        }
    }
    return out;
}

HANDLE inheritable(DWORD which) {
    HANDLE h = GetStdHandle(which);
    SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    return h;
}

} // namespace

int wmain(int argc, wchar_t **argv) {
    if (argc < 2) {
        fputs("usage: env_launcher.exe PROGRAM [NAME=VALUE ...]\n", stderr);
        return 2;
    }
    int i = 1;
    const wchar_t *program = argv[i++];
    std::wstring block;
    for (; i < argc; ++i) block += unescape(argv[i]) + L'\0';
    block += L'\0';
    if (block.size() == 1) block += L'\0'; // an empty block still ends in two NULs

    std::wstring cmd = L"\"" + std::wstring(program) + L"\"";
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = inheritable(STD_INPUT_HANDLE);
    si.hStdOutput = inheritable(STD_OUTPUT_HANDLE);
    si.hStdError = inheritable(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(program, &cmd[0], nullptr, nullptr, TRUE,
                        CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW, &block[0], nullptr, &si,
                        &pi)) {
        fprintf(stderr, "env_launcher: CreateProcessW failed: %lu\n", GetLastError());
        return 2;
    }
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD rc = 1;
    GetExitCodeProcess(pi.hProcess, &rc);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return static_cast<int>(rc);
}
