#include "worker/uVexoClientUtils.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "worker/VexoClientSDK_TLB.h"

namespace {

std::string ErrorOf(const std::function<void()>& Call) {
    try {
        Call();
    } catch (const EClientSDKError& E) {
        return E.what();
    }
    return "no error";
}

TEST(CreateClientObject, CreatesTheClassesTheWorkerMakesByName) {
    EXPECT_EQ(ClientSDKName, "VexoClientSDK");
    EXPECT_TRUE(std::dynamic_pointer_cast<IBatchRequest>(CreateClientObject("BatchRequest")));
    EXPECT_TRUE(std::dynamic_pointer_cast<IMessageRequest>(CreateClientObject("MessageRequest")));
    EXPECT_TRUE(
        std::dynamic_pointer_cast<IOverrideProtocol>(CreateClientObject("OverrideProtocol")));
    auto Recipient = std::dynamic_pointer_cast<IRecipient>(CreateClientObject("Recipient"));
    ASSERT_TRUE(Recipient);
    Recipient->SetCellNo("0821234567");
    EXPECT_EQ(Recipient->GetCellNo(), "0821234567");
    // A cast to another class's interface fails; the worker treats that as an error.
    EXPECT_FALSE(std::dynamic_pointer_cast<ISender>(CreateClientObject("Recipient")));
}

TEST(CreateClientObject, UnknownClassOrSdkNameIsRefused) {
    EXPECT_EQ(ErrorOf([] { CreateClientObject("Nothing"); }),
              "No client SDK class is registered under the name 'VexoClientSDK.Nothing'");
    EXPECT_EQ(ErrorOf([] { CreateClientObject(""); }),
              "No client SDK class is registered under the name 'VexoClientSDK.'");

    const std::string Saved = ClientSDKName;
    ClientSDKName = "OtherSDK";
    const std::string Error = ErrorOf([] { CreateClientObject("Recipient"); });
    ClientSDKName = Saved;
    EXPECT_EQ(Error, "No client SDK class is registered under the name 'OtherSDK.Recipient'");
}

TEST(CoCreators, CreateSenderAndBatchInfoByClassIdentifier) {
    std::shared_ptr<ISender> Sender = CoSender::Create();
    ASSERT_TRUE(Sender);
    EXPECT_EQ(Sender->ClassName(), "Sender");
    EXPECT_NE(Sender, CoSender::Create());

    std::shared_ptr<IBatchInfo> Info = CoBatchInfo::Create();
    ASSERT_TRUE(Info);
    Info->SetReplyText(
        "<BatchInfo><RqstList><RqstIdent><ReqID>7</ReqID></RqstIdent>"
        "<RqstIdent><ReqID>9</ReqID></RqstIdent></RqstList></BatchInfo>");
    auto Items = Info->GetItems();
    ASSERT_EQ(Items->GetCount(), 2);
    EXPECT_EQ(Items->GetItem(0)->GetMessageID(), 7);
    EXPECT_EQ(Items->GetItem(1)->GetMessageID(), 9);

    // The sender made by class identifier is accepted by a batch request made by name.
    auto Batch = std::dynamic_pointer_cast<IBatchRequest>(CreateClientObject("BatchRequest"));
    ASSERT_TRUE(Batch);
    Sender->SetName("Org");
    Batch->SetSender(Sender);
    EXPECT_NE(Batch->GetXML().find("<Sender Name=\"Org\" "), std::string::npos);
}

}  // namespace
