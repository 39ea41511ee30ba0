// The service host for systemd: the service thread with its event loop, state reports over
// the notify socket, control signals, and the unit file that installs the service.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "platform/EventLoop.h"

// What the service manager needs to know to run the service.
struct TServiceDefinition {
    std::string Name;            // the unit is Name + ".service"
    std::string DisplayName;     // the unit's Description
    std::string ExecutablePath;  // full path, run without arguments
    std::string User;            // the account it runs as; its primary group is the group
    std::string StateDirectory;  // a name under /var/lib, made for the user by the manager
};

// Seconds the service manager waits for the start (which runs the first poll) and the stop.
constexpr int kUnitStartTimeoutSec = 600;
constexpr int kUnitStopTimeoutSec = 180;
// A failed run is started again after this many seconds: slow enough never to reach the
// service manager's start limit, so a service that keeps failing keeps being tried.
constexpr int kUnitRestartDelaySec = 10;
// The service manager ends a service that sent no watchdog ping for this long.
constexpr int kUnitWatchdogSec = 30;
// Open files allowed: the kernel's usual ceiling, as workers have no limit of their own.
constexpr int kUnitMaxOpenFiles = 1048576;

// The socket of the service manager's notify protocol, from NOTIFY_SOCKET; "" when the
// process was not started by a service manager.
std::string NotifySocketFromEnvironment();

// The state directory the service manager made for the service (the first entry of
// STATE_DIRECTORY) with its trailing "/"; "" when the process was given none.
std::string StateDirectoryFromEnvironment();

// The watchdog interval the service manager asked for: WATCHDOG_USEC, when WATCHDOG_PID is
// unset or names this process; zero when there is none or it cannot be read.
std::chrono::microseconds WatchdogIntervalFromEnvironment();

// Sends state reports over the notify socket ("/path" or "@abstract"). Without a socket
// every report is dropped. Any thread: each report opens a socket of its own.
class TServiceNotifier {
  public:
    explicit TServiceNotifier(std::string SocketPath) : SocketPath(std::move(SocketPath)) {}
    bool Active() const { return !SocketPath.empty(); }
    // One datagram of "NAME=value" lines. Throws std::runtime_error with the system's text.
    void Notify(const std::string& State) const;

  private:
    std::string SocketPath;
};

// The service's handlers, run on the service thread.
struct TServiceHandlers {
    // Starts the service; an exception fails the start with its message.
    std::function<void(TEventLoop&)> Start;
    // Stops it; never fails.
    std::function<void()> Stop;
    // What the running service adds to its Running state ("2 files in flight; ..."), or "".
    // Asked on the service thread whenever the state is reported and for each report the
    // loop's PostReport() asked for.
    std::function<std::string()> Figures;
};

// Runs the service thread: start pending, Start, running (ready), the event loop until a stop
// or shutdown request, stop pending, Stop (not on shutdown), stopped. Every state is reported
// to the service manager; a report that fails goes to the system log. While running and not
// paused, a report the loop was asked for (TEventLoop::PostReport) sends the Running state with
// its figures anew, when they changed. Only the service thread sends states.
//
// With a watchdog interval the calling thread, which otherwise only waits, pings the service
// manager (WATCHDOG=1) every eighth of it, but only while the service thread's heartbeat
// (platform/Heartbeat.h) is fresh: it beat within half the interval, or it is inside a live
// wait. Its event loop wakes up every quarter interval to beat.
class TServiceHost {
  public:
    // ServiceName is the system-log source of a failed start and of a failed report,
    // ExeFileName that of an error escaping a timer handler. WatchdogInterval zero: no pings.
    TServiceHost(std::string ServiceName, std::string ExeFileName, TServiceNotifier Notifier,
                 std::chrono::microseconds WatchdogInterval = {});

    // Called on the service thread, and before Run() to post requests.
    TEventLoop& Loop() { return EventLoop; }

    // Runs the service thread and waits for its end (the calling thread only waits).
    // Returns 0 after a stop or shutdown, 1 when the start failed.
    int Run(const TServiceHandlers& Handlers);

    // Which request ended the loop (after Run() returned 0).
    TControlRequest EndedBy() const { return EndRequest; }

  private:
    int ServiceThread(const TServiceHandlers& Handlers);
    void Report(const std::string& State);
    // "STATUS=Running", and "; " and the figures when there are any.
    std::string RunningText(const TServiceHandlers& Handlers) const;

    std::string ServiceName;
    std::string ExeFileName;
    TServiceNotifier Notifier;
    std::chrono::microseconds WatchdogInterval;
    TEventLoop EventLoop;
    TControlRequest EndRequest = TControlRequest::Stop;
    // Service thread only: the state last reported, and whether the service reported ready and
    // has not begun to stop.
    std::string LastStatus;
    bool Ready = false;
};

// Gives the calling thread the name the process list shows for it (at most 15 characters).
void NameThisThread(const char* Name);

// Maps SIGTERM and SIGINT to stop, SIGTSTP to pause and SIGCONT to continue, all posted to
// Loop; SIGHUP and SIGPIPE are ignored. Main thread, before other threads start.
void ForwardControlSignals(TEventLoop& Loop);

// The working directory the service manager gives the service, as the configuration check
// words it: "/ under systemd".
std::string ServiceWorkingDirectoryText();

// Where unit files go: $BROVA_UNIT_DIR, or /etc/systemd/system.
std::string ServiceUnitDirectory();
// The unit file's text: the service as its own user, in a sandbox that leaves it its state
// directory, the share directories its user may write, the network and nothing else. Throws
// std::invalid_argument for a user or state directory name the unit could not hold.
std::string ServiceUnitText(const TServiceDefinition& Service);
// Writes the unit (never over an existing one) and, when systemd runs and no unit directory
// was given, reloads and enables it. Throws std::runtime_error naming what failed and the
// system's error text.
void InstallService(const TServiceDefinition& Service);
// Disables (under systemd, as above) and removes the unit. Throws like InstallService.
void UninstallService(const TServiceDefinition& Service);
