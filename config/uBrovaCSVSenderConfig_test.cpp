#include "config/uBrovaCSVSenderConfig.h"

#include <gtest/gtest.h>

#include <random>

#include "tests/TestSupport.h"

namespace {

using testsupport::TempDir;
using testsupport::WriteFile;

// Every element and attribute of the tree, the elements in an order of their own.
const char kFullConfig[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<BulkCSVSender>
  <Settings PollInterval="30000" ReplyInterval="1000" StatusInterval="60000"
            ValidSACellExtensions="082;083;084" Format=" combined" Priority="-3">
    <Submissions Split="1" MaxMessages="500"/>
    <Protocols>
      <Protocol Name="SMS" PollDirectory="/in/sms" ReplyDirectory="/reply/sms"
                StatusDirectory="/status/sms" PollFileType="*.csv" Enabled="TRUE"/>
      <Comment Name="not a protocol"/>
      <Protocol Name="SMS" PollDirectory="/in/sms2" ReplyDirectory="/reply/sms2"
                StatusDirectory="/status/sms2" PollFileType="*.txt" Enabled="0"/>
    </Protocols>
    <Mail Host="mail.local" FromAddress="bulk@example.com" Port="2525" MailAgent="Agent"
          Subject="Results" FromName="Bulk" SendConfirmation="true" SendStatus="False"
          SendReply="1">
      <ErrorText>
        <BodyTextItem Text="Could not process."/>
        <Line Text="not a line"/>
      </ErrorText>
      <BodyText>
        <BodyTextItem Text="Attached are the results."/>
        <BodyTextItem Text="  Regards  "/>
      </BodyText>
    </Mail>
  </Settings>
  <Vexo URL="http://127.0.0.1:1/csp/vexo/Vexo.Webservice.cls" Username="user" Password="p&amp;w">
    <Sender Name="Org" CellNo="0821234567" EmailAdress="ops@example.com" FaxNo="0111" TelNo="0222"/>
  </Vexo>
  <OperationalTime Enabled="false" StartTime="07:00" EndTime="19:00:30"/>
</BulkCSVSender>
)";

const std::string kNullInteger = "Could not convert variant of type (Null) into type (Integer)";
const std::string kNullBoolean = "Could not convert variant of type (Null) into type (Boolean)";

template <class F>
std::string ErrorOf(F&& Fn) {
    try {
        Fn();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no error)";
}

}  // namespace

TEST(BrovaCSVSenderConfig, ReadsEveryValueOfAFile) {
    TempDir dir;
    WriteFile(dir / "BrovaCSVSenderConfig.xml", kFullConfig);
    auto root = LoadBulkCSVSender(dir / "BrovaCSVSenderConfig.xml");

    auto ot = root->GetOperationalTime();
    EXPECT_FALSE(ot->GetEnabled());
    EXPECT_EQ(ot->GetStartTime(), "07:00");
    EXPECT_EQ(ot->GetEndTime(), "19:00:30");

    auto vexo = root->GetVexo();
    EXPECT_EQ(vexo->GetURL(), "http://127.0.0.1:1/csp/vexo/Vexo.Webservice.cls");
    EXPECT_EQ(vexo->GetUsername(), "user");
    EXPECT_EQ(vexo->GetPassword(), "p&w");
    auto sender = vexo->GetSender();
    EXPECT_EQ(sender->GetName(), "Org");
    EXPECT_EQ(sender->GetCellNo(), "0821234567");
    EXPECT_EQ(sender->GetEmailAdress(), "ops@example.com");
    EXPECT_EQ(sender->GetFaxNo(), "0111");
    EXPECT_EQ(sender->GetTelNo(), "0222");

    auto settings = root->GetSettings();
    EXPECT_EQ(settings->GetPollInterval(), 30000);
    EXPECT_EQ(settings->GetReplyInterval(), 1000);
    EXPECT_EQ(settings->GetStatusInterval(), 60000);
    EXPECT_EQ(settings->GetValidSACellExtensions(), "082;083;084");
    EXPECT_EQ(settings->GetFormat(), " combined");  // users trim and upper-case it
    EXPECT_EQ(settings->GetPriority(), -3);

    auto mail = settings->GetMail();
    EXPECT_EQ(mail->GetHost(), "mail.local");
    EXPECT_EQ(mail->GetFromAddress(), "bulk@example.com");
    EXPECT_EQ(mail->GetPort(), 2525);
    EXPECT_EQ(mail->GetMailAgent(), "Agent");
    EXPECT_EQ(mail->GetSubject(), "Results");
    EXPECT_EQ(mail->GetFromName(), "Bulk");
    EXPECT_TRUE(mail->GetSendConfirmation());
    EXPECT_FALSE(mail->GetSendStatus());
    EXPECT_TRUE(mail->GetSendReply());
    auto body = mail->GetBodyText();
    ASSERT_EQ(body->GetCount(), 2);
    EXPECT_EQ(body->GetItem(0)->GetText(), "Attached are the results.");
    EXPECT_EQ(body->GetItem(1)->GetText(), "  Regards  ");
    auto errors = mail->GetErrorText();
    ASSERT_EQ(errors->GetCount(), 1);  // the Line element is not a line
    EXPECT_EQ(errors->GetItem(0)->GetText(), "Could not process.");

    auto protocols = settings->GetProtocols();
    ASSERT_EQ(protocols->GetCount(), 2);  // same Name twice: both are entries
    auto p0 = protocols->GetItem(0), p1 = protocols->GetItem(1);
    EXPECT_EQ(p0->GetName(), "SMS");
    EXPECT_EQ(p0->GetPollDirectory(), "/in/sms");
    EXPECT_EQ(p0->GetReplyDirectory(), "/reply/sms");
    EXPECT_EQ(p0->GetStatusDirectory(), "/status/sms");
    EXPECT_EQ(p0->GetPollFileType(), "*.csv");
    EXPECT_TRUE(p0->GetEnabled());
    EXPECT_EQ(p1->GetPollDirectory(), "/in/sms2");
    EXPECT_EQ(p1->GetPollFileType(), "*.txt");
    EXPECT_FALSE(p1->GetEnabled());
    EXPECT_THROW(protocols->GetItem(2), EXMLListError);

    auto subs = settings->GetSubmissions();
    EXPECT_EQ(subs->GetSplit(), 1);
    EXPECT_EQ(subs->GetMaxMessages(), 500);
}

TEST(BrovaCSVSenderConfig, FileWithoutMailLoads) {
    auto root = LoadBulkCSVSenderFromText(
        R"(<BulkCSVSender><Settings PollInterval="5"><Protocols/></Settings></BulkCSVSender>)");
    auto mail = root->GetSettings()->GetMail();
    EXPECT_FALSE(mail->IsPresent());
    EXPECT_EQ(mail->GetHost(), "");
    EXPECT_EQ(ErrorOf([&] { mail->GetPort(); }), kNullInteger);
    EXPECT_EQ(ErrorOf([&] { mail->GetSendConfirmation(); }), kNullBoolean);
    EXPECT_EQ(mail->GetBodyText()->GetCount(), 0);
    EXPECT_EQ(mail->GetErrorText()->GetCount(), 0);
    EXPECT_EQ(root->GetSettings()->GetProtocols()->GetCount(), 0);
    EXPECT_EQ(root->GetSettings()->GetPollInterval(), 5);
    EXPECT_EQ(ErrorOf([&] { root->GetSettings()->GetSubmissions()->GetSplit(); }), kNullInteger);
    EXPECT_EQ(root->GetVexo()->GetSender()->GetEmailAdress(), "");
    EXPECT_EQ(ErrorOf([&] { root->GetOperationalTime()->GetEnabled(); }), kNullBoolean);
}

TEST(BrovaCSVSenderConfig, BadFilesFailTheLoad) {
    TempDir dir;
    EXPECT_EQ(ErrorOf([&] { LoadBulkCSVSender(dir / "missing.xml"); }),
              "Cannot open file \"" + dir / "missing.xml" + "\": No such file or directory");
    EXPECT_EQ(ErrorOf([&] { LoadBulkCSVSender(dir.Path()); }),
              "Cannot read file \"" + dir.Path() + "\": Is a directory");

    WriteFile(dir / "other.xml", R"(<VexoReplyList><Settings PollInterval="1"/></VexoReplyList>)");
    EXPECT_EQ(ErrorOf([&] { LoadBulkCSVSender(dir / "other.xml"); }), "Interface not supported");

    WriteFile(dir / "bad.xml", "<BulkCSVSender>\n<Settings PollInterval=30000/>\n</BulkCSVSender>");
    EXPECT_EQ(ErrorOf([&] { LoadBulkCSVSender(dir / "bad.xml"); }),
              "Error parsing element attribute (line 2, column 24)");

    // An empty file has no settings: the first integer read fails, the load does not.
    WriteFile(dir / "empty.xml", "");
    auto root = LoadBulkCSVSender(dir / "empty.xml");
    EXPECT_EQ(ErrorOf([&] { root->GetSettings()->GetPollInterval(); }), kNullInteger);
}

TEST(BrovaCSVSenderConfig, SettersWriteTheTree) {
    auto root = LoadBulkCSVSenderFromText("");
    auto settings = root->GetSettings();
    settings->SetPollInterval(100);
    settings->GetMail()->SetPort(25);
    settings->GetMail()->SetSendConfirmation(true);
    settings->GetMail()->GetBodyText()->Add()->SetText("line 1");
    auto protocol = settings->GetProtocols()->Add();
    protocol->SetName("FAX");
    protocol->SetEnabled(false);
    settings->GetProtocols()->Insert(0)->SetName("SMS");
    EXPECT_EQ(root->GetXML(),
              R"(<BulkCSVSender><Settings PollInterval="100"><Mail Port="25" )"
              R"(SendConfirmation="true"><BodyText><BodyTextItem Text="line 1"/></BodyText></Mail>)"
              R"(<Protocols><Protocol Name="SMS"/><Protocol Name="FAX" Enabled="false"/>)"
              R"(</Protocols></Settings></BulkCSVSender>)");
    EXPECT_EQ(root->GetSettings()->GetProtocols()->GetItem(1)->GetName(), "FAX");
    EXPECT_FALSE(root->GetSettings()->GetProtocols()->GetItem(1)->GetEnabled());
}

TEST(BrovaCSVSenderConfig, ShippedSampleReads) {
    auto root =
        LoadBulkCSVSender(std::string(BROVA_SOURCE_DIR) + "/packaging/BrovaCSVSenderConfig.xml");
    auto settings = root->GetSettings();
    EXPECT_GT(settings->GetPollInterval(), 0);
    settings->GetStatusInterval();
    settings->GetReplyInterval();
    settings->GetPriority();
    settings->GetMail()->GetPort();
    settings->GetMail()->GetSendConfirmation();
    settings->GetSubmissions()->GetSplit();
    settings->GetSubmissions()->GetMaxMessages();
    root->GetOperationalTime()->GetEnabled();
    ASSERT_GT(settings->GetProtocols()->GetCount(), 0);
    for (int i = 0; i < settings->GetProtocols()->GetCount(); ++i)
        settings->GetProtocols()->GetItem(i)->GetEnabled();
    EXPECT_GT(settings->GetMail()->GetBodyText()->GetCount(), 0);
}

// Damaged files, as an editor or a truncated copy leaves them: every load and every read either
// works or fails with one of the binding layer's own errors, never anything worse.
TEST(BrovaCSVSenderConfig, DamagedTextsFailCleanly) {
    const std::string good = kFullConfig;
    std::mt19937 rng(12345);
    const char kBytes[] = "<>/=\"'&;!?[]- \n\0abcXYZ019\xc3\xa9\xff";
    int loaded = 0;
    for (int round = 0; round < 3000; ++round) {
        std::string text = good;
        int edits = 1 + static_cast<int>(rng() % 4);
        for (int e = 0; e < edits && !text.empty(); ++e) {
            size_t at = rng() % text.size();
            switch (rng() % 4) {
                case 0:
                    text.erase(at, 1 + rng() % 8);
                    break;
                case 1:
                    text.insert(at, 1, kBytes[rng() % (sizeof kBytes - 1)]);
                    break;
                case 2:
                    text[at] = kBytes[rng() % (sizeof kBytes - 1)];
                    break;
                case 3:
                    text.resize(at);
                    break;
            }
        }
        try {
            auto root = LoadBulkCSVSenderFromText(text);
            ++loaded;
            auto settings = root->GetSettings();
            auto protocols = settings->GetProtocols();
            for (int i = 0; i < protocols->GetCount(); ++i) {
                protocols->GetItem(i)->GetPollDirectory();
                try {
                    protocols->GetItem(i)->GetEnabled();
                } catch (const EVariantTypeCastError&) {
                }
            }
            auto body = settings->GetMail()->GetBodyText();
            for (int i = 0; i < body->GetCount(); ++i) body->GetItem(i)->GetText();
            settings->GetMail()->GetHost();
            settings->GetMail()->GetPort();
            settings->GetPollInterval();
        } catch (const EXMLError&) {
        } catch (const EVariantTypeCastError&) {
        }
    }
    EXPECT_GT(loaded, 0);  // some damage still leaves a readable document
}
