// The result and error e-mails as a real SMTP server receives them, and the mail sender's own
// failures.
#include "worker/uSmtpMail.h"

#include "worker/uBulkSMSThread_testenv.h"

namespace bulktest {
namespace {

const std::string kSubmittedFrom = " on 2024/01/31";

using ResultMail = TWorkerTest;

TEST_F(ResultMail, CarriesTheConfiguredHeadersBodyAndTheConfirmationFile) {
    Settings.SendConfirmation = "true";
    Mail();
    Run("0820000000,REF1,TXT,Hello\r\n08200000,REF2,TXT,Hi\r\n");
    ASSERT_TRUE(MailSink->WaitForMessages(1));
    ASSERT_EQ(MailSink->Messages().size(), 1u);
    const std::string Raw = MailSink->Messages()[0];
    EXPECT_EQ(MailHeader(Raw, "X-Mailer"), "Brova Mailer 2.1");
    EXPECT_EQ(MailHeader(Raw, "Subject"), "Bulk file result");
    EXPECT_EQ(MailHeader(Raw, "From"), "\"Brova Sender\" <sender@example.com>");
    EXPECT_EQ(MailHeader(Raw, "To"), "<results@example.com>");
    const auto Parts = MailParts(Raw);
    ASSERT_EQ(Parts.size(), 2u);
    EXPECT_EQ(Parts[0].FileName, "");
    // The server stores text with its own line ends; the lines are what counts.
    EXPECT_EQ(
        Lines(Parts[0].Body),
        (std::vector<std::string>{"Please find the result of your file attached.", "Kind regards",
                                  "submitted from " + ClaimedFile() + kSubmittedFrom}));
    EXPECT_EQ(Parts[1].FileName, "Confirmation-ABC.CSV");
    EXPECT_EQ(Parts[1].Body,
              CrLf({"Cell No.,Reference,Status", "08200000,REF2,\"Cell no. is invalid\"",
                    "\"0820000000\",\"REF1\",\"Sucessfully submitted to Vexo.\",\"MessageID=" +
                        std::to_string(ReqIDOf("REF1")) + "\""}));
}

TEST_F(ResultMail, WithoutBodyLinesHoldsOnlyTheSubmittedFromLine) {
    Settings.SendConfirmation = "true";
    Settings.BodyText.clear();
    Settings.Format = "Combined ";
    Mail();
    Run("0820000000,REF1,TXT,Hello\r\n");
    ASSERT_TRUE(MailSink->WaitForMessages(1));
    const auto Parts = MailParts(MailSink->Messages()[0]);
    ASSERT_EQ(Parts.size(), 2u);
    EXPECT_EQ(Lines(Parts[0].Body),
              std::vector<std::string>{"submitted from " + ClaimedFile() + kSubmittedFrom});
    // The combined layout keeps no confirmation file, but the mail still carries the lines.
    EXPECT_EQ(Lines(Parts[1].Body).size(), 2u);
    EXPECT_EQ(ListDir(Dir / "Exe"), std::vector<std::string>{});
    EXPECT_EQ(ListDir(Dir / "In"), std::vector<std::string>{});
}

TEST_F(ResultMail, ErrorMailCarriesErrorTextTheFailureAndTheRejectedRows) {
    Settings.SendConfirmation = "true";
    Settings.ErrorText = {"Your file could not be processed.", "Please check it."};
    Mail();
    Run("08200000,REF2,TXT,Hi\r\n");
    ASSERT_TRUE(MailSink->WaitForMessages(1));
    const std::string Raw = MailSink->Messages()[0];
    EXPECT_EQ(MailHeader(Raw, "Subject"), "Bulk file result");
    EXPECT_EQ(MailHeader(Raw, "X-Mailer"), "Brova Mailer 2.1");
    const auto Parts = MailParts(Raw);
    ASSERT_EQ(Parts.size(), 2u);
    EXPECT_EQ(Lines(Parts[0].Body),
              (std::vector<std::string>{"Your file could not be processed.", "Please check it.",
                                        "Error : No Recipients found. Processing aborted",
                                        "submitted from " + ClaimedFile() + kSubmittedFrom}));
    EXPECT_EQ(Parts[1].FileName, "Confirmation-ABC.CSV");
    EXPECT_EQ(Parts[1].Body,
              CrLf({"Cell No.,Reference,Status", "08200000,REF2,\"Cell no. is invalid\""}));
}

TEST_F(ResultMail, ErrorMailForAMissingFileLogsEachStep) {
    Settings.SendConfirmation = "true";
    Settings.Format = "COMBINED";  // keeps the log
    Mail();
    Run(std::nullopt);
    ASSERT_TRUE(MailSink->WaitForMessages(1));
    const auto Parts = MailParts(MailSink->Messages()[0]);
    ASSERT_EQ(Parts.size(), 2u);
    EXPECT_EQ(Lines(Parts[0].Body)[1], "Error : The File path specified does not exist");
    // CleanUp(True) after the sent error mail removes the log too.
    EXPECT_EQ(ListDir(Dir / "In"), std::vector<std::string>{});
}

// ---- the mail sender itself ----

class SendSmtpMailTest : public ::testing::Test {
  protected:
    TSmtpMail Basic() {
        TSmtpMail M;
        M.Host = "127.0.0.1";
        M.Port = Sink.Port();
        M.MailAgent = "Agent";
        M.Subject = "Plain";
        M.FromAddress = "from@example.com";
        M.FromName = "From Name";
        M.ToAddresses = {"a@example.com", "b@example.com"};
        M.BodyLines = {"line one", ".starts with a dot", "héllo"};
        return M;
    }
    std::string ErrorOf(const TSmtpMail& M) {
        try {
            SendSmtpMail(M);
        } catch (const ESmtpError& E) {
            return E.what();
        }
        return "";
    }
    TempDir Dir;
    TMailSink Sink;
};

TEST_F(SendSmtpMailTest, HeaderTextsStayOnOneLineAndEightBitTextsAreEncoded) {
    TSmtpMail M = Basic();
    M.Subject = "Résumé\r\nBcc: evil@example.com";
    M.FromName = "Sender \"Q\"";
    SendSmtpMail(M);
    ASSERT_TRUE(Sink.WaitForMessages(1));
    const std::string Raw = Sink.Messages()[0];
    EXPECT_EQ(MailHeader(Raw, "Bcc"), "");
    EXPECT_EQ(MailHeader(Raw, "Subject"), "=?UTF-8?B?UsOpc3Vtw6lCY2M6IGV2aWxAZXhhbXBsZS5jb20=?=");
    EXPECT_EQ(MailHeader(Raw, "From"), "\"Sender \\\"Q\\\"\" <from@example.com>");
    EXPECT_EQ(MailHeader(Raw, "To"), "<a@example.com>, <b@example.com>");
    const auto Parts = MailParts(Raw);
    ASSERT_EQ(Parts.size(), 1u);
    EXPECT_EQ(Lines(Parts[0].Body),
              (std::vector<std::string>{"line one", ".starts with a dot", "héllo"}));
}

TEST_F(SendSmtpMailTest, AttachmentKeepsItsBytesAndFileName) {
    TSmtpMail M = Basic();
    std::string Content;
    for (int I = 0; I < 256; ++I) Content += static_cast<char>(I);
    WriteFile(Dir / "Confirmation-X.CSV", Content);
    M.AttachmentPath = Dir / "Confirmation-X.CSV";
    SendSmtpMail(M);
    ASSERT_TRUE(Sink.WaitForMessages(1));
    const auto Parts = MailParts(Sink.Messages()[0]);
    ASSERT_EQ(Parts.size(), 2u);
    EXPECT_EQ(Parts[1].FileName, "Confirmation-X.CSV");
    EXPECT_EQ(Parts[1].Body, Content);
}

TEST_F(SendSmtpMailTest, FailuresCarryTheirReason) {
    TSmtpMail M = Basic();
    M.AttachmentPath = Dir / "missing.CSV";
    EXPECT_EQ(ErrorOf(M), "Attachment file not found: " + M.AttachmentPath);

    M = Basic();
    M.Port = FreeLocalPort();
    EXPECT_EQ(ErrorOf(M).rfind("Couldn't connect to server", 0), 0u) << ErrorOf(M);

    // An IPv6 literal is a host, not a broken URL.
    M.Host = "::1";
    EXPECT_EQ(ErrorOf(M).rfind("Couldn't connect to server", 0), 0u) << ErrorOf(M);

    M = Basic();
    M.ToAddresses.clear();
    EXPECT_EQ(ErrorOf(M), "No recipient address");
    EXPECT_TRUE(Sink.Messages().empty());
}

// Over TLS to a server with a private CA: both modes deliver the attachment whole through a
// real handshake, AUTH goes only over TLS, and each refusal is the server's own line.
TEST(SmtpOverTls, EachModeDeliversWholeAndEachFailureSaysWhy) {
    TempDir Dir;
    const TTestCertificates Certs(Dir.Path());
    TMailSink StartTls({"starttls", Certs.Cert, Certs.Key, "mailer:s3cret"});
    TMailSink Implicit({"tls", Certs.Cert, Certs.Key, ""});
    std::string Content;
    for (int I = 0; I < 256; ++I) Content += static_cast<char>(I);
    WriteFile(Dir / "Confirmation-T.CSV", Content);
    const auto MailTo = [&](const TMailSink& Sink, TMailSecurity Security) {
        TSmtpMail M;
        M.Host = "localhost";
        M.Port = Sink.Port();
        M.Security = Security;
        M.CAFile = Certs.CA;
        M.Subject = "Over TLS";
        M.FromAddress = "from@example.com";
        M.ToAddresses = {"to@example.com"};
        M.BodyLines = {"line"};
        M.AttachmentPath = Dir / "Confirmation-T.CSV";
        return M;
    };
    const auto Failure = [](const TSmtpMail& M) {
        try {
            SendSmtpMail(M);
        } catch (const ESmtpError& E) {
            return (E.Step.empty() ? "" : E.Step + ": ") + std::string(E.what());
        }
        return std::string();
    };

    TSmtpMail M = MailTo(StartTls, TMailSecurity::StartTls);
    M.Username = "mailer";
    M.Password = "s3cret";
    SendSmtpMail(M);
    M = MailTo(Implicit, TMailSecurity::Tls);
    SendSmtpMail(M);
    for (TMailSink* Sink : {&StartTls, &Implicit}) {
        ASSERT_TRUE(Sink->WaitForMessages(1));
        const auto Parts = MailParts(Sink->Messages()[0]);
        ASSERT_EQ(Parts.size(), 2u);
        EXPECT_EQ(Parts[1].FileName, "Confirmation-T.CSV");
        EXPECT_EQ(Parts[1].Body, Content);
    }
    EXPECT_EQ(StartTls.Sessions(), (std::vector<std::string>{"AUTH PLAIN tls=TLSv1.3 accepted",
                                                             "DATA tls=TLSv1.3 auth=yes"}));
    EXPECT_EQ(Implicit.Sessions(), std::vector<std::string>{"DATA tls=TLSv1.3 auth=no"});

    M = MailTo(StartTls, TMailSecurity::StartTls);
    M.Username = "mailer";
    M.Password = "wrong";
    EXPECT_EQ(Failure(M), "AUTH: 535 5.7.8 Authentication credentials invalid");
    M = MailTo(StartTls, TMailSecurity::None);
    EXPECT_EQ(Failure(M), "MAIL: 530 Must issue a STARTTLS command first");
    // The certificate and the host name are checked whatever the mode.
    M = MailTo(Implicit, TMailSecurity::Tls);
    M.CAFile.clear();
    EXPECT_EQ(Failure(M),
              "certificate of localhost not trusted: SSL certificate problem: unable "
              "to get local issuer certificate");
    TMailSink Other({"tls", Certs.WrongHostCert, Certs.Key, ""});
    TMailSink Expired({"tls", Certs.ExpiredCert, Certs.Key, ""});
    EXPECT_EQ(Failure(MailTo(Other, TMailSecurity::Tls)),
              "certificate of localhost not trusted: SSL: no alternative certificate subject name "
              "matches target host name 'localhost'");
    EXPECT_EQ(Failure(MailTo(Expired, TMailSecurity::Tls)),
              "certificate of localhost not trusted: SSL certificate problem: certificate has "
              "expired");
    // A password for a remote host never goes out in clear: refused before connecting.
    M = MailTo(StartTls, TMailSecurity::None);
    M.Host = "relay.example";
    M.Username = "mailer";
    EXPECT_EQ(Failure(M),
              "AUTH to relay.example over plain SMTP is refused: the password would "
              "travel in clear (Security starttls or tls)");
    EXPECT_EQ(StartTls.Messages().size(), 1u);
    EXPECT_EQ(Implicit.Messages().size(), 1u);
    EXPECT_TRUE(Other.Messages().empty());
}

}  // namespace
}  // namespace bulktest
