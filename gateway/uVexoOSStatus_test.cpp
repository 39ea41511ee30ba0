#include "gateway/uVexoOSStatus.h"

#include <gtest/gtest.h>

namespace {

std::shared_ptr<IXMLVexoMessageStatusListType> StatusList(const std::string& Text) {
    return GetVexoMessageStatusList(NewXMLDocument(Text));
}

std::string ErrorOf(const std::string& Text) {
    try {
        StatusList(Text);
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no error)";
}

}  // namespace

TEST(VexoOSStatus, ReadsEntriesInOrderSkippingOtherNames) {
    auto list = StatusList(R"(<?xml version="1.0"?>
<VexoMessageStatusList>
  <MsgStat StatTime="2024/01/02 10:11:12" StatText="Delivered" Status="3">
    <MsgIdent MsgID="m1" ReqID="r1" Ref="ref,1" Prot="SMS" Rcpt="0821234567" ClientApp="ABC"/>
    <MsgIdent ReqID="second ident is ignored"/>
  </MsgStat>
  <Error Text="not a status"/>
  <MsgStat StatTime="t2" StatText="Failed" Status="9">
    <MsgIdent MsgID="m2" ReqID="r2" Ref="" Prot="FAX" Rcpt="011" ClientApp="DEF"/>
  </MsgStat>
</VexoMessageStatusList>)");
    ASSERT_EQ(list->GetCount(), 2);
    auto s0 = list->GetItem(0);
    EXPECT_EQ(s0->GetStatTime(), "2024/01/02 10:11:12");
    EXPECT_EQ(s0->GetStatText(), "Delivered");
    EXPECT_EQ(s0->GetStatus(), "3");
    auto id0 = s0->GetMsgIdent();
    EXPECT_EQ(id0->GetMsgID(), "m1");
    EXPECT_EQ(id0->GetReqID(), "r1");
    EXPECT_EQ(id0->GetRef(), "ref,1");
    EXPECT_EQ(id0->GetProt(), "SMS");
    EXPECT_EQ(id0->GetRcpt(), "0821234567");
    EXPECT_EQ(id0->GetClientApp(), "ABC");
    EXPECT_EQ(list->GetItem(1)->GetStatText(), "Failed");
    EXPECT_EQ(list->GetItem(1)->GetMsgIdent()->GetClientApp(), "DEF");
    EXPECT_THROW(list->GetItem(2), EXMLListError);
}

TEST(VexoOSStatus, EmptyAndItemlessDocumentsHaveNoEntries) {
    EXPECT_EQ(StatusList("")->GetCount(), 0);
    EXPECT_EQ(StatusList("<VexoMessageStatusList/>")->GetCount(), 0);
    EXPECT_EQ(StatusList("<VexoMessageStatusList><ReplyDet/></VexoMessageStatusList>")->GetCount(),
              0);
}

TEST(VexoOSStatus, MsgStatWithoutMsgIdentReadsEmpty) {
    auto doc =
        NewXMLDocument(R"(<VexoMessageStatusList><MsgStat Status="1"/></VexoMessageStatusList>)");
    auto stat = GetVexoMessageStatusList(doc)->GetItem(0);
    auto id = stat->GetMsgIdent();
    EXPECT_FALSE(id->IsPresent());
    for (const std::string& v :
         {id->GetMsgID(), id->GetReqID(), id->GetRef(), id->GetProt(), id->GetRcpt(),
          id->GetClientApp(), stat->GetStatTime(), stat->GetStatText()})
        EXPECT_EQ(v, "");
    EXPECT_EQ(stat->GetStatus(), "1");
    EXPECT_EQ(stat->GetXML(), R"(<MsgStat Status="1"/>)");  // reading created nothing
}

TEST(VexoOSStatus, WrongOrBrokenDocumentsFail) {
    EXPECT_EQ(ErrorOf("<VexoReplyList><ReplyDet/></VexoReplyList>"), "Interface not supported");
    EXPECT_EQ(ErrorOf("<soap:Fault xmlns:soap='x'/>"), "Interface not supported");
    EXPECT_EQ(ErrorOf("<VexoMessageStatusList><MsgStat></VexoMessageStatusList>"),
              "Start-end tags mismatch (line 1, column 35)");
    // A CDATA wrapping is removed before the text gets here; left on, it is not a document.
    EXPECT_EQ(ErrorOf("<![CDATA[<VexoMessageStatusList/>]]>"),
              "Text is not allowed outside the document element (line 1, column 10)");
}

TEST(VexoOSStatus, SettersBuildADocument) {
    auto doc = NewXMLDocument("");
    auto list = GetVexoMessageStatusList(doc);
    auto stat = list->Add();
    stat->SetStatus("2");
    stat->GetMsgIdent()->SetReqID("r9");
    stat->GetMsgIdent()->SetProt("SMS");
    list->Insert(0)->SetStatText("first");
    EXPECT_EQ(list->GetXML(),
              R"(<VexoMessageStatusList><MsgStat StatText="first"/><MsgStat Status="2">)"
              R"(<MsgIdent ReqID="r9" Prot="SMS"/></MsgStat></VexoMessageStatusList>)");
    auto again = GetVexoMessageStatusList(NewXMLDocument(list->GetXML()));
    EXPECT_EQ(again->GetItem(1)->GetMsgIdent()->GetProt(), "SMS");
}
