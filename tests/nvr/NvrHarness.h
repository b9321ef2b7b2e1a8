#pragma once

// For the NVR tests: the service's configuration with NVR elements, and a
// session of the test's own with the NVR simulator (support/NvrSimulator.h),
// beside the shared service launcher and operator client.

#include "support/ConsoleTexts.h"
#include "support/NvrSimulator.h"
#include "support/OperatorClient.h"
#include "support/ReservedPort.h"
#include "support/ServiceProcess.h"
#include "support/TempDir.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace korvel {

// A session of the test's own with an NVR, to make what a user at the NVR
// would have made before the service comes.
class NvrUser
{
public:
    NvrUser(const std::string& host, std::uint16_t port, const std::string& login,
            const std::string& password);
    ~NvrUser();
    NvrUser(const NvrUser&) = delete;
    NvrUser& operator=(const NvrUser&) = delete;

    void CreateSoftTrigger(const std::string& name, const std::string& guid);
    // Creates or replaces the camera's association, listing the triggers.
    void StoreAssociation(std::uint32_t cameraId, const std::string& name, std::uint32_t active,
                          const std::vector<std::uint32_t>& softTriggerIds);

private:
    static int OnEvent(int eventType, int code, const void* record, int recordLength,
                       void* context);
    void SelectUntil(const std::function<bool()>& condition);

    std::uint32_t handle = 0;
    bool opened = false;
    int loginCode = -1;
};

// One Camera element.
struct CameraConfig
{
    std::string address;
    unsigned pelcoNumber;
};

// One NVR element and its cameras.
struct NvrConfig
{
    std::string address;
    std::uint16_t port;
    std::string login;
    std::string password;
    std::vector<CameraConfig> cameras;
};

// The service's configuration: the operator port on 127.0.0.1, a free one.
std::string ServiceConfig(int retryIntervalSecs, const std::vector<NvrConfig>& nvrs);

} // namespace korvel
