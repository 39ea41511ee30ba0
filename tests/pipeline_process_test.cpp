// Files dropped into the poll directories of the running service travel the whole road: claimed,
// read, validated, sent to the gateway simulator in parts, confirmed, mailed to a real SMTP
// server, cleaned up, and their statuses and replies collected; the service's figures follow.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/GatewaySim.h"
#include "tests/MailSink.h"
#include "tests/NotifyListener.h"
#include "tests/ServiceUnderTest.h"
#include "tests/TestSupport.h"

namespace {

using namespace testsupport;
using namespace std::chrono_literals;

// Only guard against a hang; no test relies on how long anything takes.
constexpr std::chrono::seconds kFileTimeout{60};
constexpr std::chrono::seconds kLoadTimeout{180};

const std::string kSubmitted = "Sucessfully submitted to Vexo.";

// The name of the file in the state directory that keeps the lines of Target.
std::string UnwrittenName(std::string Target) {
    for (char& C : Target)
        if (C == '/') C = '_';
    return "Unwritten-" + Target;
}

// What a name is, not followed: "link", "fifo", "directory", "file" or "missing".
std::string EntryKind(const std::string& Path) {
    struct stat St {};
    if (lstat(Path.c_str(), &St) != 0) return "missing";
    if (S_ISLNK(St.st_mode)) return "link";
    if (S_ISFIFO(St.st_mode)) return "fifo";
    if (S_ISDIR(St.st_mode)) return "directory";
    return "file";
}

// One line of an input file and what must become of it. An empty Reason accepts the row; a
// skipped line leaves no trace at all.
struct TRow {
    std::string Line;
    std::string Address;
    std::string Reference;
    std::string Reason;
    std::string Type;
    std::string Text;
    bool Skipped = false;
};

TRow Rejected(std::string Line, std::string Address, std::string Reference, std::string Reason) {
    return {std::move(Line), std::move(Address), std::move(Reference), std::move(Reason), "", ""};
}
TRow Accepted(std::string Line, std::string Address, std::string Reference, std::string Type,
              std::string Text) {
    return {std::move(Line), std::move(Address), std::move(Reference), "",
            std::move(Type), std::move(Text)};
}
TRow Skipped(std::string Line) { return {std::move(Line), "", "", "", "", "", true}; }

std::string FileText(const std::vector<TRow>& Rows) {
    std::string Out;
    for (const TRow& R : Rows) Out += R.Line + "\r\n";
    return Out;
}

std::string CrLf(const std::vector<std::string>& Lines) {
    std::string Out;
    for (const std::string& L : Lines) Out += L + "\r\n";
    return Out;
}

// Bad rows come first, in file order, then one submitted line per accepted row carrying the
// identifier the gateway gave that row's message.
std::string ExpectedConfirmation(const std::string& Header, const std::vector<TRow>& Rows,
                                 const std::map<std::string, int64_t>& IdByReference) {
    std::vector<std::string> Lines = {Header};
    for (const TRow& R : Rows)
        if (!R.Skipped && !R.Reason.empty())
            Lines.push_back(R.Address + "," + R.Reference + ",\"" + R.Reason + "\"");
    for (const TRow& R : Rows) {
        if (R.Skipped || !R.Reason.empty()) continue;
        const auto Id = IdByReference.find(R.Reference);
        Lines.push_back("\"" + R.Address + "\",\"" + R.Reference + "\",\"" + kSubmitted +
                        "\",\"MessageID=" +
                        (Id == IdByReference.end() ? "?" : std::to_string(Id->second)) + "\"");
    }
    return CrLf(Lines);
}

std::map<std::string, int64_t> IdsByReference(const std::vector<TSimMessage>& Sent) {
    std::map<std::string, int64_t> Out;
    for (const TSimMessage& M : Sent) Out[M.Reference] = M.ReqID;
    return Out;
}

// The gateway received every accepted row of the file exactly once, as the row asked, and
// nothing of the rejected rows.
void ExpectSentOnce(const std::vector<TSimMessage>& Sent, const std::string& BatchName,
                    const std::string& Protocol, const std::vector<TRow>& Rows) {
    for (const TRow& R : Rows) {
        if (R.Skipped) continue;
        const auto Count = std::count_if(Sent.begin(), Sent.end(), [&](const TSimMessage& M) {
            return M.Reference == R.Reference;
        });
        if (!R.Reason.empty()) {
            EXPECT_EQ(Count, 0) << "rejected row sent: " << R.Line;
            continue;
        }
        ASSERT_EQ(Count, 1) << "accepted row not sent exactly once: " << R.Line;
        const TSimMessage& M = *std::find_if(Sent.begin(), Sent.end(), [&](const TSimMessage& S) {
            return S.Reference == R.Reference;
        });
        EXPECT_EQ(M.BatchName, BatchName) << R.Line;
        EXPECT_EQ(M.Protocol, Protocol) << R.Line;
        EXPECT_EQ(M.Address, R.Address) << R.Line;
        EXPECT_EQ(M.MessageType, R.Type) << R.Line;
        EXPECT_EQ(M.Text, R.Text) << R.Line;
    }
}

size_t AcceptedCount(const std::vector<TRow>& Rows) {
    return std::count_if(Rows.begin(), Rows.end(),
                         [](const TRow& R) { return !R.Skipped && R.Reason.empty(); });
}

const std::string kSmsHeader = "Cell No.,Reference,Status";
const std::string kStatusHeader =
    "MessageRequestID,Reference,Status,Status Description,Status Time";
const std::string kReplyHeader =
    "Reply Source,Reply Message,Reply Receive Time,Reference,MessageRequestID";

// Every sample of a metrics file as node_exporter's parser reads it, "name{labels} value" sorted;
// "unparsable" when it fails.
std::string ParsedMetrics(const std::string& Path) {
    ChildProcess Parser(
        {"/usr/bin/python3", "-c",
         "import sys\n"
         "from prometheus_client.parser import text_string_to_metric_families\n"
         "out = []\n"
         "for f in text_string_to_metric_families(open(sys.argv[1]).read()):\n"
         "    for s in f.samples:\n"
         "        labels = ','.join(k + '=' + v for k, v in sorted(s.labels.items()))\n"
         "        out.append('%s{%s} %s %g' % (s.name, labels, f.type, s.value))\n"
         "print('\\n'.join(sorted(out)))\n",
         Path});
    return Parser.Wait() == 0 ? Parser.Stdout() : "unparsable: " + Parser.Stderr();
}

// Bad rows first and in between; quoted text, the "DEF" prefix, a nine-digit number that gains
// its leading 0, a three-column row, a blank line and a line without a comma.
const std::vector<TRow> kSmsRows = {
    Rejected("08200000,R1,TXT,too short", "08200000", "R1", "Cell no. is invalid"),
    Accepted("0820000001,R2,TXT,Hello", "0820000001", "R2", "TXT", "Hello"),
    Rejected("0820000002,R3,DEF", "0820000002", "R3", "Invalid file format. Must have 4 columns"),
    Accepted("820000003,R4,DEF,Hi there", "0820000003", "R4", "DEF", "MessageText=Hi there"),
    Skipped(""),
    Rejected(",R5,TXT,Hi", "", "R5", "Cell no. cannot be empty"),
    Accepted("+27820000004,R6,TXT,\"Hello, world\"", "+27820000004", "R6", "TXT", "Hello, world"),
    Rejected("0820000005,R7,TXT,,extra", "0820000005", "R7", "Message cannot be empty"),
    Skipped("a note without any comma"),
    Accepted("0820000006,R8,TXT", "0820000006", "R8", "TXT", ""),
    Rejected("0820000007,R9", "0820000007", "R9", "Message type cannot be empty"),
};

class Pipeline : public ::testing::Test {
  protected:
    TServiceSettings BaseSettings() {
        TServiceSettings S;
        S.GatewayUrl = Sim.Url();
        S.Username = Sim.Username();
        S.Password = Sim.Password();
        return S;
    }

    void StartService(const TServiceSettings& Settings) {
        Service = std::make_unique<TServiceUnderTest>(Settings);
        ASSERT_TRUE(Service->Start()) << Service->Process().Stderr();
    }

    // Nothing left in the poll directory: every file claimed, and its ".Busy" file and per-file
    // log removed.
    bool PollDirectoryEmpty(const std::string& Protocol = "SMS") const {
        return ListDir(Service->InDir(Protocol)).empty();
    }

    void ExpectCleanStop() {
        EXPECT_EQ(Service->Stop(), 0) << Service->Process().Stderr();
        const std::vector<std::string> Log = LogMessages(ReadFile(Service->ProcessLog()));
        ASSERT_FALSE(Log.empty());
        EXPECT_EQ(Log.front(), "Brova CSV Bulk Messenger Started up.");
        EXPECT_EQ(Log.back(), "Brova CSV Bulk Messenger Shut down.");
        for (const std::string& Line : Log)
            EXPECT_EQ(Line.find("Error"), std::string::npos) << "process log: " << Line;
    }

    size_t ProcessLogCount(const std::string& Message) const {
        const std::vector<std::string> Log = LogMessages(ReadFile(Service->ProcessLog()));
        return std::count(Log.begin(), Log.end(), Message);
    }

    TGatewaySim Sim;
    std::unique_ptr<TServiceUnderTest> Service;
};

TEST_F(Pipeline, SmsFileIsConfirmedWithTheGatewaysIdentifiersAndCleanedUp) {
    TServiceSettings S = BaseSettings();
    // Two parts, so identifiers of the second part must still find their rows.
    S.Split = "1";
    S.MaxMessages = "3";
    StartService(S);
    Service->Drop("SMS", "ABC.20.csv", FileText(kSmsRows));

    const std::string Confirmation = Service->StatusDir("SMS") + "/Confirmation-ABC.CSV";
    ASSERT_TRUE(WaitFor([&] { return PollDirectoryEmpty() && Exists(Confirmation); }, kFileTimeout))
        << "poll directory: " << ListDir(Service->InDir("SMS")).size() << " entries";

    const std::vector<TSimMessage> Sent = Sim.Messages();
    ASSERT_EQ(Sent.size(), AcceptedCount(kSmsRows));
    ExpectSentOnce(Sent, "ABC", "SMS", kSmsRows);
    EXPECT_EQ(ReadFile(Confirmation),
              ExpectedConfirmation(kSmsHeader, kSmsRows, IdsByReference(Sent)));

    EXPECT_EQ(ReadFile(Service->StatusDir("SMS") + "/ABC.CSV"), CrLf({kStatusHeader}));
    EXPECT_EQ(ReadFile(Service->ReplyDir("SMS") + "/ABC.CSV"), CrLf({kReplyHeader}));
    // One logon for the one file.
    EXPECT_EQ(ProcessLogCount("Logging on... "), 1u);
    ExpectCleanStop();
    EXPECT_EQ(ListDir(Service->StatusDir("SMS")),
              (std::vector<std::string>{"ABC.CSV", "Confirmation-ABC.CSV"}));
    EXPECT_EQ(ListDir(Service->ReplyDir("SMS")), std::vector<std::string>{"ABC.CSV"});
}

TEST_F(Pipeline, ResultMailCarriesTheConfirmationAndEverythingIsCleanedUp) {
    TMailSink Mail;
    TServiceSettings S = BaseSettings();
    S.SendConfirmation = true;
    S.SmtpPort = Mail.Port();
    StartService(S);
    const std::string DayBefore = TodayText();
    Service->Drop("SMS", "ABC.20.csv", FileText(kSmsRows));

    ASSERT_TRUE(Mail.WaitForMessages(1, kFileTimeout));
    const std::string Confirmation = Service->StatusDir("SMS") + "/Confirmation-ABC.CSV";
    ASSERT_TRUE(
        WaitFor([&] { return PollDirectoryEmpty() && !Exists(Confirmation); }, kFileTimeout))
        << "left: " << ListDir(Service->InDir("SMS")).size() << " in the poll directory";
    const std::string DayAfter = TodayText();

    const std::vector<TSimMessage> Sent = Sim.Messages();
    ExpectSentOnce(Sent, "ABC", "SMS", kSmsRows);

    ASSERT_EQ(Mail.Messages().size(), 1u);
    const std::string Raw = Mail.Messages()[0];
    EXPECT_EQ(MailHeader(Raw, "X-Mailer"), "Brova Mailer 2.1");
    EXPECT_EQ(MailHeader(Raw, "Subject"), "Bulk file result");
    EXPECT_EQ(MailHeader(Raw, "From"), "\"Brova Sender\" <sender@example.com>");
    EXPECT_EQ(MailHeader(Raw, "To"), "<results@example.com>");

    const std::vector<TMailPart> Parts = MailParts(Raw);
    ASSERT_EQ(Parts.size(), 2u);
    EXPECT_EQ(Parts[0].FileName, "");
    // The claimed file is named as the worker saw it, under its ".Busy" name.
    const std::string From = "submitted from " + Service->InDir("SMS") + "/ABC.20.Busy on ";
    const std::vector<std::string> Body = Lines(Parts[0].Body);
    ASSERT_EQ(Body.size(), 3u) << Parts[0].Body;
    EXPECT_EQ(Body[0], "Please find the result of your file attached.");
    EXPECT_EQ(Body[1], "Kind regards");
    EXPECT_TRUE(Body[2] == From + DayBefore || Body[2] == From + DayAfter) << Body[2];
    EXPECT_EQ(Parts[1].FileName, "Confirmation-ABC.CSV");
    EXPECT_EQ(Parts[1].Body, ExpectedConfirmation(kSmsHeader, kSmsRows, IdsByReference(Sent)));

    // Only the status and reply files stay.
    EXPECT_EQ(ReadFile(Service->StatusDir("SMS") + "/ABC.CSV"), CrLf({kStatusHeader}));
    EXPECT_EQ(ReadFile(Service->ReplyDir("SMS") + "/ABC.CSV"), CrLf({kReplyHeader}));
    ExpectCleanStop();
    EXPECT_EQ(ListDir(Service->StatusDir("SMS")), std::vector<std::string>{"ABC.CSV"});
}

TEST_F(Pipeline, AFileThatCannotBeRenamedIsLoggedOnceAndTheOthersGoOn) {
    TServiceSettings Settings = BaseSettings();
    // NOLINK.csv, and the start's probe of the directory, meet a file system that can neither
    // rename without replacing nor link.
    Settings.Environment = WithFaultShim(
        {"BROVA_SHIM_FAIL=renameat2:EROFS:1:STUCK.csv;renameat2:EINVAL:1:NOLINK.csv;"
         "link:EPERM:1:NOLINK.csv;renameat2:EINVAL:1:claim-probe;link:EPERM:1:claim-probe"});
    TServiceUnderTest Service(Settings);
    Service.Drop("SMS", {{"STUCK.csv", "0820000001,S1,TXT,Hi\r\n"},
                         {"OK.csv", "0820000002,K1,TXT,Hi\r\n"},
                         {"NOLINK.csv", "0820000003,N1,TXT,Hi\r\n"}});
    // A confirmation's temporary that a crash left goes once it is old; a fresh one stays.
    const std::string Left = Service.StatusDir("SMS") + "/.Confirmation-OLD.CSV.gone-1-0.tmp";
    const std::string Fresh = Service.StatusDir("SMS") + "/.Confirmation-NEW.CSV.here-1-0.tmp";
    WriteFile(Left, "left");
    testsupport::AgeFile(Left, 11 * 60);
    WriteFile(Fresh, "fresh");
    ASSERT_TRUE(Service.Start());
    ASSERT_TRUE(WaitFor([&] { return Exists(Service.StatusDir("SMS") + "/Confirmation-OK.CSV"); },
                        kFileTimeout));
    // Ten more ticks or so: the same failure of the same file is not logged again.
    std::this_thread::sleep_for(std::chrono::milliseconds(10 * Settings.PollInterval));
    EXPECT_EQ(Service.Stop(), 0);
    const std::vector<std::string> Log = LogMessages(ReadFile(Service.ProcessLog()));
    EXPECT_EQ(std::count(Log.begin(), Log.end(), "Unable to rename file [Read-only file system]"),
              1);
    EXPECT_EQ(std::count(Log.begin(), Log.end(),
                         "Unable to rename file [This file system can neither rename without "
                         "replacing nor link, so no file can be claimed here safely]"),
              1);
    EXPECT_EQ(std::count(Log.begin(), Log.end(), "Logging on... "), 3);
    EXPECT_EQ(std::count(Log.begin(), Log.end(),
                         "Protocol 1 (SMS) PollDirectory " + Service.InDir("SMS") +
                             " lies on a file system that can neither rename without replacing "
                             "nor link: no file can be claimed from it safely, so none is"),
              1);
    EXPECT_EQ(ListDir(Service.InDir("SMS")), (std::vector<std::string>{"NOLINK.csv", "STUCK.csv"}));
    EXPECT_FALSE(Exists(Left));
    EXPECT_TRUE(Exists(Fresh));
}

// Whoever may drop files could plant links to any file of the machine where the service
// writes or reads, a FIFO or a directory under an input name: none is followed or claimed.
TEST_F(Pipeline, PlantedLinksFifosAndDirectoriesAreNeitherFollowedNorClaimed) {
    TempDir Elsewhere;
    const std::vector<std::string> Targets = {"log", "status", "lock", "journal", "confirmation",
                                              "input"};
    for (const std::string& T : Targets)
        WriteFile(Elsewhere / T, "0820000009,SECRET-" + T + ",TXT,not yours\r\n");
    TServiceSettings S = BaseSettings();
    S.StatusInterval = 1100;
    Service = std::make_unique<TServiceUnderTest>(S);
    const std::string In = Service->InDir("SMS"), Status = Service->StatusDir("SMS");
    const auto Plant = [&](const std::string& Target, const std::string& Link) {
        ASSERT_EQ(symlink((Elsewhere / Target).c_str(), Link.c_str()), 0) << Link;
    };
    Plant("log", In + "/LOGGED.log");
    Plant("status", Status + "/LOGGED.CSV");
    Plant("lock", Status + "/LOCKED.lock");
    Plant("confirmation", Status + "/Confirmation-CONFIRMED.CSV");
    Plant("journal", In + "/GONE.journal");
    Plant("input", In + "/LINKED.csv");
    ASSERT_EQ(mkfifo((In + "/PIPE.csv").c_str(), 0644), 0);
    MakeDirs(In + "/FOLDER.csv");
    // Journals the service never wrote: another program's, cut short, and one of ours without
    // its settings. Neither is written to, and nothing of them is sent.
    const std::string Foreign = "another program's\nhalf a line",
                      Half = "BrovaCSVSender journal 1\n";
    WriteFile(In + "/FOREIGN.journal", Foreign);
    WriteFile(In + "/HALF.journal", Half);
    WriteFile(In + "/HALF.Busy", "0820000004,H1,TXT,Hi\r\n");
    Service->Drop("SMS", {{"LOGGED.csv", "0820000001,L1,TXT,Hi\r\n"},
                          {"LOCKED.csv", "0820000002,K1,TXT,Hi\r\n"},
                          {"CONFIRMED.csv", "0820000003,C1,TXT,Hi\r\n"}});
    ASSERT_TRUE(Service->Start());

    ASSERT_TRUE(WaitFor([&] { return Sim.Messages().size() == 2; }, kFileTimeout))
        << ReadFile(Service->ProcessLog());
    std::vector<std::string> Sent;
    for (const TSimMessage& M : Sim.Messages()) Sent.push_back(M.Reference);
    std::sort(Sent.begin(), Sent.end());
    // A batch name whose lock cannot be had waits unclaimed rather than run unguarded.
    EXPECT_EQ(Sent, (std::vector<std::string>{"C1", "L1"}));
    // The status of the linked status file is kept aside, never written through the link.
    const std::string Kept = "Unable to write 1 line(s) to [" + Status + "/LOGGED.CSV]; kept in [" +
                             Service->Root() + "/service/" +
                             UnwrittenName(Status + "/LOGGED.CSV") + "]";
    EXPECT_TRUE(WaitFor([&] { return ReadFile(Service->ProcessLog()).find(Kept) != std::string::npos; },
                        kFileTimeout));
    // Ten polls or so for the log lines to repeat if they would.
    std::this_thread::sleep_for(2000ms);
    EXPECT_EQ(Service->Stop(), 0);

    for (const std::string& T : Targets)
        EXPECT_EQ(ReadFile(Elsewhere / T), "0820000009,SECRET-" + T + ",TXT,not yours\r\n") << T;
    for (const std::string& Link : {Status + "/LOGGED.CSV", In + "/LINKED.csv",
                                    Status + "/LOCKED.lock", In + "/GONE.journal"})
        EXPECT_EQ(EntryKind(Link), "link") << Link;
    EXPECT_EQ(EntryKind(In + "/PIPE.csv"), "fifo");
    EXPECT_EQ(EntryKind(In + "/FOLDER.csv"), "directory");
    const std::vector<std::string> Log = LogMessages(ReadFile(Service->ProcessLog()));
    for (const auto& [Name, Kind] : std::vector<std::pair<std::string, std::string>>{
             {"LINKED.csv", "a symbolic link"},
             {"PIPE.csv", "not a regular file"},
             {"FOLDER.csv", "a directory"}})
        EXPECT_EQ(std::count(Log.begin(), Log.end(),
                             "File [" + In + "/" + Name + "] is not claimed : it is " + Kind),
                  1)
            << Name;
    EXPECT_EQ(std::count(Log.begin(), Log.end(),
                         "Unable to take up file [" + In +
                             "/GONE.journal] : Is a symbolic link"),
              1);
    EXPECT_EQ(ReadFile(In + "/FOREIGN.journal"), Foreign);
    EXPECT_EQ(ReadFile(In + "/HALF.journal"), Half);
    EXPECT_EQ(std::count(Log.begin(), Log.end(),
                         "Unable to take up file : Journal " + In +
                             "/FOREIGN.journal is not a journal of this service"),
              1);
    EXPECT_EQ(std::count_if(Log.begin(), Log.end(),
                            [&](const std::string& L) {
                                return L.rfind("Unable to take up file : Journal " + In +
                                                   "/HALF.journal lacks the setting ",
                                               0) == 0;
                            }),
              1);
    EXPECT_EQ(std::count(Log.begin(), Log.end(),
                         "Unable to hold the batch name LOCKED for [" + In +
                             "/LOCKED.csv] : Is a symbolic link"),
              1);
    EXPECT_TRUE(Exists(In + "/LOCKED.csv"));
    // The confirmation cannot be saved over the link: the answered file waits, nothing lost.
    EXPECT_NE(ReadFile(In + "/CONFIRMED.log")
                  .find("Cannot create file \"" + Status +
                        "/Confirmation-CONFIRMED.CSV\". Is a symbolic link. Processing goes on "
                        "later."),
              std::string::npos);
    EXPECT_TRUE(Exists(In + "/CONFIRMED.Busy"));
    EXPECT_EQ(EntryKind(Status + "/Confirmation-CONFIRMED.CSV"), "link");
    // The log the worker would have appended to the link is its own, and removed when done.
    EXPECT_EQ(EntryKind(In + "/LOGGED.log"), "missing");
}

TEST_F(Pipeline, FiftyFilesDroppedAtOnceAreAllSentOnceAndConfirmed) {
    constexpr int kFiles = 50;
    TServiceSettings S = BaseSettings();
    S.Split = "1";
    S.MaxMessages = "3";
    StartService(S);

    std::vector<std::string> Batches;
    std::vector<std::vector<TRow>> Rows;
    std::vector<std::pair<std::string, std::string>> Files;
    for (int F = 0; F < kFiles; ++F) {
        char Batch[16];
        std::snprintf(Batch, sizeof Batch, "LOAD%02d", F);
        const std::string B = Batch;
        std::vector<TRow> R;
        if (F % 3 == 0)
            R.push_back(
                Rejected("12345," + B + "-X,TXT,bad", "12345", B + "-X", "Cell no. is invalid"));
        for (int N = 1; N <= 4; ++N) {
            char Cell[16];
            std::snprintf(Cell, sizeof Cell, "0821%02d%04d", F, N);
            const std::string Ref = B + "-R" + std::to_string(N);
            const std::string Text = "Message " + std::to_string(N) + " of " + B;
            R.push_back(
                Accepted(std::string(Cell) + "," + Ref + ",TXT," + Text, Cell, Ref, "TXT", Text));
            if (N == 2 && F % 2 == 0)
                R.push_back(Rejected("0820000000," + B + "-Y,TXT,,x", "0820000000", B + "-Y",
                                     "Message cannot be empty"));
        }
        Batches.push_back(B);
        Rows.push_back(R);
        Files.emplace_back(B + ".1.csv", FileText(R));
    }
    Service->Drop("SMS", Files);

    auto AllConfirmed = [&] {
        if (!PollDirectoryEmpty()) return false;
        for (const std::string& B : Batches)
            if (!Exists(Service->StatusDir("SMS") + "/Confirmation-" + B + ".CSV")) return false;
        return true;
    };
    ASSERT_TRUE(WaitFor(AllConfirmed, kLoadTimeout, 50ms))
        << ListDir(Service->InDir("SMS")).size() << " entries left in the poll directory";

    const std::vector<TSimMessage> Sent = Sim.Messages();
    EXPECT_EQ(Sent.size(), size_t(kFiles) * 4);
    const std::map<std::string, int64_t> Ids = IdsByReference(Sent);
    std::vector<std::string> ExpectedStatusDir;
    for (int F = 0; F < kFiles; ++F) {
        SCOPED_TRACE(Batches[F]);
        ExpectSentOnce(Sent, Batches[F], "SMS", Rows[F]);
        EXPECT_EQ(ReadFile(Service->StatusDir("SMS") + "/Confirmation-" + Batches[F] + ".CSV"),
                  ExpectedConfirmation(kSmsHeader, Rows[F], Ids));
        EXPECT_EQ(ReadFile(Service->StatusDir("SMS") + "/" + Batches[F] + ".CSV"),
                  CrLf({kStatusHeader}));
        EXPECT_EQ(ReadFile(Service->ReplyDir("SMS") + "/" + Batches[F] + ".CSV"),
                  CrLf({kReplyHeader}));
        ExpectedStatusDir.push_back(Batches[F] + ".CSV");
        ExpectedStatusDir.push_back("Confirmation-" + Batches[F] + ".CSV");
    }
    std::sort(ExpectedStatusDir.begin(), ExpectedStatusDir.end());
    EXPECT_EQ(ListDir(Service->ReplyDir("SMS")).size(), size_t(kFiles));
    // Every file was claimed once: one logon each.
    EXPECT_EQ(ProcessLogCount("Logging on... "), size_t(kFiles));
    ExpectCleanStop();
    EXPECT_EQ(ListDir(Service->StatusDir("SMS")), ExpectedStatusDir);
}

// A status line "ReqID,Reference,2,Delivered,<time>" or a reply line
// "Originator,Reply to <Reference>,<time>,Reference,ReqID" with the time left out.
std::string WithoutTime(const std::string& Line, size_t TimeField) {
    std::vector<std::string> Fields(1);
    for (char C : Line) {
        if (C == ',')
            Fields.emplace_back();
        else
            Fields.back() += C;
    }
    std::string Out;
    for (size_t I = 0; I < Fields.size(); ++I) {
        if (I) Out += ",";
        Out += I == TimeField ? (Fields[I].empty() ? "<no time>" : "<time>") : Fields[I];
    }
    return Out;
}

// Under the notify protocol and with a metrics file: the state report and the metrics count what
// went to the gateway and what came back.
TEST_F(Pipeline, SmsFaxAndEmailEntriesRunTogetherAndCollectStatusesAndReplies) {
    const std::map<std::string, std::vector<TRow>> Files = {
        {"SMS",
         {Accepted("0820000001,S-1,TXT,One", "0820000001", "S-1", "TXT", "One"),
          Rejected("0820000002,S-2,TXT, ,more", "0820000002", "S-2", "Message cannot be empty"),
          Accepted("0830000003,S-3,TXT,Three", "0830000003", "S-3", "TXT", "Three"),
          Accepted("0830000004,S-4,TXT,Four", "0830000004", "S-4", "TXT", "Four"),
          Accepted("0830000005,S-5,TXT,Five", "0830000005", "S-5", "TXT", "Five"),
          Accepted("0830000006,S-6,TXT,Six", "0830000006", "S-6", "TXT", "Six"),
          Accepted("0830000007,S-7,TXT,Seven", "0830000007", "S-7", "TXT", "Seven")}},
        {"FAX",
         {Rejected(",F-1,TXT,no number", "", "F-1", "Fax no. cannot be empty"),
          Accepted("0111234567,F-2,TXT,Invoice 1001", "0111234567", "F-2", "TXT", "Invoice 1001"),
          Rejected("011123,F-3,TXT,short", "011123", "F-3", "Fax no. is invalid"),
          Accepted("0111234568,F-4,DEF,Invoice 1002", "0111234568", "F-4", "DEF",
                   "MessageText=Invoice 1002")}},
        {"EMAIL",
         {Accepted("ann@example.com,E-1,TXT,Welcome", "ann@example.com", "E-1", "TXT", "Welcome"),
          Rejected("not-an-address,E-2,TXT,Hi", "not-an-address", "E-2",
                   "Email Address is invalid"),
          Accepted("bob@example.com,E-3,TXT,Hello", "bob@example.com", "E-3", "TXT", "Hello")}},
    };
    const std::map<std::string, std::string> Headers = {
        {"SMS", kSmsHeader},
        {"FAX", "Fax No.,Reference,Status"},
        {"EMAIL", "Email Address,Reference,Status"}};
    // The batch name is the protocol's first letter.
    auto Batch = [](const std::string& Protocol) { return Protocol.substr(0, 1) + "1"; };

    TempDir Metrics;
    const std::string MetricsFile = Metrics / "brova-csv-sender.prom";
    NotifyListener Manager("@brova-pipeline-" + std::to_string(getpid()));
    TServiceSettings S = BaseSettings();
    S.Protocols = {"SMS", "FAX", "EMAIL"};
    S.StatusInterval = 1200;
    S.ReplyInterval = 1200;
    S.Environment = {"NOTIFY_SOCKET=" + Manager.Address(), "BROVA_METRICS_FILE=" + MetricsFile};
    StartService(S);
    for (const auto& [Protocol, Rows] : Files)
        Service->Drop(Protocol, Batch(Protocol) + ".csv", FileText(Rows));

    size_t Accepted = 0;
    for (const auto& Entry : Files) Accepted += AcceptedCount(Entry.second);
    ASSERT_TRUE(WaitFor([&] { return Sim.Messages().size() == Accepted; }, kFileTimeout))
        << Sim.MessagesCsv() << ReadFile(Service->ProcessLog());
    const std::vector<TSimMessage> Sent = Sim.Messages();

    // What collection must write: one status line per message, and a reply line for the
    // messages the simulator answers (every third it received, from the first).
    std::map<std::string, std::vector<std::string>> StatusLines, ReplyLines;
    for (size_t I = 0; I < Sent.size(); ++I) {
        const TSimMessage& M = Sent[I];
        const std::string Id = std::to_string(M.ReqID);
        StatusLines[M.Protocol].push_back(Id + "," + M.Reference + ",2,Delivered,<time>");
        if (I % 3 == 0)
            ReplyLines[M.Protocol].push_back(M.Address + ",Reply to " + M.Reference + ",<time>," +
                                             M.Reference + "," + Id);
    }
    auto Collected = [&](const std::string& Path, size_t Count) {
        return Lines(ReadFile(Path)).size() == 1 + Count;
    };
    for (const auto& [Protocol, Rows] : Files) {
        SCOPED_TRACE(Protocol);
        const std::string StatusFile =
            Service->StatusDir(Protocol) + "/" + Batch(Protocol) + ".CSV";
        const std::string ReplyFile = Service->ReplyDir(Protocol) + "/" + Batch(Protocol) + ".CSV";
        EXPECT_TRUE(WaitFor(
            [&] {
                return PollDirectoryEmpty(Protocol) &&
                       Collected(StatusFile, StatusLines[Protocol].size()) &&
                       Collected(ReplyFile, ReplyLines[Protocol].size());
            },
            kFileTimeout));

        ExpectSentOnce(Sent, Batch(Protocol), Protocol, Rows);
        EXPECT_EQ(
            ReadFile(Service->StatusDir(Protocol) + "/Confirmation-" + Batch(Protocol) + ".CSV"),
            ExpectedConfirmation(Headers.at(Protocol), Rows, IdsByReference(Sent)));

        std::vector<std::string> Status = Lines(ReadFile(StatusFile));
        ASSERT_FALSE(Status.empty());
        EXPECT_EQ(Status[0], kStatusHeader);
        for (size_t I = 1; I < Status.size(); ++I) Status[I] = WithoutTime(Status[I], 4);
        Status.erase(Status.begin());
        EXPECT_EQ(Status, StatusLines[Protocol]);

        std::vector<std::string> Replies = Lines(ReadFile(ReplyFile));
        ASSERT_FALSE(Replies.empty());
        EXPECT_EQ(Replies[0], kReplyHeader);
        for (size_t I = 1; I < Replies.size(); ++I) Replies[I] = WithoutTime(Replies[I], 2);
        Replies.erase(Replies.begin());
        EXPECT_EQ(Replies, ReplyLines[Protocol]);
    }
    EXPECT_EQ(ProcessLogCount("Logging on... "), Files.size());

    // 10 rows sent, 4 rejected, once every worker has ended.
    const std::string Expected =
        "STATUS=Running; 0 files in flight; 10 rows sent, 4 rejected since start; last poll "
        "<time>; gateway answering";
    std::string Last;
    EXPECT_TRUE(WaitFor(
        [&] {
            for (std::string M = Manager.Receive(0ms); !M.empty(); M = Manager.Receive(0ms))
                if (M.find("STATUS=Running") != std::string::npos) Last = WithoutPollTime(M);
            return Last == Expected;
        },
        kFileTimeout))
        << Last;
    ExpectCleanStop();

    // Written at every tick and at the stop, readable by node_exporter's user.
    size_t Replied = 0, Statuses = 0;
    for (const auto& Entry : ReplyLines) Replied += Entry.second.size();
    for (const auto& Entry : StatusLines) Statuses += Entry.second.size();
    std::string Want;
    for (const std::string& Sample : std::vector<std::string>{
             "files_claimed_total{} counter 3",
             "files_in_flight{} gauge 0",
             "files_resumed_total{} counter 0",
             "gateway_answering{} gauge 1",
             "gateway_errors_total{} counter 0",
             "oldest_claimed_file_age_seconds{} gauge 0",
             "parts_retried_total{} counter 0",
             "parts_sent_total{} counter 3",
             "replies_appended_total{} counter " + std::to_string(Replied),
             "rows_rejected_total{} counter 4",
             "rows_sent_total{} counter 10",
             "runs_ended_total{outcome=done} counter 3",
             "runs_ended_total{outcome=left_failed} counter 0",
             "runs_ended_total{outcome=mail_owed} counter 0",
             "runs_ended_total{outcome=retry_later} counter 0",
             "runs_ended_total{outcome=stopped} counter 0",
             "statuses_appended_total{} counter " + std::to_string(Statuses),
             "unwritten_lines_total{} counter 0",
         })
        Want += "brova_csv_sender_" + Sample + "\n";
    EXPECT_EQ(ParsedMetrics(MetricsFile), Want);
    struct stat St {};
    ASSERT_EQ(stat(MetricsFile.c_str(), &St), 0);
    EXPECT_EQ(St.st_mode & 0777, 0644u);
    EXPECT_EQ(ListDir(Metrics.Path()), std::vector<std::string>{"brova-csv-sender.prom"});
}

}  // namespace
