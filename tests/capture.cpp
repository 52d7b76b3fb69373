#include "capture.h"

#include <cstdio>
#include <unistd.h>

std::string capture_stdout(const std::function<void()> &fn) {
    fflush(stdout);
    FILE *tmp = tmpfile();
    const int saved = dup(1);
    dup2(fileno(tmp), 1);
    fn();
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::string out;
    rewind(tmp);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, tmp)) > 0) out.append(buf, n);
    fclose(tmp);
    return out;
}
