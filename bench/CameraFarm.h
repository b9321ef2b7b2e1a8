#pragma once

#include "FrameLedger.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace korvel {

struct CameraEndpoint
{
    std::uint8_t number = 0; // the Pelco address the camera answers to
    std::string address;     // its own loopback address, so each is a camera of its own
    unsigned short port = 0;
    // The serial line behind the camera's terminal server, as the service is
    // told it (LineBaudRate); 0: none.
    unsigned lineBaudRate = 0;
};

// The cameras of one run: each listens on its own loopback address
// 127.0.1.<number>, accepts whatever connects, and hands every frame that
// arrives, with the kernel's arrival stamp, to the ledger.
//
// A camera may sit behind a terminal server on a slow serial line: it then
// takes a byte from its connection only as the line carries it (lineBytes a
// second), and a frame arrives when its last byte has left the line, on the
// wall clock like the kernel's stamps.
//
// The io_context must outlive the farm; destroying the farm closes every
// socket, and the aborted handlers are never run (the context is not run
// again after the scenario that owns both).
class CameraFarm
{
public:
    // With checkRouting, a frame whose address byte is not the number of the
    // camera it reached counts as misrouted (a plain relay forwards every
    // session to one camera, so it does not check). lineBytes 0: no line, the
    // camera reads what comes as it comes.
    CameraFarm(boost::asio::io_context& io, const std::vector<std::uint8_t>& numbers,
               FrameLedger& ledger, bool checkRouting, double lineBytes = 0);
    ~CameraFarm();
    CameraFarm(const CameraFarm&) = delete;
    CameraFarm& operator=(const CameraFarm&) = delete;

    const std::vector<CameraEndpoint>& Endpoints() const { return endpoints; }
    // Distinct cameras that have at least one connection now.
    std::size_t CamerasConnected() const;
    std::size_t ConnectionsAccepted() const { return accepted; }
    // Bytes that did not form a frame (skipped to find the next one).
    std::size_t Garbled() const { return garbled; }

private:
    struct Listener;
    struct Connection;

    void Accept(Listener& listener);
    void Read(Connection& connection);
    // Receives what the socket holds; false once the connection has ended.
    bool Drain(Connection& connection);
    // Behind a slow line: what the line carried since the last tick.
    void Carry(Connection& connection);
    void Consume(Connection& connection, const std::uint8_t* bytes, std::size_t count,
                 std::int64_t arrival);

    FrameLedger& ledger;
    bool checkRouting;
    double lineBytes;
    std::int64_t epoch; // wall clock nanoseconds at the start
    std::vector<CameraEndpoint> endpoints;
    std::vector<std::unique_ptr<Listener>> listeners;
    std::vector<std::unique_ptr<Connection>> connections;
    std::size_t accepted = 0;
    std::size_t garbled = 0;
    std::vector<std::uint8_t> readBuffer;
};

} // namespace korvel
