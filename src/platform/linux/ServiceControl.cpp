#include "platform/ServicePlatform.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include <pthread.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

namespace korvel {

// Under systemd the service manager's control requests arrive as signals:
//   SIGTERM, SIGINT          stop
//   SIGHUP                   interrogate
//   SIGRTMIN+n               user-defined control code 128+n
//   SIGRTMIN with a value    that value as the control code, so that every
//   (sigqueue)               code can be sent despite the few real-time signals
// The states go back through the notification socket (sd_notify).
//
// The signals are blocked before the first thread starts, so every thread of
// the service inherits the mask, and the dispatcher takes them one by one with
// sigwaitinfo: no handler code ever runs in signal context.

namespace {

std::atomic<bool> serviceStopped{false};
std::atomic<bool> runEnded{false};

// The value of the SIGRTMIN that the run thread queues to wake the dispatcher
// when the run has ended by itself; only this process's own counts.
constexpr int RunEndedWake = -1;

bool IsRunEndedWake(const siginfo_t& info)
{
    return info.si_signo == SIGRTMIN && info.si_code == SI_QUEUE && info.si_pid == ::getpid() &&
           info.si_value.sival_int == RunEndedWake;
}

sigset_t ControlSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal)
        sigaddset(&signals, signal);
    return signals;
}

std::optional<unsigned long> ControlCodeFor(const siginfo_t& info)
{
    const int signal = info.si_signo;
    if (signal == SIGTERM || signal == SIGINT)
        return ServiceControlStop;
    if (signal == SIGHUP)
        return ServiceControlInterrogate;
    if (signal == SIGRTMIN && info.si_code == SI_QUEUE)
        return static_cast<std::uint32_t>(info.si_value.sival_int);
    if (signal >= SIGRTMIN && signal <= SIGRTMAX)
        return 128ul + static_cast<unsigned long>(signal - SIGRTMIN);
    return std::nullopt;
}

// The run thread has ended by now, so its wake has been queued; if the loop
// did not take it, it must not reach the process once the mask is restored,
// where its default action would kill the process.
void TakePendingWake()
{
    sigset_t wake;
    sigemptyset(&wake);
    sigaddset(&wake, SIGRTMIN);
    const timespec noWait{0, 0};
    siginfo_t info;
    while (sigtimedwait(&wake, &info, &noWait) > 0) {
    }
}

bool StartedByServiceManager()
{
    const char* socket = std::getenv("NOTIFY_SOCKET");
    return socket != nullptr && *socket != '\0';
}

} // namespace

ServiceResult RunServiceDispatcher(const ServiceCallbacks& service)
{
    if (!StartedByServiceManager())
        return {ServiceResult::Outcome::NotStartedByServiceManager, 0, {}};

    const sigset_t controls = ControlSignals();
    sigset_t previousMask;
    pthread_sigmask(SIG_BLOCK, &controls, &previousMask);

    // Requests that arrive while the service starts wait, blocked, until it
    // has reported its state: a starting service accepts no controls.
    try {
        std::thread dispatcherThread(service.serviceMain);
        dispatcherThread.join();
    } catch (const std::system_error& error) {
        pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
        return ServiceResult::Failure(static_cast<unsigned long>(error.code().value()),
                                      "Unknown error while starting the service.");
    }

    while (!serviceStopped && !runEnded) {
        siginfo_t info;
        if (sigwaitinfo(&controls, &info) < 0)
            continue; // EINTR: a signal outside the set ran its handler
        if (IsRunEndedWake(info))
            continue;
        if (const std::optional<unsigned long> control = ControlCodeFor(info))
            service.controlHandler(*control);
    }
    // A stop handled meanwhile has already waited for the run and reported it.
    const bool endedByItself = runEnded && !serviceStopped;
    if (endedByItself)
        service.runEnded();
    if (runEnded)
        TakePendingWake();
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    return {};
}

void EndServiceDispatcher()
{
    runEnded = true;
    sigval value{};
    value.sival_int = RunEndedWake;
    ::sigqueue(::getpid(), SIGRTMIN, value);
}

ServiceResult RegisterServiceControlHandler()
{
    // The control signals are routed to the dispatcher before ServiceMain runs.
    return {};
}

void SetStatus(ServiceState state, unsigned long, unsigned long waitHintMs)
{
    std::string message;
    switch (state) {
    case ServiceState::StartPending:
        message = "STATUS=Starting";
        break;
    case ServiceState::Running:
        message = "READY=1\nSTATUS=Running\nMAINPID=" + std::to_string(::getpid());
        break;
    case ServiceState::StopPending:
        message = "STOPPING=1\nSTATUS=Stopping";
        break;
    case ServiceState::Stopped:
        message = "STATUS=Stopped";
        break;
    }
    if (waitHintMs != 0)
        message += "\nEXTEND_TIMEOUT_USEC=" + std::to_string(waitHintMs * 1000ull);
    sd_notify(0, message.c_str());
    if (state == ServiceState::Stopped)
        serviceStopped = true;
}

} // namespace korvel
