// The worker's life: the files it begins at construction, its log, and what each way a run can
// end leaves behind.
#include "worker/uBulkSMSThread.h"

#include <sys/stat.h>
#include <unistd.h>

#include "platform/Files.h"
#include "worker/uBulkSMSThread_testenv.h"

namespace bulktest {
namespace {

const std::string kStatusHeader =
    "MessageRequestID,Reference,Status,Status Description,Status Time";
const std::string kReplyHeader =
    "Reply Source,Reply Message,Reply Receive Time,Reference,MessageRequestID";
const std::string kCombinedHeader =
    "MESSAGE TYPE,CELL NUMBER,DATE & TIME,MESSAGE REFERENCE,MESSAGE TEXT";
const std::string kGoodRow = "0820000000,REF1,TXT,Hello\r\n";
const std::string kBadRow = "08200000,REF1,TXT,Hello\r\n";  // 8 digits: rejected

const std::vector<std::string> kGoodRunLog = {"Processing started",
                                              "Creating Messages to be sent...",
                                              "Creating messages to be sent complete.",
                                              "Processing bulk request...",
                                              "Processing split bulk request[1].",
                                              "Sending split bulk request.",
                                              "Marking split bulk request items.",
                                              "Processing split bulk request complete.",
                                              "Processing bulk request complete."};
const std::vector<std::string> kNoRecipientsLog = {
    "Processing started",
    "Creating Messages to be sent...",
    "Creating messages to be sent complete.",
    "Processing bulk request...",
    "Error processing file at  : No Recipients found. Processing aborted",
    "Error processing file No Recipients found. Processing aborted. Processing Aborted!"};

using BulkThreadLifecycle = TWorkerTest;

TEST_F(BulkThreadLifecycle, SeparateLayoutBeginsStatusAndReplyFilesAgainForAReturningBatchName) {
    Run(kGoodRow, "SMS ");  // the dispatcher may hand the name over untrimmed
    EXPECT_EQ(ReadFile(Dir / "Status/ABC.CSV"), kStatusHeader + "\r\n");
    EXPECT_EQ(ReadFile(Dir / "Reply/ABC.CSV"), kReplyHeader + "\r\n");
    ASSERT_EQ(Sim->Messages().size(), 1u);
    EXPECT_EQ(Sim->Messages()[0].Protocol, "SMS");
    EXPECT_EQ(Sim->Messages()[0].Address, "0820000000");
    // Confirmations off: the confirmation file stays in the status directory.
    EXPECT_EQ(Confirmation(),
              CrLf({"Cell No.,Reference,Status",
                    "\"0820000000\",\"REF1\",\"Sucessfully submitted to Vexo.\",\"MessageID=" +
                        std::to_string(ReqIDOf("REF1")) + "\""}));

    Run(kGoodRow);
    EXPECT_EQ(ReadFile(Dir / "Status/ABC.CSV"), CrLf({kStatusHeader, kStatusHeader}));
    EXPECT_EQ(ReadFile(Dir / "Reply/ABC.CSV"), CrLf({kReplyHeader, kReplyHeader}));
    EXPECT_EQ(ListDir(Dir / "Exe"), std::vector<std::string>{});
}

TEST_F(BulkThreadLifecycle, CombinedLayoutInAnyCaseWritesOneFileAndLogsEveryStep) {
    Settings.Format = " combined";
    Run(kGoodRow);
    EXPECT_EQ(ReadFile(Dir / "Status/ABC.CSV"), kCombinedHeader + "\r\n");
    EXPECT_EQ(ListDir(Dir / "Reply"), std::vector<std::string>{});
    // No confirmation file in this layout, and the log stays.
    EXPECT_EQ(ListDir(Dir / "Status"), std::vector<std::string>{"ABC.CSV"});
    EXPECT_EQ(ListDir(Dir / "Exe"), std::vector<std::string>{});
    EXPECT_EQ(ListDir(Dir / "In"), std::vector<std::string>{"ABC.20.log"});
    EXPECT_EQ(LogMessages(), kGoodRunLog);
    EXPECT_EQ(Lines(ReadFile(LogFile()))[0], kStamp + "Processing started");
}

TEST_F(BulkThreadLifecycle, CombinedLayoutKeepsTheConfirmationBesideTheExecutable) {
    // A directory holds the confirmation's name beside the executable, so both saves fail and
    // the path shows in the log. The part is at the gateway: the file waits, journalled, for a
    // later attempt.
    Settings.Format = "COMBINED";
    Settings.SendConfirmation = "true";
    Mail();
    const std::string Exe = Dir / "Exe";
    MakeDirs(Exe + "/Confirmation-ABC.CSV");
    Run(kGoodRow);
    const std::string Failure =
        "Cannot create file \"" + Exe + "/Confirmation-ABC.CSV\". Is a directory";
    const std::vector<std::string> Log = LogMessages();
    ASSERT_EQ(Log.size(), 10u) << ReadFile(LogFile());
    EXPECT_EQ(Log[8], "Error processing file at 0820000000 : " + Failure);
    EXPECT_EQ(Log[9], "Error processing file " + Failure + ". Processing goes on later.");
    EXPECT_EQ(ListDir(Dir / "In"),
              (std::vector<std::string>{"ABC.20.Busy", "ABC.20.journal", "ABC.20.log"}));
}

TEST_F(BulkThreadLifecycle, ProtocolOfNoKnownKindTakesRowsWithoutAddress) {
    Run("Cell No.,Reference,Type,Text\r\n,R2,TXT,Hi\r\n", "PAGER");
    const auto Sent = Sim->Messages();
    ASSERT_EQ(Sent.size(), 2u);
    EXPECT_EQ(Sent[0].Reference, "Reference");
    EXPECT_EQ(Sent[0].Address, "");
    EXPECT_EQ(Sent[1].Reference, "R2");
    EXPECT_EQ(Confirmation(),
              CrLf({"Cell No.,Reference,Status",
                    "\"\",\"Reference\",\"Sucessfully submitted to Vexo.\",\"MessageID=" +
                        std::to_string(Sent[0].ReqID) + "\"",
                    "\"\",\"R2\",\"Sucessfully submitted to Vexo.\",\"MessageID=" +
                        std::to_string(Sent[1].ReqID) + "\""}));
}

TEST_F(BulkThreadLifecycle, ConstructionFailsForAnEntryThatDoesNotExist) {
    WriteFile(ClaimedFile(), kGoodRow);
    EXPECT_THROW(new TBulkThread(
                     "SMS", "ABC", ClaimedFile(), Token, 4, LoadBulkCSVSenderFromText(ConfigXml()),
                     [] { return kTestNow; }, Dir / "Exe"),
                 std::runtime_error);
    EXPECT_EQ(RunningBulkThreads(), 0);
    EXPECT_EQ(ListDir(Dir / "Status"), std::vector<std::string>{});
    EXPECT_EQ(ListDir(Dir / "In"), std::vector<std::string>{"ABC.20.Busy"});
}

TEST_F(BulkThreadLifecycle, ClaimedFileGoneBeforeReadingFailsTheRunAndKeepsTheLog) {
    Run(std::nullopt);
    EXPECT_EQ(Lines(ReadFile(LogFile())),
              (std::vector<std::string>{
                  kStamp + "Processing started", kStamp + "Creating Messages to be sent...",
                  kStamp + "Error creating XML document [The File path specified does not exist]. "
                           "Processing Aborted!",
                  kStamp + "Error processing file The File path specified does not exist. "
                           "Processing Aborted!"}));
    EXPECT_TRUE(Sim->Messages().empty());
    EXPECT_FALSE(Exists(ConfirmationFile()));

    // A claimed name that is no regular file is not read until memory runs out, nor waited on.
    ASSERT_TRUE(DeleteFile(Dir / "In/ABC.20.journal"));
    ASSERT_EQ(mkfifo(ClaimedFile().c_str(), 0644), 0);
    Run(std::nullopt);
    EXPECT_EQ(LogMessages().back(),
              "Error processing file Not a regular file. Processing Aborted!");
    EXPECT_TRUE(Sim->Messages().empty());
}

TEST_F(BulkThreadLifecycle, WorkersOfTwoFilesRunAtOnceEachWithItsOwnFiles) {
    WriteFile(Dir / "In/ABC.20.Busy", kGoodRow);
    WriteFile(Dir / "In/XYZ.7.Busy", "0830000000,REF9,TXT,Other\r\n08300000,REF8,TXT,Bad\r\n");
    StartWorker(std::nullopt, "SMS", "ABC.20.Busy", "ABC");
    StartWorker(std::nullopt, "SMS", "XYZ.7.Busy", "XYZ");
    ASSERT_TRUE(WaitForBulkThreads(kWorkerTimeout));
    EXPECT_EQ(RunningBulkThreads(), 0);
    EXPECT_EQ(ListDir(Dir / "In"), std::vector<std::string>{});
    EXPECT_EQ(Confirmation(),
              CrLf({"Cell No.,Reference,Status",
                    "\"0820000000\",\"REF1\",\"Sucessfully submitted to Vexo.\",\"MessageID=" +
                        std::to_string(ReqIDOf("REF1")) + "\""}));
    EXPECT_EQ(ReadFile(Dir / "Status/Confirmation-XYZ.CSV"),
              CrLf({"Cell No.,Reference,Status", "08300000,REF8,\"Cell no. is invalid\"",
                    "\"0830000000\",\"REF9\",\"Sucessfully submitted to Vexo.\",\"MessageID=" +
                        std::to_string(ReqIDOf("REF9")) + "\""}));
}

// ---- what each ending leaves behind ----

using BulkThreadCleanUp = TWorkerTest;

TEST_F(BulkThreadCleanUp, WentThroughAndMailedLeavesNothing) {
    Settings.SendConfirmation = "true";
    Mail();
    Run(kGoodRow);
    ASSERT_TRUE(MailSink->WaitForMessages(1));
    EXPECT_EQ(ListDir(Dir / "In"), std::vector<std::string>{});
    EXPECT_EQ(ListDir(Dir / "Status"), std::vector<std::string>{"ABC.CSV"});
}

TEST_F(BulkThreadCleanUp, WentThroughButMailFailedKeepsEverythingForTheNextAttempt) {
    Settings.SendConfirmation = "true";
    Settings.SmtpPort = FreeLocalPort();  // nobody listens there
    Run(kGoodRow);
    EXPECT_EQ(ListDir(Dir / "In"),
              (std::vector<std::string>{"ABC.20.Busy", "ABC.20.journal", "ABC.20.log"}));
    // The confirmation is the only record of the identifiers until a mail carried it.
    EXPECT_EQ(Confirmation(),
              CrLf({"Cell No.,Reference,Status",
                    "\"0820000000\",\"REF1\",\"Sucessfully submitted to Vexo.\",\"MessageID=" +
                        std::to_string(ReqIDOf("REF1")) + "\""}));
    // The batch name stays with the journal that owes the mail.
    EXPECT_EQ(ReadFile(Dir / "Status/ABC.lock"), Dir / "In/ABC.20.journal");
    const std::vector<std::string> Log = LogMessages();
    ASSERT_EQ(Log.size(), 11u) << ReadFile(LogFile());
    EXPECT_EQ(Log[8], "EMailing file...");
    EXPECT_EQ(Log[9].rfind("Error emailing result file : Couldn't connect to server", 0), 0u)
        << Log[9];
    EXPECT_EQ(Log[10], "Processing bulk request complete.");
}

TEST_F(BulkThreadCleanUp, WentThroughWithoutMailKeepsOnlyTheConfirmation) {
    Run(kGoodRow);
    EXPECT_EQ(ListDir(Dir / "In"), std::vector<std::string>{});
    EXPECT_TRUE(Exists(ConfirmationFile()));
}

TEST_F(BulkThreadCleanUp, FailedAndErrorMailedLeavesNothing) {
    Settings.SendConfirmation = "true";
    Mail();
    Run(kBadRow);
    ASSERT_TRUE(MailSink->WaitForMessages(1));
    EXPECT_EQ(ListDir(Dir / "In"), std::vector<std::string>{});
    EXPECT_EQ(ListDir(Dir / "Status"), std::vector<std::string>{"ABC.CSV"});
}

TEST_F(BulkThreadCleanUp, FailedAndErrorMailFailedKeepsEverythingForTheNextAttempt) {
    Settings.Format = "COMBINED";
    Settings.SendConfirmation = "true";
    Settings.SmtpPort = FreeLocalPort();
    Run(kBadRow);
    EXPECT_EQ(ListDir(Dir / "In"),
              (std::vector<std::string>{"ABC.20.Busy", "ABC.20.journal", "ABC.20.log"}));
    // The batch name stays with the owed journal, its lock beside the confirmation it guards.
    EXPECT_EQ(ListDir(Dir / "Exe"), (std::vector<std::string>{"ABC.lock", "Confirmation-ABC.CSV"}));
    EXPECT_EQ(ReadFile(Dir / "Exe/ABC.lock"), Dir / "In/ABC.20.journal");
    std::vector<std::string> Log = LogMessages();
    ASSERT_EQ(Log.size(), kNoRecipientsLog.size() + 2) << ReadFile(LogFile());
    EXPECT_EQ(std::vector<std::string>(Log.begin(), Log.begin() + 6), kNoRecipientsLog);
    EXPECT_EQ(Log[6], "EMailing Error Result file...");
    EXPECT_EQ(Log[7].rfind("Error emailing result file : Couldn't connect to server", 0), 0u);
}

TEST_F(BulkThreadCleanUp, FailedWithoutMailKeepsClaimedFileAndLog) {
    Run(kBadRow);
    EXPECT_EQ(ReadFile(ClaimedFile()), kBadRow);
    EXPECT_EQ(LogMessages(), kNoRecipientsLog);
    EXPECT_FALSE(Exists(ConfirmationFile()));
    EXPECT_TRUE(Sim->Messages().empty());
}

TEST_F(BulkThreadCleanUp, UnreadableConfirmationSettingAfterAFailureCleansNothing) {
    Settings.SendConfirmation = "maybe";
    Run(kBadRow);
    EXPECT_TRUE(Exists(ClaimedFile()));
    const std::vector<std::string> Log = LogMessages();
    ASSERT_EQ(Log.size(), kNoRecipientsLog.size() + 1);
    EXPECT_EQ(Log.back().rfind("Error handling failed processing : ", 0), 0u) << Log.back();
}

}  // namespace
}  // namespace bulktest
