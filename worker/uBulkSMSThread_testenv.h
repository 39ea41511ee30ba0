// What the worker tests share: a fresh directory tree, a configuration written for it, the real
// gateway simulator (one per test, so its traffic is the test's own), an optional real SMTP
// server, and running one worker to its end.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <pugixml.hpp>
#include <string>
#include <vector>

#include "clientsdk/BatchFormat.h"
#include "config/uBrovaCSVSenderConfig.h"
#include "gateway/uVexocspWS.h"
#include "support/Util.h"
#include "tests/GatewaySim.h"
#include "tests/MailSink.h"
#include "tests/TestSupport.h"
#include "worker/uBulkSMSThread.h"

namespace bulktest {

using namespace testsupport;

// The moment every worker of these tests sees.
inline const TDateTime kTestNow{2024, 1, 31, 17, 5, 9, 0};
inline const std::string kStamp = "2024/01/31 17:05:09 : ";
// Only guards against a hang; no test relies on how long a run takes.
constexpr std::chrono::seconds kWorkerTimeout{120};

// Configuration values; an empty optional leaves the attribute out.
struct TTestSettings {
    std::string Format;
    std::optional<std::string> Split = "0";
    std::optional<std::string> MaxMessages = "500";
    std::optional<std::string> Priority = "1";
    std::optional<std::string> SendConfirmation = "false";
    std::string ValidSACellExtensions = "082;083";
    int SmtpPort = 25;
    std::vector<std::string> BodyText = {"Please find the result of your file attached.",
                                         "Kind regards"};
    std::vector<std::string> ErrorText = {"Your file could not be processed."};
};

// The protocol entries of the test configuration, in this order.
inline const std::vector<std::string> kProtocols = {"SMS", "FAX", "EMAIL", "PAGER"};

inline std::string XmlAttr(const char* Name, const std::optional<std::string>& Value) {
    if (!Value) return "";
    std::string Escaped;
    for (char C : *Value) {
        if (C == '&')
            Escaped += "&amp;";
        else if (C == '"')
            Escaped += "&quot;";
        else if (C == '<')
            Escaped += "&lt;";
        else
            Escaped += C;
    }
    return std::string(" ") + Name + "=\"" + Escaped + "\"";
}

class TWorkerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("BROVA_RETRY_DELAY_MS", "10", 1);
        Sim = std::make_unique<TGatewaySim>();
        Token = GetIVexoWSSoap(false, Sim->Url())->Login(Sim->Username(), Sim->Password());
        for (const char* Sub : {"In", "Status", "Reply", "Exe"}) MakeDirs(Dir / Sub);
    }
    void TearDown() override {
        // A worker still running would write into the directory being removed.
        ASSERT_TRUE(WaitForBulkThreads(kWorkerTimeout));
    }

    TMailSink& Mail() {
        if (!MailSink) MailSink = std::make_unique<TMailSink>();
        Settings.SmtpPort = MailSink->Port();
        return *MailSink;
    }

    std::string ConfigXml() const {
        std::string X = "<BulkCSVSender>\n";
        X += "  <OperationalTime Enabled=\"false\" StartTime=\"00:00\" EndTime=\"23:59\"/>\n";
        X += "  <Vexo" + XmlAttr("URL", Sim->Url()) +
             " Username=\"gwuser\" Password=\"gwsecret\">\n"
             "    <Sender Name=\"Brova Org\" CellNo=\"0821112222\" "
             "EmailAdress=\"results@example.com\" FaxNo=\"0113334444\" TelNo=\"0115556666\"/>\n"
             "  </Vexo>\n";
        X += "  <Settings PollInterval=\"1000\" ReplyInterval=\"0\" StatusInterval=\"0\"" +
             XmlAttr("ValidSACellExtensions", Settings.ValidSACellExtensions) +
             XmlAttr("Format", Settings.Format) + XmlAttr("Priority", Settings.Priority) + ">\n";
        X += "    <Mail Host=\"127.0.0.1\" FromAddress=\"sender@example.com\"" +
             XmlAttr("Port", std::to_string(Settings.SmtpPort)) +
             " MailAgent=\"Brova Mailer 2.1\" Subject=\"Bulk file result\" "
             "FromName=\"Brova Sender\"" +
             XmlAttr("SendConfirmation", Settings.SendConfirmation) + ">\n      <BodyText>\n";
        for (const auto& Line : Settings.BodyText)
            X += "        <BodyTextItem" + XmlAttr("Text", Line) + "/>\n";
        X += "      </BodyText>\n      <ErrorText>\n";
        for (const auto& Line : Settings.ErrorText)
            X += "        <BodyTextItem" + XmlAttr("Text", Line) + "/>\n";
        X += "      </ErrorText>\n    </Mail>\n    <Protocols>\n";
        for (const auto& Name : kProtocols)
            X += "      <Protocol" + XmlAttr("Name", Name) + XmlAttr("PollDirectory", Dir / "In") +
                 XmlAttr("ReplyDirectory", Dir / "Reply") +
                 XmlAttr("StatusDirectory", Dir / "Status") +
                 " PollFileType=\"*.csv\" Enabled=\"true\"/>\n";
        X += "    </Protocols>\n    <Submissions" + XmlAttr("Split", Settings.Split) +
             XmlAttr("MaxMessages", Settings.MaxMessages) + "/>\n  </Settings>\n</BulkCSVSender>\n";
        return X;
    }

    static int IndexOf(const std::string& Protocol) {
        for (size_t I = 0; I < kProtocols.size(); ++I)
            if (kProtocols[I] == Protocol) return static_cast<int>(I);
        return 0;
    }

    // Starts one worker for In/<ClaimedName> (written with Content unless nullopt).
    void StartWorker(const std::optional<std::string>& Content,
                     const std::string& ProtocolName = "SMS",
                     const std::string& ClaimedName = "ABC.20.Busy",
                     const std::string& BatchName = "ABC") {
        if (Content) WriteFile(Dir / ("In/" + ClaimedName), *Content);
        new TBulkThread(
            ProtocolName, BatchName, Dir / ("In/" + ClaimedName), Token,
            IndexOf(Trim(ProtocolName)), LoadBulkCSVSenderFromText(ConfigXml()),
            [] { return kTestNow; }, Dir / "Exe");
    }

    // Runs one worker to its end.
    void Run(const std::optional<std::string>& Content, const std::string& ProtocolName = "SMS") {
        StartWorker(Content, ProtocolName);
        ASSERT_TRUE(WaitForBulkThreads(kWorkerTimeout));
    }

    std::string ClaimedFile() const { return Dir / "In/ABC.20.Busy"; }
    std::string LogFile() const { return Dir / "In/ABC.20.log"; }
    std::string ConfirmationFile() const { return Dir / "Status/Confirmation-ABC.CSV"; }
    std::string Confirmation() const { return ReadFile(ConfirmationFile()); }

    // The log's messages without their time stamps; a line without the stamp is kept whole and
    // so fails any comparison.
    std::vector<std::string> LogMessages(const std::string& Path = "") const {
        std::vector<std::string> Out;
        for (const auto& Line : Lines(ReadFile(Path.empty() ? LogFile() : Path)))
            Out.push_back(Line.rfind(kStamp, 0) == 0 ? Line.substr(kStamp.size()) : Line);
        return Out;
    }

    // The batches of the Send calls the simulator received, oldest first.
    std::vector<TBatch> SentBatches() {
        std::vector<TBatch> Out;
        for (const auto& Request : Sim->Requests(1000)) {
            if (Request.SoapAction.find("Send") == std::string::npos) continue;
            pugi::xml_document Doc;
            if (!Doc.load_string(Request.Body.c_str())) continue;
            pugi::xpath_node Stream = Doc.select_node("//*[local-name()='XMLStream']");
            if (Stream) Out.push_back(ReadBatchXml(Stream.node().child_value()));
        }
        return Out;
    }

    // The identifier the simulator gave the message with this reference.
    int64_t ReqIDOf(const std::string& Reference) {
        for (const auto& M : Sim->Messages())
            if (M.Reference == Reference) return M.ReqID;
        ADD_FAILURE() << "no message with reference " << Reference;
        return -1;
    }

    TempDir Dir;
    TTestSettings Settings;
    std::unique_ptr<TGatewaySim> Sim;
    std::unique_ptr<TMailSink> MailSink;
    std::string Token;
};

// "a\r\nb\r\n" from {"a", "b"}: the confirmation file's lines.
inline std::string CrLf(const std::vector<std::string>& Lines) {
    std::string Out;
    for (const auto& L : Lines) Out += L + "\r\n";
    return Out;
}

}  // namespace bulktest
