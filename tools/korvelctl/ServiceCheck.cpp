#include "korvelctl/ServiceCheck.h"

#include "client/OperatorProtocol.h"
#include "text/OutsideText.h"

#include <boost/asio/error.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <algorithm>
#include <array>
#include <cctype>
#include <ostream>
#include <random>

namespace korvel {

using boost::asio::ip::tcp;
using boost::system::error_code;

GreetingVerdict JudgeGreeting(std::string_view received)
{
    const std::string_view prefix = OperatorProtocol::GreetingPrefix;
    const std::size_t compared = std::min(received.size(), prefix.size());
    if (received.substr(0, compared) != prefix.substr(0, compared))
        return GreetingVerdict::NotGreeting;
    if (received.size() <= prefix.size())
        return GreetingVerdict::Incomplete;
    // The number: decimal digits, and nothing else in the first message.
    const std::string_view number = received.substr(prefix.size());
    return std::all_of(number.begin(), number.end(),
                       [](unsigned char c) { return std::isdigit(c) != 0; })
               ? GreetingVerdict::Greeting
               : GreetingVerdict::NotGreeting;
}

namespace {

// How many local ports of the check's range are tried before the system
// picks one (each may be in use, or still waiting after an earlier check).
const int PortTries = 20;

// One check on its own I/O loop: resolve, connect, read the greeting, all
// within the timeout.
class Probe
{
public:
    explicit Probe(const CheckOptions& options)
        : options(options), resolver(io), socket(io), deadline(io),
          where(options.address + ":" + options.port)
    {}

    std::string Run()
    {
        deadline.expires_after(options.timeout);
        deadline.async_wait([this](const error_code& error) {
            if (!error)
                Finish("no greeting from " + where + " within " +
                       std::to_string(options.timeout.count()) + " ms");
        });
        resolver.async_resolve(options.address, options.port,
                               [this](const error_code& error, tcp::resolver::results_type found) {
                                   if (error)
                                       Finish("cannot find " + options.address + ": " +
                                              error.message());
                                   else
                                       Connect(found.begin(), found.end(), {});
                               });
        io.run();
        return verdict;
    }

private:
    void Connect(tcp::resolver::results_type::iterator next,
                 tcp::resolver::results_type::iterator end, const error_code& previous)
    {
        if (finished)
            return;
        if (next == end) {
            Finish("cannot connect to " + where + ": " + previous.message());
            return;
        }
        error_code ignored;
        socket.close(ignored);
        socket.open(next->endpoint().protocol(), ignored);
        BindCheckPort(next->endpoint().protocol());
        socket.async_connect(next->endpoint(), [this, next, end](const error_code& error) {
            if (finished)
                return;
            if (error)
                Connect(std::next(next), end, error);
            else
                Read();
        });
    }

    // A port of the check's range when one is free; else the system's choice.
    void BindCheckPort(const tcp& protocol)
    {
        std::minstd_rand pick(std::random_device{}());
        std::uniform_int_distribution<unsigned> port(CheckPortLowest, CheckPortHighest);
        const auto any = protocol == tcp::v6()
                             ? boost::asio::ip::address(boost::asio::ip::address_v6())
                             : boost::asio::ip::address(boost::asio::ip::address_v4());
        for (int i = 0; i < PortTries; ++i) {
            error_code error;
            socket.bind(tcp::endpoint(any, static_cast<unsigned short>(port(pick))), error);
            if (!error)
                return;
        }
    }

    void Read()
    {
        socket.async_read_some(
            boost::asio::buffer(buffer), [this](const error_code& error, std::size_t length) {
                if (finished)
                    return;
                if (error) {
                    Finish(error == boost::asio::error::eof
                               ? where + " closed the connection without a greeting"
                               : "connection to " + where + " lost: " + error.message());
                    return;
                }
                received.append(buffer.data(), length);
                Judge();
            });
    }

    void Judge()
    {
        switch (JudgeGreeting(received)) {
        case GreetingVerdict::Greeting:
            Finish("");
            return;
        case GreetingVerdict::NotGreeting:
            Finish(where + " answered \"" + Shown(received) + "\", not a tlKorvel greeting");
            return;
        case GreetingVerdict::Incomplete:
            Read();
            return;
        }
    }

    // At most the start of what came, printable.
    static std::string Shown(const std::string& text) { return EscapedText(text.substr(0, 40)); }

    void Finish(const std::string& reason)
    {
        if (finished)
            return;
        finished = true;
        verdict = reason;
        error_code ignored;
        socket.shutdown(tcp::socket::shutdown_both, ignored);
        socket.close(ignored);
        resolver.cancel();
        deadline.cancel();
    }

    CheckOptions options;
    boost::asio::io_context io;
    tcp::resolver resolver;
    tcp::socket socket;
    boost::asio::steady_timer deadline;
    std::string where;
    std::array<char, 64> buffer{};
    std::string received;
    std::string verdict;
    bool finished = false;
};

bool ParseTimeout(const std::string& text, std::chrono::milliseconds& timeout)
{
    if (text.empty() || text.size() > 7 ||
        !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); }))
        return false;
    const long value = std::stol(text);
    if (value < 1 || value > 3600000)
        return false;
    timeout = std::chrono::milliseconds(value);
    return true;
}

} // namespace

std::string CheckService(const CheckOptions& options)
{
    return Probe(options).Run();
}

int RunCheck(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err)
{
    const char* const usage = "usage: korvelctl check [--address A] [--port P] [--timeout MS]\n";
    CheckOptions options;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const bool hasValue = i + 1 < arguments.size();
        if (argument == "--address" && hasValue && !arguments[i + 1].empty()) {
            options.address = arguments[++i];
        } else if (argument == "--port" && hasValue && !arguments[i + 1].empty()) {
            options.port = arguments[++i];
        } else if (argument == "--timeout" && hasValue) {
            if (!ParseTimeout(arguments[++i], options.timeout)) {
                err << "korvelctl check: --timeout takes milliseconds (1 to 3600000)\n";
                return 1;
            }
        } else if (argument == "-h" || argument == "--help") {
            out << usage;
            return 0;
        } else {
            err << usage;
            return 1;
        }
    }
    const std::string failure = CheckService(options);
    if (!failure.empty()) {
        err << "korvelctl check: " << EscapedText(failure) << "\n";
        return 3;
    }
    return 0;
}

} // namespace korvel
