#pragma once

#include "camera/CommandWritePath.h"
#include "camera/LinkStateMachine.h"

#include <boost/system/error_code.hpp>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>

namespace korvel {

// What a network camera's write path needs of its link (NetworkLink, or a
// test's over a simulated network), chosen when the camera is built. Every
// call on the I/O loop thread; see NetworkLink for what each one does.
class CameraLink
{
public:
    using WriteHandler = std::function<void(const boost::system::error_code&)>;

    virtual ~CameraLink() = default;

    virtual void Start() = 0;
    virtual CommandWritePath::TransportId Transport() const = 0;
    virtual LinkState State() const = 0;
    virtual std::size_t TryWrite(const void* data, std::size_t length,
                                 boost::system::error_code& error) = 0;
    virtual void AsyncWrite(const void* data, std::size_t length, WriteHandler handler) = 0;
    virtual std::optional<std::size_t> UnsentBytes() const = 0;
    virtual void WriteFailed(const boost::system::error_code& error) = 0;
    virtual void Stop() = 0;
    virtual void SetRetryInterval(int seconds) = 0;
};

// The same of a serial camera's port (SerialLink, or a test's); see
// SerialLink for what each call does.
class SerialCameraLink
{
public:
    using WriteHandler = CameraLink::WriteHandler;

    virtual ~SerialCameraLink() = default;

    virtual bool Opened() const = 0;
    virtual const std::string& StartFailure() const = 0;
    virtual LinkState State() const = 0;
    virtual bool EnsureOpen() = 0;
    virtual void AsyncWrite(const void* data, std::size_t length, WriteHandler handler) = 0;
    virtual std::optional<std::size_t> OutputQueue() = 0;
    virtual void WriteFailed(const boost::system::error_code& error) = 0;
    virtual void Stop() = 0;
};

} // namespace korvel
