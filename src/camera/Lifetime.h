#pragma once

#include <concepts>
#include <memory>
#include <utility>

namespace korvel {

// Lets completion handlers that hold a plain pointer to their owner find out
// whether the owner still exists before they touch it.
//
// An owner that is destroyed, or stopped and destroyed, while the I/O loop is
// not running leaves its cancelled operations queued on the loop; if the loop
// runs again they would call into a destroyed object. Wrapping each handler
// with Guard makes such a late completion do nothing. The check is enough
// because the owner and its handlers live on the one thread that runs the
// loop: the owner cannot go away between the check and the call.
class Lifetime
{
public:
    Lifetime() = default;
    Lifetime(const Lifetime&) = delete;
    Lifetime& operator=(const Lifetime&) = delete;

    template <typename Handler>
    auto Guard(Handler handler) const
    {
        // Callable only as the handler is, so that Asio can tell which
        // completion signature the guarded handler takes.
        return [ alive = std::weak_ptr<const char>(token), handler = std::move(handler) ](
            auto&&... arguments) mutable requires std::invocable<Handler&, decltype(arguments)...>
        {
            if (!alive.expired())
                handler(std::forward<decltype(arguments)>(arguments)...);
        };
    }

private:
    std::shared_ptr<const char> token = std::make_shared<const char>('\0');
};

} // namespace korvel
