#pragma once

#include "camera/CameraTable.h"

#include <boost/thread/thread.hpp>

#include <string>

class ClientServer;

namespace tinyxml2 {
class XMLElement;
}

// One NVR session with its worker thread. (Placeholder until the NVR
// connection lands: it holds its configuration only.)
class NVRConnection
{
public:
    NVRConnection(int retryIntervalSecs, CameraTable& trackCameras);

    // Reads an NVR element; false when the element is rejected.
    bool LoadFromElement(const tinyxml2::XMLElement& element);
    std::string GetAddress() const { return address; }
    int GetPort() const { return port; }
    const std::string& GetLogin() const { return login; }
    const std::string& GetPassword() const { return password; }

    // Starts the worker; the caller takes ownership of the thread (may be null).
    boost::thread* Start();
    // Asks the worker to stop and logs that the connection closes; does not wait.
    void Close();
    void SetClientServer(ClientServer* server) { clientServer = server; }

private:
    std::string address = "127.0.0.1";
    int port = 22609;
    std::string login;
    std::string password;
    int retryIntervalSecs;
    CameraTable& trackCameras;
    ClientServer* clientServer = nullptr;
};
