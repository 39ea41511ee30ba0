// Many threads read one loaded configuration at once, as the dispatcher and the workers do.
// Run under -fsanitize=thread this shows that reads, absent elements included, write nothing.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "config/uBrovaCSVSenderConfig.h"

namespace {

const int kThreads = 8;
const int kRounds = 500;

// Mail, Submissions and OperationalTime are absent; the second protocol lacks Enabled.
const char kConfig[] = R"(<BulkCSVSender>
  <Vexo URL="http://127.0.0.1:1/x" Username="u" Password="p"><Sender EmailAdress="a@b.c"/></Vexo>
  <Settings PollInterval="30000" StatusInterval="60000" ReplyInterval="0" Format="COMBINED">
    <Protocols>
      <Protocol Name="SMS" PollDirectory="/in" StatusDirectory="/st" Enabled="true"/>
      <Other/>
      <Protocol Name="FAX" PollDirectory="/fax"/>
    </Protocols>
  </Settings>
</BulkCSVSender>)";

template <class F>
bool Throws(F&& Fn) {
    try {
        Fn();
    } catch (const EVariantTypeCastError&) {
        return true;
    }
    return false;
}

// One thread's share: every getter, present and absent; returns the number of wrong values.
int ReadAll(std::shared_ptr<IXMLBulkCSVSenderType> Root) {
    int wrong = 0;
    auto check = [&](bool ok) { wrong += ok ? 0 : 1; };
    for (int i = 0; i < kRounds; ++i) {
        auto settings = Root->GetSettings();
        check(settings->GetPollInterval() == 30000);
        check(settings->GetStatusInterval() == 60000);
        check(settings->GetFormat() == "COMBINED");
        check(Throws([&] { settings->GetPriority(); }));
        check(Root->GetVexo()->GetURL() == "http://127.0.0.1:1/x");
        check(Root->GetVexo()->GetSender()->GetEmailAdress() == "a@b.c");
        check(Root->GetVexo()->GetSender()->GetFaxNo().empty());

        auto mail = settings->GetMail();
        check(mail->GetHost().empty());
        check(Throws([&] { mail->GetPort(); }));
        check(Throws([&] { mail->GetSendConfirmation(); }));
        check(mail->GetBodyText()->GetCount() == 0);
        check(mail->GetErrorText()->GetCount() == 0);
        check(Throws([&] { settings->GetSubmissions()->GetSplit(); }));
        check(Throws([&] { Root->GetOperationalTime()->GetEnabled(); }));
        check(Root->GetOperationalTime()->GetStartTime().empty());

        auto protocols = settings->GetProtocols();
        check(protocols->GetCount() == 2);
        check(protocols->GetItem(0)->GetEnabled());
        check(protocols->GetItem(1)->GetName() == "FAX");
        check(Throws([&] { protocols->GetItem(1)->GetEnabled(); }));
        check(protocols->GetItem(1)->GetReplyDirectory().empty());
    }
    return wrong;
}

}  // namespace

TEST(ConfigThreads, EightReadersOfOneDocument) {
    auto doc = NewXMLDocument(kConfig);
    auto root = GetBulkCSVSender(doc);
    const std::string before = doc->GetXML();

    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&wrong, held = root] { wrong += ReadAll(held); });
    root.reset();  // released while the readers still hold theirs
    for (auto& t : threads) t.join();

    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(doc->GetXML(), before);
}
