#include "host/BulkSMSService.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "tests/TestSupport.h"

namespace {

using namespace std::chrono_literals;
using testsupport::Lines;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

TEST(CommandLine, SwitchesWithSlashOrDashInAnyCase) {
    auto Parse = [](std::vector<std::string> Args) { return ParseCommandLine(Args); };
    EXPECT_TRUE(Parse({"/INSTALL"}).Install);
    EXPECT_TRUE(Parse({"-install"}).Install);
    EXPECT_TRUE(Parse({"/uninstall"}).Uninstall);
    EXPECT_TRUE(Parse({"-UnInstall"}).Uninstall);
    const TCommandLine Both = Parse({"/install", "-Silent"});
    EXPECT_TRUE(Both.Install && Both.Silent && !Both.Uninstall && !Both.Console);
    EXPECT_TRUE(Parse({"/console"}).Console);
    EXPECT_TRUE(Parse({"-Check"}).Check);
    // /VALIDATE takes the next argument as its file, even one that starts with "/".
    const TCommandLine Named = Parse({"/validate", "/srv/in/A.csv", "fax"});
    EXPECT_TRUE(Named.Validate);
    EXPECT_EQ(Named.ValidateFile, "/srv/in/A.csv");
    EXPECT_EQ(Named.ValidateProtocol, "fax");
    const TCommandLine Unnamed = Parse({"-VALIDATE", "A.csv", "/silent"});
    EXPECT_EQ(Unnamed.ValidateFile, "A.csv");
    EXPECT_EQ(Unnamed.ValidateProtocol, "");
    EXPECT_TRUE(Unnamed.Silent);
    EXPECT_EQ(Parse({"/VALIDATE"}).ValidateFile, "");
    // The unit's user: brova unless /USER names another.
    EXPECT_EQ(Parse({"/install"}).User, "brova");
    EXPECT_EQ(Parse({"/install", "-user", "/x"}).User, "/x");
    EXPECT_TRUE(Parse({"/install", "/USER"}).UserMissing);
    EXPECT_FALSE(Parse({"/install", "/USER", "u"}).UserMissing);
    // Anything else runs the service.
    for (const auto& Other : {"INSTALL", "/INSTALLX", "--install", "/", "-"}) {
        const TCommandLine C = Parse({Other});
        EXPECT_FALSE(C.Install || C.Uninstall || C.Silent || C.Console || C.Check || C.Validate)
            << Other;
    }
}

const char* kConfig =
    "<BulkCSVSender>"
    "<OperationalTime Enabled=\"false\" StartTime=\"08:00\" EndTime=\"17:00\"/>"
    "<Vexo URL=\"http://127.0.0.1:9/x\" Username=\"u\" Password=\"p\"/>"
    "<Settings PollInterval=\"2\" ReplyInterval=\"0\" StatusInterval=\"0\" Priority=\"1\">"
    "<Mail SendConfirmation=\"false\"/><Protocols/><Submissions Split=\"0\"/></Settings>"
    "</BulkCSVSender>";

// The service run in-process: the host's service thread, the real dispatcher, requests posted
// as the signal handlers would post them.
class ServiceRun : public ::testing::Test {
  protected:
    ServiceRun() { WriteFile(Dir / "BrovaCSVSenderConfig.xml", kConfig); }
    std::vector<std::string> LogMessages() const {
        std::vector<std::string> Messages;
        for (const std::string& Line : Lines(ReadFile(Dir / "BrovaCSVSender.Log")))
            Messages.push_back(Line.substr(Line.find(" : ") + 3));
        return Messages;
    }

    TempDir Dir;
    TsvcBrovaCSVSender Service{Dir / "BrovaCSVSender", Now};
    TServiceHost Host{kServiceName, "BrovaCSVSender", TServiceNotifier("")};
};

TEST_F(ServiceRun, StopDuringAPollIsCarriedOutAfterItAndShutsDownOnce) {
    bool PollFinished = false, StopSeenInPoll = false;
    TServiceHandlers Handlers;
    Handlers.Start = [&](TEventLoop& Loop) {
        Service.ServiceStart(Loop);
        TDtaMdlBulkSMS& D = *Service.DtaMdlBulkSMS;
        D.tmrPollDirectory.OnTimer = [&] {
            Loop.Post(TControlRequest::Stop);
            StopSeenInPoll = !Loop.ProcessQueued();
            D.tmrPollDirectoryTimer();
            PollFinished = true;
        };
    };
    Handlers.Stop = [&] {
        EXPECT_TRUE(PollFinished);
        Service.ServiceStop();
    };
    EXPECT_EQ(Host.Run(Handlers), 0);
    EXPECT_TRUE(StopSeenInPoll);
    EXPECT_FALSE(Service.DtaMdlBulkSMS);
    Service.ReleaseAtProcessEnd();
    EXPECT_EQ(LogMessages(), (std::vector<std::string>{"Brova CSV Bulk Messenger Started up.",
                                                       "Brova CSV Bulk Messenger Shut down."}));
}

TEST_F(ServiceRun, NoPollRunsWhilePaused) {
    std::atomic<bool> Paused{false};
    uint64_t PollsAtPause = 0, PollsAtContinue = 0;
    TServiceHandlers Handlers;
    Handlers.Start = [&](TEventLoop& Loop) {
        Service.ServiceStart(Loop);
        TDtaMdlBulkSMS& D = *Service.DtaMdlBulkSMS;
        auto Report = Loop.OnStateChange;
        Loop.OnStateChange = [&, Report](TLoopState State) {
            if (State == TLoopState::Paused) {
                PollsAtPause = D.tmrPollDirectory.FireCount();
                Paused = true;
            }
            if (State == TLoopState::ContinuePending)
                PollsAtContinue = D.tmrPollDirectory.FireCount();
            Report(State);
        };
        D.tmrPollDirectory.OnTimer = [&] {
            D.tmrPollDirectoryTimer();
            if (D.tmrPollDirectory.FireCount() == 3) Loop.Post(TControlRequest::Pause);
            if (D.tmrPollDirectory.FireCount() == 6) Loop.Post(TControlRequest::Stop);
        };
    };
    Handlers.Stop = [&] { Service.ServiceStop(); };
    std::thread Continuer([&] {
        while (!Paused) std::this_thread::sleep_for(1ms);
        std::this_thread::sleep_for(50ms);  // some 25 poll intervals
        Host.Loop().Post(TControlRequest::Continue);
    });
    EXPECT_EQ(Host.Run(Handlers), 0);
    Continuer.join();
    EXPECT_EQ(PollsAtPause, 3u);
    EXPECT_EQ(PollsAtContinue, 3u);
}

TEST_F(ServiceRun, AfterAShutdownTheProcessEndShutsTheDispatcherDownOnce) {
    TServiceHandlers Handlers;
    Handlers.Start = [&](TEventLoop& Loop) {
        Service.ServiceStart(Loop);
        Loop.Post(TControlRequest::Shutdown);
    };
    Handlers.Stop = [&] { Service.ServiceStop(); };
    EXPECT_EQ(Host.Run(Handlers), 0);
    ASSERT_TRUE(Service.DtaMdlBulkSMS);
    EXPECT_EQ(LogMessages().size(), 1u);
    Service.ReleaseAtProcessEnd();
    Service.ReleaseAtProcessEnd();
    EXPECT_EQ(LogMessages(), (std::vector<std::string>{"Brova CSV Bulk Messenger Started up.",
                                                       "Brova CSV Bulk Messenger Shut down."}));
}

}  // namespace
