#pragma once

#include "OperatorLink.h"

#include <boost/asio/io_context.hpp>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

namespace korvel {

using OperatorLinks = std::vector<std::unique_ptr<OperatorLink>>;

// Runs the loop until `done` holds (checked after every handler) or the
// timeout passes; true when `done` held.
bool RunUntil(boost::asio::io_context& io, const std::function<bool()>& done,
              std::chrono::steady_clock::duration timeout);

// Runs the loop for the whole duration (the scenario's timers do the work).
void RunFor(boost::asio::io_context& io, std::chrono::steady_clock::duration duration);

// Connects and logs in links[first..], at most `parallel` handshakes at a
// time, so that a burst of connections never overflows the relay's accept
// backlog. Returns how many are ready when all have settled or the timeout
// has passed.
std::size_t ConnectAll(boost::asio::io_context& io, OperatorLinks& links, std::size_t first,
                       std::size_t parallel, std::chrono::steady_clock::duration timeout);

} // namespace korvel
