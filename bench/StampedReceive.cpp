#include "StampedReceive.h"

#include "Clock.h"

#include <cstring>

#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>

namespace korvel {

void EnableReceiveStamps(int socket)
{
    const int on = 1;
    setsockopt(socket, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
}

ssize_t ReceiveStamped(int socket, void* buffer, std::size_t size, std::int64_t& arrival)
{
    iovec data{buffer, size};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;

    const ssize_t count = recvmsg(socket, &message, MSG_DONTWAIT);
    arrival = 0;
    if (count > 0) {
        for (cmsghdr* header = CMSG_FIRSTHDR(&message); header;
             header = CMSG_NXTHDR(&message, header)) {
            if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_TIMESTAMPNS) {
                timespec stamp{};
                std::memcpy(&stamp, CMSG_DATA(header), sizeof stamp);
                arrival = static_cast<std::int64_t>(stamp.tv_sec) * 1000000000 + stamp.tv_nsec;
            }
        }
        if (arrival == 0)
            arrival = WallNanos();
    }
    return count;
}

} // namespace korvel
