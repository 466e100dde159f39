#include "platform/uuid.h"

#include <sys/random.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <random>

namespace tw::platform {

std::string newUUID() {
    uint8_t b[16];
    size_t got = 0;
    while (got < sizeof b) {
        ssize_t n = ::getrandom(b + got, sizeof b - got, 0);
        if (n > 0) {
            got += static_cast<size_t>(n);
        } else if (n < 0 && errno != EINTR) {
            break;
        }
    }
    if (got < sizeof b) {
        // Only before the kernel's pool is ready at boot; an identifier must still come out.
        std::random_device device;
        for (size_t i = got; i < sizeof b; ++i) b[i] = static_cast<uint8_t>(device());
    }
    b[6] = static_cast<uint8_t>((b[6] & 0x0F) | 0x40);
    b[8] = static_cast<uint8_t>((b[8] & 0x3F) | 0x80);
    char out[37];
    snprintf(out, sizeof out, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0],
             b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    return out;
}

}  // namespace tw::platform
