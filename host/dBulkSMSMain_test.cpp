#include "host/dBulkSMSMain.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tests/GatewaySim.h"
#include "tests/TestSupport.h"
#include "worker/uBulkSMSThread.h"

namespace {

using namespace std::chrono_literals;
using testsupport::AgeFile;
using testsupport::Exists;
using testsupport::ListDir;
using testsupport::MakeDirs;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::TGatewaySim;
using testsupport::WriteFile;

const TDateTime kMoment{2024, 1, 31, 10, 0, 0, 0};
const std::string kStamp = "2024/01/31 10:00:00 : ";

std::string Config(const std::string& Settings) {
    return "<?xml version=\"1.0\"?>\n"
           "<BulkCSVSender>\n"
           "  <OperationalTime Enabled=\"true\" StartTime=\"08:00\" EndTime=\"17:00:00\"/>\n"
           "  <Vexo URL=\"http://127.0.0.1:9/csp/vexo/Vexo.Webservice.cls\" Username=\"user\""
           " Password=\"pass\"/>\n"
           "  <Settings " +
           Settings +
           "><Protocols/></Settings>\n"
           "</BulkCSVSender>\n";
}

class Dispatcher : public ::testing::Test {
  protected:
    std::unique_ptr<TDtaMdlBulkSMS> Create() {
        return std::make_unique<TDtaMdlBulkSMS>(
            Loop, [] { return kMoment; }, ExePath);
    }
    std::unique_ptr<TDtaMdlBulkSMS> CreateWith(const std::string& Settings) {
        WriteFile(Dir / "BrovaCSVSenderConfig.xml", Config(Settings));
        return Create();
    }
    std::string Log() const { return ReadFile(Dir / "BrovaCSVSender.Log"); }
    // The error that creation failed with; the log holds the reason.
    std::string CreationError() {
        try {
            Create();
        } catch (const std::runtime_error& E) {
            return E.what();
        }
        return "";
    }

    TempDir Dir;
    std::string ExePath = Dir / "BrovaCSVSender";
    TEventLoop Loop;
};

TEST(DispatcherPaths, LogBesideTheExecutableWithItsExtensionReplaced) {
    EXPECT_EQ(ProcessLogFileName("/opt/b/BrovaCSVSender"), "/opt/b/BrovaCSVSender.Log");
    EXPECT_EQ(ProcessLogFileName("/opt/b/Brova.bin"), "/opt/b/Brova.Log");
    EXPECT_EQ(ProcessLogFileName("/opt/b.d/Brova"), "/opt/b.d/Brova.Log");
    EXPECT_EQ(ConfigFileName("/opt/b.d/Brova"), "/opt/b.d/BrovaCSVSenderConfig.xml");
}

TEST(DispatcherPaths, UnwrittenFilesKeepEveryTargetApart) {
    EXPECT_EQ(UnwrittenFileName("/srv/sms/status/ABC.CSV"), "Unwritten-_srv_sms_status_ABC.CSV");
    // Neither "/srv/sms_status/" nor a "_" in the batch name reads as a directory level.
    EXPECT_EQ(UnwrittenFileName("/srv/sms_status/A_B%~.CSV"),
              "Unwritten-_srv_sms%5Fstatus_A%5FB%25%7E.CSV");
    const std::string Long = "/srv/sms/status/" + std::string(300, 'L');
    const std::string First = UnwrittenFileName(Long + "1.CSV");
    const std::string Second = UnwrittenFileName(Long + "2.CSV");
    EXPECT_EQ(First.size(), 255u);
    EXPECT_EQ(First.substr(0, 30), "Unwritten-_srv_sms_status_LLLL");
    EXPECT_EQ(First.substr(First.size() - 4), ".CSV");
    EXPECT_NE(First, Second);
    EXPECT_EQ(UnwrittenFileName(Long + "1.CSV"), First);
}

TEST_F(Dispatcher, WithoutConfigurationCreationFailsWithExactlyTwoLogLines) {
    EXPECT_EQ(CreationError(), "Error During Creation of DataModule");
    EXPECT_EQ(Log(), kStamp + "Brova CSV Bulk Messenger Started up.\r\n" + kStamp +
                         "Starting up exception: (DtaMdl Startup Error : Config file does not "
                         "exist)\r\n");
}

TEST_F(Dispatcher, ConfigurationErrorsAreWrappedAndLogged) {
    WriteFile(Dir / "BrovaCSVSenderConfig.xml", Config("ReplyInterval=\"0\" StatusInterval=\"0\""));
    EXPECT_EQ(CreationError(), "Error During Creation of DataModule");
    EXPECT_NE(Log().find("Starting up exception: (DtaMdl Startup Error : Could not convert variant "
                         "of type (Null) into type (Integer))\r\n"),
              std::string::npos)
        << Log();

    WriteFile(Dir / "BrovaCSVSenderConfig.xml", "<Other/>");
    EXPECT_EQ(CreationError(), "Error During Creation of DataModule");
    EXPECT_NE(Log().find("(DtaMdl Startup Error : Interface not supported)\r\n"),
              std::string::npos);
    EXPECT_EQ(Log().find("Shut down."), std::string::npos);
}

TEST_F(Dispatcher, StartUpCopiesTheSettingsAndArmsThePollTimer) {
    auto D = CreateWith("PollInterval=\"250\" ReplyInterval=\"1000\" StatusInterval=\"1001\"");
    EXPECT_EQ(Log(), kStamp + "Brova CSV Bulk Messenger Started up.\r\n");
    EXPECT_EQ(D->LogFile, Dir / "BrovaCSVSender.Log");
    EXPECT_EQ(D->GatewayURL, "http://127.0.0.1:9/csp/vexo/Vexo.Webservice.cls");
    EXPECT_EQ(D->GatewayUsername, "user");
    EXPECT_EQ(D->GatewayPassword, "pass");
    EXPECT_EQ(D->WindowStart, "08:00");
    EXPECT_EQ(D->WindowEnd, "17:00:00");
    EXPECT_FALSE(D->Stopping);
    ASSERT_TRUE(D->Config);
    EXPECT_TRUE(D->tmrPollDirectory.Armed());
    EXPECT_EQ(D->tmrPollDirectory.Interval(), 250u);
    // The first poll ran directly, not through the timer.
    EXPECT_EQ(D->tmrPollDirectory.FireCount(), 0u);
}

TEST_F(Dispatcher, CollectionRunsOnlyAboveOneThousandMilliseconds) {
    auto D = CreateWith("PollInterval=\"0\" ReplyInterval=\"1000\" StatusInterval=\"1001\"");
    EXPECT_FALSE(D->tmrGetReplies.Armed());
    EXPECT_EQ(D->tmrGetReplies.Interval(), 0u);
    EXPECT_TRUE(D->tmrGetStatusses.Armed());
    EXPECT_EQ(D->tmrGetStatusses.Interval(), 1001u);
    D.reset();

    D = CreateWith("PollInterval=\"0\" ReplyInterval=\"1001\" StatusInterval=\"1000\"");
    EXPECT_TRUE(D->tmrGetReplies.Armed());
    EXPECT_EQ(D->tmrGetReplies.Interval(), 1001u);
    EXPECT_FALSE(D->tmrGetStatusses.Armed());
}

TEST_F(Dispatcher, ZeroPollIntervalArmsATimerThatNeverFires) {
    auto D = CreateWith("PollInterval=\"0\" ReplyInterval=\"0\" StatusInterval=\"0\"");
    EXPECT_TRUE(D->tmrPollDirectory.Armed());
    EXPECT_EQ(D->tmrPollDirectory.Interval(), 0u);
    TTimer Ticker(Loop);
    Ticker.SetInterval(2);
    Ticker.Arm();
    Ticker.OnTimer = [&] {
        if (Ticker.FireCount() == 20) Loop.Post(TControlRequest::Stop);
    };
    Loop.Run();
    EXPECT_EQ(D->tmrPollDirectory.FireCount(), 0u);
}

TEST_F(Dispatcher, HandlersDisarmOnEntryAndRearmSoTheyKeepFiring) {
    auto D = CreateWith("PollInterval=\"3\" ReplyInterval=\"0\" StatusInterval=\"0\"");
    // Collection timers with short intervals, as StartUp would never set them.
    D->tmrGetStatusses.SetInterval(2);
    D->tmrGetStatusses.Arm();
    D->tmrGetReplies.SetInterval(2);
    D->tmrGetReplies.Arm();
    TTimer Watch(Loop);
    Watch.SetInterval(1);
    Watch.Arm();
    Watch.OnTimer = [&] {
        const bool Enough = D->tmrPollDirectory.FireCount() >= 3 &&
                            D->tmrGetStatusses.FireCount() >= 3 &&
                            D->tmrGetReplies.FireCount() >= 3;
        if (Enough || Watch.FireCount() > 5000) Loop.Post(TControlRequest::Stop);
    };
    Loop.Run();
    EXPECT_GE(D->tmrPollDirectory.FireCount(), 3u);
    EXPECT_GE(D->tmrGetStatusses.FireCount(), 3u);
    EXPECT_GE(D->tmrGetReplies.FireCount(), 3u);
    EXPECT_TRUE(D->tmrPollDirectory.Armed());
}

TEST_F(Dispatcher, ShutDownMarksStoppingAndAPollThenDisarmsEveryTimer) {
    auto D = CreateWith("PollInterval=\"5\" ReplyInterval=\"2000\" StatusInterval=\"2000\"");
    D->ShutDown();
    EXPECT_TRUE(D->Stopping);
    EXPECT_FALSE(D->Config);
    EXPECT_FALSE(D->tmrPollDirectory.Armed());
    // A poll that was already queued when the shut-down came must not re-arm anything.
    D->tmrPollDirectory.Arm();
    D->tmrGetReplies.Arm();
    D->tmrPollDirectoryTimer();
    EXPECT_FALSE(D->tmrPollDirectory.Armed());
    EXPECT_FALSE(D->tmrGetStatusses.Armed());
    EXPECT_FALSE(D->tmrGetReplies.Armed());
}

TEST_F(Dispatcher, DestructionShutsDownOnceAndWorkersKeepTheConfiguration) {
    auto D = CreateWith("PollInterval=\"5\" ReplyInterval=\"2000\" StatusInterval=\"2000\"");
    std::shared_ptr<IXMLBulkCSVSenderType> HeldByWorker = D->Config;
    D.reset();
    EXPECT_EQ(HeldByWorker.use_count(), 1);
    EXPECT_EQ(HeldByWorker->GetSettings()->GetPollInterval(), 5);
    EXPECT_EQ(Log(), kStamp + "Brova CSV Bulk Messenger Started up.\r\n" + kStamp +
                         "Brova CSV Bulk Messenger Shut down.\r\n");
}

// ---- polling and collection against the gateway simulator ----

// One Protocol element of the configuration.
struct TEntry {
    std::string Name = "SMS";
    std::string Enabled = "true";
    std::string Poll{}, Mask = "*.csv", Status{}, Reply{};
};

// What the dispatcher under test is given: everything a worker needs to run a file through.
struct TSetup {
    std::string Url;
    std::vector<TEntry> Entries;
    std::string Window = "Enabled=\"true\" StartTime=\"08:00\" EndTime=\"17:00\"";
    std::string Intervals = "PollInterval=\"0\" ReplyInterval=\"0\" StatusInterval=\"0\"";
    std::string Format = "";
};

std::string FullConfig(const TSetup& S) {
    std::string X = "<?xml version=\"1.0\"?>\n<BulkCSVSender>\n  <OperationalTime " + S.Window +
                    "/>\n  <Vexo URL=\"" + S.Url +
                    "\" Username=\"gwuser\" Password=\"gwsecret\">"
                    "<Sender Name=\"Ops\" EmailAdress=\"ops@example.com\"/></Vexo>\n"
                    "  <Settings " +
                    S.Intervals + " Format=\"" + S.Format +
                    "\" Priority=\"1\" ValidSACellExtensions=\"082;083\">\n"
                    "    <Mail SendConfirmation=\"false\"/>\n"
                    "    <Submissions Split=\"0\" MaxMessages=\"100\"/>\n    <Protocols>\n";
    for (const TEntry& E : S.Entries)
        X += "      <Protocol Name=\"" + E.Name + "\" Enabled=\"" + E.Enabled +
             "\" PollDirectory=\"" + E.Poll + "\" PollFileType=\"" + E.Mask +
             "\" StatusDirectory=\"" + E.Status + "\" ReplyDirectory=\"" + E.Reply + "\"/>\n";
    return X + "    </Protocols>\n  </Settings>\n</BulkCSVSender>\n";
}

const std::string kGoodRows = "0821234567,R1,SMS,Hello\r\n0831234567,R2,SMS,Hi\r\n";
// Every row rejected: the worker fails and leaves the claimed file where it was.
const std::string kRejectedRows = "0821234567,R1\r\n";
const std::string kStatusHeader =
    "MessageRequestID,Reference,Status,Status Description,Status Time\r\n";

// A dispatcher with a clock the test sets, its own directories and (when asked) the simulator.
class Live : public ::testing::Test {
  protected:
    ~Live() override {
        D.reset();
        EXPECT_TRUE(WaitForBulkThreads(60s)) << "workers still running";
    }

    void SetMoment(const TDateTime& When) {
        std::lock_guard<std::mutex> Guard(MomentLock);
        Moment = When;
    }
    std::unique_ptr<TDtaMdlBulkSMS> Start(const TSetup& S) {
        WriteFile(Dir / "BrovaCSVSenderConfig.xml", FullConfig(S));
        return std::make_unique<TDtaMdlBulkSMS>(Loop, Clock, ExePath);
    }
    std::string Dropped(const std::string& Directory, const std::string& Name,
                        const std::string& Content) {
        const std::string Path = Directory + "/" + Name;
        WriteFile(Path, Content);
        AgeFile(Path, 10);
        return Path;
    }
    // The log's messages after their time stamps.
    std::vector<std::string> Logged() const {
        std::vector<std::string> Out;
        for (const std::string& L : testsupport::Lines(ReadFile(Dir / "BrovaCSVSender.Log")))
            Out.push_back(L.substr(L.find(" : ") + 3));
        return Out;
    }
    void ForgetLog() { unlink((Dir / "BrovaCSVSender.Log").c_str()); }

    TempDir Dir;
    std::string ExePath = Dir / "BrovaCSVSender";
    std::mutex MomentLock;
    TDateTime Moment = kMoment;
    // Runs on the service thread before each reading of the clock; lets a test act between
    // two steps of a tick.
    std::function<void()> BeforeClock;
    const std::thread::id ServiceThread = std::this_thread::get_id();
    TClock Clock = [this] {
        if (BeforeClock && std::this_thread::get_id() == ServiceThread) BeforeClock();
        std::lock_guard<std::mutex> Guard(MomentLock);
        return Moment;
    };
    TEventLoop Loop;
    std::unique_ptr<TDtaMdlBulkSMS> D;
};

class Window : public Live {
  protected:
    // A gateway that refuses connections: a tick that polls logs its logon and the failure.
    void SetUp() override {
        MakeDirs(In);
        Setup.Url = "http://127.0.0.1:9/csp/vexo/Vexo.Webservice.cls";
        Setup.Entries = {{.Poll = In, .Status = Dir / "status", .Reply = Dir / "replies"}};
        Dropped(In, "ABC.csv", kRejectedRows);
    }
    // Whether a tick at this moment polled; a tick that does not poll writes nothing.
    bool Polls(const TDateTime& When) {
        SetMoment(When);
        ForgetLog();
        D->tmrPollDirectoryTimer();
        EXPECT_TRUE(D->tmrPollDirectory.Armed());
        const std::vector<std::string> L = Logged();
        if (L.empty()) return false;
        EXPECT_EQ(L.size(), 2u);
        EXPECT_EQ(L[0], "Logging on... ");
        EXPECT_EQ(L.back().rfind("Error polling : ", 0), 0u) << L.back();
        return true;
    }
    std::string In = Dir / "in";
    TSetup Setup;
};

TEST_F(Window, BothEndsBelongToTheWindowToTheMillisecond) {
    SetMoment({2024, 1, 31, 7, 0, 0, 0});
    D = Start(Setup);
    EXPECT_EQ(Logged(), std::vector<std::string>{"Brova CSV Bulk Messenger Started up."});
    EXPECT_FALSE(Polls({2024, 1, 31, 7, 59, 59, 999}));
    EXPECT_TRUE(Polls({2024, 1, 31, 8, 0, 0, 0}));
    EXPECT_TRUE(Polls({2024, 1, 31, 12, 30, 0, 0}));
    EXPECT_TRUE(Polls({2024, 1, 31, 17, 0, 0, 0}));
    EXPECT_FALSE(Polls({2024, 1, 31, 17, 0, 0, 1}));
    EXPECT_FALSE(Polls({2024, 1, 31, 23, 59, 59, 999}));
    // A failed logon leaves the file under its own name.
    EXPECT_EQ(ListDir(In), std::vector<std::string>{"ABC.csv"});
}

TEST_F(Window, AnEndBeforeTheStartNeverPolls) {
    Setup.Window = "Enabled=\"true\" StartTime=\"22:00\" EndTime=\"06:00\"";
    D = Start(Setup);
    for (const TDateTime& When :
         {TDateTime{2024, 1, 31, 22, 0, 0, 0}, TDateTime{2024, 1, 31, 23, 0, 0, 0},
          TDateTime{2024, 1, 31, 3, 0, 0, 0}, TDateTime{2024, 1, 31, 6, 0, 0, 0},
          TDateTime{2024, 1, 31, 12, 0, 0, 0}})
        EXPECT_FALSE(Polls(When)) << When.Hour;
}

TEST_F(Window, WithoutAWindowEveryTickPolls) {
    Setup.Window = "Enabled=\"false\" StartTime=\"08:00\" EndTime=\"17:00\"";
    D = Start(Setup);
    EXPECT_TRUE(Polls({2024, 1, 31, 3, 0, 0, 0}));
}

TEST_F(Window, AnUnconvertibleTimeOrMissingFlagIsLoggedOnEveryTickAndPolls) {
    for (const std::string& W :
         {std::string("Enabled=\"true\" StartTime=\"8h00\" EndTime=\"17:00\""),
          std::string("Enabled=\"true\" StartTime=\"08:00\" EndTime=\"\""),
          std::string("StartTime=\"08:00\" EndTime=\"17:00\"")}) {
        Setup.Window = W;
        D = Start(Setup);
        for (int Tick = 0; Tick < 2; ++Tick) {
            ForgetLog();
            SetMoment({2024, 1, 31, 3, 0, 0, 0});
            D->tmrPollDirectoryTimer();
            const std::vector<std::string> L = Logged();
            ASSERT_EQ(L.size(), 3u) << W;
            EXPECT_EQ(L[0], "Error Converting Operational Times");
            EXPECT_EQ(L[1], "Logging on... ");
            EXPECT_TRUE(D->tmrPollDirectory.Armed());
        }
        D.reset();
    }
}

class Polling : public Live {
  protected:
    void SetUp() override {
        for (const std::string& P : {In, In2, Status, Status2, Reply, Reply2}) MakeDirs(P);
        Setup.Url = Sim.Url();
        Setup.Entries = {{.Poll = In, .Status = Status, .Reply = Reply}};
    }
    std::vector<std::string> BatchesSent() {
        std::vector<std::string> Out;
        for (const auto& M : Sim.Messages()) Out.push_back(M.BatchName + ":" + M.Protocol);
        std::sort(Out.begin(), Out.end());
        return Out;
    }
    TGatewaySim Sim;
    std::string In = Dir / "in", In2 = Dir / "in2";
    std::string Status = Dir / "status", Status2 = Dir / "status2";
    std::string Reply = Dir / "reply", Reply2 = Dir / "reply2";
    TSetup Setup;
};

TEST_F(Polling, DisabledEntriesAreSkippedAndTheWorkerGetsTheIndexAmongAllEntries) {
    Setup.Entries = {
        {.Name = "SMS", .Enabled = "false", .Poll = In, .Status = Status, .Reply = Reply},
        {.Name = "sms ", .Poll = In2, .Status = Status2, .Reply = Reply2}};
    Dropped(In, "OFF.csv", kGoodRows);
    Dropped(In2, "ABC.20.csv", kGoodRows);
    D = Start(Setup);
    ASSERT_TRUE(WaitForBulkThreads(60s));
    EXPECT_EQ(Logged(),
              (std::vector<std::string>{"Brova CSV Bulk Messenger Started up.", "Logging on... "}));
    EXPECT_EQ(ListDir(In), std::vector<std::string>{"OFF.csv"});
    EXPECT_EQ(BatchesSent(), (std::vector<std::string>{"ABC:SMS", "ABC:SMS"}));
    // The headers went to the directories of entry 1, named after the batch.
    EXPECT_EQ(ReadFile(Status2 + "/ABC.CSV"), kStatusHeader);
    EXPECT_TRUE(Exists(Reply2 + "/ABC.CSV"));
    EXPECT_TRUE(ListDir(Status).empty());
    // Gone after a run that went through.
    EXPECT_TRUE(ListDir(In2).empty());
}

TEST_F(Polling, ATakenBusyNameGivesTheNextNumberedOneAndANameWithoutExtensionGetsBusy) {
    WriteFile(In + "/ABC.Busy", "being processed\r\n");
    Dropped(In, "ABC.csv", kRejectedRows);
    Dropped(In2, "DATA", kRejectedRows);
    Setup.Entries.push_back({.Poll = In2, .Mask = "DATA", .Status = Status2, .Reply = Reply2});
    D = Start(Setup);
    ASSERT_TRUE(WaitForBulkThreads(60s));
    EXPECT_EQ(Logged(),
              (std::vector<std::string>{"Brova CSV Bulk Messenger Started up.", "Logging on... ",
                                        "Unable to rename file [File exists]",
                                        "Attempting to rename file to [" + In + "/ABC(1).Busy]",
                                        "Logging on... "}));
    // Every row was rejected, so each worker left its claimed file, its log and its journal (which
    // says the run failed) behind.
    EXPECT_EQ(ListDir(In), (std::vector<std::string>{"ABC(1).Busy", "ABC(1).journal", "ABC(1).log",
                                                     "ABC.Busy"}));
    EXPECT_EQ(ReadFile(In + "/ABC(1).Busy"), kRejectedRows);
    EXPECT_EQ(ReadFile(In + "/ABC.Busy"), "being processed\r\n");
    EXPECT_EQ(ListDir(In2), (std::vector<std::string>{"DATA.Busy", "DATA.journal", "DATA.log"}));
    EXPECT_EQ(ReadFile(Status + "/ABC.CSV"), kStatusHeader);
    EXPECT_EQ(ReadFile(Status2 + "/DATA.CSV"), kStatusHeader);
}

TEST_F(Polling, AFileWhoseEveryNameIsTakenWaitsAndTheTickGoesOn) {
    WriteFile(In + "/ABC.Busy", "");
    for (int N = 1; N <= kMaxClaimRetries; ++N)
        WriteFile(In + "/ABC(" + std::to_string(N) + ").Busy", "");
    Dropped(In, "ABC.csv", kRejectedRows);
    Dropped(In, "DEF.csv", kRejectedRows);
    D = Start(Setup);
    ASSERT_TRUE(WaitForBulkThreads(60s));
    EXPECT_TRUE(Exists(In + "/ABC.csv"));
    EXPECT_TRUE(Exists(In + "/DEF.Busy"));
    int Failed = 0, Attempts = 0, GivenUp = 0, Logons = 0;
    for (const std::string& L : Logged()) {
        Failed += L == "Unable to rename file [File exists]";
        Attempts += L.rfind("Attempting to rename file to [", 0) == 0;
        GivenUp += L == "Unable to claim file [" + In + "/ABC.csv]";
        Logons += L == "Logging on... ";
    }
    EXPECT_EQ(Failed, kMaxClaimRetries + 1);
    EXPECT_EQ(Attempts, kMaxClaimRetries);
    EXPECT_EQ(GivenUp, 1);
    EXPECT_EQ(Logons, 2);
    EXPECT_TRUE(D->tmrPollDirectory.Armed());
}

TEST_F(Polling, YoungFilesAndDotEntriesAreLeftAlone) {
    Setup.Entries[0].Mask = ".*";
    Setup.Entries.push_back({.Poll = In2, .Status = Status2, .Reply = Reply2});
    WriteFile(In2 + "/NEW.csv", kRejectedRows);  // modified just now
    D = Start(Setup);
    EXPECT_EQ(Logged(), std::vector<std::string>{"Brova CSV Bulk Messenger Started up."});
    EXPECT_EQ(ListDir(In2), std::vector<std::string>{"NEW.csv"});
    EXPECT_TRUE(ListDir(In).empty());
    EXPECT_EQ(ListDir(Dir.Path()),
              (std::vector<std::string>{"BrovaCSVSender.Log", "BrovaCSVSenderConfig.xml", "in",
                                        "in2", "reply", "reply2", "status", "status2"}));

    AgeFile(In2 + "/NEW.csv", 3);
    D->tmrPollDirectoryTimer();
    ASSERT_TRUE(WaitForBulkThreads(60s));
    EXPECT_EQ(ListDir(In2), (std::vector<std::string>{"NEW.Busy", "NEW.journal", "NEW.log"}));
}

TEST_F(Polling, AFailedLogonLeavesThatFileAndTheRestForALaterTick) {
    for (const char* Name : {"ONE", "TWO", "SIX"})
        Dropped(In, Name + std::string(".csv"), kGoodRows);
    // Between the first file's logon and the second's: the first worker is being created.
    bool Armed = false;
    BeforeClock = [&] {
        if (Armed ||
            ReadFile(Dir / "BrovaCSVSender.Log").find("Logging on... ") == std::string::npos)
            return;
        Armed = true;
        Sim.Fault("Login", 1, "fault");
    };
    D = Start(Setup);
    ASSERT_TRUE(WaitForBulkThreads(60s));
    EXPECT_TRUE(Armed);
    EXPECT_EQ(Logged(), (std::vector<std::string>{"Brova CSV Bulk Messenger Started up.",
                                                  "Logging on... ", "Logging on... ",
                                                  "Error polling : Simulated fault in Login"}));
    EXPECT_TRUE(D->tmrPollDirectory.Armed());
    // The first file went through; the other two keep their own names.
    const std::vector<std::string> Left = ListDir(In);
    ASSERT_EQ(Left.size(), 2u);
    const std::vector<std::string> Sent = BatchesSent();
    ASSERT_EQ(Sent.size(), 2u);
    for (const std::string& Name : Left) {
        EXPECT_EQ(Name.substr(3), ".csv");
        EXPECT_NE(Sent[0], Name.substr(0, 3) + ":SMS");
    }

    BeforeClock = nullptr;
    ForgetLog();
    D->tmrPollDirectoryTimer();
    ASSERT_TRUE(WaitForBulkThreads(60s));
    EXPECT_EQ(Logged(), (std::vector<std::string>{"Logging on... ", "Logging on... "}));
    EXPECT_TRUE(ListDir(In).empty());
    EXPECT_EQ(BatchesSent(), (std::vector<std::string>{"ONE:SMS", "ONE:SMS", "SIX:SMS", "SIX:SMS",
                                                       "TWO:SMS", "TWO:SMS"}));
}

class Collecting : public Live {
  protected:
    void SetUp() override {
        for (const std::string& P : {Status, Reply, FaxStatus, FaxReply}) MakeDirs(P);
        Setup.Url = Sim.Url();
        Setup.Entries = {{.Name = "SMS", .Status = Status, .Reply = Reply},
                         {.Name = "FAX", .Status = FaxStatus, .Reply = FaxReply}};
    }
    static std::string Statusses(const std::string& Items) {
        return "<VexoMessageStatusList>" + Items + "</VexoMessageStatusList>";
    }
    static std::string MsgStat(const std::string& Prot, const std::string& ClientApp,
                               const std::string& ReqID = "501") {
        return "<MsgStat StatTime=\"2024-01-31 10:00:00\" StatText=\"Delivered\" Status=\"2\">"
               "<MsgIdent MsgID=\"9\" ReqID=\"" +
               ReqID + "\" Ref=\"R1\" Prot=\"" + Prot + "\" Rcpt=\"0821234567\" ClientApp=\"" +
               ClientApp + "\"/></MsgStat>";
    }
    static std::string Replies(const std::string& Items) {
        return "<VexoReplyList>" + Items + "</VexoReplyList>";
    }
    static std::string ReplyDet(const std::string& Prot, const std::string& ClientApp,
                                const std::string& Originator = "27821234567",
                                const std::string& Text = "Yes") {
        return "<ReplyDet Prot=\"" + Prot + "\" ReplyMsg=\"" + Text +
               "\" Seq=\"1\" RecTime=\"2024-01-31 10:05:00\" Originator=\"" + Originator +
               "\"><MsgIdent MsgID=\"9\" ReqID=\"501\" Ref=\"R1\" ClientApp=\"" + ClientApp +
               "\"/></ReplyDet>";
    }
    // The SOAP operations the simulator received, oldest first.
    std::vector<std::string> Calls() {
        std::vector<std::string> Out;
        for (const auto& R : Sim.Requests(20)) {
            // "http://vexo.gateway/Vexo.Webservice.Login", quoted on the wire
            const size_t Dot = R.SoapAction.rfind('.') + 1;
            Out.push_back(R.SoapAction.substr(Dot, R.SoapAction.find('"', Dot) - Dot));
        }
        return Out;
    }
    const std::vector<std::string> kStartedOnly{"Brova CSV Bulk Messenger Started up."};

    TGatewaySim Sim;
    std::string Status = Dir / "status", Reply = Dir / "reply";
    std::string FaxStatus = Dir / "faxstatus", FaxReply = Dir / "faxreply";
    TSetup Setup;
};

// Sets BROVA_RETRY_DELAY_MS for the life of the object.
class TShortRetryDelay {
  public:
    explicit TShortRetryDelay(const char* Ms) { setenv("BROVA_RETRY_DELAY_MS", Ms, 1); }
    ~TShortRetryDelay() { unsetenv("BROVA_RETRY_DELAY_MS"); }
};

TEST_F(Collecting, StatusLinesGoToTheNamedProtocolsStatusDirectory) {
    D = Start(Setup);
    WriteFile(Status + "/ABC.CSV", kStatusHeader);
    Sim.SetOSStatus(Statusses(MsgStat("sms", "ABC") + MsgStat("Fax", "ABC", "502") +
                              MsgStat("sms", "ABC", "503")));
    D->tmrGetStatussesTimer();
    EXPECT_EQ(ReadFile(Status + "/ABC.CSV"), kStatusHeader +
                                                 "501,R1,2,Delivered,2024-01-31 10:00:00\r\n"
                                                 "503,R1,2,Delivered,2024-01-31 10:00:00\r\n");
    EXPECT_EQ(ReadFile(FaxStatus + "/ABC.CSV"), "502,R1,2,Delivered,2024-01-31 10:00:00\r\n");
    EXPECT_TRUE(ListDir(Reply).empty());
    EXPECT_EQ(Logged(), kStartedOnly);
    EXPECT_TRUE(D->tmrGetStatusses.Armed());
    EXPECT_EQ(Calls(), (std::vector<std::string>{"Login", "GetOSStatus"}));
    // Everything outstanding: the empty client application, with the token just issued.
    const auto Call = Sim.Requests(1)[0].Body;
    EXPECT_NE(Call.find("<Token>" + D->Token + "</Token>"), std::string::npos) << Call;
    EXPECT_TRUE(Call.find("<ClientApp></ClientApp>") != std::string::npos ||
                Call.find("<ClientApp/>") != std::string::npos)
        << Call;
}

TEST_F(Collecting, ReplyLinesShortenTheInternationalPrefixOnly) {
    D = Start(Setup);
    // A reply text is one field of one line, whatever control characters it holds.
    Sim.SetOSReplies(Replies(ReplyDet("sms", "ABC") + ReplyDet("SMS", "ABC", "+27821234567") +
                             ReplyDet("SMS", "ABC", "0827", "Yes, please") +
                             ReplyDet("SMS", "ABC", "0828",
                                      "No&#13;&#10;0820000000,forged&#27;[2J&#9;end")));
    D->tmrGetRepliesTimer();
    EXPECT_EQ(ReadFile(Reply + "/ABC.CSV"),
              "0821234567,Yes,2024-01-31 10:05:00,R1,501\r\n"
              "+27821234567,Yes,2024-01-31 10:05:00,R1,501\r\n"
              "0827,Yes, please,2024-01-31 10:05:00,R1,501\r\n"
              "0828,No  0820000000,forged [2J end,2024-01-31 10:05:00,R1,501\r\n");
    EXPECT_TRUE(ListDir(Status).empty());
    EXPECT_EQ(Logged(), kStartedOnly);
    EXPECT_TRUE(D->tmrGetReplies.Armed());
}

TEST_F(Collecting, TheCombinedLayoutLeadsWithTheKindOfLine) {
    Setup.Format = " Combined";
    D = Start(Setup);
    Sim.SetOSStatus(Statusses(MsgStat("SMS", "ABC")));
    Sim.SetOSReplies(Replies(ReplyDet("SMS", "ABC")));
    D->tmrGetStatussesTimer();
    D->tmrGetRepliesTimer();
    EXPECT_EQ(ReadFile(Status + "/ABC.CSV"),
              "STATUS,0821234567,2024-01-31 10:00:00,R1,Delivered\r\n");
    EXPECT_EQ(ReadFile(Reply + "/ABC.CSV"), "REPLY,0821234567,2024-01-31 10:05:00,R1,Yes\r\n");
}

TEST_F(Collecting, StatusKeysAreNotTrimmedButReplyKeysAre) {
    D = Start(Setup);
    Sim.SetOSStatus(Statusses(MsgStat(" SMS", "ABC")));
    Sim.SetOSReplies(Replies(ReplyDet(" SMS", "ABC")));
    D->tmrGetStatussesTimer();
    D->tmrGetRepliesTimer();
    // No entry matches: the file goes beside the executable.
    EXPECT_EQ(ReadFile(Dir / "ABC.CSV"), "501,R1,2,Delivered,2024-01-31 10:00:00\r\n");
    EXPECT_TRUE(ListDir(Status).empty());
    EXPECT_EQ(ReadFile(Reply + "/ABC.CSV"), "0821234567,Yes,2024-01-31 10:05:00,R1,501\r\n");
    EXPECT_EQ(D->GetStatusDirectory("PAGER"), Dir.Path() + "/");
    EXPECT_EQ(D->GetReplyDirectory("sms"), Dir.Path() + "/");
}

TEST_F(Collecting, TheLastEntryOfANameWinsEnabledOrNot) {
    const std::string Later = Dir / "later";
    MakeDirs(Later);
    Setup.Entries.push_back({.Name = " sms ", .Enabled = "false", .Status = Later, .Reply = Later});
    D = Start(Setup);
    EXPECT_EQ(D->GetStatusDirectory("SMS"), Later + "/");
    EXPECT_EQ(D->GetReplyDirectory("SMS"), Later + "/");
    EXPECT_EQ(D->GetStatusDirectory("FAX"), FaxStatus + "/");
    Sim.SetOSStatus(Statusses(MsgStat("SMS", "ABC")));
    D->tmrGetStatussesTimer();
    EXPECT_EQ(ReadFile(Later + "/ABC.CSV"), "501,R1,2,Delivered,2024-01-31 10:00:00\r\n");
    EXPECT_TRUE(ListDir(Status).empty());
}

TEST_F(Collecting, AnEmptyListAppendsAndLogsNothingButStillLogsOn) {
    D = Start(Setup);
    for (const std::string& Empty : {Statusses(""), std::string()}) {
        Sim.SetOSStatus(Empty);
        Sim.SetOSReplies(Empty.empty() ? Empty : Replies(""));
        D->tmrGetStatussesTimer();
        D->tmrGetRepliesTimer();
    }
    EXPECT_EQ(Calls(), (std::vector<std::string>{"Login", "GetOSStatus", "Login", "GetOSReplies",
                                                 "Login", "GetOSStatus", "Login", "GetOSReplies"}));
    EXPECT_EQ(Logged(), kStartedOnly);
    EXPECT_EQ(ListDir(Dir.Path()),
              (std::vector<std::string>{"BrovaCSVSender.Log", "BrovaCSVSenderConfig.xml",
                                        "faxreply", "faxstatus", "reply", "status"}));
    EXPECT_TRUE(ListDir(Status).empty());
    EXPECT_TRUE(ListDir(Reply).empty());
}

TEST_F(Collecting, IntervalsOfOneThousandNeverCollect) {
    Setup.Intervals = "PollInterval=\"2\" ReplyInterval=\"1000\" StatusInterval=\"1000\"";
    D = Start(Setup);
    Sim.SetOSStatus(Statusses(MsgStat("SMS", "ABC")));
    Sim.SetOSReplies(Replies(ReplyDet("SMS", "ABC")));
    TTimer Watch(Loop);
    Watch.SetInterval(1);
    Watch.Arm();
    Watch.OnTimer = [&] {
        if (D->tmrPollDirectory.FireCount() >= 20 || Watch.FireCount() > 20000)
            Loop.Post(TControlRequest::Stop);
    };
    Loop.Run();
    EXPECT_GE(D->tmrPollDirectory.FireCount(), 20u);
    EXPECT_EQ(D->tmrGetStatusses.FireCount() + D->tmrGetReplies.FireCount(), 0u);
    EXPECT_TRUE(Calls().empty());
    EXPECT_TRUE(ListDir(Status).empty());
    EXPECT_TRUE(ListDir(Reply).empty());
}

TEST_F(Collecting, AClientApplicationNeverLeadsOutOfItsDirectory) {
    const std::string Deep = Dir / "deep/status";
    MakeDirs(Deep);
    Setup.Entries[0].Status = Deep;
    D = Start(Setup);
    Sim.SetOSStatus(Statusses(MsgStat("SMS", "../../x") + MsgStat("SMS", "a/b") +
                              MsgStat("SMS", "c\\d") + MsgStat("SMS", "e&#9;f") +
                              MsgStat("SMS", "..") + MsgStat("SMS", "confirmation-X") +
                              MsgStat("SMS", "") + MsgStat("SMS", "Y.lock")));
    D->tmrGetStatussesTimer();
    EXPECT_EQ(ListDir(Deep), (std::vector<std::string>{"a_b.CSV", "c_d.CSV", "e_f.CSV"}));
    EXPECT_EQ(ListDir(Dir / "deep"), std::vector<std::string>{"status"});
    // Hidden names and names of the service's own kinds are kept aside, with a line each.
    std::vector<std::string> Expected = {"BrovaCSVSender.Log", "BrovaCSVSenderConfig.xml", "deep",
                                         "faxreply", "faxstatus", "reply", "status"};
    std::vector<std::string> Logs = kStartedOnly;
    for (const std::string Refused :
         {"...CSV", ".._.._x.CSV", ".CSV", "Y.lock.CSV", "confirmation-X.CSV"}) {
        const std::string Target = Deep + "/" + Refused;
        Expected.push_back(UnwrittenFileName(Target));
        EXPECT_EQ(ReadFile(Dir / UnwrittenFileName(Target)).substr(0, 4), "501,") << Refused;
        Logs.push_back("Not a file name the gateway may make: 1 line(s) to [" + Target +
                       "]; kept in [" + Dir / UnwrittenFileName(Target) + "]");
    }
    std::sort(Expected.begin(), Expected.end());
    EXPECT_EQ(ListDir(Dir.Path()), Expected);
    std::vector<std::string> Got = Logged();
    std::sort(Got.begin() + 1, Got.end());
    std::sort(Logs.begin() + 1, Logs.end());
    EXPECT_EQ(Got, Logs);
}

TEST_F(Collecting, FailuresEndTheTickWithTheirMessageAndTheTimerStaysArmed) {
    D = Start(Setup);
    Sim.Fault("GetOSStatus", 1, "fault");
    D->tmrGetStatussesTimer();
    Sim.Fault("Login", 1, "fault");
    D->tmrGetRepliesTimer();
    Sim.SetOSReplies("<Other/>");
    D->tmrGetRepliesTimer();
    Sim.SetOSStatus("<VexoMessageStatusList><MsgStat");
    D->tmrGetStatussesTimer();
    const std::vector<std::string> L = Logged();
    ASSERT_EQ(L.size(), 5u);
    EXPECT_EQ(L[1], "Error Getting Statusses: Simulated fault in GetOSStatus");
    EXPECT_EQ(L[2], "Error Getting Replies: Simulated fault in Login");
    EXPECT_EQ(L[3], "Error Getting Replies: Interface not supported");
    EXPECT_EQ(L[4].rfind("Error Getting Statusses: ", 0), 0u);
    EXPECT_GT(L[4].size(), std::string("Error Getting Statusses: ").size());
    EXPECT_TRUE(D->tmrGetStatusses.Armed());
    EXPECT_TRUE(D->tmrGetReplies.Armed());
    EXPECT_TRUE(ListDir(Status).empty());
}

TEST_F(Collecting, AnAppendThatFailsWaitsWhileOtherTimersRunAndThenWrites) {
    TShortRetryDelay Delay("5");
    const std::string Missing = Dir / "later";
    Setup.Entries[0].Status = Missing;
    D = Start(Setup);
    Sim.SetOSStatus(Statusses(MsgStat("SMS", "ABC") + MsgStat("SMS", "ABC", "502")));
    // Another timer of the service thread makes the directory while the line waits.
    TTimer Other(Loop);
    Other.SetInterval(1);
    Other.Arm();
    Other.OnTimer = [&] {
        Other.Disarm();
        MakeDirs(Missing);
    };
    D->tmrGetStatussesTimer();
    EXPECT_EQ(Other.FireCount(), 1u);
    EXPECT_EQ(ReadFile(Missing + "/ABC.CSV"),
              "501,R1,2,Delivered,2024-01-31 10:00:00\r\n"
              "502,R1,2,Delivered,2024-01-31 10:00:00\r\n");
    EXPECT_EQ(Logged(), (std::vector<std::string>{"Brova CSV Bulk Messenger Started up.",
                                                  "Error Writing [" + Missing +
                                                      "/ABC.CSV] : No such file or directory"}));
    EXPECT_TRUE(D->tmrGetStatusses.Armed());
}

TEST_F(Collecting, AFailureThatOutlastsItsTriesKeepsTheTargetsLinesAsideAndTheTickGoesOn) {
    TShortRetryDelay Delay("5");
    // A file stands where the status directory should be.
    const std::string NotADirectory = Dir / "notadir";
    WriteFile(NotADirectory, "");
    Setup.Entries[0].Status = NotADirectory;
    D = Start(Setup);
    Sim.SetOSStatus(Statusses(MsgStat("SMS", "ABC") + MsgStat("FAX", "ABC", "502") +
                              MsgStat("SMS", "ABC", "503")));
    D->tmrGetStatussesTimer();
    EXPECT_EQ(ReadFile(FaxStatus + "/ABC.CSV"), "502,R1,2,Delivered,2024-01-31 10:00:00\r\n");
    const std::string Target = NotADirectory + "/ABC.CSV";
    const std::string Kept = Dir / UnwrittenFileName(Target);
    EXPECT_EQ(ReadFile(Kept),
              "501,R1,2,Delivered,2024-01-31 10:00:00\r\n"
              "503,R1,2,Delivered,2024-01-31 10:00:00\r\n");
    // Three tries of the first line; the second line of that target no longer waits.
    const std::string Failed = "Error Writing [" + Target + "] : Not a directory";
    EXPECT_EQ(Logged(),
              (std::vector<std::string>{
                  "Brova CSV Bulk Messenger Started up.", Failed, Failed, Failed,
                  "Unable to write 2 line(s) to [" + Target + "]; kept in [" + Kept + "]"}));
    EXPECT_TRUE(D->tmrGetStatusses.Armed());
}

TEST_F(Collecting, AStopDuringTheWaitKeepsTheLineAndTheRestOfTheTickBesideTheLog) {
    TShortRetryDelay Delay("60000");
    const std::string Missing = Dir / "missing";
    Setup.Entries[0].Reply = Missing;
    D = Start(Setup);
    const std::string KeptABC = Dir / UnwrittenFileName(Missing + "/ABC.CSV");
    const std::string KeptDEF = Dir / UnwrittenFileName(FaxReply + "/DEF.CSV");
    WriteFile(KeptABC, "kept before\r\n");
    Sim.SetOSReplies(Replies(ReplyDet("SMS", "ABC") + ReplyDet("FAX", "DEF", "0", "To fax") +
                             ReplyDet("SMS", "ABC", "1", "Again")));
    Loop.Post(TControlRequest::Stop);
    D->tmrGetRepliesTimer();
    EXPECT_EQ(ReadFile(KeptABC),
              "kept before\r\n"
              "0821234567,Yes,2024-01-31 10:05:00,R1,501\r\n"
              "1,Again,2024-01-31 10:05:00,R1,501\r\n");
    // Also the lines whose own files could have been written: the stop ends the tick.
    EXPECT_EQ(ReadFile(KeptDEF), "0,To fax,2024-01-31 10:05:00,R1,501\r\n");
    EXPECT_TRUE(ListDir(FaxReply).empty());
    EXPECT_EQ(Logged(), (std::vector<std::string>{
                            "Brova CSV Bulk Messenger Started up.",
                            "Error Writing [" + Missing + "/ABC.CSV] : No such file or directory",
                            "Stopped before writing 1 line(s) to [" + FaxReply +
                                "/DEF.CSV]; kept in [" + KeptDEF + "]",
                            "Stopped before writing 2 line(s) to [" + Missing +
                                "/ABC.CSV]; kept in [" + KeptABC + "]"}));
    EXPECT_TRUE(D->tmrGetReplies.Armed());
    EXPECT_EQ(Loop.Run(), TControlRequest::Stop);
}

}  // namespace
