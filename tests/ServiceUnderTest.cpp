#include "tests/ServiceUnderTest.h"

#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <regex>

#include "support/uXmlText.h"

namespace testsupport {

namespace {

// Dropped files are dated this far back, well past the two seconds a file must rest before
// the service claims it.
constexpr int kAgeSeconds = 10;
constexpr std::chrono::seconds kStartTimeout{20};
constexpr std::chrono::seconds kStopTimeout{30};

// Another build of the service to test, run through a launcher: the Windows executable under
// Wine, with the Linux simulator and mail sink.
std::string ServiceUnderLauncher() {
    const char* Exe = std::getenv("BROVA_TEST_SERVICE_EXE");
    return Exe ? Exe : "";
}
std::string Launcher() {
    const char* Prefix = std::getenv("BROVA_TEST_LAUNCHER");
    return Prefix ? Prefix : "";
}

std::string Attr(const char* Name, const std::string& Value) {
    std::string Out = std::string(" ") + Name + "=\"";
    AppendXmlEscaped(Out, Value, true);
    return Out + "\"";
}

std::string Attr(const char* Name, int Value) { return Attr(Name, std::to_string(Value)); }

}  // namespace

TServiceUnderTest::TServiceUnderTest(TServiceSettings Settings, const TServiceUnderTest* Shared)
    : settings_(std::move(Settings)), dataRoot_(Shared ? Shared->DataRoot() : dir_.Path()) {
    MakeDirs(dir_ / "service");
    std::filesystem::copy_file(
        ServiceUnderLauncher().empty() ? BuildDir() + "/BrovaCSVSender" : ServiceUnderLauncher(),
        dir_ / ExeName());
    for (const std::string& Protocol : settings_.Protocols) {
        MakeDirs(InDir(Protocol));
        MakeDirs(StatusDir(Protocol));
        MakeDirs(ReplyDir(Protocol));
    }
    WriteFile(dir_ / "service/BrovaCSVSenderConfig.xml", ConfigXml());
}

void TServiceUnderTest::Configure(TServiceSettings Settings) {
    settings_ = std::move(Settings);
    WriteFile(dir_ / "service/BrovaCSVSenderConfig.xml", ConfigXml());
}

std::string TServiceUnderTest::InDir(const std::string& Protocol) const {
    return dataRoot_ + "/" + Protocol + "/In";
}
std::string TServiceUnderTest::StatusDir(const std::string& Protocol) const {
    return dataRoot_ + "/" + Protocol + "/Status";
}
std::string TServiceUnderTest::ReplyDir(const std::string& Protocol) const {
    return dataRoot_ + "/" + Protocol + "/Reply";
}
std::string TServiceUnderTest::ProcessLog() const { return dir_ / "service/BrovaCSVSender.Log"; }

std::string TServiceUnderTest::ConfigXml() const {
    const TServiceSettings& S = settings_;
    std::string X = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<BulkCSVSender>\n";
    X += "  <OperationalTime Enabled=\"false\" StartTime=\"00:00\" EndTime=\"23:59:59\"/>\n";
    X += "  <Vexo" + Attr("URL", S.GatewayUrl) + Attr("Username", S.Username) +
         Attr("Password", S.Password) + ">\n    <Sender Name=\"Brova Org\" CellNo=\"0821112222\"" +
         Attr("EmailAdress", S.SenderEmail) +
         " FaxNo=\"0113334444\" TelNo=\"0115556666\"/>\n  </Vexo>\n";
    X += "  <Settings" + Attr("PollInterval", S.PollInterval) +
         Attr("StatusInterval", S.StatusInterval) + Attr("ReplyInterval", S.ReplyInterval) +
         Attr("ValidSACellExtensions", S.ValidSACellExtensions) + Attr("Format", S.Format) +
         " Priority=\"1\">\n";
    X += "    <Mail Host=\"127.0.0.1\"" + Attr("Port", S.SmtpPort) +
         Attr("MailAgent", S.MailAgent) + Attr("Subject", S.Subject) +
         Attr("FromAddress", S.FromAddress) + Attr("FromName", S.FromName) +
         Attr("SendConfirmation", S.SendConfirmation ? "true" : "false") + ">\n";
    X += "      <BodyText>\n";
    for (const std::string& Line : S.BodyText)
        X += "        <BodyTextItem" + Attr("Text", Line) + "/>\n";
    X += "      </BodyText>\n      <ErrorText>\n";
    for (const std::string& Line : S.ErrorText)
        X += "        <BodyTextItem" + Attr("Text", Line) + "/>\n";
    X += "      </ErrorText>\n    </Mail>\n    <Protocols>\n";
    for (const std::string& Protocol : S.Protocols)
        X += "      <Protocol" + Attr("Name", Protocol) + " Enabled=\"true\"" +
             Attr("PollDirectory", InDir(Protocol)) + " PollFileType=\"*.csv\"" +
             Attr("StatusDirectory", StatusDir(Protocol)) +
             Attr("ReplyDirectory", ReplyDir(Protocol)) + "/>\n";
    X += "    </Protocols>\n    <Submissions" + Attr("Split", S.Split) +
         Attr("MaxMessages", S.MaxMessages) + "/>\n  </Settings>\n</BulkCSVSender>\n";
    return X;
}

bool TServiceUnderTest::Start() {
    ChildProcess::Options Options;
    Options.env = {"BROVA_RETRY_DELAY_MS=" + std::to_string(settings_.RetryDelayMs)};
    Options.env.insert(Options.env.end(), settings_.Environment.begin(),
                       settings_.Environment.end());
    Options.unset_env = {"NOTIFY_SOCKET", "BROVA_UNIT_DIR"};
    Options.cwd = dir_ / "service";
    // A start again finds the line of the earlier start in the log: only what follows counts.
    const size_t Before = ReadFile(ProcessLog()).size();
    std::vector<std::string> Argv{dir_ / ExeName(), "/CONSOLE"};
    if (!Launcher().empty()) Argv.insert(Argv.begin(), Launcher());
    process_ = std::make_unique<ChildProcess>(Argv, Options);
    return WaitFor(
               [&] {
                   return !process_->Running() ||
                          ReadFile(ProcessLog())
                                  .find(" : Brova CSV Bulk Messenger Started up.\r\n", Before) !=
                              std::string::npos;
               },
               kStartTimeout) &&
           process_->Running();
}

int TServiceUnderTest::Stop() {
    if (!process_) return -1;
    process_->Signal(StopSignal());
    return process_->Wait(kStopTimeout);
}

std::string TServiceUnderTest::ExeName() {
    return ServiceUnderLauncher().empty() ? "service/BrovaCSVSender" : "service/BrovaCSVSender.exe";
}

int TServiceUnderTest::StopSignal() {
    // Wine hands SIGINT to the console control handler as Ctrl+C; SIGTERM would end the process.
    return Launcher().empty() ? SIGTERM : SIGINT;
}

void TServiceUnderTest::Drop(
    const std::string& Protocol,
    const std::vector<std::pair<std::string, std::string>>& NamesAndContents) {
    for (const auto& [Name, Content] : NamesAndContents)
        WriteFile(InDir(Protocol) + "/" + Name, Content);
    for (const auto& Entry : NamesAndContents)
        AgeFile(InDir(Protocol) + "/" + Entry.first, kAgeSeconds);
}

std::vector<std::string> LogMessages(const std::string& Text) {
    static const std::regex kStamped(R"(^\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2} : (.*)$)");
    std::vector<std::string> Out;
    for (const std::string& Line : Lines(Text)) {
        std::smatch M;
        Out.push_back(std::regex_match(Line, M, kStamped) ? M[1].str() : Line);
    }
    return Out;
}

std::vector<std::string> WithFaultShim(std::vector<std::string> Settings) {
    Settings.push_back("LD_PRELOAD=" + BuildDir() + "/tests/libbrova_faultshim.so");
    // The sanitizer runtimes want to come first; the shim only stands in front of libc.
    Settings.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
    return Settings;
}

std::string TodayText() {
    const std::time_t Now = std::time(nullptr);
    std::tm Local{};
    localtime_r(&Now, &Local);
    char Buffer[16];
    std::strftime(Buffer, sizeof Buffer, "%Y/%m/%d", &Local);
    return Buffer;
}

}  // namespace testsupport
