// The control of the planting test: a program that imports IPHLPAPI.DLL the ordinary
// way and prints the ports of its IPv4 TCP listener table, one per line.
#include <winsock2.h>
#include <iphlpapi.h>
#include <stdio.h>
#include <stdlib.h>

int main() {
    DWORD size = 0;
    GetExtendedTcpTable(nullptr, &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_LISTENER, 0);
    size += 4096; // room for listeners that appear meanwhile
    MIB_TCPTABLE_OWNER_PID *t = static_cast<MIB_TCPTABLE_OWNER_PID *>(malloc(size));
    if (!t || GetExtendedTcpTable(t, &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_LISTENER, 0) != 0)
        return 1;
    for (DWORD i = 0; i < t->dwNumEntries; ++i)
        printf("%u\n", ntohs(static_cast<u_short>(t->table[i].dwLocalPort)));
    free(t);
    return 0;
}
