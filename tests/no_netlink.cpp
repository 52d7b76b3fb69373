// Runs a command with netlink sockets refused: no_netlink PROGRAM [ARG...]. The
// black-box tests and bench/churn.py start the program through it to reach the
// /proc/net fallback, and with /proc hidden too, no readable list at all.
#include <unistd.h>

#include "no_netlink.h"

int main(int argc, char **argv) {
    if (argc < 2 || !refuse_netlink()) return 125;
    execv(argv[1], argv + 1);
    return 127;
}
