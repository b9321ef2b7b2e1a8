#include "BrowserPage.h"

#include "ops/JsonText.h"

#include <boost/asio/connect.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/http.hpp>

#include <regex>
#include <sys/socket.h>
#include <thread>

namespace korvel {

namespace http = boost::beast::http;
using boost::asio::ip::tcp;

namespace {

void ReceiveTimeout(tcp::socket& socket)
{
    timeval timeout{60, 0};
    ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

// Undoes the JSON string escapes the tests' texts can hold.
std::string Unescaped(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char c = text[++i];
        if (c == 'n')
            out += '\n';
        else if (c == 't')
            out += '\t';
        else if (c == 'u' && i + 4 < text.size()) {
            const unsigned code = static_cast<unsigned>(std::stoul(text.substr(i + 1, 4), nullptr, 16));
            out += code < 0x80 ? static_cast<char>(code) : '?';
            i += 4;
        } else
            out += c;
    }
    return out;
}

} // namespace

BrowserPage::BrowserPage(const std::string& chromium, const std::string& url)
{
    browser = std::make_unique<Process>(
        chromium, std::vector<std::string>{"--headless", "--no-sandbox", "--disable-gpu",
                                           "--user-data-dir=" + profile.Path(),
                                           "--remote-debugging-address=127.0.0.1",
                                           "--remote-debugging-port=0", "--window-size=1500,820",
                                           "--hide-scrollbars", url});
    const std::string portFile = profile.Path() + "/DevToolsActivePort";
    if (!WaitUntil([&] { return FileExists(portFile) && !ReadFile(portFile).empty(); },
                   std::chrono::seconds(60))) {
        failure = "chromium wrote no DevToolsActivePort: " + browser->Stderr();
        return;
    }
    const std::string port = ReadFile(portFile).substr(0, ReadFile(portFile).find('\n'));
    std::string target;
    // The page's target, once the browser lists it.
    WaitUntil(
        [&] {
            try {
                tcp::socket http(io);
                boost::asio::connect(http, tcp::resolver(io).resolve("127.0.0.1", port));
                ReceiveTimeout(http);
                http::request<http::empty_body> request{http::verb::get, "/json/list", 11};
                request.set(http::field::host, "127.0.0.1:" + port);
                http::write(http, request);
                boost::beast::flat_buffer buffer;
                http::response<http::string_body> response;
                http::read(http, buffer, response);
                std::smatch match;
                const std::string& body = response.body();
                if (std::regex_search(body, match,
                                      std::regex(R"re("type": "page",[^}]*"webSocketDebuggerUrl": "ws://[^/]+(/devtools/page/[^"]+)")re")))
                    target = match[1];
            } catch (const std::exception&) {
            }
            return !target.empty();
        },
        std::chrono::seconds(60), std::chrono::milliseconds(100));
    if (target.empty()) {
        failure = "chromium lists no page";
        return;
    }
    try {
        auto stream =
            std::make_unique<boost::beast::websocket::stream<tcp::socket>>(io);
        boost::asio::connect(stream->next_layer(), tcp::resolver(io).resolve("127.0.0.1", port));
        ReceiveTimeout(stream->next_layer());
        stream->handshake("127.0.0.1:" + port, target);
        socket = std::move(stream);
    } catch (const std::exception& error) {
        failure = std::string("cannot reach the page: ") + error.what();
    }
}

BrowserPage::~BrowserPage()
{
    if (socket) {
        boost::system::error_code ignored;
        socket->next_layer().close(ignored);
    }
    browser.reset();
}

std::optional<std::string> BrowserPage::Call(const std::string& method, const std::string& params)
{
    if (!socket)
        return std::nullopt;
    const unsigned id = nextId++;
    const std::string message = "{\"id\":" + std::to_string(id) + ",\"method\":\"" + method +
                                "\",\"params\":" + params + "}";
    try {
        socket->write(boost::asio::buffer(message));
        for (;;) {
            boost::beast::flat_buffer buffer;
            socket->read(buffer);
            std::string answer = boost::beast::buffers_to_string(buffer.data());
            if (answer.rfind("{\"id\":" + std::to_string(id) + ",", 0) == 0)
                return answer;
        }
    } catch (const std::exception& error) {
        failure = std::string("the browser stopped answering: ") + error.what();
        socket.reset();
        return std::nullopt;
    }
}

std::optional<std::string> BrowserPage::Evaluate(const std::string& expression)
{
    std::string params = "{\"expression\":";
    AppendJsonString(params, "(async () => String(await (" + expression + ")))()");
    params += ",\"awaitPromise\":true,\"returnByValue\":true}";
    const auto answer = Call("Runtime.evaluate", params);
    if (!answer)
        return std::nullopt;
    std::smatch match;
    if (!std::regex_search(*answer, match,
                           std::regex(R"re("result":\{"type":"string","value":"((?:[^"\\]|\\.)*)")re")))
        return "(no value: " + *answer + ")";
    return Unescaped(match[1]);
}

bool BrowserPage::WaitFor(const std::string& expression, std::chrono::seconds timeout)
{
    return WaitUntil([&] { return Evaluate(expression).value_or("") == "true" || !socket; },
                     timeout, std::chrono::milliseconds(100)) &&
           socket;
}

bool BrowserPage::Screenshot(const std::string& path)
{
    const auto answer = Call("Page.captureScreenshot", R"({"format":"png"})");
    // Found by hand: the picture is far too long for std::regex.
    constexpr std::string_view Key = "\"data\":\"";
    const std::size_t begin = answer ? answer->find(Key) : std::string::npos;
    if (begin == std::string::npos)
        return false;
    const std::size_t from = begin + Key.size();
    const std::string text = answer->substr(from, answer->find('"', from) - from);
    static const std::string Digits =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string bytes;
    unsigned value = 0;
    int bits = 0;
    for (const char c : text) {
        const std::size_t digit = Digits.find(c);
        if (digit == std::string::npos)
            break;
        value = (value << 6) | static_cast<unsigned>(digit);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            bytes += static_cast<char>((value >> bits) & 0xff);
        }
    }
    WriteFile(path, bytes);
    return true;
}

} // namespace korvel
