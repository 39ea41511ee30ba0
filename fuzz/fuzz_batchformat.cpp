// The client SDK's readers of the batch XML and of the gateway's BatchInfo reply, on any text.
// They may refuse it with std::runtime_error only. What they read must survive being written
// and read again, with every text as the writer makes it XML-safe. The text itself, made safe
// and escaped, must read back unchanged as element text and as an attribute value.
#include <pugixml.hpp>
#include <stdexcept>
#include <string>

#include "clientsdk/BatchFormat.h"
#include "fuzz/FuzzSupport.h"
#include "support/uXmlText.h"

namespace {

void Clean(std::string& Text) { Text = ToXmlText(Text); }

TBatch Cleaned(TBatch B) {
    Clean(B.BatchName);
    for (std::string* S : {&B.Sender.Name, &B.Sender.Email, &B.Sender.CellNo, &B.Sender.FaxNo})
        Clean(*S);
    for (TBatchMessage& M : B.Messages) {
        for (std::string* S : {&M.BatchName, &M.Reference, &M.DateTime, &M.Override.ProtocolName,
                               &M.Override.MessageType, &M.Override.MessageText})
            Clean(*S);
        for (TBatchRecipient& R : M.Recipients)
            for (std::string* S : {&R.CellNo, &R.Email, &R.FaxNo}) Clean(*S);
    }
    return B;
}

TBatchInfoReply Cleaned(TBatchInfoReply R) {
    Clean(R.RecTime);
    Clean(R.BatchNo);
    for (TBatchInfoItem& I : R.Items)
        for (std::string* S : {&I.RcptCellNo, &I.RcptEmail, &I.RcptFaxNo, &I.Ref, &I.RcptName,
                               &I.RcptTelNo, &I.RcptMergeVars})
            Clean(*S);
    return R;
}

void CheckBatch(const std::string& Xml) {
    TBatch Batch;
    try {
        Batch = ReadBatchXml(Xml);
    } catch (const std::runtime_error&) {
        return;
    } catch (...) {
        FUZZ_UNEXPECTED_EXCEPTION();
    }
    std::string Written;
    TBatch Again;
    try {
        Written = WriteBatchXml(Batch);
        Again = ReadBatchXml(Written);
    } catch (...) {
        std::fprintf(stderr, "written batch: %s\n", FuzzQuote(Written).c_str());
        FUZZ_UNEXPECTED_EXCEPTION();
    }
    FUZZ_CHECK(Again == Cleaned(Batch),
               "a batch read back differently after writing: " + FuzzQuote(Written));
}

// The identifiers alone read as the whole reply does: the one-pass reading of plain replies and
// the document tree agree on what they take and on every identifier.
void CheckIdentifiers(const std::string& Xml, const TBatchInfoReply* Reply) {
    std::vector<int64_t> Ids;
    bool Read = true;
    try {
        Ids = ReadBatchInfoIdentifiers(Xml);
    } catch (const std::runtime_error&) {
        Read = false;
    } catch (...) {
        FUZZ_UNEXPECTED_EXCEPTION();
    }
    FUZZ_CHECK(Read == (Reply != nullptr),
               std::string("the identifiers ") + (Read ? "read" : "failed") +
                   " where the reply did not: " + FuzzQuote(Xml));
    if (!Reply) return;
    std::vector<int64_t> Expected;
    for (const TBatchInfoItem& I : Reply->Items) Expected.push_back(I.ReqID);
    FUZZ_CHECK(Ids == Expected, "the identifiers differ from the reply's: " + FuzzQuote(Xml));
}

void CheckBatchInfo(const std::string& Xml) {
    TBatchInfoReply Reply;
    try {
        Reply = ReadBatchInfoXml(Xml);
    } catch (const std::runtime_error&) {
        CheckIdentifiers(Xml, nullptr);
        return;
    } catch (...) {
        FUZZ_UNEXPECTED_EXCEPTION();
    }
    CheckIdentifiers(Xml, &Reply);
    std::string Written;
    TBatchInfoReply Again;
    try {
        Written = WriteBatchInfoXml(Reply);
        Again = ReadBatchInfoXml(Written);
    } catch (...) {
        std::fprintf(stderr, "written reply: %s\n", FuzzQuote(Written).c_str());
        FUZZ_UNEXPECTED_EXCEPTION();
    }
    FUZZ_CHECK(Again == Cleaned(Reply),
               "a BatchInfo reply read back differently after writing: " + FuzzQuote(Written));
}

void CheckEscaping(const std::string& Input) {
    std::string Converted;
    const std::string_view Text = ToXmlText(Input, Converted);
    FUZZ_CHECK(Text == ToXmlText(Input), "the two conversions differ");
    std::string Element = "<a>", Attribute = "<a v=\"";
    AppendXmlEscaped(Element, Text, false);
    AppendXmlEscaped(Attribute, Text, true);
    FUZZ_CHECK(Element.size() == 3 + XmlEscapedSize(Text, false), "the escaped size is wrong");
    FUZZ_CHECK(Attribute.size() == 6 + XmlEscapedSize(Text, true), "the escaped size is wrong");
    Element += "</a>";
    Attribute += "\"/>";
    pugi::xml_document E, A;
    FUZZ_CHECK(E.load_buffer(Element.data(), Element.size(),
                             pugi::parse_default | pugi::parse_ws_pcdata, pugi::encoding_utf8),
               "escaped text is not well-formed: " + FuzzQuote(Element));
    FUZZ_CHECK(
        A.load_buffer(Attribute.data(), Attribute.size(), pugi::parse_default, pugi::encoding_utf8),
        "an escaped value is not well-formed: " + FuzzQuote(Attribute));
    FUZZ_CHECK(Text == E.first_child().child_value(), "escaped text reads back differently");
    FUZZ_CHECK(Text == A.first_child().attribute("v").value(),
               "an escaped value reads back differently");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    const std::string Xml(reinterpret_cast<const char*>(Data), Size);
    CheckBatch(Xml);
    CheckBatchInfo(Xml);
    CheckEscaping(Xml);
    return 0;
}
