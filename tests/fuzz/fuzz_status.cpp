// The HTTP status line reader: any reply text gives a defined status and a result
// that agrees with it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "probe.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The reply buffer holds at most 511 bytes and a NUL, as the probe's does.
    std::string reply(reinterpret_cast<const char *>(data), size < 511 ? size : 511);
    reply = reply.substr(0, reply.find('\0'));
    int32_t status = 12345;
    const int rc = http_status_of(reply.c_str(), &status);
    if (rc != (status > 0 ? 0 : -1)) abort();
    if (reply.compare(0, 5, "HTTP/") != 0 && (status != 0 || rc != -1)) abort();
    if (reply.find(' ') == std::string::npos && status != 0) abort();
    return 0;
}
