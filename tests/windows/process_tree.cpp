// A parent and its child for the process answer under Wine. Run without arguments it
// starts itself again with the argument "child" and prints "tree PARENT CHILD"; the
// child listens on TCP at 127.0.0.1 and prints "child PORT COMMAND-LINE" (its command
// line as UTF-8). Both end when the parent's standard input closes.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <stdio.h>
#include <string.h>

namespace {

int child() {
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof a;
    if (s == INVALID_SOCKET || bind(s, reinterpret_cast<sockaddr *>(&a), len) != 0 ||
        listen(s, 4) != 0 || getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) != 0)
        return 1;
    static char line[65536];
    WideCharToMultiByte(CP_UTF8, 0, GetCommandLineW(), -1, line, sizeof line, nullptr, nullptr);
    printf("child %d %s\n", ntohs(a.sin_port), line);
    fflush(stdout);
    Sleep(600000); // the parent ends it
    return 0;
}

} // namespace

int main(int argc, char **) {
    if (argc > 1) return child();
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    wchar_t command[MAX_PATH + 64];
    _snwprintf(command, sizeof command / sizeof *command, L"\"%ls\" child \x00e9t\x00e9", self);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    if (!CreateProcessW(nullptr, command, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi))
        return 1;
    printf("tree %lu %lu\n", GetCurrentProcessId(), pi.dwProcessId);
    fflush(stdout);
    // Until the test closes our standard input.
    char buf[64];
    DWORD got;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buf, sizeof buf, &got, nullptr) && got) {
    }
    TerminateProcess(pi.hProcess, 0);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    return 0;
}
