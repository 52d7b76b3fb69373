// A named pipe that tells whether anything connected to it, for the tests that name a
// pipe as a file. "pipe_server NAME MS" makes \\.\pipe\NAME, prints "ready", waits MS
// milliseconds for a client and prints "connected" or "none". "pipe_server --connect
// NAME" opens the pipe as a client would: the control that a connection shows.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char **argv) {
    if (argc != 3) return 2;
    const bool client = strcmp(argv[1], "--connect") == 0;
    char name[512];
    snprintf(name, sizeof name, "\\\\.\\pipe\\%s", client ? argv[2] : argv[1]);
    if (client) {
        HANDLE h = CreateFileA(name, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) return 1;
        CloseHandle(h);
        return 0;
    }
    HANDLE pipe = CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                   PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) return 1;
    OVERLAPPED o = {};
    o.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const BOOL at_once = ConnectNamedPipe(pipe, &o);
    const DWORD err = GetLastError();
    printf("ready\n");
    fflush(stdout);
    const bool connected =
        at_once || err == ERROR_PIPE_CONNECTED ||
        (err == ERROR_IO_PENDING &&
         WaitForSingleObject(o.hEvent, static_cast<DWORD>(atoi(argv[2]))) == WAIT_OBJECT_0);
    printf(connected ? "connected\n" : "none\n");
    fflush(stdout);
    CloseHandle(pipe);
    return 0;
}
