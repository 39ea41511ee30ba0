#include "host/dBulkSMSMain.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "tests/TestSupport.h"

namespace {

using testsupport::ReadFile;
using testsupport::TempDir;
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

}  // namespace
