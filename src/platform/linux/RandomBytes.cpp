#include "platform/RandomBytes.h"

#include <cerrno>
#include <sys/random.h>

namespace korvel {

bool RandomBytes(unsigned char* buffer, std::size_t size)
{
    while (size > 0) {
        const ssize_t got = getrandom(buffer, size, 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        buffer += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

} // namespace korvel
