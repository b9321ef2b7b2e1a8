#include "platform/RandomBytes.h"

#include <windows.h>

// RtlGenRandom, exported by advapi32 under this name.
extern "C" BOOLEAN NTAPI SystemFunction036(PVOID buffer, ULONG length);

namespace korvel {

bool RandomBytes(unsigned char* buffer, std::size_t size)
{
    while (size > 0) {
        const ULONG chunk = size > 0x10000 ? 0x10000 : static_cast<ULONG>(size);
        if (!SystemFunction036(buffer, chunk))
            return false;
        buffer += chunk;
        size -= chunk;
    }
    return true;
}

} // namespace korvel
