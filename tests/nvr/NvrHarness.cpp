#include "NvrHarness.h"

#include "tlapi/tlapi.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <sstream>
#include <stdexcept>

namespace korvel {

NvrUser::NvrUser(const std::string& host, std::uint16_t port, const std::string& login,
                 const std::string& password)
    : handle(TLAPI_Init())
{
    if (handle == 0 || TLAPI_SetCallbackEx(handle, &NvrUser::OnEvent, this) != 0 ||
        TLAPI_Open(handle, host.c_str(), port) != 0)
        throw std::runtime_error("cannot open a session with the NVR");
    SelectUntil([&] { return opened; });
    if (TLAPI_Login(handle, login.c_str(), password.c_str()) != 0)
        throw std::runtime_error("cannot send the login");
    SelectUntil([&] { return loginCode >= 0; });
    if (loginCode != TLAPI_LOGIN_OK)
        throw std::runtime_error("login refused");
}

NvrUser::~NvrUser()
{
    TLAPI_Close(handle);
    TLAPI_Cleanup(handle);
}

int NvrUser::OnEvent(int eventType, int code, const void*, int, void* context)
{
    auto* user = static_cast<NvrUser*>(context);
    if (eventType == TLAPI_EVENT_OPENED)
        user->opened = true;
    else if (eventType == TLAPI_EVENT_LOGIN)
        user->loginCode = code;
    return 0;
}

void NvrUser::SelectUntil(const std::function<bool()>& condition)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!condition()) {
        if (TLAPI_Select(handle, 100) < 0 || std::chrono::steady_clock::now() > deadline)
            throw std::runtime_error("the NVR session did not get there");
    }
}

void NvrUser::CreateSoftTrigger(const std::string& name, const std::string& guid)
{
    ASSERT_EQ(TLAPI_CreateSoftTriggerWithGuid(handle, name.c_str(), guid.c_str()), 0) << guid;
}

void NvrUser::StoreAssociation(std::uint32_t cameraId, const std::string& name,
                               std::uint32_t active,
                               const std::vector<std::uint32_t>& softTriggerIds)
{
    char nameBuffer[TLAPI_TEXT_BUFFER_SIZE] = {};
    char font[TLAPI_TEXT_BUFFER_SIZE] = "Courier";
    std::strncpy(nameBuffer, name.c_str(), sizeof nameBuffer - 1);
    std::vector<TLAPI_ASSOCIATION_ENTRY> entries;
    for (std::uint32_t id : softTriggerIds) {
        TLAPI_ASSOCIATION_ENTRY entry{};
        entry.size = sizeof entry;
        entry.position = static_cast<std::uint32_t>(entries.size()) + 1;
        entry.kind = 8;
        entry.softTriggerId = id;
        entry.action = 2;
        entries.push_back(entry);
    }
    TLAPI_ASSOCIATION record{};
    record.size = sizeof record;
    record.name = nameBuffer;
    record.cameraId = cameraId;
    record.displayMode = 1;
    record.displayWidth = 20;
    record.textColour = 0x123456;
    record.active = active;
    record.font = font;
    record.fontSize = 12;
    record.entries = entries.empty() ? nullptr : entries.data();
    record.entryCount = static_cast<std::uint32_t>(entries.size());
    ASSERT_EQ(TLAPI_UpdateAssociation(handle, &record), 0) << name;
}

std::string ServiceConfig(int retryIntervalSecs, const std::vector<NvrConfig>& nvrs)
{
    std::ostringstream xml;
    xml << "<?xml version=\"1.0\"?>\n<tlKorvel>\n"
        << "  <Options RetryIntervalSecs=\"" << retryIntervalSecs
        << "\" ClientAddress=\"127.0.0.1\" ClientPort=\"0\" />\n"
        << "  <KorvelControl LockTime=\"5\" />\n";
    for (const auto& nvr : nvrs) {
        xml << "  <NVR Address=\"" << nvr.address << "\" Port=\"" << nvr.port << "\" Login=\""
            << nvr.login << "\" Password=\"" << nvr.password << "\">\n";
        // Network cameras on a port where nothing listens: their links fail
        // and retry quietly on the loopback host.
        for (const auto& camera : nvr.cameras)
            xml << "    <Camera Address=\"" << camera.address << "\" PelcoNumber=\""
                << camera.pelcoNumber << "\" Port=\"9\" />\n";
        xml << "  </NVR>\n";
    }
    xml << "</tlKorvel>\n";
    return xml.str();
}

} // namespace korvel
