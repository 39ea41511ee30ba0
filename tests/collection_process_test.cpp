// The real executable in the foreground with the gateway simulator: a status file that another
// process holds locked makes the collection wait, polling goes on meanwhile, and a stop during
// the wait ends the service at once with the unwritten lines kept beside the process log; a
// line that fails otherwise is kept there after three tries and the entries after it go on.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "host/dBulkSMSMain.h"
#include "tests/GatewaySim.h"
#include "tests/ServiceUnderTest.h"
#include "tests/TestSupport.h"

namespace {

using namespace std::chrono_literals;
using testsupport::AgeFile;
using testsupport::BuildDir;
using testsupport::ChildProcess;
using testsupport::Exists;
using testsupport::ListDir;
using testsupport::MakeDirs;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::TGatewaySim;
using testsupport::WaitFor;
using testsupport::WriteFile;

const std::string kHeader = "MessageRequestID,Reference,Status,Status Description,Status Time\r\n";
const std::string kWaiting = "Error Accessing Status File. File is open.";

std::string MsgStat(const std::string& ReqID, const std::string& ClientApp) {
    return "<MsgStat StatTime=\"2024-01-31 10:00:00\" StatText=\"Delivered\" Status=\"2\">"
           "<MsgIdent MsgID=\"" +
           ReqID + "\" ReqID=\"" + ReqID + "\" Ref=\"R" + ReqID +
           "\" Prot=\"SMS\" Rcpt=\"0821234567\" ClientApp=\"" + ClientApp + "\"/></MsgStat>";
}

std::string StatusLine(const std::string& ReqID) {
    return ReqID + ",R" + ReqID + ",2,Delivered,2024-01-31 10:00:00\r\n";
}

// Holds a file's exclusive lock through an open of its own, as another program would.
class THeldLock {
  public:
    explicit THeldLock(const std::string& Path) : Fd(open(Path.c_str(), O_RDWR | O_CLOEXEC)) {
        EXPECT_GE(Fd, 0);
        EXPECT_EQ(flock(Fd, LOCK_EX | LOCK_NB), 0);
    }
    ~THeldLock() { Release(); }
    void Release() {
        if (Fd >= 0) close(Fd);
        Fd = -1;
    }

  private:
    int Fd;
};

class CollectionProcess : public ::testing::Test {
  protected:
    CollectionProcess() {
        std::filesystem::copy_file(BuildDir() + "/BrovaCSVSender", Exe);
        for (const std::string& P : {In, Status, Reply}) MakeDirs(P);
        WriteFile(Dir / "BrovaCSVSenderConfig.xml",
                  "<?xml version=\"1.0\"?>\n<BulkCSVSender>\n"
                  "  <OperationalTime Enabled=\"false\" StartTime=\"08:00\" EndTime=\"17:00\"/>\n"
                  "  <Vexo URL=\"" +
                      Sim.Url() +
                      "\" Username=\"gwuser\" Password=\"gwsecret\">"
                      "<Sender Name=\"Ops\" EmailAdress=\"ops@example.com\"/></Vexo>\n"
                      "  <Settings PollInterval=\"50\" StatusInterval=\"1001\" ReplyInterval=\"0\""
                      " Format=\"\" Priority=\"1\" ValidSACellExtensions=\"082\">\n"
                      "    <Mail SendConfirmation=\"false\"/>\n"
                      "    <Submissions Split=\"0\" MaxMessages=\"100\"/>\n"
                      "    <Protocols><Protocol Name=\"SMS\" Enabled=\"true\" PollDirectory=\"" +
                      In + "\" PollFileType=\"*.csv\" StatusDirectory=\"" + Status +
                      "\" ReplyDirectory=\"" + Reply +
                      "\"/></Protocols>\n  </Settings>\n</BulkCSVSender>\n");
        WriteFile(Status + "/ABC.CSV", kHeader);
    }

    std::unique_ptr<ChildProcess> StartService(const std::string& RetryDelayMs,
                                               std::vector<std::string> Extra = {}) {
        ChildProcess::Options O;
        O.env = std::move(Extra);
        O.env.push_back("BROVA_RETRY_DELAY_MS=" + RetryDelayMs);
        O.unset_env = {"NOTIFY_SOCKET"};
        O.cwd = Dir.Path();
        return std::make_unique<ChildProcess>(std::vector<std::string>{Exe, "/CONSOLE"}, O);
    }
    std::vector<std::string> Logged() const {
        std::vector<std::string> Out;
        for (const std::string& L : testsupport::Lines(ReadFile(Dir / "BrovaCSVSender.Log")))
            Out.push_back(L.substr(L.find(" : ") + 3));
        return Out;
    }
    int Count(const std::string& Message) const {
        int N = 0;
        for (const std::string& L : Logged()) N += L == Message;
        return N;
    }

    TGatewaySim Sim;
    TempDir Dir;
    std::string Exe = Dir / "BrovaCSVSender";
    std::string In = Dir / "in", Status = Dir / "status", Reply = Dir / "reply";
};

TEST_F(CollectionProcess, ALockedFileIsRetriedWhilePollingGoesOnAndWrittenOnceFree) {
    Sim.SetOSStatus("<VexoMessageStatusList>" + MsgStat("501", "ABC") + MsgStat("502", "ABC") +
                    "</VexoMessageStatusList>");
    THeldLock Lock(Status + "/ABC.CSV");
    auto Service = StartService("50");
    ASSERT_TRUE(WaitFor([&] { return Count(kWaiting) >= 3; }))
        << ReadFile(Dir / "BrovaCSVSender.Log");

    // A file dropped during the wait is claimed and sent by a poll that runs inside it.
    WriteFile(In + "/NEW.csv", "0821234567,N1,SMS,Hello\r\n");
    AgeFile(In + "/NEW.csv", 10);
    ASSERT_TRUE(WaitFor([&] { return !Sim.Messages().empty(); }));
    EXPECT_EQ(Sim.Messages()[0].BatchName, "NEW");
    const int Before = Count(kWaiting);
    ASSERT_TRUE(WaitFor([&] { return Count(kWaiting) > Before; }));
    EXPECT_EQ(ReadFile(Status + "/ABC.CSV"), kHeader);
    EXPECT_EQ(Count("Logging on... "), 1);

    Lock.Release();
    const std::string Expected = kHeader + StatusLine("501") + StatusLine("502");
    EXPECT_TRUE(WaitFor([&] { return ReadFile(Status + "/ABC.CSV") == Expected; }))
        << ReadFile(Status + "/ABC.CSV");
    const int Waited = Count(kWaiting);
    Service->Signal(SIGTERM);
    EXPECT_EQ(Service->Wait(), 0) << Service->Stderr();
    EXPECT_EQ(Count(kWaiting), Waited);
    const std::vector<std::string> L = Logged();
    EXPECT_EQ(L.front(), "Brova CSV Bulk Messenger Started up.");
    EXPECT_EQ(L.back(), "Brova CSV Bulk Messenger Shut down.");
    for (const std::string& Line : L)
        EXPECT_TRUE(Line == kWaiting || Line == "Logging on... " ||
                    Line.rfind("Brova CSV Bulk Messenger", 0) == 0)
            << Line;
    EXPECT_EQ(ListDir(Dir.Path()),
              (std::vector<std::string>{"BrovaCSVSender", "BrovaCSVSender.Log",
                                        "BrovaCSVSenderConfig.xml", "in", "reply", "status"}));
}

TEST_F(CollectionProcess, AStopDuringTheWaitEndsTheServiceAndKeepsTheUnwrittenLines) {
    Sim.SetOSStatus("<VexoMessageStatusList>" + MsgStat("501", "ABC") + MsgStat("502", "XYZ") +
                    MsgStat("503", "ABC") + "</VexoMessageStatusList>");
    THeldLock Lock(Status + "/ABC.CSV");
    // Far longer than the wait for the exit below: only a wait that a stop ends lets it pass.
    auto Service = StartService("600000");
    ASSERT_TRUE(WaitFor([&] { return Count(kWaiting) == 1; }));
    Service->Signal(SIGTERM);
    EXPECT_EQ(Service->Wait(30s), 0) << Service->Stderr();

    const std::string KeptABC = Dir / UnwrittenFileName(Status + "/ABC.CSV");
    const std::string KeptXYZ = Dir / UnwrittenFileName(Status + "/XYZ.CSV");
    EXPECT_EQ(ReadFile(KeptABC), StatusLine("501") + StatusLine("503"));
    EXPECT_EQ(ReadFile(KeptXYZ), StatusLine("502"));
    EXPECT_EQ(ListDir(Status), std::vector<std::string>{"ABC.CSV"});
    EXPECT_EQ(ReadFile(Status + "/ABC.CSV"), kHeader);
    EXPECT_EQ(Logged(), (std::vector<std::string>{"Brova CSV Bulk Messenger Started up.", kWaiting,
                                                  "Stopped before writing 2 line(s) to [" + Status +
                                                      "/ABC.CSV]; kept in [" + KeptABC + "]",
                                                  "Stopped before writing 1 line(s) to [" + Status +
                                                      "/XYZ.CSV]; kept in [" + KeptXYZ + "]",
                                                  "Brova CSV Bulk Messenger Shut down."}));
}

TEST_F(CollectionProcess, ALineThatCanNeverBeWrittenIsKeptAsideAfterThreeTriesAndTheRestGoOn) {
    // No file name can be this long: only the bounded tries let the entries after it through.
    const std::string Long(300, 'L');
    Sim.SetOSStatus("<VexoMessageStatusList>" + MsgStat("501", "ABC") + MsgStat("502", Long) +
                    MsgStat("503", "ABC") + MsgStat("504", "XYZ") + "</VexoMessageStatusList>");
    auto Service = StartService("50");
    ASSERT_TRUE(WaitFor([&] { return Exists(Status + "/XYZ.CSV"); }))
        << ReadFile(Dir / "BrovaCSVSender.Log");
    Service->Signal(SIGTERM);
    EXPECT_EQ(Service->Wait(), 0) << Service->Stderr();

    EXPECT_EQ(ReadFile(Status + "/ABC.CSV"), kHeader + StatusLine("501") + StatusLine("503"));
    EXPECT_EQ(ReadFile(Status + "/XYZ.CSV"), StatusLine("504"));
    const std::string Target = Status + "/" + Long + ".CSV";
    const std::string Kept = UnwrittenFileName(Target);
    EXPECT_EQ(ReadFile(Dir / Kept), StatusLine("502"));
    const std::string Failed = "Error Writing [" + Target + "] : File name too long";
    EXPECT_EQ(Logged(),
              (std::vector<std::string>{
                  "Brova CSV Bulk Messenger Started up.", Failed, Failed, Failed,
                  "Unable to write 1 line(s) to [" + Target + "]; kept in [" + Dir / Kept + "]",
                  "Brova CSV Bulk Messenger Shut down."}));
    EXPECT_EQ(ListDir(Dir.Path()), (std::vector<std::string>{"BrovaCSVSender", "BrovaCSVSender.Log",
                                                             "BrovaCSVSenderConfig.xml", Kept, "in",
                                                             "reply", "status"}));
}

// SIGKILL inside a collection, once the gateway has handed its entries over: right after they
// were journalled, and at an append. The next start files every entry before it asks for more;
// only a line written just before the kill may be there twice.
TEST_F(CollectionProcess, AKillInsideACollectionLosesNoEntryTheGatewayHandedOver) {
    const std::vector<std::string> Batches = {"ABC", "DEF", "GHI"};
    for (const std::string Kill : {"fdatasync:1:/Collection-", "fdatasync:7:/status/"}) {
        SCOPED_TRACE(Kill);
        for (const std::string& Name : ListDir(Status))
            std::filesystem::remove(Status + "/" + Name);
        std::string List = "<VexoMessageStatusList>";
        for (int I = 0; I < 30; ++I) List += MsgStat(std::to_string(600 + I), Batches[I % 3]);
        Sim.SetOSStatus(List + "</VexoMessageStatusList>");
        auto Killed = StartService("50", testsupport::WithFaultShim({"BROVA_SHIM_KILL=" + Kill}));
        EXPECT_EQ(Killed->Wait(), 128 + SIGKILL) << Killed->Stderr();
        const auto Journals = [&] {
            std::vector<std::string> Found;
            for (const std::string& Name : ListDir(Dir.Path()))
                if (Name.rfind("Collection-statuses", 0) == 0) Found.push_back(Name);
            return Found;
        };
        ASSERT_EQ(Journals().size(), 1u);

        auto Service = StartService("50");
        ASSERT_TRUE(WaitFor([&] { return Journals().empty(); }))
            << ReadFile(Dir / "BrovaCSVSender.Log");
        Service->Signal(SIGTERM);
        EXPECT_EQ(Service->Wait(), 0);
        int Repeated = 0;
        size_t Total = 0;
        for (size_t B = 0; B < Batches.size(); ++B) {
            const std::string Text = ReadFile(Status + "/" + Batches[B] + ".CSV");
            for (int I = static_cast<int>(B); I < 30; I += 3) {
                const std::string Line = StatusLine(std::to_string(600 + I));
                size_t Count = 0;
                for (size_t At = Text.find(Line); At != std::string::npos;
                     At = Text.find(Line, At + 1))
                    ++Count;
                EXPECT_GE(Count, 1u) << Batches[B] << " " << 600 + I;
                Repeated += static_cast<int>(Count) - 1;
            }
            Total += testsupport::Lines(Text).size();
        }
        // Nothing but the entries, each once, save at most one line written at the kill.
        EXPECT_LE(Repeated, 1);
        EXPECT_EQ(Total, 30u + static_cast<size_t>(Repeated));
        if (Kill.find("Collection-") != std::string::npos) {
            EXPECT_EQ(Repeated, 0);
        }
        bool Finished = false;
        for (const std::string& L : Logged())
            Finished |= L.rfind("Finishing collection [" + Dir / "Collection-statuses", 0) == 0 &&
                        L.find(" of 30 line(s) left") != std::string::npos;
        EXPECT_TRUE(Finished) << ReadFile(Dir / "BrovaCSVSender.Log");
    }
}

}  // namespace
