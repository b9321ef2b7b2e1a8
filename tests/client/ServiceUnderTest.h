#pragma once

// The client service in this process, on its own I/O loop thread, with the
// users and cameras a test gives it, its holds and link retries on the time
// source a test gives it.

#include "camera/CameraTable.h"
#include "client/ClientServer.h"
#include "client/ConnectionTable.h"
#include "client/ControlService.h"
#include "client/OperationsFeed.h"
#include "client/SupervisorDesk.h"
#include "clock/SteadyTime.h"
#include "config/Settings.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace korvel {

class OperatorClient;

class ServiceUnderTest
{
public:
    // cameraElements: <Camera .../> elements as in the configuration file.
    ServiceUnderTest(const std::vector<UserAccount>& userAccounts,
                     const std::string& cameraElements = "", int lockTimeSecs = 1,
                     const std::string& listenAddress = "127.0.0.1",
                     const SessionPolicy& policy = SessionPolicy(), TimeSource& time = RealTime());
    // Stops the service on its loop as the run does, waits for the loop to
    // run out of work, and destroys it.
    ~ServiceUnderTest();
    ServiceUnderTest(const ServiceUnderTest&) = delete;
    ServiceUnderTest& operator=(const ServiceUnderTest&) = delete;

    std::uint16_t Port() const { return port; }
    ClientServer& Server() { return *server; }
    ControlService& Control() { return *control; }
    OperationsFeed& Operations() { return *operations; }
    SupervisorDesk& Supervisors() { return *supervisors; }
    // On the loop, as a reload does: the camera is built again from the
    // element (its reservation and patrol carried over), or removed.
    void RebuildCamera(const std::string& address, const std::string& cameraElement);
    void RemoveCamera(const std::string& address);
    // The camera's place in the table, by which the control service knows it.
    std::size_t CameraIndex(const std::string& address) const;

    // Runs the work on the loop thread and waits for it.
    void OnLoop(const std::function<void()>& work);
    // Holds the loop thread until Resume, so that events pile up for it.
    void Pause();
    void Resume();
    // Waits until the service has read and handled everything the client sent.
    void WaitHandled(const OperatorClient& client);
    // The service's end of the client's connection, among this process's
    // descriptors; -1 when there is none.
    int DescriptorOf(const OperatorClient& client) const;
    // The lines logged since the service was made.
    std::string Log() const;
    bool WaitForLog(const std::string& text);

private:
    boost::asio::io_context io;
    // On simulated time a timer's wait is no work of the loop's own: the
    // loop runs on until the service is stopped.
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work{
        io.get_executor()};
    CameraTable cameras;
    UserTable users;
    ConnectionTable connections;
    std::unique_ptr<ControlService> control;
    std::unique_ptr<ClientServer> server;
    std::unique_ptr<SupervisorDesk> supervisors;
    std::unique_ptr<OperationsFeed> operations;
    TimeSource& time;
    std::uint16_t port = 0;
    std::thread loop;
    std::unique_ptr<std::promise<void>> resume;
};

} // namespace korvel
