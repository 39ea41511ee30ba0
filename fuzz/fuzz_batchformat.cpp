// The client SDK's readers of the batch XML and of the gateway's BatchInfo reply, on any text.
// They may refuse it with std::runtime_error only. What they read must survive being written
// and read again, with every text as the writer makes it XML-safe.
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

void CheckBatchInfo(const std::string& Xml) {
    TBatchInfoReply Reply;
    try {
        Reply = ReadBatchInfoXml(Xml);
    } catch (const std::runtime_error&) {
        return;
    } catch (...) {
        FUZZ_UNEXPECTED_EXCEPTION();
    }
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    const std::string Xml(reinterpret_cast<const char*>(Data), Size);
    CheckBatch(Xml);
    CheckBatchInfo(Xml);
    return 0;
}
