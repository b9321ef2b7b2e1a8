#include "config/Settings.h"

std::string ClientAddress = "127.0.0.1";
std::uint32_t ClientPort = 55272;
