#include "ops/NvrStatusBoard.h"

namespace korvel {

NvrStatusBoard::NvrStatusBoard(const std::vector<std::string>& addresses)
{
    for (const std::string& address : addresses)
        nvrs[address].address = address;
}

void NvrStatusBoard::Started(const std::string& nvr)
{
    NvrStatus& status = nvrs[nvr];
    status.address = nvr;
    status.state = "connecting";
}

void NvrStatusBoard::PhaseReached(const std::string& nvr, Phase phase)
{
    const auto entry = nvrs.find(nvr);
    if (entry == nvrs.end())
        return;
    NvrStatus& status = entry->second;
    switch (phase) {
    case Phase::Connecting:
        status.state = "connecting";
        break;
    case Phase::LoggedIn:
        status.state = "logged-in";
        ++status.loginsOk;
        break;
    case Phase::Retrying:
        status.state = "retrying";
        ++status.loginsFailed;
        break;
    case Phase::LoginRefused:
        status.state = "login-refused";
        ++status.loginsRefused;
        break;
    case Phase::Stopped:
        status.state = "stopped";
        break;
    }
}

void NvrStatusBoard::InventoryCounted(const std::string& nvr, std::uint32_t cameras,
                                      std::uint32_t softTriggers)
{
    const auto entry = nvrs.find(nvr);
    if (entry == nvrs.end())
        return;
    entry->second.cameras = cameras;
    entry->second.softTriggers = softTriggers;
}

void NvrStatusBoard::HandedOver(const std::string& nvr)
{
    const auto entry = nvrs.find(nvr);
    if (entry != nvrs.end())
        ++entry->second.handovers;
}

std::vector<NvrStatus> NvrStatusBoard::Status() const
{
    std::vector<NvrStatus> list;
    for (const auto& entry : nvrs)
        list.push_back(entry.second);
    return list;
}

} // namespace korvel
