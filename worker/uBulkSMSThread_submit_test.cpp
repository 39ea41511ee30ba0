// Submitting a file's messages: parts, the batch names they carry, the identifiers the gateway
// returns landing on the right confirmation lines, and the retry of failed calls.
#include "clientsdk/ClientSDK.h"
#include "platform/Files.h"
#include "worker/uBulkSMSThread_testenv.h"

namespace bulktest {
namespace {

// Rows "08200000NN,<Prefix>NN,TXT,Text NN" for NN from First to Last.
std::string Rows(int First, int Last, const std::string& Prefix = "M") {
    std::string Out;
    for (int I = First; I <= Last; ++I) {
        char Cell[16];
        std::snprintf(Cell, sizeof Cell, "08200000%02d", I);
        Out += std::string(Cell) + "," + Prefix + std::to_string(I) + ",TXT,Text " +
               std::to_string(I) + "\r\n";
    }
    return Out;
}

std::vector<size_t> PartSizes(const std::vector<TBatch>& Batches) {
    std::vector<size_t> Out;
    for (const auto& B : Batches) Out.push_back(B.Messages.size());
    return Out;
}

std::vector<std::string> References(const std::vector<TBatch>& Batches) {
    std::vector<std::string> Out;
    for (const auto& B : Batches)
        for (const auto& M : B.Messages) Out.push_back(M.Reference);
    return Out;
}

// The confirmation's lines after the header, each reduced to "Reference=ID" ("-" when unmarked).
std::vector<std::string> MarkedLines(const std::string& Confirmation) {
    std::vector<std::string> Out;
    std::vector<std::string> All = Lines(Confirmation);
    for (size_t I = 1; I < All.size(); ++I) {
        std::vector<std::string> Fields;
        SplitDelimitedLine(',', All[I], Fields, true, true);
        const std::string& Last = Fields.back();
        const size_t At = Last.find("MessageID=");
        Out.push_back(
            Fields[1] + "=" +
            (At == std::string::npos ? "-" : Last.substr(At + 10, Last.size() - At - 11)));
    }
    return Out;
}

using SubmittingParts = TWorkerTest;

TEST_F(SubmittingParts, SevenMessagesInPartsOfThreeWithRejectedRowsFirst) {
    Settings.Split = "1";
    Settings.MaxMessages = "3";
    Run("08200000,BAD1,TXT,x\r\n" + Rows(1, 3) + "0820000000,BAD2,TXT,,x\r\n,BAD3,TXT,x\r\n" +
        Rows(4, 7));

    const std::vector<TBatch> Batches = SentBatches();
    EXPECT_EQ(PartSizes(Batches), (std::vector<size_t>{3, 3, 1}));
    ASSERT_EQ(Batches.size(), 3u);
    EXPECT_EQ(Batches[0].BatchName, "ABC");
    EXPECT_EQ(Batches[1].BatchName, "");
    EXPECT_EQ(Batches[2].BatchName, "");
    for (const auto& B : Batches) {
        EXPECT_EQ(B.Sender.Name, "Brova Org");
        EXPECT_EQ(B.Sender.Email, "results@example.com");
        for (const auto& M : B.Messages) EXPECT_EQ(M.BatchName, "ABC") << M.Reference;
    }
    EXPECT_EQ(References(Batches),
              (std::vector<std::string>{"M1", "M2", "M3", "M4", "M5", "M6", "M7"}));

    // Rejected rows first, in file order, then every submitted row with its own identifier.
    std::vector<std::string> Expected = {"BAD1=-", "BAD2=-", "BAD3=-"};
    for (int I = 1; I <= 7; ++I)
        Expected.push_back("M" + std::to_string(I) + "=" +
                           std::to_string(ReqIDOf("M" + std::to_string(I))));
    EXPECT_EQ(MarkedLines(Confirmation()), Expected);
}

TEST_F(SubmittingParts, AnExactMultipleSendsNoEmptyLastPart) {
    Settings.Split = "1";
    Settings.MaxMessages = "3";
    Settings.Format = "COMBINED";  // keeps the log
    Run(Rows(1, 6));
    EXPECT_EQ(PartSizes(SentBatches()), (std::vector<size_t>{3, 3}));
    EXPECT_EQ(LogMessages(),
              (std::vector<std::string>{
                  "Processing started", "Creating Messages to be sent...",
                  "Creating messages to be sent complete.", "Processing bulk request...",
                  "Processing split bulk request[1].", "Sending split bulk request.",
                  "Marking split bulk request items.", "Processing split bulk request complete.",
                  "Processing split bulk request[2].", "Sending split bulk request.",
                  "Marking split bulk request items.", "Processing split bulk request complete.",
                  "Processing bulk request complete."}));
}

TEST_F(SubmittingParts, SplitOtherThanOneSendsOnePartWhateverMaxMessagesSays) {
    Settings.MaxMessages = "1";
    Settings.Split = "0";
    Run(Rows(1, 4));
    Settings.Split = "2";
    Run(Rows(5, 7));
    EXPECT_EQ(PartSizes(SentBatches()), (std::vector<size_t>{4, 3}));
}

TEST_F(SubmittingParts, MaxMessagesBelowOneFailsBeforeSendingUnlessOneMessage) {
    Settings.Split = "1";
    Settings.MaxMessages = "0";
    Run(Rows(1, 2));
    EXPECT_TRUE(SentBatches().empty());
    const std::vector<std::string> Log = LogMessages();
    ASSERT_GE(Log.size(), 2u);
    EXPECT_EQ(Log[Log.size() - 2],
              "Error processing file at 0820000001 : "
              "MaxMessages must be at least 1 when Split is 1");
    EXPECT_EQ(Log.back(),
              "Error processing file MaxMessages must be at least 1 when Split is 1. "
              "Processing Aborted!");
    EXPECT_TRUE(Exists(ClaimedFile()));
    // The failed file stays with its journal for the operator, who clears it to drop it again.
    ASSERT_TRUE(DeleteFile(Dir / "In/ABC.20.journal"));

    Run(Rows(3, 3));
    EXPECT_EQ(References(SentBatches()), std::vector<std::string>{"M3"});
}

TEST_F(SubmittingParts, AbsentSplitFailsOnlyFilesOfTwoOrMoreMessages) {
    Settings.Split.reset();
    Run(Rows(1, 1));
    EXPECT_EQ(References(SentBatches()), std::vector<std::string>{"M1"});
    EXPECT_FALSE(Exists(ClaimedFile()));

    Run(Rows(2, 3));
    EXPECT_EQ(SentBatches().size(), 1u);
    EXPECT_TRUE(Exists(ClaimedFile()));
    const std::vector<std::string> Log = LogMessages();
    ASSERT_FALSE(Log.empty());
    EXPECT_EQ(Log.back().rfind("Error processing file Could not convert variant of type (Null)", 0),
              0u)
        << Log.back();
}

TEST_F(SubmittingParts, FailedGatewayCallsAreRetriedUntilOneAnswers) {
    Settings.Format = "COMBINED";  // keeps the log
    Sim->Fault("Send", 3, "http500");
    Run(Rows(1, 2));
    const std::vector<std::string> Log = LogMessages();
    ASSERT_EQ(Log.size(), 12u) << ReadFile(LogFile());
    EXPECT_EQ(Log[5], "Sending split bulk request.");
    for (int I = 6; I <= 8; ++I)
        EXPECT_EQ(Log[I].rfind("Error Making Soap Call: ", 0), 0u) << Log[I];
    EXPECT_EQ(Log[9], "Marking split bulk request items.");
    EXPECT_EQ(Log[10], "Processing split bulk request complete.");
    // The answered attempt sent the whole batch, fetched anew.
    const std::vector<TBatch> Batches = SentBatches();
    ASSERT_EQ(Batches.size(), 4u);
    EXPECT_EQ(References({Batches[3]}), (std::vector<std::string>{"M1", "M2"}));
    EXPECT_EQ(Sim->Messages().size(), 2u);
}

TEST_F(SubmittingParts, DroppedConnectionsAreRetriedToo) {
    Settings.SendConfirmation = "true";
    Mail();
    Sim->Fault("Send", 2, "drop");
    Run(Rows(1, 1));
    EXPECT_EQ(Sim->Messages().size(), 1u);
    // The mail went out, so the log is gone; the confirmation travelled with it.
    ASSERT_TRUE(MailSink->WaitForMessages(1));
    const auto Parts = MailParts(MailSink->Messages()[0]);
    ASSERT_EQ(Parts.size(), 2u);
    EXPECT_EQ(MarkedLines(Parts[1].Body),
              std::vector<std::string>{"M1=" + std::to_string(ReqIDOf("M1"))});
}

TEST_F(SubmittingParts, RecipientThatCannotBeBuiltCostsOnlyItsOwnLine) {
    Settings.Split = "1";
    Settings.MaxMessages = "2";
    WriteFile(ClaimedFile(), Rows(1, 3));
    // Only the worker creates Recipient objects: the first one it makes fails.
    struct Disarm {
        ~Disarm() { FailNextClientSDKCreations("Recipient", 0, ""); }
    } Guard;
    FailNextClientSDKCreations("Recipient", 1, "Recipient class is not registered");
    Run(std::nullopt);

    const std::vector<TBatch> Batches = SentBatches();
    EXPECT_EQ(PartSizes(Batches), (std::vector<size_t>{2, 1}));
    ASSERT_EQ(Batches.size(), 2u);
    // The message request still went, without a recipient and without the settings that come
    // after the recipient.
    EXPECT_TRUE(Batches[0].Messages[0].Recipients.empty());
    EXPECT_EQ(Batches[0].Messages[0].Reference, "");
    EXPECT_EQ(Batches[0].Messages[1].Recipients.size(), 1u);
    const std::vector<std::string> Lines_ = Lines(Confirmation());
    ASSERT_EQ(Lines_.size(), 4u);
    // Its line carries the failure instead of the status, and still the request's identifier.
    EXPECT_EQ(Lines_[1],
              "\"0820000001\",\"M1\",\"Recipient class is not registered\","
              "\"MessageID=" +
                  std::to_string(ReqIDOf("")) + "\"");
    EXPECT_EQ(MarkedLines(Confirmation())[1], "M2=" + std::to_string(ReqIDOf("M2")));
    EXPECT_EQ(MarkedLines(Confirmation())[2], "M3=" + std::to_string(ReqIDOf("M3")));
}

}  // namespace
}  // namespace bulktest
