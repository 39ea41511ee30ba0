#include "clientsdk/BatchFormat.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

TBatch SampleBatch() {
    TBatch B;
    B.BatchName = "ABC";
    B.Sender = {"Org & Co", "org@example.com", "0821234567", "0111234567"};
    TBatchMessage M1;
    M1.BatchName = "ABC";
    M1.Reference = "R1";
    M1.DateTime = "2004-12-24 21:00:00";
    M1.Priority = -3;
    M1.Flag = true;
    M1.Override = {"SMS", "TEXT", "Hello \"you\" <b> & 'me'", true};
    M1.Recipients = {{"0821234567", "", ""}};
    TBatchMessage M2;
    M2.BatchName = "ABC";
    M2.Reference = "  padded  ";
    M2.Priority = 2147483647;
    M2.Override = {"EMAIL", "", "line 1\r\nline 2\n\ttabbed\r", false};
    M2.Recipients = {{"", "a@b.c", ""}, {"", "", "0119876543"}};
    TBatchMessage M3;  // nothing set, no recipients
    B.Messages = {M1, M2, M3};
    return B;
}

TEST(BatchXml, RoundTripKeepsEveryFieldAndOrder) {
    const TBatch B = SampleBatch();
    EXPECT_EQ(ReadBatchXml(WriteBatchXml(B)), B);

    TBatch Empty;
    EXPECT_EQ(ReadBatchXml(WriteBatchXml(Empty)), Empty);
}

TEST(BatchXml, ExactDocumentShape) {
    TBatch B;
    B.BatchName = "ABC";
    B.Sender = {"Org", "o@x.y", "082", "011"};
    TBatchMessage M;
    M.BatchName = "ABC";
    M.Reference = "R<1>";
    M.Priority = 5;
    M.DateTime = "2004-12-24 21:00:00";
    M.Flag = true;
    M.Override = {"SMS", "TEXT", "a & \"b\"\n", true};
    M.Recipients = {{"0821234567", "", ""}};
    B.Messages = {M};
    EXPECT_EQ(WriteBatchXml(B),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              "<BatchRequest BatchName=\"ABC\">\n"
              "  <Sender Name=\"Org\" Email=\"o@x.y\" CellNo=\"082\" FaxNo=\"011\"/>\n"
              "  <MessageRequest BatchName=\"ABC\" Reference=\"R&lt;1&gt;\" Priority=\"5\" "
              "DateTime=\"2004-12-24 21:00:00\" Flag=\"true\">\n"
              "    <OverrideProtocol ProtocolName=\"SMS\" MessageType=\"TEXT\" Flag=\"true\" "
              "MessageText=\"a &amp; &quot;b&quot;&#10;\"/>\n"
              "    <Recipient CellNo=\"0821234567\" Email=\"\" FaxNo=\"\"/>\n"
              "  </MessageRequest>\n"
              "</BatchRequest>\n");
}

TEST(BatchXml, TextBecomesValidXmlUtf8) {
    TBatch B;
    B.BatchName = "Gr\xC3\xBC\xC3\x9F \xE2\x9C\x93 \xF0\x9F\x98\x80";  // valid UTF-8 stays
    B.Sender.Name = "caf\xE9 \x80 \x93quoted\x94";                     // not UTF-8: Windows-1252
    TBatchMessage M;
    M.Reference =
        "a\x01"
        "b\x1F"
        "c\x0C"
        "d\x7F";                                // controls XML forbids go, DEL stays
    M.Override.MessageText = "x\xEF\xBF\xBEy";  // U+FFFE is not an XML character
    M.Recipients = {{std::string("\0"
                                 "082",
                                 4),
                     "", ""}};  // NUL is no XML character
    B.Messages = {M};

    const TBatch R = ReadBatchXml(WriteBatchXml(B));
    EXPECT_EQ(R.BatchName, B.BatchName);
    EXPECT_EQ(R.Sender.Name, "caf\xC3\xA9 \xE2\x82\xAC \xE2\x80\x9Cquoted\xE2\x80\x9D");
    EXPECT_EQ(R.Messages.at(0).Reference, "abcd\x7F");
    EXPECT_EQ(R.Messages.at(0).Override.MessageText, "xy");
    EXPECT_EQ(R.Messages.at(0).Recipients.at(0).CellNo, "082");
}

TEST(BatchXml, ReadingRefusesWhatIsNotABatch) {
    auto MessageOf = [](const std::string& Xml) {
        try {
            ReadBatchXml(Xml);
        } catch (const std::runtime_error& E) {
            return std::string(E.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(MessageOf(""),
              "The batch is not well-formed XML: No document element found at offset 0");
    EXPECT_EQ(MessageOf("<BatchRequest><MessageRequest></BatchRequest>")
                  .rfind("The batch is not well-formed XML: ", 0),
              0u);
    EXPECT_EQ(MessageOf("<BatchInfo/>"),
              "The batch has the root element 'BatchInfo' instead of 'BatchRequest'");
    EXPECT_EQ(MessageOf("<BatchRequest><MessageRequest/><MessageRequest Priority=\"1x\"/>"
                        "</BatchRequest>"),
              "MessageRequest 2: Priority '1x' is not a 32-bit integer");
    EXPECT_EQ(MessageOf("<BatchRequest><MessageRequest Priority=\"2147483648\"/></BatchRequest>"),
              "MessageRequest 1: Priority '2147483648' is not a 32-bit integer");
    EXPECT_EQ(MessageOf("<BatchRequest><MessageRequest Flag=\"yes\"/></BatchRequest>"),
              "MessageRequest 1: Flag 'yes' is not \"true\" or \"false\"");
    EXPECT_EQ(MessageOf("<BatchRequest><MessageRequest><OverrideProtocol Flag=\"-1\"/>"
                        "</MessageRequest></BatchRequest>"),
              "MessageRequest 1: OverrideProtocol Flag '-1' is not \"true\" or \"false\"");
}

TEST(BatchXml, ReadingAcceptsPrefixesAndMissingValues) {
    const TBatch B = ReadBatchXml(
        "<v:BatchRequest xmlns:v=\"urn:x\" BatchName=\"N\"><!-- note -->"
        "<v:MessageRequest Reference=\"R\" Flag=\"1\"><v:Recipient CellNo=\"1\"/>"
        "<Unknown/></v:MessageRequest></v:BatchRequest>");
    EXPECT_EQ(B.BatchName, "N");
    EXPECT_EQ(B.Sender, TBatchSender{});
    ASSERT_EQ(B.Messages.size(), 1u);
    EXPECT_EQ(B.Messages[0].Reference, "R");
    EXPECT_TRUE(B.Messages[0].Flag);
    EXPECT_EQ(B.Messages[0].Priority, 0);
    EXPECT_EQ(B.Messages[0].Recipients, (std::vector<TBatchRecipient>{{"1", "", ""}}));
}

TBatchInfoReply SampleReply(int N) {
    TBatchInfoReply R;
    for (int i = 0; i < N; ++i) {
        TBatchInfoItem I;
        I.RcptCellNo = "08200000" + std::to_string(i);
        I.ReqID = 5000000000LL + i;
        I.Ref = "R" + std::to_string(i);
        R.Items.push_back(I);
    }
    R.RecTime = "2024-01-31 10:00:00";
    R.BatchID = -17;
    R.BatchNo = "B17";
    return R;
}

TEST(BatchInfoXml, RoundTripKeepsItemsInOrderWithEveryField) {
    TBatchInfoReply R = SampleReply(250);
    R.Items[1] = {"c", "e@x.y", "f", 7, "  spaced  ", "N\xC3\xA4me", "t", "k=v;<a>&"};
    EXPECT_EQ(ReadBatchInfoXml(WriteBatchInfoXml(R)), R);
    EXPECT_EQ(ReadBatchInfoXml(WriteBatchInfoXml(TBatchInfoReply{})), TBatchInfoReply{});
}

TEST(BatchInfoXml, ExactDocumentShape) {
    TBatchInfoReply R;
    R.Items = {{"082", "", "", 1001, "R&1", "", "", ""}};
    R.RecTime = "T";
    R.BatchID = 17;
    R.BatchNo = "B17";
    EXPECT_EQ(WriteBatchInfoXml(R),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              "<BatchInfo xmlns=\"http://vexo.gateway\">\n"
              "  <RqstList>\n"
              "    <RqstIdent>\n"
              "      <Rcpt>\n"
              "        <Name/>\n"
              "        <CellNo>082</CellNo>\n"
              "        <Email/>\n"
              "        <FaxNo/>\n"
              "        <TelNo/>\n"
              "        <MergeVars/>\n"
              "      </Rcpt>\n"
              "      <ReqID>1001</ReqID>\n"
              "      <Ref>R&amp;1</Ref>\n"
              "    </RqstIdent>\n"
              "  </RqstList>\n"
              "  <RecTime>T</RecTime>\n"
              "  <BatchID>17</BatchID>\n"
              "  <BatchNo>B17</BatchNo>\n"
              "</BatchInfo>\n");
}

TEST(BatchInfoXml, ReadsOtherWritersForms) {
    // Prefixed elements, CDATA, a value of blanks, padded numbers, absent members.
    const TBatchInfoReply R = ReadBatchInfoXml(
        "<?xml version=\"1.0\"?>\n<ns1:BatchInfo xmlns:ns1=\"http://vexo.gateway\">"
        "<ns1:RqstList>\n"
        "  <ns1:RqstIdent><ns1:ReqID> 42 </ns1:ReqID><ns1:Ref><![CDATA[a<b]]></ns1:Ref>"
        "</ns1:RqstIdent>\n"
        "  <ns1:RqstIdent><ns1:Rcpt><ns1:CellNo> </ns1:CellNo></ns1:Rcpt></ns1:RqstIdent>\n"
        "</ns1:RqstList><ns1:BatchNo>X</ns1:BatchNo></ns1:BatchInfo>");
    ASSERT_EQ(R.Items.size(), 2u);
    EXPECT_EQ(R.Items[0].ReqID, 42);
    EXPECT_EQ(R.Items[0].Ref, "a<b");
    EXPECT_EQ(R.Items[1].ReqID, 0);
    EXPECT_EQ(R.Items[1].RcptCellNo, " ");
    EXPECT_EQ(R.BatchID, 0);
    EXPECT_EQ(R.BatchNo, "X");
    EXPECT_EQ(R.RecTime, "");
}

TEST(BatchInfoXml, ReadingRefusesWhatIsNotABatchInfo) {
    auto MessageOf = [](const std::string& Xml) {
        try {
            ReadBatchInfoXml(Xml);
        } catch (const std::runtime_error& E) {
            return std::string(E.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(MessageOf("OK"),
              "The BatchInfo reply is not well-formed XML: No document element found at offset 2");
    EXPECT_EQ(MessageOf("<BatchInfo><RqstList>")
                  .rfind("The BatchInfo reply is not well-formed XML: Start-end tags mismatch", 0),
              0u);
    EXPECT_EQ(MessageOf("<BatchRequest/>"),
              "The BatchInfo reply has the root element 'BatchRequest' instead of 'BatchInfo'");
    EXPECT_EQ(MessageOf("<BatchInfo><RqstList><RqstIdent/><RqstIdent><ReqID>12a</ReqID>"
                        "</RqstIdent></RqstList></BatchInfo>"),
              "RqstIdent 2: ReqID '12a' is not a 64-bit integer");
    EXPECT_EQ(MessageOf("<BatchInfo><BatchID>9223372036854775808</BatchID></BatchInfo>"),
              "BatchID '9223372036854775808' is not a 64-bit integer");
}

}  // namespace
