#pragma once

#include "ops/StatusSnapshot.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace korvel {

// What the NVR connections have reported of themselves, kept on the I/O loop:
// the reports are posted there by the run sequence, never read across threads.
class NvrStatusBoard
{
public:
    enum class Phase
    {
        Connecting,   // a login attempt has begun
        LoggedIn,     // the attempt succeeded
        Retrying,     // the NVR could not be reached or did not answer in time
        LoginRefused, // the NVR refused the user or password (for good)
        Stopped,      // the worker has ended
    };

    // The configured NVRs, by address, all connecting.
    explicit NvrStatusBoard(const std::vector<std::string>& addresses);

    // A reload: an NVR added, or one closed and started again (connecting;
    // its counters go on), or one removed.
    void Started(const std::string& nvr);
    void Removed(const std::string& nvr) { nvrs.erase(nvr); }

    // Reports of an NVR that is not on the board are dropped.
    void PhaseReached(const std::string& nvr, Phase phase);
    void InventoryCounted(const std::string& nvr, std::uint32_t cameras,
                          std::uint32_t softTriggers);
    void HandedOver(const std::string& nvr);

    // In address order.
    std::vector<NvrStatus> Status() const;

private:
    std::map<std::string, NvrStatus> nvrs;
};

} // namespace korvel
