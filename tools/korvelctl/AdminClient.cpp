#include "korvelctl/AdminClient.h"

#include "text/OutsideText.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <sstream>

#ifdef _WIN32
#include <io.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace korvel {

namespace {

namespace http = boost::beast::http;
using boost::asio::ip::tcp;

constexpr std::chrono::seconds RequestTimeout{10};

const char* const AdminUsageText =
    "usage: korvelctl admin [--url URL] login USER [--print]\n"
    "       korvelctl admin [--url URL] status\n"
    "       korvelctl admin [--url URL] release P\n"
    "       korvelctl admin [--url URL] reserve P [--for NAME] --minutes M\n"
    "       korvelctl admin [--url URL] unreserve P\n"
    "       korvelctl admin [--url URL] end N\n"
    "\n"
    "A supervisor's requests to the status server of tlKorvel (URL: its address,\n"
    "for example http://127.0.0.1:8080/; default $KORVEL_URL, else the one of the\n"
    "last login). login reads the password from standard input and keeps the\n"
    "token in $KORVELCTL_TOKEN_FILE, else in $XDG_RUNTIME_DIR/korvelctl-token,\n"
    "readable by its user only; with --print it prints the token instead, for\n"
    "$KORVEL_TOKEN, which the other commands then use. A token lapses after 15\n"
    "minutes without a request.\n"
    "\n"
    "P is a camera's Pelco number, N a session number. reserve without --for\n"
    "reserves the camera for nobody (out of service); M is 1 to 1440.\n"
    "\n"
    "Exit status: 0 done; 1 usage error, no URL or no token; 2 login refused,\n"
    "token lapsed or no longer a supervisor; 3 cannot reach the status server;\n"
    "4 no such camera or session; 5 another supervisor's reservation stands;\n"
    "6 any other refusal.\n";

struct Answer
{
    std::string failure; // why there is no answer; empty when there is one
    unsigned code = 0;
    std::string body;
};

Answer Exchange(const HttpUrl& url, http::verb method, const std::string& path,
                const std::string& token, const std::optional<std::string>& json)
{
    boost::asio::io_context io;
    boost::beast::tcp_stream stream(io);
    tcp::resolver resolver(io);
    http::request<http::string_body> request{method, url.base + path, 11};
    request.set(http::field::host, url.host + ":" + url.port);
    request.set(http::field::user_agent, "korvelctl");
    if (!token.empty())
        request.set(http::field::authorization, "Bearer " + token);
    if (json) {
        request.set(http::field::content_type, "application/json");
        request.body() = *json;
    }
    request.keep_alive(false);
    request.prepare_payload();
    http::response<http::string_body> response;
    boost::beast::flat_buffer buffer;
    Answer answer;
    const auto failed = [&answer](const char* step, const boost::system::error_code& error) {
        answer.failure = std::string(step) + ": " + error.message();
    };
    stream.expires_after(RequestTimeout);
    resolver.async_resolve(url.host, url.port, [&](const boost::system::error_code& error,
                                                   const tcp::resolver::results_type& results) {
        if (error)
            return failed("resolve", error);
        // The first address only: the stream's deadline covers it.
        stream.async_connect(results.begin()->endpoint(), [&](const boost::system::error_code& error) {
            if (error)
                return failed("connect", error);
            http::async_write(stream, request, [&](const boost::system::error_code& error,
                                                   std::size_t) {
                if (error)
                    return failed("send", error);
                http::async_read(stream, buffer, response,
                                 [&](const boost::system::error_code& error, std::size_t) {
                                     if (error)
                                         return failed("receive", error);
                                     answer.code = response.result_int();
                                     answer.body = response.body();
                                 });
            });
        });
    });
    io.run();
    return answer;
}

boost::property_tree::ptree ParseJson(const std::string& text)
{
    boost::property_tree::ptree tree;
    std::istringstream in(text);
    boost::property_tree::read_json(in, tree);
    return tree;
}

std::string JsonQuoted(const std::string& text)
{
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string Environment(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string TokenFile()
{
    if (std::string file = Environment("KORVELCTL_TOKEN_FILE"); !file.empty())
        return file;
#ifdef _WIN32
    if (std::string local = Environment("LOCALAPPDATA"); !local.empty())
        return local + "\\tlKorvel\\korvelctl-token";
#else
    if (std::string runtime = Environment("XDG_RUNTIME_DIR"); !runtime.empty())
        return runtime + "/korvelctl-token";
#endif
    return {};
}

// Writes the file readable by its user only, replacing it whole.
bool WritePrivate(const std::string& path, const std::string& text, std::string& failure)
{
    const std::string temporary = path + ".new";
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
#ifdef _WIN32
    // The profile's local application data is its user's own.
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
        failure = "cannot write " + temporary;
        return false;
    }
#else
    std::filesystem::remove(temporary, ignored);
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        failure = "cannot write " + temporary + ": " + std::strerror(errno);
        return false;
    }
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (::close(fd) != 0 || !written) {
        failure = "cannot write " + temporary;
        std::filesystem::remove(temporary, ignored);
        return false;
    }
#endif
    std::error_code error;
    std::filesystem::rename(temporary, path, error);
    if (error) {
        failure = "cannot replace " + path + ": " + error.message();
        std::filesystem::remove(temporary, ignored);
        return false;
    }
    return true;
}

std::string ReadPassword(std::istream& in)
{
    std::string password;
#ifndef _WIN32
    termios saved{};
    const bool terminal = &in == &std::cin && isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal) {
        std::cerr << "password: " << std::flush;
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::getline(in, password);
    if (terminal) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::cerr << "\n";
    }
#else
    std::getline(in, password);
#endif
    if (!password.empty() && password.back() == '\r')
        password.pop_back();
    return password;
}

bool Number(const std::string& text, unsigned long maximum, unsigned long& value)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = std::stoul(text);
    return value <= maximum;
}

std::string Text(const boost::property_tree::ptree& tree, const char* path)
{
    const std::string value = tree.get<std::string>(path, "null");
    return value == "null" || value.empty() ? "-" : EscapedText(value);
}

std::string Seconds(const boost::property_tree::ptree& tree, const char* path)
{
    const auto millis = tree.get_optional<double>(path);
    if (!millis)
        return "-";
    std::ostringstream out;
    out << std::fixed << std::setprecision(0) << *millis / 1000 << " s";
    return out.str();
}

// The /status document as two tables.
void ShowStatus(const std::string& body, std::ostream& out)
{
    const auto status = ParseJson(body);
    const boost::property_tree::ptree none;
    const auto cameras = status.get_child_optional("cameras");
    const auto sessions = status.get_child_optional("sessions");
    out << std::left << std::setw(7) << "CAMERA" << std::setw(14) << "LINK" << std::setw(14)
        << "HOLDER" << std::setw(10) << "HOLD" << std::setw(14) << "RESERVED FOR"
        << std::setw(14) << "BY" << std::setw(10) << "LEFT"
        << "PATROL\n";
    for (const auto& [ignored, camera] : (cameras ? *cameras : none)) {
        const auto holder = camera.get_child_optional("holder");
        std::string holding = "-";
        if (holder && !holder->empty())
            holding = holder->get<std::string>("user", "null") != "null"
                          ? Text(*holder, "user")
                          : "session " + holder->get<std::string>("session", "?");
        const auto reservation = camera.get_child_optional("reservation");
        const bool reserved = reservation && !reservation->empty();
        out << std::setw(7) << Text(camera, "pelco") << std::setw(14) << Text(camera, "link")
            << std::setw(14) << holding << std::setw(10)
            << (holder && !holder->empty() ? Seconds(*holder, "hold_left_ms") : "-")
            << std::setw(14)
            << (reserved ? (reservation->get<std::string>("for", "null") == "null"
                                ? std::string("(nobody)")
                                : Text(*reservation, "for"))
                         : "-")
            << std::setw(14) << (reserved ? Text(*reservation, "by") : "-") << std::setw(10)
            << (reserved ? Seconds(*reservation, "left_ms") : "-") << Text(camera, "patrol")
            << "\n";
    }
    out << "\n"
        << std::setw(9) << "SESSION" << std::setw(14) << "USER" << std::setw(10) << "PRIORITY"
        << std::setw(8) << "CAMERA"
        << "CLIENT\n";
    for (const auto& [ignored, session] : (sessions ? *sessions : none))
        out << std::setw(9) << Text(session, "session") << std::setw(14) << Text(session, "user")
            << std::setw(10) << Text(session, "priority") << std::setw(8)
            << Text(session, "camera") << Text(session, "client") << "\n";
}

} // namespace

std::optional<HttpUrl> ParseHttpUrl(const std::string& text)
{
    constexpr std::string_view Scheme = "http://";
    if (text.compare(0, Scheme.size(), Scheme) != 0)
        return std::nullopt;
    const std::string rest = text.substr(Scheme.size());
    const std::size_t slash = rest.find('/');
    const std::string authority = rest.substr(0, slash);
    HttpUrl url;
    url.base = slash == std::string::npos ? "/" : rest.substr(slash);
    if (url.base.find_first_of("?#") != std::string::npos)
        return std::nullopt;
    if (url.base.back() != '/')
        url.base += '/';
    std::size_t colon = authority.rfind(':');
    if (!authority.empty() && authority[0] == '[') {
        const std::size_t close = authority.find(']');
        if (close == std::string::npos)
            return std::nullopt;
        url.host = authority.substr(1, close - 1);
        colon = close + 1 < authority.size() && authority[close + 1] == ':' ? close + 1
                                                                             : std::string::npos;
        if (colon == std::string::npos && close + 1 != authority.size())
            return std::nullopt;
    } else {
        url.host = authority.substr(0, colon);
    }
    url.port = colon == std::string::npos ? "80" : authority.substr(colon + 1);
    unsigned long port = 0;
    if (url.host.empty() || !Number(url.port, 65535, port) || port == 0)
        return std::nullopt;
    return url;
}

AdminVerdict JudgeAnswer(unsigned code, const std::string& body)
{
    std::string reason;
    try {
        reason = ParseJson(body).get<std::string>("error", "");
    } catch (const std::exception&) {
        reason.clear();
    }
    const std::string said =
        reason.empty() ? "the status server answered " + std::to_string(code)
                       : EscapedText(reason) + " (" + std::to_string(code) + ")";
    switch (code) {
    case 200:
        return {AdminDone, {}};
    case 401:
        return {AdminUnauthorized, said + "; log in with korvelctl admin login USER"};
    case 403:
        return {AdminUnauthorized, said};
    case 404:
        return {AdminNotFound, said};
    case 409:
        return {AdminConflict, said};
    default:
        return {AdminRefused, said};
    }
}

int RunAdmin(const std::vector<std::string>& arguments, std::istream& in, std::ostream& out,
             std::ostream& err)
{
    std::string urlText = Environment("KORVEL_URL");
    std::vector<std::string> words;
    std::optional<std::string> forUser;
    std::string minutesText;
    bool print = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const bool hasValue = i + 1 < arguments.size();
        if (argument == "-h" || argument == "--help") {
            out << AdminUsageText;
            return AdminDone;
        } else if (argument == "--url" && hasValue) {
            urlText = arguments[++i];
        } else if (argument == "--for" && hasValue) {
            forUser = arguments[++i];
        } else if (argument == "--minutes" && hasValue) {
            minutesText = arguments[++i];
        } else if (argument == "--print") {
            print = true;
        } else if (argument.compare(0, 1, "-") == 0) {
            err << AdminUsageText;
            return AdminUsage;
        } else {
            words.push_back(argument);
        }
    }
    const auto usage = [&err](const std::string& why) {
        err << "korvelctl admin: " << why << "\n";
        return AdminUsage;
    };
    if (words.empty()) {
        err << AdminUsageText;
        return AdminUsage;
    }
    const std::string command = words[0];
    const std::size_t wanted = command == "status" ? 1 : 2;
    if (words.size() != wanted || (command == "status" && words.size() != 1))
        return usage("wrong number of arguments for " + command + " (see korvelctl admin --help)");
    if (forUser && command != "reserve")
        return usage("--for goes with reserve only");
    if (!minutesText.empty() && command != "reserve")
        return usage("--minutes goes with reserve only");
    if (print && command != "login")
        return usage("--print goes with login only");

    const std::string tokenFile = TokenFile();
    std::string token = Environment("KORVEL_TOKEN");
    if (command != "login" && token.empty() && !tokenFile.empty()) {
        std::ifstream kept(tokenFile, std::ios::binary);
        std::string keptUrl;
        if (std::getline(kept, keptUrl) && std::getline(kept, token) && urlText.empty())
            urlText = keptUrl;
    }
    if (urlText.empty())
        return usage("no status server: give --url http://HOST:PORT/ (or set KORVEL_URL)");
    const auto url = ParseHttpUrl(urlText);
    if (!url)
        return usage("the URL must be http://HOST:PORT/, not " + EscapedText(urlText));
    if (command != "login" && token.empty())
        return usage("no token: log in first with korvelctl admin login USER");

    http::verb method = http::verb::post;
    std::string path;
    std::optional<std::string> body;
    std::string done;
    unsigned long number = 0;
    if (command == "login") {
        path = "api/login";
        const std::string password = ReadPassword(in);
        body = "{\"user\":" + JsonQuoted(words[1]) + ",\"password\":" + JsonQuoted(password) + "}";
    } else if (command == "status") {
        method = http::verb::get;
        path = "status";
    } else if (command == "end") {
        if (!Number(words[1], 65535, number))
            return usage("a session number is 0 to 65535, not " + EscapedText(words[1]));
        path = "api/sessions/" + words[1] + "/end";
        done = "session " + words[1] + " ended";
    } else if (command == "release" || command == "reserve" || command == "unreserve") {
        if (!Number(words[1], 4294967295ul, number))
            return usage("a camera is its Pelco number, not " + EscapedText(words[1]));
        const std::string camera = "api/cameras/" + words[1];
        if (command == "release") {
            path = camera + "/release";
            done = "camera " + words[1] + " released";
        } else if (command == "unreserve") {
            method = http::verb::delete_;
            path = camera + "/reserve";
            done = "camera " + words[1] + " no longer reserved";
        } else {
            unsigned long minutes = 0;
            if (!Number(minutesText, 1440, minutes) || minutes == 0)
                return usage("reserve needs --minutes M, M from 1 to 1440");
            path = camera + "/reserve";
            body = "{\"user\":" + (forUser ? JsonQuoted(*forUser) : std::string("null")) +
                   ",\"minutes\":" + std::to_string(minutes) + "}";
            done = "camera " + words[1] + " reserved for " +
                   (forUser ? EscapedText(*forUser) : std::string("nobody (out of service)")) +
                   " for " + std::to_string(minutes) + " minutes";
        }
    } else {
        return usage("unknown command " + EscapedText(command) + " (see korvelctl admin --help)");
    }

    const Answer answer = Exchange(*url, method, path, command == "login" ? "" : token, body);
    if (!answer.failure.empty()) {
        err << "korvelctl admin: cannot reach the status server at " << EscapedText(urlText)
            << ": " << answer.failure << "\n";
        return AdminUnreachable;
    }
    const AdminVerdict verdict = JudgeAnswer(answer.code, answer.body);
    if (verdict.status != AdminDone) {
        err << "korvelctl admin: " << command << " refused: " << verdict.message << "\n";
        return verdict.status;
    }
    try {
        if (command == "login") {
            const std::string issued = ParseJson(answer.body).get<std::string>("token");
            if (print) {
                out << issued << "\n";
                return AdminDone;
            }
            if (tokenFile.empty())
                return usage("nowhere to keep the token: set XDG_RUNTIME_DIR or "
                             "KORVELCTL_TOKEN_FILE, or use login --print");
            std::string failure;
            if (!WritePrivate(tokenFile, urlText + "\n" + issued + "\n", failure)) {
                err << "korvelctl admin: " << failure << "\n";
                return AdminUsage;
            }
            out << "logged in as " << EscapedText(words[1]) << "; the token is kept in "
                << tokenFile << "\n";
        } else if (command == "status") {
            ShowStatus(answer.body, out);
        } else {
            out << done << "\n";
        }
    } catch (const std::exception&) {
        err << "korvelctl admin: the status server's answer is not the API's\n";
        return AdminUnreachable;
    }
    return AdminDone;
}

} // namespace korvel
