#include "clientsdk/ClientSDK.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "clientsdk/BatchFormat.h"

namespace {

template <typename Interface>
std::shared_ptr<Interface> New(const std::string& ClassName) {
    auto Object =
        std::dynamic_pointer_cast<Interface>(CreateClientSDKObject("VexoClientSDK." + ClassName));
    if (!Object) throw std::logic_error(ClassName + " does not have the expected interface");
    return Object;
}

std::string ErrorOf(const std::function<void()>& Call) {
    try {
        Call();
    } catch (const EClientSDKError& E) {
        return E.what();
    }
    return "no error";
}

std::shared_ptr<ISender> NewSender() {
    auto S = New<ISender>("Sender");
    S->SetName("Org");
    S->SetEmail("org@example.com");
    S->SetCellNo("0820000000");
    S->SetFaxNo("0110000000");
    return S;
}

// Builds one message the way the worker does: the recipient is added before the override
// protocol and the message request are filled in.
std::shared_ptr<IMessageRequest> NewMessage(const std::string& Ref, const std::string& Cell,
                                            const std::string& Text, int32_t Priority) {
    auto M = New<IMessageRequest>("MessageRequest");
    auto O = New<IOverrideProtocol>("OverrideProtocol");
    auto R = New<IRecipient>("Recipient");
    R->SetCellNo(Cell);
    R->SetEmail("");
    R->SetFaxNo("");
    M->AddRecipient(R);
    O->SetFlag(-1);
    O->SetProtocolName("SMS");
    O->SetMessageType("TEXT");
    O->SetMessageText(Text);
    M->SetReference(Ref);
    M->SetDateTime("2004-12-24 21:00:00");
    M->SetBatchName("ABC");
    M->SetFlag(-1);
    M->SetOverrideProtocol(O);
    M->SetPriority(Priority);
    return M;
}

TEST(ClientSDKObjects, BatchBuiltThroughObjectsReadsBackAsSet) {
    auto B = New<IBatchRequest>("BatchRequest");
    B->SetBatchName("ABC");
    B->SetSender(NewSender());
    B->AddMessageRequest(NewMessage("R1", "0821111111", "Hi & <bye>", -5));
    B->AddMessageRequest(NewMessage("R2", "0822222222", "caf\xE9\x01 \xE2\x82\xAC\n", 32767));

    // A message with two recipients, one of them holding every address, and no override.
    auto M = New<IMessageRequest>("MessageRequest");
    auto R1 = New<IRecipient>("Recipient");
    R1->SetEmail("a@b.c");
    R1->SetCellNo("083");
    R1->SetFaxNo("011");
    EXPECT_EQ(R1->GetCellNo(), "083");
    M->AddRecipient(R1);
    M->AddRecipient(New<IRecipient>("Recipient"));
    M->SetFlag(0);
    B->AddMessageRequest(M);

    TBatch Expected;
    Expected.BatchName = "ABC";
    Expected.Sender = {"Org", "org@example.com", "0820000000", "0110000000"};
    TBatchMessage E1;
    E1.BatchName = "ABC";
    E1.Reference = "R1";
    E1.DateTime = "2004-12-24 21:00:00";
    E1.Priority = -5;
    E1.Flag = true;
    E1.Override = {"SMS", "TEXT", "Hi & <bye>", true};
    E1.Recipients = {{"0821111111", "", ""}};
    TBatchMessage E2 = E1;
    E2.Reference = "R2";
    E2.Priority = 32767;
    // Not UTF-8 as a whole, so every byte is Windows-1252; the control character is dropped.
    E2.Override.MessageText = "caf\xC3\xA9 \xC3\xA2\xE2\x80\x9A\xC2\xAC\n";
    E2.Recipients = {{"0822222222", "", ""}};
    TBatchMessage E3;
    E3.Recipients = {{"083", "a@b.c", "011"}, {}};
    Expected.Messages = {E1, E2, E3};

    EXPECT_EQ(ReadBatchXml(B->GetXML()), Expected);
}

TEST(ClientSDKObjects, XmlReflectsObjectsAsTheyAreWhenAsked) {
    auto B = New<IBatchRequest>("BatchRequest");
    auto S = NewSender();
    B->SetSender(S);
    auto M = NewMessage("R1", "0821111111", "first", 1);
    B->AddMessageRequest(M);
    const std::string Before = B->GetXML();

    S->SetName("Renamed");
    M->SetReference("R1b");
    auto O = New<IOverrideProtocol>("OverrideProtocol");
    O->SetMessageText("second");
    M->SetOverrideProtocol(O);  // replaces the first override protocol

    const TBatch After = ReadBatchXml(B->GetXML());
    EXPECT_EQ(ReadBatchXml(Before).Messages.at(0).Reference, "R1");
    EXPECT_EQ(After.Sender.Name, "Renamed");
    EXPECT_EQ(After.Messages.at(0).Reference, "R1b");
    EXPECT_EQ(After.Messages.at(0).Override, (TBatchOverride{"", "", "second", false}));
    // Asking twice gives the same text: nothing is consumed.
    EXPECT_EQ(B->GetXML(), B->GetXML());

    // Objects released and made again start as new ones, whatever their predecessors held.
    B.reset();
    M.reset();
    O.reset();
    auto Again = New<IBatchRequest>("BatchRequest");
    Again->SetSender(S);
    Again->AddMessageRequest(New<IMessageRequest>("MessageRequest"));
    const TBatch Fresh = ReadBatchXml(Again->GetXML());
    EXPECT_EQ(Fresh.BatchName, "");
    EXPECT_EQ(Fresh.Messages, std::vector<TBatchMessage>{TBatchMessage{}});
}

TEST(ClientSDKObjects, FlagsFollowAutomationTruth) {
    auto B = New<IBatchRequest>("BatchRequest");
    B->SetSender(NewSender());
    for (int32_t Value : {-1, 0, 1}) {
        auto M = New<IMessageRequest>("MessageRequest");
        auto O = New<IOverrideProtocol>("OverrideProtocol");
        M->SetFlag(Value);
        O->SetFlag(Value);
        M->SetOverrideProtocol(O);
        B->AddMessageRequest(M);
    }
    const TBatch R = ReadBatchXml(B->GetXML());
    ASSERT_EQ(R.Messages.size(), 3u);
    EXPECT_TRUE(R.Messages[0].Flag && R.Messages[0].Override.Flag);
    EXPECT_FALSE(R.Messages[1].Flag || R.Messages[1].Override.Flag);
    EXPECT_TRUE(R.Messages[2].Flag && R.Messages[2].Override.Flag);
}

TEST(ClientSDKObjects, ObjectsOfTheWrongKindAreRefused) {
    auto B = New<IBatchRequest>("BatchRequest");
    auto M = New<IMessageRequest>("MessageRequest");
    auto Rcpt = New<IRecipient>("Recipient");

    EXPECT_EQ(ErrorOf([&] { B->SetSender(nullptr); }),
              "SetSender: no object was given; it must be of class Sender");
    EXPECT_EQ(ErrorOf([&] { B->SetSender(Rcpt); }),
              "SetSender: the object must be of class Sender, not Recipient");
    EXPECT_EQ(ErrorOf([&] { B->AddMessageRequest(NewSender()); }),
              "AddMessageRequest: the object must be of class MessageRequest, not Sender");
    EXPECT_EQ(ErrorOf([&] { B->AddMessageRequest(nullptr); }),
              "AddMessageRequest: no object was given; it must be of class MessageRequest");
    EXPECT_EQ(ErrorOf([&] { M->AddRecipient(nullptr); }),
              "AddRecipient: no object was given; it must be of class Recipient");
    EXPECT_EQ(ErrorOf([&] { M->AddRecipient(M); }),
              "AddRecipient: the object must be of class Recipient, not MessageRequest");
    EXPECT_EQ(ErrorOf([&] { M->SetOverrideProtocol(Rcpt); }),
              "SetOverrideProtocol: the object must be of class OverrideProtocol, not Recipient");
    EXPECT_EQ(ErrorOf([&] { B->GetXML(); }), "GetXML: the batch request has no sender");

    // Refused calls change nothing: the batch still holds no message request.
    B->SetSender(NewSender());
    EXPECT_TRUE(ReadBatchXml(B->GetXML()).Messages.empty());
}

std::string ReplyWithIds(const std::vector<int64_t>& Ids) {
    TBatchInfoReply R;
    for (int64_t Id : Ids) {
        TBatchInfoItem I;
        I.ReqID = Id;
        R.Items.push_back(I);
    }
    return WriteBatchInfoXml(R);
}

TEST(ClientSDKBatchInfo, ListsOneItemPerRequestInOrder) {
    auto Info = New<IBatchInfo>("BatchInfo");
    std::vector<int64_t> Ids;
    for (int i = 0; i < 1000; ++i) Ids.push_back(1000000 - 7 * i);  // descending: order matters
    Info->SetReplyText(ReplyWithIds(Ids));
    auto Items = Info->GetItems();
    ASSERT_EQ(Items->GetCount(), 1000);
    for (int32_t i = 0; i < Items->GetCount(); ++i) {
        ASSERT_EQ(Items->GetItem(i)->GetMessageID(), Ids[i]) << "item " << i;
    }
    EXPECT_EQ(New<IBatchInfo>("BatchInfo")->ClassName(), "BatchInfo");

    // A new reply replaces the old one entirely.
    Info->SetReplyText(ReplyWithIds({-2147483648LL, 2147483647LL}));
    Items = Info->GetItems();
    ASSERT_EQ(Items->GetCount(), 2);
    EXPECT_EQ(Items->GetItem(0)->GetMessageID(), -2147483647 - 1);
    EXPECT_EQ(Items->GetItem(1)->GetMessageID(), 2147483647);
}

TEST(ClientSDKBatchInfo, FailuresCarryTheirDescription) {
    auto Info = New<IBatchInfo>("BatchInfo");
    EXPECT_EQ(ErrorOf([&] { Info->GetItems(); }), "GetItems: no reply text was set");

    // Setting a reply that cannot be read does not fail; reading its items does.
    Info->SetReplyText("");
    EXPECT_EQ(ErrorOf([&] { Info->GetItems(); }),
              "GetItems: The BatchInfo reply is not well-formed XML: No document element found "
              "at offset 0");
    Info->SetReplyText("<Fault>no</Fault>");
    EXPECT_EQ(ErrorOf([&] { Info->GetItems(); }),
              "GetItems: The BatchInfo reply has the root element 'Fault' instead of 'BatchInfo'");
    Info->SetReplyText(
        "<BatchInfo><RqstList><RqstIdent><ReqID>1</ReqID></RqstIdent><RqstIdent><ReqID>1x"
        "</ReqID></RqstIdent></RqstList></BatchInfo>");
    EXPECT_EQ(ErrorOf([&] { Info->GetItems(); }),
              "GetItems: RqstIdent 2: ReqID '1x' is not a 64-bit integer");
    Info->SetReplyText("<BatchInfo><BatchID>9223372036854775808</BatchID></BatchInfo>");
    EXPECT_EQ(ErrorOf([&] { Info->GetItems(); }),
              "GetItems: BatchID '9223372036854775808' is not a 64-bit integer");

    // A good reply after a bad one is read normally.
    Info->SetReplyText(ReplyWithIds({8589934593LL, 5}));
    auto Items = Info->GetItems();
    EXPECT_EQ(Items->GetItem(0)->GetMessageID(), 8589934593LL);
    EXPECT_EQ(Items->GetItem(1)->GetMessageID(), 5);
    EXPECT_EQ(ErrorOf([&] { Items->GetItem(2); }),
              "GetItem: index 2 is out of range; the reply lists 2 items");
    EXPECT_EQ(ErrorOf([&] { Items->GetItem(-1); }),
              "GetItem: index -1 is out of range; the reply lists 2 items");
}

TEST(ClientSDKRegistry, CreatesEachClassByNameOrClassIdentifier) {
    const std::pair<const char*, const char*> Classes[] = {
        {"Sender", CLASS_Sender},
        {"BatchRequest", CLASS_BatchRequest},
        {"MessageRequest", CLASS_MessageRequest},
        {"OverrideProtocol", CLASS_OverrideProtocol},
        {"Recipient", CLASS_Recipient},
        {"BatchInfo", CLASS_BatchInfo},
    };
    for (const auto& [Name, ClassID] : Classes) {
        auto A = CreateClientSDKObject(std::string("VexoClientSDK.") + Name);
        auto B = CreateClientSDKObjectByClassID(ClassID);
        ASSERT_TRUE(A && B) << Name;
        EXPECT_EQ(A->ClassName(), Name);
        EXPECT_EQ(B->ClassName(), Name);
        EXPECT_NE(A, CreateClientSDKObject(std::string("VexoClientSDK.") + Name))
            << "every call makes a new object";
    }
    // Programmatic names are not case sensitive.
    EXPECT_EQ(CreateClientSDKObject("vexoclientsdk.recipient")->ClassName(), "Recipient");
}

TEST(ClientSDKRegistry, UnknownNamesAreRefused) {
    for (const std::string Name :
         {"VexoClientSDK.Nothing", "VexoClientSDK.", "VexoClientSDK", "Other.Recipient",
          "VexoClientSDK.Recipient.", "", "VexoClientSDKXRecipient"}) {
        EXPECT_EQ(ErrorOf([&] { CreateClientSDKObject(Name); }),
                  "No client SDK class is registered under the name '" + Name + "'");
    }
    EXPECT_EQ(
        ErrorOf([&] { CreateClientSDKObjectByClassID("{00000000-0000-0000-0000-000000000000}"); }),
        "No client SDK class is registered with the class identifier "
        "'{00000000-0000-0000-0000-000000000000}'");
}

TEST(ClientSDKRegistry, ArmedFailuresHitOnlyTheirClassAndCount) {
    FailNextClientSDKCreations("Recipient", 2, "Recipient not available");
    EXPECT_EQ(CreateClientSDKObject("VexoClientSDK.Sender")->ClassName(), "Sender");
    EXPECT_EQ(ErrorOf([] { CreateClientSDKObject("VexoClientSDK.Recipient"); }),
              "Recipient not available");
    EXPECT_EQ(ErrorOf([] { CreateClientSDKObjectByClassID(CLASS_Recipient); }),
              "Recipient not available");
    EXPECT_EQ(CreateClientSDKObject("VexoClientSDK.Recipient")->ClassName(), "Recipient");

    FailNextClientSDKCreations("Sender", 5, "never");
    FailNextClientSDKCreations("Sender", 0, "");
    EXPECT_EQ(CreateClientSDKObjectByClassID(CLASS_Sender)->ClassName(), "Sender");
}

}  // namespace
