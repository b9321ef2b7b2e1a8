#pragma once

// A page in headless chromium, driven through its DevTools protocol: the
// tests click and type on the status page as a supervisor would.
#include "support/Process.h"
#include "support/TempDir.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/websocket.hpp>

#include <memory>
#include <optional>
#include <string>

namespace korvel {

class BrowserPage
{
public:
    // Opens the URL in chromium (at `chromium`); Ready() says whether the
    // browser and its page could be reached.
    BrowserPage(const std::string& chromium, const std::string& url);
    ~BrowserPage();

    bool Ready() const { return socket != nullptr; }
    const std::string& Failure() const { return failure; }

    // The value of a JavaScript expression (awaited when a promise), as the
    // text of String(value); none when the browser did not answer.
    std::optional<std::string> Evaluate(const std::string& expression);
    // Evaluates until the expression is true, for up to `timeout`.
    bool WaitFor(const std::string& expression, std::chrono::seconds timeout = std::chrono::seconds(30));
    // The page as a PNG file.
    bool Screenshot(const std::string& path);

private:
    std::optional<std::string> Call(const std::string& method, const std::string& params);

    TempDir profile;
    std::unique_ptr<Process> browser;
    boost::asio::io_context io;
    std::unique_ptr<boost::beast::websocket::stream<boost::asio::ip::tcp::socket>> socket;
    unsigned nextId = 1;
    std::string failure;
};

} // namespace korvel
