#include "gateway/uVexoOSReplies.h"

#include <gtest/gtest.h>

#include "gateway/uVexoOSStatus.h"

namespace {

std::shared_ptr<IXMLVexoReplyListType> ReplyList(const std::string& Text) {
    return GetVexoReplyList(NewXMLDocument(Text));
}

}  // namespace

TEST(VexoOSReplies, ReadsEntriesInOrderSkippingOtherNames) {
    auto list = ReplyList(R"(<VexoReplyList>
  <ReplyDet Prot="SMS" ReplyMsg="Yes &amp; thanks" Seq="7" RecTime="2024/01/02 10:00:00"
            Originator="0821234567">
    <MsgIdent MsgID="m1" ReqID="r1" Ref="ref1" ClientApp="ABC" Prot="ignored"/>
  </ReplyDet>
  <MsgStat Status="not a reply"/>
  <ReplyDet Prot="EMAIL" ReplyMsg="" Originator="a@b.c"/>
</VexoReplyList>)");
    ASSERT_EQ(list->GetCount(), 2);
    auto r0 = list->GetItem(0);
    EXPECT_EQ(r0->GetProt(), "SMS");
    EXPECT_EQ(r0->GetReplyMsg(), "Yes & thanks");
    EXPECT_EQ(r0->GetSeq(), 7);
    EXPECT_EQ(r0->GetRecTime(), "2024/01/02 10:00:00");
    EXPECT_EQ(r0->GetOriginator(), "0821234567");
    auto id = r0->GetMsgIdent();
    EXPECT_EQ(id->GetMsgID(), "m1");
    EXPECT_EQ(id->GetReqID(), "r1");
    EXPECT_EQ(id->GetRef(), "ref1");
    EXPECT_EQ(id->GetClientApp(), "ABC");

    auto r1 = list->GetItem(1);
    EXPECT_EQ(r1->GetProt(), "EMAIL");
    EXPECT_EQ(r1->GetOriginator(), "a@b.c");
    EXPECT_EQ(r1->GetMsgIdent()->GetReqID(), "");  // absent MsgIdent reads empty
    try {
        r1->GetSeq();
        FAIL() << "an absent Seq was read";
    } catch (const EVariantTypeCastError& e) {
        EXPECT_STREQ(e.what(), "Could not convert variant of type (Null) into type (Integer)");
    }
}

TEST(VexoOSReplies, EmptyTextHasNoEntries) {
    EXPECT_EQ(ReplyList("")->GetCount(), 0);
    EXPECT_EQ(ReplyList("<VexoReplyList></VexoReplyList>")->GetCount(), 0);
}

TEST(VexoOSReplies, EachListRefusesTheOtherDocument) {
    const std::string replies = R"(<VexoReplyList><ReplyDet Prot="SMS"/></VexoReplyList>)";
    const std::string statuses = R"(<VexoMessageStatusList><MsgStat/></VexoMessageStatusList>)";
    try {
        GetVexoMessageStatusList(NewXMLDocument(replies));
        FAIL();
    } catch (const EXMLInterfaceError& e) {
        EXPECT_STREQ(e.what(), "Interface not supported");
    }
    try {
        ReplyList(statuses);
        FAIL();
    } catch (const EXMLInterfaceError& e) {
        EXPECT_STREQ(e.what(), "Interface not supported");
    }
    EXPECT_THROW(ReplyList("<VexoReplyList"), EXMLParseError);
}

TEST(VexoOSReplies, SettersBuildADocument) {
    auto list = ReplyList("");
    auto reply = list->Add();
    reply->SetSeq(12);
    reply->SetOriginator("082");
    reply->GetMsgIdent()->SetClientApp("APP");
    EXPECT_EQ(list->GetXML(), R"(<VexoReplyList><ReplyDet Seq="12" Originator="082">)"
                              R"(<MsgIdent ClientApp="APP"/></ReplyDet></VexoReplyList>)");
    EXPECT_EQ(list->GetItem(0)->GetSeq(), 12);
}
