// A stand-in IPHLPAPI.DLL such as a user who may write to the plug-in's folder could
// put beside the exe: its IPv4 TCP table holds one listener, on port 4242, that
// exists nowhere else.
#include <winsock2.h>
#include <iphlpapi.h>
#include <windows.h>

extern "C" __declspec(dllexport) DWORD WINAPI GetExtendedTcpTable(PVOID table, PDWORD size, BOOL,
                                                                  ULONG family, TCP_TABLE_CLASS,
                                                                  ULONG) {
    if (family != AF_INET) return ERROR_NOT_SUPPORTED;
    const DWORD need = sizeof(MIB_TCPTABLE_OWNER_PID);
    if (!table || *size < need) {
        *size = need;
        return ERROR_INSUFFICIENT_BUFFER;
    }
    MIB_TCPTABLE_OWNER_PID *t = static_cast<MIB_TCPTABLE_OWNER_PID *>(table);
    t->dwNumEntries = 1;
    t->table[0] = MIB_TCPROW_OWNER_PID{};
    t->table[0].dwState = MIB_TCP_STATE_LISTEN;
    t->table[0].dwLocalPort = htons(4242);
    return NO_ERROR;
}

extern "C" __declspec(dllexport) DWORD WINAPI GetExtendedUdpTable(PVOID, PDWORD, BOOL, ULONG,
                                                                  UDP_TABLE_CLASS, ULONG) {
    return ERROR_NOT_SUPPORTED;
}
