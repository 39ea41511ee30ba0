// The real executable, copied into a fresh directory with or without its configuration:
// start-up and shut-down logs, the state reports to the service manager, control signals,
// a start outside the service manager, and installing and removing the unit.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "tests/GatewaySim.h"
#include "tests/MailSink.h"
#include "tests/NotifyListener.h"
#include "tests/TestSupport.h"

namespace {

using namespace std::chrono_literals;
using testsupport::AgeFile;
using testsupport::BuildDir;
using testsupport::ChildProcess;
using testsupport::Exists;
using testsupport::Lines;
using testsupport::ListDir;
using testsupport::MakeDirs;
using testsupport::NotifyListener;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::TGatewaySim;
using testsupport::TMailSink;
using testsupport::TSimRequest;
using testsupport::TTestCertificates;
using testsupport::WaitFor;
using testsupport::WithoutPollTime;
using testsupport::WriteFile;

// A port on 127.0.0.1 that nothing listens on.
int UnusedPort() {
    int Fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(Fd, reinterpret_cast<sockaddr*>(&A), sizeof A);
    socklen_t Len = sizeof A;
    getsockname(Fd, reinterpret_cast<sockaddr*>(&A), &Len);
    close(Fd);
    return ntohs(A.sin_port);
}

// The Running state of a service that sent nothing, with the gateway's state.
std::string RunningWithoutWork(const std::string& Gateway) {
    return "STATUS=Running; 0 files in flight; 0 rows sent, 0 rejected since start; last poll "
           "<time>; gateway " +
           Gateway;
}

// The next state a service reports, passing over the reports of its figures alone.
std::string NextState(NotifyListener& Manager) {
    for (;;) {
        const std::string M = Manager.Receive();
        if (M.rfind("STATUS=Running; ", 0) != 0) return M;
    }
}

// A TCP listener on 127.0.0.1 that takes one connection and drops it when told.
class TListener {
  public:
    TListener() : Fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in A{};
        A.sin_family = AF_INET;
        A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t Len = sizeof A;
        if (bind(Fd, reinterpret_cast<sockaddr*>(&A), sizeof A) != 0 || listen(Fd, 4) != 0 ||
            getsockname(Fd, reinterpret_cast<sockaddr*>(&A), &Len) != 0)
            throw std::runtime_error("cannot listen");
        PortNo = ntohs(A.sin_port);
    }
    ~TListener() {
        Hangup();
        if (Fd >= 0) close(Fd);
    }
    int Port() const { return PortNo; }
    // Waits for one connection; afterwards further connections are refused.
    bool AcceptOneAndStopListening(int TimeoutMs = kAcceptTimeoutMs) {
        pollfd P{Fd, POLLIN, 0};
        if (poll(&P, 1, TimeoutMs) != 1) return false;
        Conn = accept4(Fd, nullptr, nullptr, SOCK_CLOEXEC);
        close(Fd);
        Fd = -1;
        return Conn >= 0;
    }
    void Hangup() {
        if (Conn >= 0) close(Conn);
        Conn = -1;
    }

  private:
    static constexpr int kAcceptTimeoutMs = 20000;
    int Fd;
    int Conn = -1;
    int PortNo = 0;
};

class HostProcess : public ::testing::Test {
  protected:
    HostProcess() { std::filesystem::copy_file(BuildDir() + "/BrovaCSVSender", Exe); }

    // Port: the gateway's; Protocols: the content of the Protocols element. Every value the
    // service reads is there and sound.
    void WriteConfig(int Port = UnusedPort(), const std::string& Protocols = "",
                     int StatusInterval = 60000) {
        WriteFile(Dir / "BrovaCSVSenderConfig.xml",
                  "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                  "<BulkCSVSender>\n"
                  "  <OperationalTime Enabled=\"false\" StartTime=\"08:00\" EndTime=\"17:00\"/>\n"
                  "  <Vexo URL=\"http://127.0.0.1:" +
                      std::to_string(Port) +
                      "/csp/vexo/Vexo.Webservice.cls\" Username=\"user\" Password=\"pass\"/>\n"
                      "  <Settings PollInterval=\"200\" StatusInterval=\"" +
                      std::to_string(StatusInterval) +
                      "\" ReplyInterval=\"60000\" Priority=\"1\">\n"
                      "    <Mail SendConfirmation=\"false\"/>\n"
                      "    <Protocols>" +
                      Protocols +
                      "</Protocols>\n"
                      "    <Submissions Split=\"1\" MaxMessages=\"100\"/>\n"
                      "  </Settings>\n"
                      "</BulkCSVSender>\n");
    }

    ChildProcess::Options Env(std::vector<std::string> Extra = {}) const {
        ChildProcess::Options O;
        O.env = std::move(Extra);
        O.unset_env = {"NOTIFY_SOCKET", "BROVA_UNIT_DIR", "WATCHDOG_USEC", "WATCHDOG_PID"};
        O.cwd = Dir.Path();
        return O;
    }

    // The messages of the process log; every line must carry its time stamp.
    std::vector<std::string> LogMessages() const {
        static const std::regex Line(R"(^\d{4}/\d{2}/\d{2}( \d{2}:\d{2}:\d{2})? : (.*)$)");
        const std::string Text = ReadFile(LogPath);
        std::vector<std::string> Messages;
        for (const std::string& L : Lines(Text)) {
            std::smatch M;
            EXPECT_TRUE(std::regex_match(L, M, Line)) << "bad log line: " << L;
            Messages.push_back(M.size() > 2 ? M[2].str() : L);
        }
        if (!Text.empty()) {
            EXPECT_EQ(Text.substr(Text.size() - 2), "\r\n");
        }
        return Messages;
    }

    bool LogHas(const std::string& Message) const {
        return ReadFile(LogPath).find(" : " + Message + "\r\n") != std::string::npos;
    }

    TempDir Dir;
    std::string Exe = Dir / "BrovaCSVSender";
    std::string LogPath = Dir / "BrovaCSVSender.Log";
};

TEST_F(HostProcess, ConsoleStartWithoutConfigurationFailsWithTwoLogLines) {
    ChildProcess P({Exe, "/CONSOLE"}, Env());
    const int Status = P.Wait();
    EXPECT_NE(Status, 0);
    EXPECT_NE(Status, -1);
    EXPECT_EQ(LogMessages(),
              (std::vector<std::string>{
                  "Brova CSV Bulk Messenger Started up.",
                  "Starting up exception: (DtaMdl Startup Error : Config file does not exist)"}));
    EXPECT_NE(
        P.Stderr().find(
            "svcBrovaCSVSender: Service failed on start: Error During Creation of DataModule\n"),
        std::string::npos)
        << P.Stderr();
}

TEST_F(HostProcess, ConsoleRunShutsDownOnceOnSigtermAndOnSigint) {
    WriteConfig();
    for (int Signal : {SIGTERM, SIGINT}) {
        unlink(LogPath.c_str());
        ChildProcess P({Exe, "/console"}, Env());
        ASSERT_TRUE(WaitFor([&] { return LogHas("Brova CSV Bulk Messenger Started up."); }));
        P.Signal(Signal);
        EXPECT_EQ(P.Wait(), 0) << P.Stderr();
        EXPECT_EQ(LogMessages(), (std::vector<std::string>{"Brova CSV Bulk Messenger Started up.",
                                                           "Brova CSV Bulk Messenger Shut down."}));
    }
}

TEST_F(HostProcess, UnderTheServiceManagerReportsEveryStateAndFollowsTheSignals) {
    // A gateway that takes the first poll's logon and answers only when the test lets it.
    TListener Gateway;
    const std::string In = Dir / "in";
    for (const std::string& Made : {In, Dir / "status", Dir / "replies"}) MakeDirs(Made);
    WriteFile(In + "/ABC.csv", "0821234567,R1,SMS,Hello\r\n");
    AgeFile(In + "/ABC.csv", 10);
    WriteConfig(Gateway.Port(), "<Protocol Name=\"SMS\" Enabled=\"true\" PollDirectory=\"" + In +
                                    "\" PollFileType=\"*.csv\" StatusDirectory=\"" +
                                    (Dir / "status") + "\" ReplyDirectory=\"" +
                                    (Dir / "replies") + "\"/>");
    NotifyListener Manager(Dir / "notify");
    ChildProcess P({Exe}, Env({"NOTIFY_SOCKET=" + Manager.Address()}));
    EXPECT_EQ(Manager.Receive(), "STATUS=Start pending");
    // Ready waits for the start-up, which ends with the first poll and its logon.
    ASSERT_TRUE(Gateway.AcceptOneAndStopListening());
    EXPECT_TRUE(LogHas("Logging on... "));
    EXPECT_EQ(Manager.Receive(200ms), "");
    Gateway.Hangup();
    // The figures come with the state: the logon failed, so the gateway is not answering.
    EXPECT_EQ(WithoutPollTime(Manager.Receive()),
              "READY=1\n" + RunningWithoutWork("not answering"));
    const std::vector<std::string> First = LogMessages();
    ASSERT_GE(First.size(), 3u);
    EXPECT_EQ(First[0], "Brova CSV Bulk Messenger Started up.");
    EXPECT_EQ(First[1], "Logging on... ");
    EXPECT_EQ(First[2].rfind("Error polling : ", 0), 0u) << First[2];

    P.Signal(SIGTSTP);
    EXPECT_EQ(NextState(Manager), "STATUS=Pause pending");
    EXPECT_EQ(Manager.Receive(), "STATUS=Paused");
    P.Signal(SIGHUP);  // ignored: the configuration is read only at start
    P.Signal(SIGCONT);
    EXPECT_EQ(Manager.Receive(), "STATUS=Continue pending");
    EXPECT_EQ(WithoutPollTime(Manager.Receive()), RunningWithoutWork("not answering"));
    EXPECT_TRUE(P.Running());

    P.Signal(SIGTERM);
    EXPECT_EQ(NextState(Manager), "STOPPING=1\nSTATUS=Stop pending");
    EXPECT_EQ(Manager.Receive(), "STATUS=Stopped");
    EXPECT_EQ(P.Wait(), 0);
    EXPECT_EQ(Manager.Receive(200ms), "");
    // Later polls find the gateway gone and keep the file for the next.
    const std::vector<std::string> All = LogMessages();
    EXPECT_EQ(All.back(), "Brova CSV Bulk Messenger Shut down.");
    for (size_t I = 1; I + 1 < All.size(); ++I)
        EXPECT_EQ(All[I].rfind(I % 2 ? "Logging on... " : "Error polling : ", 0), 0u) << All[I];
    EXPECT_EQ(ListDir(In), std::vector<std::string>{"ABC.csv"});
}

// Under a watchdog of one second: pings every half second at the latest while a status tick
// waits four seconds on the gateway, and none once the service thread hangs (a test build
// that hangs on SIGUSR1).
TEST_F(HostProcess, WatchdogPingsWhileTheServiceThreadWaitsAndNeverForAHungOne) {
    using TSteady = std::chrono::steady_clock;
    std::filesystem::copy_file(BuildDir() + "/BrovaCSVSender-hang", Exe,
                               std::filesystem::copy_options::overwrite_existing);
    TGatewaySim Sim("");
    Sim.SetOSStatus(
        "<VexoMessageStatusList><MsgStat StatTime=\"t\" StatText=\"Delivered\" Status=\"2\">"
        "<MsgIdent MsgID=\"7\" ReqID=\"7\" Ref=\"R7\" Prot=\"SMS\" Rcpt=\"0821234567\" "
        "ClientApp=\"ABC\"/></MsgStat></VexoMessageStatusList>");
    Sim.Fault("GetOSStatus", 1, "delay", 4000);
    WriteConfig(Sim.Port(), "", 1001);
    NotifyListener Manager(Dir / "notify");
    ChildProcess P({Exe}, Env({"NOTIFY_SOCKET=" + Manager.Address(), "WATCHDOG_USEC=1000000"}));

    std::vector<TSteady::time_point> Pings;
    std::vector<std::string> Others;
    const auto Collect = [&](TSteady::duration For, const std::function<bool()>& Done) {
        const auto Until = TSteady::now() + For;
        while (TSteady::now() < Until && !Done()) {
            const std::string M = Manager.Receive(20ms);
            if (M == "WATCHDOG=1")
                Pings.push_back(TSteady::now());
            else if (!M.empty() && M.rfind("STATUS=Running; ", 0) != 0)
                Others.push_back(M);
        }
    };
    const auto IsReady = [](const std::string& M) { return M.rfind("READY=1\n", 0) == 0; };
    Collect(20s, [&] { return !Others.empty() && IsReady(Others.back()); });
    ASSERT_EQ(Others.size(), 2u);
    EXPECT_EQ(Others[0], "STATUS=Start pending");
    EXPECT_EQ(WithoutPollTime(Others[1]), "READY=1\n" + RunningWithoutWork("not called yet"));
    const auto Ready = TSteady::now();
    Pings.clear();
    // The status line lands beside the executable once the slow call has answered. The file is
    // made a moment before its line is written in it: the line is waited for, not the file.
    Collect(20s, [&] { return !ReadFile(Dir / "ABC.CSV").empty(); });
    const auto Answered = TSteady::now();
    EXPECT_EQ(ReadFile(Dir / "ABC.CSV"), "7,R7,2,Delivered,t\r\n");
    ASSERT_GE(Answered - Ready, 4s);
    ASSERT_FALSE(Pings.empty());
    EXPECT_LE(Pings.front() - Ready, 500ms);
    for (size_t I = 1; I < Pings.size(); ++I)
        EXPECT_LE(Pings[I] - Pings[I - 1], 500ms) << "gap before ping " << I;
    EXPECT_LE(Answered - Pings.back(), 500ms);

    P.Signal(SIGUSR1);
    Collect(1500ms, [] { return false; });
    Pings.clear();
    Collect(3s, [] { return false; });
    EXPECT_TRUE(Pings.empty()) << Pings.size() << " pings from a hung service";
    EXPECT_TRUE(P.Running());
    EXPECT_EQ(Others.size(), 2u);
}

// /CHECK and /VALIDATE: the configuration and input files looked at before anything is sent.
TEST_F(HostProcess, CheckReportsOfflineWhatWouldFailAndTheStartUpLogsTheSame) {
    TListener Gateway;
    // The shipped sample, its directories moved here: nothing in it would fail.
    std::string Sample = ReadFile(testsupport::SourceDir() + "/packaging/BrovaCSVSenderConfig.xml");
    const std::string Data = Dir / "data";
    for (size_t At; (At = Sample.find("/var/lib/brova")) != std::string::npos;)
        Sample.replace(At, 14, Data);
    Sample.replace(Sample.find("127.0.0.1:8080"), 14,
                   "127.0.0.1:" + std::to_string(Gateway.Port()));
    // The sample's password is left for the operator to fill in.
    Sample.replace(Sample.find("Password=\"\""), 11, "Password=\"pw\"");
    for (const char* Channel : {"SMS", "FAX", "EMAIL"})
        for (const char* Sub : {"/In", "/Status", "/Reply"}) MakeDirs(Data + "/" + Channel + Sub);
    const std::string Config = Dir / "BrovaCSVSenderConfig.xml";
    WriteFile(Config, Sample);
    ChildProcess Sound({Exe, "/CHECK"}, Env());
    EXPECT_EQ(Sound.Wait(), 0);
    EXPECT_EQ(Sound.Stdout(), "Nothing in " + Config + " would fail.\n");

    // A file read as the worker reads it: the entry whose poll directory holds it, or the one
    // named; the rejected rows as the confirmation lists them.
    struct TValidated {
        int Status;
        std::string Out, Err;
    };
    const auto Validate = [&](std::vector<std::string> Args) {
        Args.insert(Args.begin(), {Exe, "/VALIDATE"});
        ChildProcess P(Args, Env());
        const int Status = P.Wait();
        return TValidated{Status, P.Stdout(), P.Stderr()};
    };
    const std::string SmsFile = Data + "/SMS/In/ABC.20.csv";
    WriteFile(SmsFile,
              "0821234567,R1,TXT,Hello\r\n08200000,R2,TXT,short\r\n\r\n821234568,R3,DEF,Hi\r\n"
              "a note\r\n0820000004,R4,TXT,,more\r\n");
    TValidated V = Validate({SmsFile});
    EXPECT_EQ(V.Status, 1);
    EXPECT_EQ(V.Out,
              "08200000,R2,\"Cell no. is invalid\"\n0820000004,R4,\"Message cannot be empty\"\n"
              "4 rows: 2 accepted, 2 rejected\n");
    EXPECT_EQ(V.Err, "");
    const std::string FaxFile = Dir / "invoices.csv";
    WriteFile(FaxFile, "0111234567,F1,TXT,Invoice 1001\r\n");
    V = Validate({FaxFile, "fax"});
    EXPECT_EQ(V.Status, 0);
    EXPECT_EQ(V.Out, "1 row: 1 accepted, 0 rejected\n");
    V = Validate({FaxFile});
    EXPECT_EQ(V.Status, 2);
    EXPECT_EQ(V.Out, "");
    EXPECT_EQ(V.Err, "Brova CSV Sender: No Protocol entry has the directory of " + FaxFile +
                         " as its PollDirectory\n");
    V = Validate({Dir / "missing.csv", "SMS"});
    EXPECT_EQ(V.Status, 2);
    EXPECT_EQ(V.Err, "Brova CSV Sender: Cannot read " + Dir / "missing.csv" +
                         ": No such file or directory\n");
    EXPECT_EQ(Validate({SmsFile, "PAGER"}).Err,
              "Brova CSV Sender: No Protocol entry is named PAGER\n");
    EXPECT_EQ(ListDir(Data + "/SMS/In"), std::vector<std::string>{"ABC.20.csv"});

    Sample.erase(Sample.find(" Priority=\"1\""), 13);
    Sample.erase(Sample.find("Split=\"1\" "), 10);
    WriteFile(Config, Sample);
    const std::string Findings =
        "Settings Priority is absent: every row will be rejected\n"
        "Submissions Split is absent: every file of two or more messages fails\n";
    ChildProcess Check({Exe, "/check"}, Env());
    EXPECT_EQ(Check.Wait(), 1);
    EXPECT_EQ(Check.Stdout(), Findings);
    EXPECT_EQ(Check.Stderr(), "");
    // Without a Priority every row is rejected, as the finding says.
    V = Validate({SmsFile});
    EXPECT_EQ(V.Status, 1);
    EXPECT_EQ(Lines(V.Out).back(), "4 rows: 0 accepted, 4 rejected");
    // Offline: no connection, no process log, nothing moved, claimed or written.
    EXPECT_FALSE(Gateway.AcceptOneAndStopListening(0));
    EXPECT_EQ(ListDir(Dir.Path()),
              (std::vector<std::string>{"BrovaCSVSender", "BrovaCSVSenderConfig.xml", "data",
                                        "invoices.csv"}));
    EXPECT_EQ(ListDir(Data + "/SMS/In"), std::vector<std::string>{"ABC.20.csv"});
    EXPECT_EQ(ListDir(Data + "/SMS/Status"), std::vector<std::string>{});
    unlink(SmsFile.c_str());

    // The service logs the same findings right after its start, and runs as before.
    ChildProcess Service({Exe, "/CONSOLE"}, Env());
    ASSERT_TRUE(WaitFor([&] {
        return LogHas("Submissions Split is absent: every file of two or more messages fails");
    }));
    Service.Signal(SIGTERM);
    EXPECT_EQ(Service.Wait(), 0);
    EXPECT_EQ(LogMessages(),
              (std::vector<std::string>{
                  "Brova CSV Bulk Messenger Started up.",
                  "Settings Priority is absent: every row will be rejected",
                  "Submissions Split is absent: every file of two or more messages fails",
                  "Brova CSV Bulk Messenger Shut down."}));

    // Files left by a run as another user (root, before an upgrade) that this user cannot use
    // as the service would: each is named. A dropped file need only be readable. As root, the
    // check runs as nobody over a tree that is nobody's.
    const std::vector<std::pair<std::string, mode_t>> Left = {
        {Data + "/SMS/In/DROP.csv", 0444},
        {Data + "/SMS/In/OLD.20.Busy", 0},
        {Data + "/SMS/In/OLD.20.journal", 0444},
        {Data + "/FAX/Status/OLD.CSV", 0444},
        {Dir / "Unwritten-X.CSV", 0444}};
    for (const auto& [Path, Mode] : Left) {
        WriteFile(Path, "x\n");
        chmod(Path.c_str(), Mode);
    }
    std::vector<std::string> AsUser = {Exe, "/CHECK"};
    if (geteuid() == 0) {
        ASSERT_EQ(std::system(("chown -R 65534:65534 " + Dir.Path()).c_str()), 0);
        AsUser.insert(AsUser.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                       "--clear-groups", "--"});
    }
    ChildProcess Handover(AsUser, Env());
    EXPECT_EQ(Handover.Wait(), 1);
    const std::string Reach =
        "the service cannot go on with it until it is handed over to the "
        "service's user\n";
    EXPECT_EQ(
        Handover.Stdout(),
        "The state directory " + Dir.Path() + "/ holds \"Unwritten-X.CSV\", which this " +
            "user cannot read and write: " + Reach +
            "Settings Priority is absent: every row will be rejected\n" + "Protocol 1 (SMS) " +
            "PollDirectory " + Data + "/SMS/In holds \"OLD.20.Busy\", which this user " +
            "cannot read: " + Reach + "Protocol 1 (SMS) PollDirectory " + Data +
            "/SMS/In holds \"OLD.20.journal\", which this user cannot read and write: " + Reach +
            "Protocol 2 (FAX) StatusDirectory " + Data + "/FAX/Status holds " +
            "\"OLD.CSV\", which this user cannot read and write: " + Reach +
            "Submissions Split is absent: every file of two or more messages fails\n");
    for (const auto& Entry : Left) unlink(Entry.first.c_str());

    // A poll directory over the service's own output would send it again and again: a finding,
    // and no start, with the reason in the start-up log and the system log.
    const auto Replace = [&](const std::string& From, const std::string& To) {
        Sample.replace(Sample.find(From), From.size(), To);
    };
    Replace("PollDirectory=\"" + Data + "/SMS/In\"", "PollDirectory=\"" + Data + "/SMS/Status/\"");
    Replace("Name=\"EMAIL\" Enabled=\"false\"", "Name=\"EMAIL\" Enabled=\"true\"");
    Replace("PollDirectory=\"" + Data + "/EMAIL/In\"", "PollDirectory=\"" + Data + "/EMAIL\"");
    WriteFile(Config, Sample);
    const std::string Consequence =
        ": the service would take its own output for files to send, so it does not start";
    const std::vector<std::string> Overlaps = {
        "Protocol 1 (SMS) PollDirectory " + Data + "/SMS/Status/ is the StatusDirectory of " +
            "Protocol 1 (SMS)" + Consequence,
        "Protocol 3 (EMAIL) PollDirectory " + Data + "/EMAIL contains the StatusDirectory of " +
            "Protocol 3 (EMAIL)" + Consequence,
        "Protocol 3 (EMAIL) PollDirectory " + Data + "/EMAIL contains the ReplyDirectory of " +
            "Protocol 3 (EMAIL)" + Consequence};
    std::string Expected = Findings;
    for (const std::string& Overlap : Overlaps) Expected += Overlap + "\n";
    ChildProcess Overlapping({Exe, "/CHECK"}, Env());
    EXPECT_EQ(Overlapping.Wait(), 1);
    EXPECT_EQ(Overlapping.Stdout(), Expected);
    unlink(LogPath.c_str());
    ChildProcess Refused({Exe, "/CONSOLE"}, Env());
    EXPECT_NE(Refused.Wait(), 0);
    std::vector<std::string> Logged = {"Brova CSV Bulk Messenger Started up.",
                                       "Settings Priority is absent: every row will be rejected",
                                       "Submissions Split is absent: every file of two or more "
                                       "messages fails"};
    Logged.insert(Logged.end(), Overlaps.begin(), Overlaps.end());
    Logged.push_back("Starting up exception: (DtaMdl Startup Error : " + Overlaps[0] + ")");
    EXPECT_EQ(LogMessages(), Logged);
    for (const std::string& Overlap : Overlaps)
        EXPECT_NE(Refused.Stderr().find("svcBrovaCSVSender: " + Overlap + "\n"), std::string::npos)
            << Refused.Stderr();
    EXPECT_EQ(ListDir(Data + "/SMS/Status"), std::vector<std::string>{});
}

// /CHECK /ONLINE against the simulator behind https with a private CA and a mail relay that
// requires STARTTLS and AUTH: a Login and a session without a message, each failure in the
// server's words, nothing sent and no log.
TEST_F(HostProcess, CheckOnlineLogsOnAndOpensAMailSessionButSendsNothing) {
    const TTestCertificates Certs(Dir.Path());
    TGatewaySim Sim;
    ChildProcess Https({"/usr/bin/python3", testsupport::SourceDir() + "/tests/crafted_server.py",
                        "tlsproxy", Certs.Cert, Certs.Key, std::to_string(Sim.Port())});
    const std::string Listening = Https.WaitForStdoutLine("listening ");
    ASSERT_FALSE(Listening.empty()) << Https.Stderr();
    TMailSink Relay({"starttls", Certs.Cert, Certs.Key, "mailer:s3cret"});
    const std::string Url =
        "https://127.0.0.1:" + Listening.substr(10) + "/csp/vexo/Vexo.Webservice.cls";
    for (const char* Sub : {"in", "status", "reply"}) MakeDirs(Dir / Sub);
    const auto Configure = [&](const std::string& GatewayPassword, const std::string& MailPassword,
                               const std::string& CAFile) {
        WriteFile(Dir / "BrovaCSVSenderConfig.xml",
                  "<BulkCSVSender><OperationalTime Enabled=\"false\"/>"
                  "<Vexo URL=\"" +
                      Url + "\" Username=\"gwuser\" Password=\"" + GatewayPassword +
                      "\" CAFile=\"" + CAFile +
                      "\"><Sender EmailAdress=\"ops@example.com\"/>"
                      "</Vexo><Settings PollInterval=\"200\" StatusInterval=\"0\" "
                      "ReplyInterval=\"0\" Priority=\"1\"><Mail Host=\"localhost\" Port=\"" +
                      std::to_string(Relay.Port()) +
                      "\" SendConfirmation=\"true\" "
                      "Security=\"starttls\" Username=\"mailer\" Password=\"" +
                      MailPassword + "\" CAFile=\"" + CAFile +
                      "\"/><Protocols><Protocol Name=\"SMS\" "
                      "Enabled=\"true\" PollDirectory=\"" +
                      Dir / "in" +
                      "\" PollFileType=\"*.csv\" "
                      "StatusDirectory=\"" +
                      Dir / "status" + "\" ReplyDirectory=\"" + Dir / "reply" +
                      "\"/></Protocols><Submissions Split=\"1\" MaxMessages=\"100\"/></Settings>"
                      "</BulkCSVSender>");
    };
    const auto Online = [&](int Status) {
        ChildProcess P({Exe, "/CHECK", "/ONLINE"}, Env());
        EXPECT_EQ(P.Wait(), Status);
        EXPECT_EQ(P.Stderr(), "");
        return Lines(P.Stdout());
    };
    const std::string Gateway = "Gateway " + Url + ": ";
    const std::string Smtp = "SMTP localhost port " + std::to_string(Relay.Port()) + ": ";

    Configure("gwsecret", "s3cret", Certs.CA);
    std::vector<std::string> Out = Online(0);
    ASSERT_EQ(Out.size(), 3u);
    EXPECT_EQ(Out[0], "Nothing in " + Dir / "BrovaCSVSenderConfig.xml" + " would fail.");
    EXPECT_EQ(Out[1], Gateway + "Login accepted");
    EXPECT_TRUE(std::regex_match(
        Out[2],
        std::regex(Smtp + R"(session accepted \(220 \S+ Python SMTP \S+\), AUTH as mailer)")))
        << Out[2];

    Configure("wrong", "wrong", Certs.CA);
    EXPECT_EQ(Online(1), (std::vector<std::string>{
                             "Nothing in " + Dir / "BrovaCSVSenderConfig.xml" + " would fail.",
                             Gateway + "Login refused: Login failed: invalid username or password",
                             Smtp + "AUTH failed: 535 5.7.8 Authentication credentials invalid"}));

    // Without the private CA neither peer is trusted: the handshake stops there.
    Configure("gwsecret", "s3cret", "");
    const std::string NoIssuer = "SSL certificate problem: unable to get local issuer certificate";
    EXPECT_EQ(Online(1), (std::vector<std::string>{
                             "Nothing in " + Dir / "BrovaCSVSenderConfig.xml" + " would fail.",
                             Gateway + "certificate of 127.0.0.1 not trusted: " + NoIssuer,
                             Smtp + "certificate of localhost not trusted: " + NoIssuer}));

    // Only logons reached the gateway, over TLS; the relay saw AUTH over TLS and no message.
    for (const TSimRequest& R : Sim.Requests(4))
        EXPECT_EQ(R.SoapAction, "\"http://vexo.gateway/Vexo.Webservice.Login\"");
    EXPECT_EQ(Sim.Stats().SoapRequests, 2);
    EXPECT_EQ(Relay.Sessions(), (std::vector<std::string>{"AUTH PLAIN tls=TLSv1.3 accepted",
                                                          "AUTH PLAIN tls=TLSv1.3 refused"}));
    EXPECT_TRUE(Relay.Messages().empty());
    EXPECT_FALSE(Exists(LogPath));
    EXPECT_EQ(ListDir(Dir / "status"), std::vector<std::string>{});
}

TEST_F(HostProcess, StartedByHandWritesTheSystemLogEntryAndNoProcessLog) {
    WriteConfig();
    ChildProcess P({Exe}, Env());
    EXPECT_EQ(P.Wait(), 1);
    EXPECT_EQ(P.Stderr(),
              "BrovaCSVSender: The service process could not connect to the service controller.\n");
    EXPECT_EQ(P.Stdout(), "");
    EXPECT_FALSE(Exists(LogPath));
    EXPECT_EQ(ListDir(Dir.Path()),
              (std::vector<std::string>{"BrovaCSVSender", "BrovaCSVSenderConfig.xml"}));
}

class InstallProcess : public HostProcess {
  protected:
    struct TResult {
        int Status;
        std::string Out, Err;
    };
    TResult Run(std::vector<std::string> Args, const std::string& UnitDir) {
        Args.insert(Args.begin(), Exe);
        ChildProcess P(Args, Env({"BROVA_UNIT_DIR=" + UnitDir}));
        const int Status = P.Wait();
        return {Status, P.Stdout(), P.Stderr()};
    }
    std::string UnitDir = Dir / "units";
    std::string Unit = UnitDir + "/svcBrovaCSVSender.service";
};

TEST_F(InstallProcess, InstallAndUninstallWriteAndRemoveTheUnit) {
    MakeDirs(UnitDir);
    // The unit as the package ships it (its text is pinned by the ServiceUnit tests), started
    // from this executable.
    std::string Expected = ReadFile(BuildDir() + "/packaging/svcBrovaCSVSender.service");
    const std::string Packaged = "\nExecStart=/opt/brova-csv-sender/BrovaCSVSender\n";
    ASSERT_NE(Expected.find(Packaged), std::string::npos) << Expected;
    Expected.replace(Expected.find(Packaged), Packaged.size(), "\nExecStart=" + Exe + "\n");
    ASSERT_NE(Expected.find("\nUser=brova\n"), std::string::npos) << Expected;

    TResult R = Run({"/INSTALL"}, UnitDir);
    EXPECT_EQ(R.Status, 0);
    EXPECT_EQ(R.Out, "Service installed successfully\n");
    EXPECT_EQ(R.Err, "");
    EXPECT_EQ(ReadFile(Unit), Expected);

    // An installed service is never overwritten.
    R = Run({"-install"}, UnitDir);
    EXPECT_EQ(R.Status, 1);
    EXPECT_EQ(R.Out, "");
    EXPECT_EQ(R.Err, "Brova CSV Sender: Cannot write " + Unit + ": File exists\n");
    EXPECT_EQ(ReadFile(Unit), Expected);

    R = Run({"/uninstall"}, UnitDir);
    EXPECT_EQ(R.Status, 0);
    EXPECT_EQ(R.Out, "Service uninstalled successfully\n");
    EXPECT_EQ(R.Err, "");
    EXPECT_FALSE(Exists(Unit));

    R = Run({"/UNINSTALL"}, UnitDir);
    EXPECT_EQ(R.Status, 1);
    EXPECT_EQ(R.Err, "Brova CSV Sender: Cannot remove " + Unit + ": No such file or directory\n");

    // Another account named at install; a missing or unusable name installs nothing.
    R = Run({"/INSTALL", "/user", "mailer"}, UnitDir);
    EXPECT_EQ(R.Status, 0);
    std::string Mailer = Expected;
    Mailer.replace(Mailer.find("\nUser=brova\n"), 12, "\nUser=mailer\n");
    EXPECT_EQ(ReadFile(Unit), Mailer);
    EXPECT_EQ(Run({"/UNINSTALL"}, UnitDir).Status, 0);
    R = Run({"/INSTALL", "/USER"}, UnitDir);
    EXPECT_EQ(R.Status, 1);
    EXPECT_EQ(R.Err, "Brova CSV Sender: /USER needs a name: /INSTALL /USER NAME\n");
    R = Run({"/INSTALL", "/USER", "mail er"}, UnitDir);
    EXPECT_EQ(R.Status, 1);
    EXPECT_EQ(R.Err, "Brova CSV Sender: \"mail er\" is not a user name\n");

    // Installing and removing leave no process log and no stray files.
    EXPECT_FALSE(Exists(LogPath));
    EXPECT_TRUE(ListDir(UnitDir).empty());
}

TEST_F(InstallProcess, SilentPrintsNothingOnSuccessButStillReportsFailures) {
    MakeDirs(UnitDir);
    TResult R = Run({"-Install", "/SILENT"}, UnitDir);
    EXPECT_EQ(R.Status, 0);
    EXPECT_EQ(R.Out + R.Err, "");
    EXPECT_TRUE(Exists(Unit));

    R = Run({"/silent", "-UNINSTALL"}, UnitDir);
    EXPECT_EQ(R.Status, 0);
    EXPECT_EQ(R.Out + R.Err, "");
    EXPECT_FALSE(Exists(Unit));

    const std::string Missing = Dir / "missing";
    R = Run({"/INSTALL", "/SILENT"}, Missing);
    EXPECT_EQ(R.Status, 1);
    EXPECT_EQ(R.Out, "");
    EXPECT_EQ(R.Err, "Brova CSV Sender: Cannot write " + Missing +
                         "/svcBrovaCSVSender.service: No such file or directory\n");
}

}  // namespace
