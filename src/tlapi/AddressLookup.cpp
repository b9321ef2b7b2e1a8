#include "tlapi/AddressLookup.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace tlapi {
namespace {

// What the helper thread hands back; shared so that an abandoned lookup
// finishes into memory it still owns.
struct PendingLookup
{
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    int result = 0;
    addrinfo* list = nullptr;

    ~PendingLookup()
    {
        if (list)
            ::freeaddrinfo(list);
    }
};

} // namespace

AddressList::~AddressList()
{
    if (list)
        ::freeaddrinfo(list);
}

int Resolve(const std::string& host, const std::string& service, Deadline deadline,
            AddressList& out)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &out.list) == 0)
        return 0;
    out.list = nullptr;

    auto lookup = std::make_shared<PendingLookup>();
    try {
        std::thread([lookup, host, service] {
            addrinfo nameHints{};
            nameHints.ai_family = AF_UNSPEC;
            nameHints.ai_socktype = SOCK_STREAM;
            nameHints.ai_flags = AI_NUMERICSERV;
            addrinfo* list = nullptr;
            const int result = ::getaddrinfo(host.c_str(), service.c_str(), &nameHints, &list);
            std::lock_guard<std::mutex> lock(lookup->mutex);
            lookup->result = result;
            lookup->list = list;
            lookup->finished = true;
            lookup->done.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        return EAI_AGAIN;
    }
    std::unique_lock<std::mutex> lock(lookup->mutex);
    if (!lookup->done.wait_until(lock, deadline, [&] { return lookup->finished; }))
        return EAI_AGAIN;
    if (lookup->result != 0)
        return lookup->result;
    out.list = lookup->list;
    lookup->list = nullptr;
    return 0;
}

} // namespace tlapi
