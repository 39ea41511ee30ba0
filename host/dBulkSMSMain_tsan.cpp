// Threads against the event loop and the dispatcher: requests posted from many threads while
// timers run, a worker-like thread reading the configuration while the dispatcher shuts
// down, and real workers started by polls while collection runs and the dispatcher goes.
// Built with ThreadSanitizer in the sanitizer build.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "host/BulkSMSService.h"
#include "platform/EventLoop.h"
#include "tests/GatewaySim.h"
#include "tests/TestSupport.h"
#include "worker/uBulkSMSThread.h"

namespace {

using namespace std::chrono_literals;
using testsupport::AgeFile;
using testsupport::ListDir;
using testsupport::MakeDirs;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::TGatewaySim;
using testsupport::WriteFile;

constexpr int kPosters = 4;
constexpr int kPairsPerPoster = 200;

// Posts pause and continue in pairs from several threads, then a stop.
class TRequestStorm {
  public:
    explicit TRequestStorm(TEventLoop& Loop) : Loop(Loop) {
        for (int T = 0; T < kPosters; ++T)
            Threads.emplace_back([this] {
                for (int I = 0; I < kPairsPerPoster; ++I) {
                    this->Loop.Post(TControlRequest::Pause);
                    this->Loop.Post(TControlRequest::Continue);
                }
                if (++Done == kPosters) this->Loop.Post(TControlRequest::Stop);
            });
    }
    ~TRequestStorm() {
        for (auto& T : Threads) T.join();
    }

  private:
    TEventLoop& Loop;
    std::atomic<int> Done{0};
    std::vector<std::thread> Threads;
};

TEST(EventLoopThreads, RequestsFromManyThreadsWhileTimersRun) {
    TEventLoop Loop;
    TTimer A(Loop), B(Loop);
    for (TTimer* T : {&A, &B}) {
        T->SetInterval(1);
        T->Arm();
        T->OnTimer = [&Loop, T] {
            T->Disarm();
            Loop.ProcessQueued();
            T->Arm();
        };
    }
    int Pending = 0, Paused = 0, Continuing = 0, Running = 0;
    Loop.OnStateChange = [&](TLoopState S) {
        Pending += S == TLoopState::PausePending;
        Paused += S == TLoopState::Paused;
        Continuing += S == TLoopState::ContinuePending;
        Running += S == TLoopState::Running;
    };
    TControlRequest Ended;
    {
        TRequestStorm Storm(Loop);
        Ended = Loop.Run();
    }
    EXPECT_EQ(Ended, TControlRequest::Stop);
    EXPECT_EQ(Pending, Paused);
    EXPECT_EQ(Continuing, Running);
    EXPECT_GE(Paused, 1);
    EXPECT_LE(Paused, kPosters * kPairsPerPoster);
}

TEST(DispatcherThreads, ServiceRunWithRequestStormAndAWorkerHoldingTheConfiguration) {
    TempDir Dir;
    WriteFile(Dir / "BrovaCSVSenderConfig.xml",
              "<BulkCSVSender><OperationalTime Enabled=\"false\" StartTime=\"8:00\" "
              "EndTime=\"17:00\"/><Vexo URL=\"http://127.0.0.1:9/x\" Username=\"u\" "
              "Password=\"p\"/><Settings PollInterval=\"1\" ReplyInterval=\"0\" "
              "StatusInterval=\"0\"><Protocols/></Settings></BulkCSVSender>");
    TsvcBrovaCSVSender Service(Dir / "BrovaCSVSender", Now);
    TServiceHost Host(kServiceName, "BrovaCSVSender", TServiceNotifier(""));
    std::thread Worker;
    std::atomic<long> Reads{0};
    TServiceHandlers Handlers;
    Handlers.Start = [&](TEventLoop& Loop) {
        Service.ServiceStart(Loop);
        // As a poll hands a worker its own reference: taken on the service thread.
        std::shared_ptr<IXMLBulkCSVSenderType> Config = Service.DtaMdlBulkSMS->Config;
        Worker = std::thread([Config, &Reads] {
            for (int I = 0; I < 2000; ++I)
                Reads +=
                    Config->GetSettings()->GetPollInterval() + Config->GetVexo()->GetURL().size();
        });
    };
    Handlers.Stop = [&] { Service.ServiceStop(); };
    int Result;
    {
        TRequestStorm Storm(Host.Loop());
        Result = Host.Run(Handlers);
    }
    Worker.join();
    Service.ReleaseAtProcessEnd();
    EXPECT_EQ(Result, 0);
    EXPECT_EQ(Reads.load(), 2000L * (1 + std::string("http://127.0.0.1:9/x").size()));
    const std::string Log = ReadFile(Dir / "BrovaCSVSender.Log");
    EXPECT_EQ(Log.find("Shut down."), Log.rfind("Shut down."));
    EXPECT_NE(Log.find("Shut down."), std::string::npos);
}

TEST(DispatcherThreads, WorkersRunWhileCollectionTicksAndTheDispatcherShutsDown) {
    constexpr int kFiles = 6;
    TGatewaySim Sim;
    TempDir Dir;
    const std::string In = Dir / "in", Out = Dir / "out";
    MakeDirs(In);
    MakeDirs(Out);
    WriteFile(Dir / "BrovaCSVSenderConfig.xml",
              "<BulkCSVSender><OperationalTime Enabled=\"true\" StartTime=\"0:00\" "
              "EndTime=\"23:59:59.999\"/><Vexo URL=\"" +
                  Sim.Url() +
                  "\" Username=\"gwuser\" Password=\"gwsecret\"><Sender "
                  "EmailAdress=\"ops@example.com\"/></Vexo><Settings PollInterval=\"1\" "
                  "ReplyInterval=\"0\" StatusInterval=\"0\" Priority=\"1\" "
                  "ValidSACellExtensions=\"082\"><Mail SendConfirmation=\"false\"/><Submissions "
                  "Split=\"1\" MaxMessages=\"1\"/><Protocols><Protocol Name=\"SMS\" "
                  "Enabled=\"true\" PollDirectory=\"" +
                  In + "\" PollFileType=\"*.csv\" StatusDirectory=\"" + Out +
                  "\" ReplyDirectory=\"" + Out + "\"/></Protocols></Settings></BulkCSVSender>");
    TEventLoop Loop;
    auto D = std::make_unique<TDtaMdlBulkSMS>(Loop, Now, Dir / "BrovaCSVSender");
    for (TTimer* T : {&D->tmrGetStatusses, &D->tmrGetReplies}) {
        T->SetInterval(1);
        T->Arm();
    }
    for (int I = 0; I < kFiles; ++I) {
        const std::string Path = In + "/F" + std::to_string(I) + ".csv";
        WriteFile(Path, "0821234567,R1,SMS,Hello\r\n0831234567,R2,SMS,Hi\r\n");
        AgeFile(Path, 10);
    }
    // The start-up's poll has claimed every file and started the workers; collection ticks
    // run beside them, and the dispatcher goes whether or not they are done.
    TTimer Watch(Loop);
    Watch.SetInterval(1);
    Watch.Arm();
    Watch.OnTimer = [&] {
        const bool Enough =
            D->tmrGetStatusses.FireCount() >= 10 && D->tmrGetReplies.FireCount() >= 10;
        if (Enough || Watch.FireCount() > 60000) Loop.Post(TControlRequest::Stop);
    };
    EXPECT_EQ(Loop.Run(), TControlRequest::Stop);
    EXPECT_GE(D->tmrGetStatusses.FireCount(), 10u);
    D.reset();
    ASSERT_TRUE(WaitForBulkThreads(120s));
    EXPECT_EQ(Sim.Messages().size(), 2u * kFiles);
    EXPECT_TRUE(ListDir(In).empty());
}

}  // namespace
