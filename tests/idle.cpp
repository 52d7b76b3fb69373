// Waits until its standard input closes, whatever its arguments: a process whose command
// line a test chooses (a port forwarder's, say) without it acting on them.
#include <unistd.h>

int main() {
    char c;
    while (read(0, &c, 1) > 0) {
    }
    return 0;
}
