#include "Operators.h"

#include <chrono>
#include <stdexcept>
#include <thread>

#include <linux/sockios.h>
#include <sys/ioctl.h>

namespace korvel {

std::unique_ptr<OperatorClient> LogIn(std::uint16_t servicePort, const std::string& name,
                                      const std::string& password,
                                      const OperatorClient::Options& options)
{
    auto client = std::make_unique<OperatorClient>(servicePort, options);
    const std::string greeting = "SESSION " + std::to_string(client->LocalPort());
    if (client->ReadGreeting() != greeting)
        throw std::runtime_error("no greeting for " + name);
    client->Send("LOGIN " + name + " " + password);
    if (client->Read(2) != "OK")
        throw std::runtime_error("login refused for " + name);
    return client;
}

bool SendMessage(OperatorClient& client, const std::string& bytes)
{
    client.Send(bytes);
    // Once the service's end has acknowledged the bytes they are in its
    // receive queue (on a busy machine loopback delivery may lag behind
    // send); then that queue empties when the service reads them.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        int unacknowledged = 0;
        if (::ioctl(client.Fd(), SIOCOUTQ, &unacknowledged) != 0)
            return false;
        if (unacknowledged == 0) {
            const auto state = ServiceSideOf(client);
            if (state && state->unreadBytes == 0)
                return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

std::string Drain(OperatorClient& client)
{
    return client.Read(1 << 20, std::chrono::milliseconds(0));
}

} // namespace korvel
