#pragma once

// Operator workstations for the fault tests, on top of the client tests'
// blocking OperatorClient.
#include "client/Peers.h"

#include <cstdint>
#include <memory>
#include <string>

namespace korvel {

// Connects, reads the greeting and logs in with "LOGIN name password";
// throws std::runtime_error unless the service answers "OK".
std::unique_ptr<OperatorClient> LogIn(std::uint16_t servicePort, const std::string& name,
                                      const std::string& password,
                                      const OperatorClient::Options& options = {});

// Sends the bytes and waits until the service has read them, so that each
// call is one message to the service however fast they follow each other.
// False if the service did not read them in time.
bool SendMessage(OperatorClient& client, const std::string& bytes);

// Whatever the service has sent that has not been read yet.
std::string Drain(OperatorClient& client);

} // namespace korvel
