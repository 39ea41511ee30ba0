// What survives: the real service killed with SIGKILL at each point of a file's road, stopped
// with SIGTERM in the middle of a file, denied its mail server, and run twice over one set of
// directories. Afterwards every row has reached the gateway, none twice but the one part that
// was on the wire at a kill, and every identifier is in its confirmation.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "clientsdk/BatchFormat.h"
#include "support/uXmlText.h"
#include "tests/GatewaySim.h"
#include "tests/MailSink.h"
#include "tests/ServiceUnderTest.h"
#include "tests/TestSupport.h"

namespace {

using namespace testsupport;
using namespace std::chrono_literals;

constexpr std::chrono::seconds kRunTimeout{90};
constexpr int kRows = 2000;
constexpr int kPart = 500;
const std::string kHeader = "Cell No.,Reference,Status";
const std::string kSubmitted = "Sucessfully submitted to Vexo.";

// Every other row has a nine-digit number that "082" in ValidSACellExtensions completes.
std::string Digits(int Row) { return std::to_string(1000000 + Row).substr(1); }
std::string Address(int Row) { return (Row % 2 ? "0821" : "821") + Digits(Row); }
std::string Reference(int Row) { return "R" + std::to_string(Row); }

std::string FileText(int Rows) {
    std::string Out;
    for (int Row = 0; Row < Rows; ++Row)
        Out += Address(Row) + "," + Reference(Row) + ",TXT,Message " + std::to_string(Row) + "\r\n";
    return Out;
}

// Every identifier the gateway gave each reference, oldest first.
std::map<std::string, std::vector<int64_t>> IdsByReference(TGatewaySim& Sim) {
    std::map<std::string, std::vector<int64_t>> Out;
    for (const TSimMessage& M : Sim.Messages()) Out[M.Reference].push_back(M.ReqID);
    return Out;
}

// The confirmation an uninterrupted run writes; a row the gateway got twice may carry either
// identifier, the one its second send was answered with.
std::string ExpectedConfirmation(int Rows, const std::map<std::string, std::vector<int64_t>>& Ids,
                                 const std::string& Actual = "") {
    std::string Out = kHeader + "\r\n";
    for (int Row = 0; Row < Rows; ++Row) {
        const std::string Head = "\"0821" + Digits(Row) + "\",\"" + Reference(Row) + "\",\"" +
                                 kSubmitted + "\",\"MessageID=";
        const auto Found = Ids.find(Reference(Row));
        std::string Id = Found == Ids.end() ? "?" : std::to_string(Found->second.front());
        if (Found != Ids.end())
            for (const int64_t Either : Found->second)
                if (Actual.find(Head + std::to_string(Either) + "\"\r\n") != std::string::npos)
                    Id = std::to_string(Either);
        Out += Head + Id + "\"\r\n";
    }
    return Out;
}

// Every row reached the gateway; rows that went twice, if any, are one whole part.
void ExpectEveryRowOnceButOnePart(const std::map<std::string, std::vector<int64_t>>& Ids,
                                  bool OnePartMayRepeat) {
    std::vector<int> Twice;
    for (int Row = 0; Row < kRows; ++Row) {
        const auto Found = Ids.find(Reference(Row));
        ASSERT_NE(Found, Ids.end()) << "row never sent: " << Row;
        ASSERT_LE(Found->second.size(), 2u) << "row sent more than twice: " << Row;
        if (Found->second.size() == 2) Twice.push_back(Row);
    }
    if (Twice.empty()) return;
    ASSERT_TRUE(OnePartMayRepeat) << Twice.size() << " rows went twice, from row " << Twice[0];
    ASSERT_EQ(Twice.size(), size_t(kPart));
    EXPECT_EQ(Twice.front() % kPart, 0);
    EXPECT_EQ(Twice.back(), Twice.front() + kPart - 1);
}

std::string AttachmentOf(const std::string& Mail) {
    for (const TMailPart& Part : MailParts(Mail))
        if (!Part.FileName.empty()) return Part.Body;
    return "";
}

size_t SendsWith(TGatewaySim& Sim, size_t Messages) {
    size_t Count = 0;
    for (const TSimRequest& R : Sim.Requests(100)) {
        if (R.SoapAction.find("Send") == std::string::npos) continue;
        size_t N = 0;
        for (size_t At = R.Body.find("MessageRequest"); At != std::string::npos;
             At = R.Body.find("MessageRequest", At + 1))
            ++N;
        // Each message request opens and closes its element, escaped inside the envelope.
        Count += N / 2 == Messages;
    }
    return Count;
}

// ---- a file cut off at each point of its road, then the service started again ----

// The big file's run: parts of 500, every other number completed with "082".
TServiceSettings BigFileSettings(const TGatewaySim& Sim, const TMailSink& Mail,
                                 bool SendConfirmation) {
    TServiceSettings Settings;
    Settings.GatewayUrl = Sim.Url();
    Settings.Split = "1";
    Settings.MaxMessages = std::to_string(kPart);
    Settings.ValidSACellExtensions = "082";
    Settings.SendConfirmation = SendConfirmation;
    Settings.SmtpPort = Mail.Port();
    return Settings;
}

struct TCutOff {
    const char* Name;
    // The fault shim's kill (tests/FaultShim.cpp); "{smtp}" stands for the mail server's port.
    std::string Kill;
    // Without a shim kill: the per-file log line after which the test stops the service itself.
    std::string AfterLine;
    int Signal = SIGKILL;
    bool OnePartMayRepeat = false;
    // False: cut off before the claim's rename, the file is claimed anew, not resumed, under
    // the settings of the day; a journal cut off under its temporary name stays until it is old.
    bool Resumed = true;
    // The fault shim's failures in the run that is cut off.
    std::string Fail = {};
};

void PrintTo(const TCutOff& Cut, std::ostream* Out) { *Out << Cut.Name; }

class CutOffFile : public ::testing::TestWithParam<TCutOff> {};

TEST_P(CutOffFile, FinishesAfterARestartAsItBeganWithEveryIdentifier) {
    const TCutOff& Cut = GetParam();
    TGatewaySim Sim;
    TMailSink Mail;
    TServiceSettings Settings = BigFileSettings(Sim, Mail, true);
    std::string Kill = Cut.Kill;
    if (const size_t At = Kill.find("{smtp}"); At != std::string::npos)
        Kill.replace(At, 6, std::to_string(Mail.Port()));
    if (!Kill.empty())
        Settings.Environment =
            WithFaultShim({"BROVA_SHIM_KILL=" + Kill, "BROVA_SHIM_FAIL=" + Cut.Fail});
    TServiceUnderTest Service(Settings);
    // Parts go out slowly enough for the test to stop the service in the middle of the file.
    if (Kill.empty()) Sim.Fault("Send", 3, "delay", 400);
    Service.Drop("SMS", "BIG.1.csv", FileText(kRows));
    // A kill in the first poll may end the process before its start is seen.
    const bool Started = Service.Start();
    ASSERT_TRUE(Started || !Kill.empty());

    if (Kill.empty()) {
        const std::string Log = Service.InDir("SMS") + "/BIG.1.log";
        ASSERT_TRUE(WaitFor([&] { return ReadFile(Log).find(Cut.AfterLine) != std::string::npos; },
                            kRunTimeout));
        std::this_thread::sleep_for(100ms);
        Service.Process().Signal(Cut.Signal);
    }
    const int Status = Service.Process().Wait(kRunTimeout);
    if (Cut.Signal == SIGKILL) {
        ASSERT_EQ(Status, 128 + SIGKILL) << Service.Process().Stderr();
    } else {
        ASSERT_EQ(Status, 0);
        EXPECT_NE(ReadFile(Service.ProcessLog()).find(" : Stopped with 1 file left to resume.\r\n"),
                  std::string::npos);
    }
    ASSERT_TRUE(Mail.Messages().empty());

    // Started again with other settings, the file still finishes as it began.
    Settings.Environment.clear();
    if (Cut.Resumed) {
        Settings.MaxMessages = "300";
        Settings.ValidSACellExtensions = "";
    }
    Service.Configure(Settings);
    Sim.Fault("Send", 0, "delay");
    ASSERT_TRUE(Service.Start());
    ASSERT_TRUE(Mail.WaitForMessages(1, kRunTimeout)) << ReadFile(Service.ProcessLog());
    const auto Left = [&] {
        std::vector<std::string> Names = ListDir(Service.InDir("SMS"));
        if (!Cut.Resumed)
            std::erase_if(Names, [](const std::string& N) { return N.rfind(".journal.", 0) == 0; });
        return Names;
    };
    ASSERT_TRUE(WaitFor([&] { return Left().empty(); }, kRunTimeout))
        << ::testing::PrintToString(Left());
    EXPECT_EQ(Service.Stop(), 0);

    const auto Ids = IdsByReference(Sim);
    ExpectEveryRowOnceButOnePart(Ids, Cut.OnePartMayRepeat);
    EXPECT_EQ(SendsWith(Sim, 300), 0u) << "a part of the changed size went out";
    ASSERT_EQ(Mail.Messages().size(), 1u);
    const std::string Attachment = AttachmentOf(Mail.Messages()[0]);
    EXPECT_EQ(Attachment, ExpectedConfirmation(kRows, Ids, Attachment));
    EXPECT_EQ(ListDir(Service.StatusDir("SMS")), std::vector<std::string>{"BIG.CSV"});
    EXPECT_EQ(ReadFile(Service.ProcessLog())
                      .find("Resuming file [" + Service.InDir("SMS") + "/BIG.1.Busy]") !=
                  std::string::npos,
              Cut.Resumed);
}

INSTANTIATE_TEST_SUITE_P(
    AtEveryPoint, CutOffFile,
    ::testing::Values(
        // Synced under its temporary name, or named beside the file not yet renamed.
        TCutOff{"BeforeTheJournalIsNamed", "fdatasync:1:.journal.", "", SIGKILL, false, false},
        TCutOff{"BeforeTheFileIsRenamed", "renameat2:1:BIG.1.journal", "", SIGKILL, false, false},
        TCutOff{"AfterTheClaim", "renameat2:1:.Busy", ""},
        // A share that cannot rename without replacing: the claim links, then unlinks.
        TCutOff{"BetweenTheLinkAndTheUnlinkOfAClaim", "link:1:.Busy", "", SIGKILL, false, true,
                "renameat2:EINVAL:1:.Busy"},
        // The fourth sync of the journal records part 3, after two answers.
        TCutOff{"BetweenParts", "fdatasync:4:BIG.1.journal", ""},
        TCutOff{"InsideASend", "", "Processing split bulk request[3].", SIGKILL, true},
        TCutOff{"AfterTheConfirmationIsSaved", "rename:1:Confirmation-BIG.CSV", ""},
        TCutOff{"BeforeTheMail", "connect:1:127.0.0.1:{smtp}", ""},
        TCutOff{"StoppedInTheMiddle", "", "Processing split bulk request[2].", SIGTERM}),
    [](const auto& Info) { return std::string(Info.param.Name); });

// ---- a claimed file that is not what the run began with, once part of it was answered ----

// FailedInJournal: the file stays as it was, but its journal says that the run failed on its
// own, as one that met a setting it cannot read does.
enum class TInputChange { Touched, Appended, Replaced, Deleted, FailedInJournal };
struct TChangedInput {
    const char* Name;
    TInputChange Change;
    bool Mail;
};
void PrintTo(const TChangedInput& C, std::ostream* Out) { *Out << C.Name; }

class ChangedClaimedFile : public ::testing::TestWithParam<TChangedInput> {};

TEST_P(ChangedClaimedFile, StillConfirmsEveryAnsweredRowAndSendsNothingMore) {
    const TChangedInput& Case = GetParam();
    TGatewaySim Sim;
    TMailSink Mail;
    const TServiceSettings Settings = BigFileSettings(Sim, Mail, Case.Mail);
    TServiceUnderTest Service(Settings);
    Sim.Fault("Send", 3, "delay", 400);
    Service.Drop("SMS", "BIG.1.csv", FileText(kRows));
    ASSERT_TRUE(Service.Start());
    const std::string Busy = Service.InDir("SMS") + "/BIG.1.Busy";
    const std::string Log = Service.InDir("SMS") + "/BIG.1.log";
    ASSERT_TRUE(WaitFor(
        [&] {
            return ReadFile(Log).find("Processing split bulk request[2].") != std::string::npos;
        },
        kRunTimeout));
    Service.Process().Signal(SIGKILL);
    Service.Process().Wait(kRunTimeout);
    // The part on the wire at the kill may still reach the gateway.
    std::this_thread::sleep_for(600ms);
    const auto Answered = IdsByReference(Sim);
    const size_t SentBefore = Sim.Messages().size();

    switch (Case.Change) {
        case TInputChange::Touched:
            AgeFile(Busy, 3600);
            break;
        case TInputChange::Appended:
            WriteFile(Busy, FileText(kRows) + "0821999999,LATE,TXT,Late\r\n");
            break;
        case TInputChange::Replaced:
            WriteFile(Busy + ".new", FileText(kRows));
            ASSERT_EQ(::rename((Busy + ".new").c_str(), Busy.c_str()), 0);
            break;
        case TInputChange::Deleted:
            ASSERT_EQ(::unlink(Busy.c_str()), 0);
            break;
        case TInputChange::FailedInJournal: {
            const std::string Journal = Service.InDir("SMS") + "/BIG.1.journal";
            std::string Text = ReadFile(Journal);
            const std::string Record = "failed The%20batch%20was%20refused\n";
            Text.replace(Text.find('\0'), Record.size(), Record);
            WriteFile(Journal, Text);
            break;
        }
    }
    Sim.Fault("Send", 0, "delay");
    ASSERT_TRUE(Service.Start());

    const std::string Failure =
        Case.Change == TInputChange::FailedInJournal
            ? std::string("The batch was refused")
            : std::string(Case.Change == TInputChange::Replaced
                              ? "The claimed file was replaced since it was claimed"
                          : Case.Change == TInputChange::Deleted
                              ? "The File path specified does not exist"
                              : "The claimed file has changed since it was claimed") +
                  "; the 500 messages answered are confirmed with their identifiers, any after "
                  "them were "
                  "not sent";
    const std::string Confirmation = Service.StatusDir("SMS") + "/Confirmation-BIG.CSV";
    std::string Confirmed;
    if (Case.Mail) {
        ASSERT_TRUE(Mail.WaitForMessages(1, kRunTimeout)) << ReadFile(Service.ProcessLog());
        Confirmed = AttachmentOf(Mail.Messages()[0]);
        std::string Body;
        for (const TMailPart& Part : MailParts(Mail.Messages()[0]))
            if (Part.FileName.empty()) Body += Part.Body;
        const std::vector<std::string> BodyLines = Lines(Body);
        EXPECT_NE(std::find(BodyLines.begin(), BodyLines.end(), "Error : " + Failure),
                  BodyLines.end())
            << Body;
    } else {
        ASSERT_TRUE(WaitFor([&] { return Exists(Confirmation); }, kRunTimeout))
            << ReadFile(Service.ProcessLog());
        Confirmed = ReadFile(Confirmation);
        // The confirmation is saved before the run's failure is logged.
        const auto Logged = [&](const std::string& Line) {
            return WaitFor([&] { return ReadFile(Log).find(Line) != std::string::npos; });
        };
        EXPECT_TRUE(Logged(" : Error processing file " + Failure + ". Processing Aborted!\r\n"))
            << ReadFile(Log);
        EXPECT_TRUE(
            Logged(" : Messages after the first 500 of the claimed file were not sent.\r\n"))
            << ReadFile(Log);
    }
    EXPECT_EQ(Confirmed, ExpectedConfirmation(kPart, Answered, Confirmed));

    // What is left: the claimed file only when it is not the one claimed, with its log; the
    // journal of a run that failed without mail, for the operator.
    std::vector<std::string> Left;
    if (Case.Change != TInputChange::Deleted && Case.Change != TInputChange::FailedInJournal)
        Left = {"BIG.1.Busy", "BIG.1.log"};
    if (!Case.Mail) Left = {"BIG.1.Busy", "BIG.1.journal", "BIG.1.log"};
    if (!Case.Mail && Case.Change == TInputChange::Deleted) Left = {"BIG.1.journal", "BIG.1.log"};
    ASSERT_TRUE(WaitFor([&] { return ListDir(Service.InDir("SMS")) == Left; }, kRunTimeout))
        << ::testing::PrintToString(ListDir(Service.InDir("SMS")));
    if (Case.Mail && !Left.empty()) {
        EXPECT_NE(ReadFile(Log).find("The claimed file is not the file that was claimed; it is "
                                     "left as it is."),
                  std::string::npos);
    }
    EXPECT_EQ(Service.Stop(), 0);
    EXPECT_EQ(Sim.Messages().size(), SentBefore) << "the changed file was sent";
}

INSTANTIATE_TEST_SUITE_P(
    AfterPartOne, ChangedClaimedFile,
    ::testing::Values(TChangedInput{"TouchedWithMail", TInputChange::Touched, true},
                      TChangedInput{"AppendedToWithoutMail", TInputChange::Appended, false},
                      TChangedInput{"ReplacedWithMail", TInputChange::Replaced, true},
                      TChangedInput{"DeletedWithMail", TInputChange::Deleted, true},
                      TChangedInput{"DeletedWithoutMail", TInputChange::Deleted, false},
                      TChangedInput{"FailedInItsJournalWithMail", TInputChange::FailedInJournal,
                                    true}),
    [](const auto& Info) { return std::string(Info.param.Name); });

// The first run reads the file it claimed, or nothing: one written to between the claim and the
// read is not sent, and is left as it is.
TEST(ChangedClaimedFile, WrittenToBeforeTheFirstReadIsNotSent) {
    TGatewaySim Sim;
    TServiceSettings Settings;
    Settings.GatewayUrl = Sim.Url();
    // The worker waits after its first sync of the journal, before it reads the file.
    Settings.Environment = WithFaultShim({"BROVA_SHIM_PAUSE=fdatasync:1500:1:NEW.journal"});
    TServiceUnderTest Service(Settings);
    Service.Drop("SMS", "NEW.csv", FileText(3));
    ASSERT_TRUE(Service.Start());
    const std::string Busy = Service.InDir("SMS") + "/NEW.Busy";
    ASSERT_TRUE(WaitFor([&] { return Exists(Busy); }, kRunTimeout));
    const std::string Appended = FileText(3) + "0821999999,LATE,TXT,Late\r\n";
    WriteFile(Busy, Appended);
    const std::string Log = Service.InDir("SMS") + "/NEW.log";
    ASSERT_TRUE(
        WaitFor([&] { return ReadFile(Log).find("Processing Aborted!") != std::string::npos; },
                kRunTimeout));
    EXPECT_NE(ReadFile(Log).find(" : Error processing file The claimed file has changed since it "
                                 "was claimed. Processing Aborted!\r\n"),
              std::string::npos)
        << ReadFile(Log);
    EXPECT_EQ(Service.Stop(), 0);
    EXPECT_TRUE(Sim.Messages().empty());
    EXPECT_EQ(ListDir(Service.InDir("SMS")),
              (std::vector<std::string>{"NEW.Busy", "NEW.journal", "NEW.log"}));
    EXPECT_EQ(ReadFile(Busy), Appended);
}

// A stop while an answered part cannot be journalled: the file's log keeps each reference with
// the identifier the gateway gave it.
TEST(RecordsKept, AnAnswerThatCannotBeJournalledAtAStopIsInTheFilesLog) {
    TGatewaySim Sim;
    TempDir Scratch;
    const std::string Switch = Scratch / "journal-fails";
    TServiceSettings Settings;
    Settings.GatewayUrl = Sim.Url();
    Settings.Split = "1";
    Settings.MaxMessages = "3";
    Settings.Environment =
        WithFaultShim({"BROVA_SHIM_FAIL=pwrite:EIO:1:STOP.journal", "BROVA_SHIM_SWITCH=" + Switch});
    TServiceUnderTest Service(Settings);
    // The answer comes late enough for the journal to fail by then.
    Sim.Fault("Send", 1, "delay", 1500);
    Service.Drop("SMS", "STOP.csv", FileText(3));
    ASSERT_TRUE(Service.Start());
    const std::string Log = Service.InDir("SMS") + "/STOP.log";
    ASSERT_TRUE(WaitFor(
        [&] { return ReadFile(Log).find("Sending split bulk request.") != std::string::npos; },
        kRunTimeout));
    WriteFile(Switch, "");
    ASSERT_TRUE(WaitFor(
        [&] { return ReadFile(Log).find("Error writing the journal : ") != std::string::npos; },
        kRunTimeout));
    Service.Process().Signal(TServiceUnderTest::StopSignal());
    EXPECT_EQ(Service.Process().Wait(kRunTimeout), 0);
    std::string Expected =
        "Split bulk request[1] was accepted but could not be journalled; its "
        "identifiers: ";
    const std::vector<TSimMessage> Sent = Sim.Messages();
    ASSERT_EQ(Sent.size(), 3u);
    for (size_t I = 0; I < Sent.size(); ++I)
        Expected += (I ? ", " : "") + Sent[I].Reference + "=" + std::to_string(Sent[I].ReqID);
    EXPECT_NE(ReadFile(Log).find(" : " + Expected + "\r\n"), std::string::npos) << ReadFile(Log);
}

// ---- a mail server that is away, then back ----

TEST(RecordsKept, AFailedResultMailKeepsTheConfirmationUntilTheServerIsBack) {
    TGatewaySim Sim;
    TServiceSettings Settings;
    Settings.GatewayUrl = Sim.Url();
    Settings.SendConfirmation = true;
    Settings.SmtpPort = FreeLocalPort();  // nobody listens there yet
    Settings.RetryDelayMs = 40;           // the mail is tried again after 30 of these
    TServiceUnderTest Service(Settings);
    Service.Drop("SMS", "MAIL.csv", FileText(20));
    ASSERT_TRUE(Service.Start());
    const std::string Log = Service.InDir("SMS") + "/MAIL.log";
    ASSERT_TRUE(WaitFor(
        [&] { return ReadFile(Log).find("Error emailing result file : ") != std::string::npos; },
        kRunTimeout));
    const std::string Confirmation = ReadFile(Service.StatusDir("SMS") + "/Confirmation-MAIL.CSV");
    EXPECT_EQ(Confirmation, ExpectedConfirmation(20, IdsByReference(Sim)));
    EXPECT_EQ(ListDir(Service.InDir("SMS")),
              (std::vector<std::string>{"MAIL.Busy", "MAIL.journal", "MAIL.log"}));

    // Logons that fail meanwhile leave the batch name with the owed journal: a second file of
    // that name waits under its own name and never joins the first one's confirmation.
    const int64_t Calls = Sim.Stats().SoapRequests;
    Sim.Fault("Login", 3, "fault");
    Service.Drop("SMS", "MAIL.2.csv", FileText(5));
    ASSERT_TRUE(WaitFor([&] { return Sim.Stats().SoapRequests >= Calls + 4; }, kRunTimeout));
    EXPECT_EQ(ReadFile(Service.StatusDir("SMS") + "/Confirmation-MAIL.CSV"), Confirmation);
    EXPECT_EQ(ListDir(Service.InDir("SMS")),
              (std::vector<std::string>{"MAIL.2.csv", "MAIL.Busy", "MAIL.journal", "MAIL.log"}));
    EXPECT_EQ(Sim.Messages().size(), 20u);
    // Logged on again, it keeps waiting, said once and not at every tick.
    const std::string Waits = "File [" + Service.InDir("SMS") +
                              "/MAIL.2.csv] waits : its batch name MAIL is held by another run";
    ASSERT_TRUE(WaitFor([&] { return Sim.Stats().SoapRequests >= Calls + 8; }, kRunTimeout));
    size_t Said = 0;
    for (const std::string& Line : Lines(ReadFile(Service.ProcessLog())))
        Said += Line.find(Waits) != std::string::npos;
    EXPECT_EQ(Said, 1u) << ReadFile(Service.ProcessLog());

    TMailSink Mail(Settings.SmtpPort);
    ASSERT_TRUE(Mail.WaitForMessages(2, kRunTimeout));
    ASSERT_TRUE(WaitFor([&] { return ListDir(Service.InDir("SMS")).empty(); }, kRunTimeout));
    EXPECT_EQ(AttachmentOf(Mail.Messages()[0]), Confirmation);
    // The second file's confirmation is its own, made after the first one's mail.
    EXPECT_EQ(testsupport::Lines(AttachmentOf(Mail.Messages()[1])).size(), 6u);
    EXPECT_EQ(Sim.Messages().size(), 25u) << "a message went to the gateway again";
    // Listed once stopped: a worker lets its batch name go just after its journal is gone.
    EXPECT_EQ(Service.Stop(), 0);
    EXPECT_EQ(ListDir(Service.StatusDir("SMS")), std::vector<std::string>{"MAIL.CSV"});
}

// ---- identifiers as the gateway gives them ----

TEST(Identifiers, AnIdentifierAbove32BitsIsPrintedWholeAndTheFileGoesOn) {
    TGatewaySim Sim;
    TServiceSettings Settings;
    Settings.GatewayUrl = Sim.Url();
    Settings.Split = "1";
    Settings.MaxMessages = "2";
    TServiceUnderTest Service(Settings);
    TBatchInfoReply Reply;
    Reply.BatchID = 1;
    Reply.BatchNo = "B1";
    for (const int64_t Id : {8589934592LL, 8589934593LL}) {
        TBatchInfoItem Item;
        Item.ReqID = Id;
        Reply.Items.push_back(Item);
    }
    std::string Result;
    AppendXmlEscaped(Result, WriteBatchInfoXml(Reply), false);
    Sim.RawReply("Send",
                 "<?xml version=\"1.0\" encoding=\"UTF-8\"?><SOAP-ENV:Envelope "
                 "xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\"><SOAP-ENV:Body>"
                 "<SendResponse xmlns=\"http://vexo.gateway\"><SendResult>" +
                     Result + "</SendResult></SendResponse></SOAP-ENV:Body></SOAP-ENV:Envelope>");
    Service.Drop("SMS", "BIG.csv", FileText(3));
    ASSERT_TRUE(Service.Start());
    const std::string Path = Service.StatusDir("SMS") + "/Confirmation-BIG.CSV";
    ASSERT_TRUE(WaitFor([&] { return ListDir(Service.InDir("SMS")).empty(); }, kRunTimeout));
    auto Ids = IdsByReference(Sim);
    Ids["R0"] = {8589934592LL};
    Ids["R1"] = {8589934593LL};
    EXPECT_EQ(ReadFile(Path), ExpectedConfirmation(3, Ids));
    EXPECT_EQ(Service.Stop(), 0);
}

// ---- two instances over one set of directories ----

TEST(ScaleOut, TwoInstancesOnOneShareBehaveAsOneService) {
    TGatewaySim Sim;
    TServiceSettings Settings;
    Settings.GatewayUrl = Sim.Url();
    Settings.StatusInterval = 1200;
    Settings.PollInterval = 100;
    TServiceUnderTest First(Settings);
    TServiceUnderTest Second(Settings, &First);
    // 100 batch names, each with two files; every file its own references.
    std::vector<std::pair<std::string, std::string>> Files;
    constexpr int kFiles = 200, kFileRows = 20;
    for (int F = 0; F < kFiles; ++F) {
        std::string Text;
        for (int Row = 0; Row < kFileRows; ++Row)
            Text += Address(Row) + ",F" + std::to_string(F) + "-" + std::to_string(Row) +
                    ",TXT,Hello\r\n";
        Files.emplace_back("B" + std::to_string(F / 2) + "." + std::to_string(F % 2) + ".csv",
                           Text);
    }
    First.Drop("SMS", Files);
    ASSERT_TRUE(First.Start());
    ASSERT_TRUE(Second.Start());
    ASSERT_TRUE(WaitFor([&] { return ListDir(First.InDir("SMS")).empty(); }, kRunTimeout))
        << ListDir(First.InDir("SMS")).size() << " names left";
    // Every status once, in the file of its batch, whichever instance collected it.
    const auto StatusLines = [&] {
        std::vector<std::string> Out;
        for (const std::string& Name : ListDir(First.StatusDir("SMS")))
            if (Name.rfind("Confirmation-", 0) != 0)
                for (const std::string& L : Lines(ReadFile(First.StatusDir("SMS") + "/" + Name)))
                    if (L.rfind("MessageRequestID", 0) != 0) Out.push_back(L);
        return Out;
    };
    ASSERT_TRUE(WaitFor([&] { return StatusLines().size() >= kFiles * kFileRows; }, kRunTimeout));
    EXPECT_EQ(First.Stop(), 0);
    EXPECT_EQ(Second.Stop(), 0);

    const std::vector<TSimMessage> Sent = Sim.Messages();
    ASSERT_EQ(Sent.size(), size_t(kFiles * kFileRows));
    std::set<std::string> References;
    std::map<std::string, int64_t> IdOf;
    for (const TSimMessage& M : Sent) {
        EXPECT_TRUE(References.insert(M.Reference).second) << "sent twice: " << M.Reference;
        IdOf[M.Reference] = M.ReqID;
    }
    std::set<std::string> StatusIds;
    for (const std::string& L : StatusLines())
        EXPECT_TRUE(StatusIds.insert(L.substr(0, L.find(','))).second) << "twice: " << L;
    EXPECT_EQ(StatusIds.size(), Sent.size());
    // Each batch's confirmation holds both of its files, each under its own header.
    for (int B = 0; B < kFiles / 2; ++B) {
        const std::vector<std::string> Confirmation = Lines(
            ReadFile(First.StatusDir("SMS") + "/Confirmation-B" + std::to_string(B) + ".CSV"));
        ASSERT_EQ(Confirmation.size(), size_t(2 * (kFileRows + 1))) << "batch " << B;
        EXPECT_EQ(std::count(Confirmation.begin(), Confirmation.end(), kHeader), 2);
        for (const std::string& L : Confirmation) {
            if (L == kHeader) continue;
            const size_t Quote = L.find("\",\"");
            const std::string Reference = L.substr(Quote + 3, L.find('"', Quote + 3) - Quote - 3);
            EXPECT_NE(L.find("\"MessageID=" + std::to_string(IdOf[Reference]) + "\""),
                      std::string::npos)
                << L;
        }
    }
    for (const TServiceUnderTest* S : {&First, &Second}) {
        const std::string Log = ReadFile(S->ProcessLog());
        EXPECT_EQ(Log.find("Unable to"), std::string::npos) << Log;
        EXPECT_EQ(Log.find("Error"), std::string::npos) << Log;
    }
}

}  // namespace
