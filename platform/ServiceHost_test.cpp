#include "platform/ServiceHost.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/SysLog.h"
#include "tests/NotifyListener.h"
#include "tests/TestSupport.h"

namespace {

using namespace std::chrono_literals;
using testsupport::NotifyListener;
using testsupport::TempDir;

std::string UniqueAbstractAddress() {
    static std::atomic<int> Counter{0};
    return "@brova-notify-test-" + std::to_string(getpid()) + "-" + std::to_string(++Counter);
}

// Every datagram that arrived, until none comes for a short while.
std::vector<std::string> ReceiveAll(NotifyListener& Listener) {
    std::vector<std::string> Messages;
    for (std::string M = Listener.Receive(200ms); !M.empty(); M = Listener.Receive(200ms))
        Messages.push_back(M);
    return Messages;
}

TEST(ServiceNotifier, SendsOneDatagramToAPathOrAnAbstractSocket) {
    TempDir Dir;
    NotifyListener OnPath(Dir / "notify");
    NotifyListener Abstract(UniqueAbstractAddress());
    TServiceNotifier(OnPath.Address()).Notify("READY=1\nSTATUS=Running");
    TServiceNotifier(Abstract.Address()).Notify("STATUS=Paused");
    EXPECT_EQ(OnPath.Receive(), "READY=1\nSTATUS=Running");
    EXPECT_EQ(Abstract.Receive(), "STATUS=Paused");
}

TEST(ServiceNotifier, WithoutASocketNothingIsSentAndAMissingSocketFailsWithTheSystemText) {
    TServiceNotifier None("");
    EXPECT_FALSE(None.Active());
    EXPECT_NO_THROW(None.Notify("READY=1"));
    TempDir Dir;
    try {
        TServiceNotifier(Dir / "absent").Notify("READY=1");
        FAIL() << "no exception";
    } catch (const std::runtime_error& E) {
        EXPECT_EQ(std::string(E.what()),
                  "Cannot report \"READY=1\" to the service manager: No such file or directory");
    }
}

TEST(ServiceWatchdog, IntervalOnlyWhenAskedForThisProcess) {
    const std::string Self = std::to_string(getpid());
    const auto With = [](const char* Usec, const std::string& Pid) {
        setenv("WATCHDOG_USEC", Usec, 1);
        if (Pid.empty())
            unsetenv("WATCHDOG_PID");
        else
            setenv("WATCHDOG_PID", Pid.c_str(), 1);
        const auto Interval = WatchdogIntervalFromEnvironment();
        unsetenv("WATCHDOG_USEC");
        unsetenv("WATCHDOG_PID");
        return Interval.count();
    };
    EXPECT_EQ(With("1000000", ""), 1000000);
    EXPECT_EQ(With("30000000", Self), 30000000);
    EXPECT_EQ(With("1000000", "1"), 0);  // another process's
    EXPECT_EQ(With("", ""), 0);
    EXPECT_EQ(With("-5", ""), 0);
    EXPECT_EQ(With("10s", ""), 0);
}

class ServiceHostRun : public ::testing::Test {
  protected:
    NotifyListener Listener{UniqueAbstractAddress()};
    TServiceHost Host{"svcTest", "TestExe", TServiceNotifier(Listener.Address())};
};

TEST_F(ServiceHostRun, ReportsEveryStateAndReadyOnlyAfterTheStartReturned) {
    std::vector<std::string> DuringStart;
    int Stops = 0;
    std::string Figures = "0 rows sent";
    std::unique_ptr<TTimer> Step;
    TServiceHandlers Handlers;
    // One step per tick: control requests and reports asked for run between the ticks.
    Handlers.Start = [&](TEventLoop& Loop) {
        for (std::string M = Listener.Receive(0ms); !M.empty(); M = Listener.Receive(0ms))
            DuringStart.push_back(M);
        Step = std::make_unique<TTimer>(Loop);
        Step->SetInterval(1);
        Step->Arm();
        Step->OnTimer = [&Loop, &Figures, &Step] {
            switch (Step->FireCount()) {
                case 1:  // unchanged figures are not sent again
                    Loop.PostReport();
                    break;
                case 2:  // asked from another thread, as a worker asks
                    Figures = "5 rows sent";
                    std::thread([&Loop] {
                        Loop.PostReport();
                        Loop.PostReport();
                    }).join();
                    break;
                case 3:  // paused, the state stays "Paused"; continued, the figures are back
                    Loop.Post(TControlRequest::Pause);
                    Figures = "6 rows sent";
                    Loop.PostReport();
                    Loop.Post(TControlRequest::Continue);
                    break;
                default:
                    Step->Disarm();
                    Loop.PostReport();
                    Loop.Post(TControlRequest::Stop);
            }
        };
    };
    Handlers.Stop = [&] {
        ++Stops;
        Step.reset();
    };
    Handlers.Figures = [&] { return Figures; };
    EXPECT_EQ(Host.Run(Handlers), 0);
    EXPECT_EQ(DuringStart, std::vector<std::string>{"STATUS=Start pending"});
    EXPECT_EQ(
        ReceiveAll(Listener),
        (std::vector<std::string>{
            "READY=1\nSTATUS=Running; 0 rows sent", "STATUS=Running; 5 rows sent",
            "STATUS=Pause pending", "STATUS=Paused", "STATUS=Continue pending",
            "STATUS=Running; 6 rows sent", "STOPPING=1\nSTATUS=Stop pending", "STATUS=Stopped"}));
    EXPECT_EQ(Stops, 1);
    EXPECT_EQ(Host.EndedBy(), TControlRequest::Stop);
}

TEST_F(ServiceHostRun, FailedStartIsLoggedUnderTheServiceNameAndNeverReportsReady) {
    int Stops = 0;
    TServiceHandlers Handlers;
    Handlers.Start = [](TEventLoop&) { throw std::runtime_error("Error During Creation"); };
    Handlers.Stop = [&] { ++Stops; };
    SetSystemLogEcho(true);
    testing::internal::CaptureStderr();
    const int Result = Host.Run(Handlers);
    const std::string Err = testing::internal::GetCapturedStderr();
    SetSystemLogEcho(false);
    EXPECT_EQ(Result, 1);
    EXPECT_EQ(Err, "svcTest: Service failed on start: Error During Creation\n");
    EXPECT_EQ(ReceiveAll(Listener),
              (std::vector<std::string>{"STATUS=Start pending", "STATUS=Stopped"}));
    EXPECT_EQ(Stops, 0);
}

TEST_F(ServiceHostRun, ErrorEscapingATimerHandlerIsLoggedUnderTheExecutableName) {
    TServiceHandlers Handlers;
    std::unique_ptr<TTimer> Timer;
    Handlers.Start = [&](TEventLoop& Loop) {
        Timer = std::make_unique<TTimer>(Loop);
        Timer->SetInterval(1);
        Timer->Arm();
        Timer->OnTimer = [&Loop, &Timer] {
            Timer->Disarm();
            Loop.Post(TControlRequest::Stop);
            throw std::runtime_error("Access violation");
        };
    };
    Handlers.Stop = [&] { Timer.reset(); };
    SetSystemLogEcho(true);
    testing::internal::CaptureStderr();
    EXPECT_EQ(Host.Run(Handlers), 0);
    const std::string Err = testing::internal::GetCapturedStderr();
    SetSystemLogEcho(false);
    EXPECT_EQ(Err, "TestExe: Access violation\n");
}

TEST(ServiceUnit, TextForAPlainPath) {
    EXPECT_EQ(ServiceUnitText({"svcBrovaCSVSender", "Brova CSV Sender", "/opt/brova/BrovaCSVSender",
                               "brova", "brova-csv-sender"}),
              "[Unit]\n"
              "Description=Brova CSV Sender\n"
              "After=network-online.target\n"
              "Wants=network-online.target\n"
              "\n"
              "[Service]\n"
              "Type=notify\n"
              "ExecStart=/opt/brova/BrovaCSVSender\n"
              "Restart=on-failure\n"
              "RestartSec=10\n"
              "TimeoutStartSec=600\n"
              "TimeoutStopSec=180\n"
              "WatchdogSec=30\n"
              "TasksMax=infinity\n"
              "LimitNOFILE=1048576\n"
              "User=brova\n"
              "StateDirectory=brova-csv-sender\n"
              "StateDirectoryMode=0750\n"
              "UMask=0027\n"
              "NoNewPrivileges=yes\n"
              "CapabilityBoundingSet=\n"
              "AmbientCapabilities=\n"
              "ProtectSystem=full\n"
              "ProtectHome=no\n"
              "PrivateTmp=yes\n"
              "PrivateDevices=yes\n"
              "PrivateMounts=yes\n"
              "ProtectHostname=yes\n"
              "ProtectClock=yes\n"
              "ProtectKernelTunables=yes\n"
              "ProtectKernelModules=yes\n"
              "ProtectKernelLogs=yes\n"
              "ProtectControlGroups=yes\n"
              "ProtectProc=invisible\n"
              "ProcSubset=pid\n"
              "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6\n"
              "RestrictNamespaces=yes\n"
              "RestrictRealtime=yes\n"
              "RestrictSUIDSGID=yes\n"
              "RemoveIPC=yes\n"
              "LockPersonality=yes\n"
              "MemoryDenyWriteExecute=yes\n"
              "SystemCallArchitectures=native\n"
              "SystemCallFilter=@system-service\n"
              "SystemCallFilter=~@privileged @resources\n"
              "SystemCallErrorNumber=EPERM\n"
              "DevicePolicy=closed\n"
              "KeyringMode=private\n"
              "\n"
              "[Install]\n"
              "WantedBy=multi-user.target\n");
}

TEST(ServiceUnit, PathsThatSystemdWouldSplitOrExpandStayOneLiteralWord) {
    auto ExecStart = [](const std::string& Path) {
        const std::string Text = ServiceUnitText({"svc", "Svc", Path, "u", "s"});
        const size_t Start = Text.find("ExecStart=") + 10;
        return Text.substr(Start, Text.find('\n', Start) - Start);
    };
    EXPECT_EQ(ExecStart("/opt/my dir/BrovaCSVSender"), "\"/opt/my dir/BrovaCSVSender\"");
    EXPECT_EQ(ExecStart("/opt/100%/$HOME/x"), "/opt/100%%/$$HOME/x");
    EXPECT_EQ(ExecStart("/opt/a\"b\\c/x"), "\"/opt/a\\\"b\\\\c/x\"");
}

TEST(ServiceUnit, AUserOrStateDirectoryThatIsNotOneWordIsRefused) {
    for (const std::string Name : {"", "a b", "a\nUser=root", "-x", "%i", "../x"}) {
        EXPECT_THROW(ServiceUnitText({"svc", "Svc", "/x", Name, "s"}), std::invalid_argument)
            << Name;
        EXPECT_THROW(ServiceUnitText({"svc", "Svc", "/x", "u", Name}), std::invalid_argument)
            << Name;
    }
    EXPECT_NE(ServiceUnitText({"svc", "Svc", "/x", "svc-user.2", "s"}).find("\nUser=svc-user.2\n"),
              std::string::npos);
}

}  // namespace
