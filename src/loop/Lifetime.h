#pragma once

#include <concepts>
#include <memory>
#include <utility>

namespace korvel {

namespace lifetime_detail {

// The handler, run only while `alive` has not expired. Callable only as the
// handler is, so that Asio can tell which completion signature it takes.
template <typename Handler>
auto Guarded(std::weak_ptr<const char> alive, Handler handler)
{
    return [ alive = std::move(alive), handler = std::move(handler) ](
        auto&&... arguments) mutable requires std::invocable<Handler&, decltype(arguments)...>
    {
        if (!alive.expired())
            handler(std::forward<decltype(arguments)>(arguments)...);
    };
}

} // namespace lifetime_detail

// Lets completion handlers that hold a plain pointer to their owner find out
// whether the owner still exists before they touch it. The guard of the
// objects on the loop that a reload may destroy while the loop runs, or that
// go with the loop stopped (the cameras and their links, the control
// service's hold timer, the operator port, the status server, the loop
// timers): each wraps every completion handler it starts in the Guard of its
// own Lifetime.
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
        return lifetime_detail::Guarded(token, std::move(handler));
    }

private:
    std::shared_ptr<const char> token = std::make_shared<const char>('\0');
};

} // namespace korvel
