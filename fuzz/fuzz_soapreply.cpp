// The whole path of the gateway's SOAP replies: HTTP status, content type and body in, the call's
// result or an ESOAPError out, for each of the four result kinds, and a string result further as
// Send's is read: unwrapped and given to the SDK's BatchInfo for its message identifiers. The
// input's first line may set the status and content type ("500 text/xml; charset=utf-8");
// without it the reply is a "200 text/xml" one and the whole input is its body.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "clientsdk/ClientSDK.h"
#include "fuzz/FuzzSupport.h"
#include "gateway/uVexocspWS.h"
#include "support/Util.h"

namespace {

constexpr size_t kMaxHeaderLine = 200;

TSoapHttpReply MakeReply(const std::string& Input) {
    TSoapHttpReply Reply;
    Reply.StatusCode = 200;
    Reply.ContentType = "text/xml; charset=utf-8";
    const size_t Eol = Input.find('\n');
    const bool HasHeader = Eol != std::string::npos && Eol <= kMaxHeaderLine && Eol >= 3 &&
                           Input.find_first_not_of("0123456789") == 3;
    if (HasHeader) {
        Reply.StatusCode = std::stol(Input.substr(0, 3));
        Reply.ContentType = Trim(Input.substr(3, Eol - 3));
        Reply.Body = Input.substr(Eol + 1);
    } else {
        Reply.Body = Input;
    }
    Reply.StatusLine = "HTTP/1.1 " + std::to_string(Reply.StatusCode) + " Reason";
    return Reply;
}

// How one reader ended: its failure, if any.
struct TOutcome {
    bool Failed = false;
    bool Fault = false;
    std::string Message;
};

template <class F>
TOutcome Run(const char* Reader, const F& Read) {
    TOutcome Out;
    try {
        Read();
    } catch (const ESOAPFault& E) {
        Out = {true, true, E.what()};
    } catch (const ESOAPError& E) {
        Out = {true, false, E.what()};
    } catch (...) {
        std::fprintf(stderr, "while reading a reply with %s\n", Reader);
        FUZZ_UNEXPECTED_EXCEPTION();
    }
    FUZZ_CHECK(!Out.Failed || !Out.Message.empty(),
               std::string(Reader) + " failed with an empty message");
    return Out;
}

// An optionally signed run of decimal digits between blanks, in the 64-bit range; blank is 0.
std::optional<int64_t> StrictInt64(const std::string& Raw) {
    const std::string Text = Trim(Raw);
    if (Text.empty()) return 0;
    const bool Negative = Text[0] == '-';
    size_t I = (Text[0] == '+' || Text[0] == '-') ? 1 : 0;
    if (I == Text.size()) return std::nullopt;
    unsigned __int128 Magnitude = 0;
    for (; I < Text.size(); ++I) {
        if (Text[I] < '0' || Text[I] > '9') return std::nullopt;
        Magnitude = Magnitude * 10 + static_cast<unsigned>(Text[I] - '0');
        if (Magnitude > (static_cast<unsigned __int128>(1) << 63)) return std::nullopt;
    }
    if (!Negative && Magnitude > static_cast<unsigned __int128>(INT64_MAX)) return std::nullopt;
    return Negative ? static_cast<int64_t>(-static_cast<__int128>(Magnitude))
                    : static_cast<int64_t>(Magnitude);
}

// The string result as the worker reads Send's: its message identifiers through the SDK.
void ReadIdentifiers(const std::string& Text) {
    try {
        auto Info =
            std::dynamic_pointer_cast<IBatchInfo>(CreateClientSDKObject("VexoClientSDK.BatchInfo"));
        Info->SetReplyText(UnwrapCDATA(Text));
        const auto Items = Info->GetItems();
        const int32_t Count = Items->GetCount();
        FUZZ_CHECK(Count >= 0, "a negative item count");
        for (int32_t I = 0; I < Count; ++I) Items->GetItem(I)->GetMessageID();
    } catch (const EClientSDKError& E) {
        FUZZ_CHECK(*E.what(), "the SDK failed with an empty message");
    } catch (...) {
        std::fprintf(stderr, "while reading the identifiers of %s\n", FuzzQuote(Text).c_str());
        FUZZ_UNEXPECTED_EXCEPTION();
    }
}

bool IsTextResultFailure(const TOutcome& O) {
    return O.Failed && O.Message.rfind("SOAP Response Packet: text result expected", 0) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    const TSoapHttpReply Http = MakeReply(std::string(reinterpret_cast<const char*>(Data), Size));

    std::string Text;
    std::optional<int64_t> Long;
    std::unique_ptr<BatchInfo> Info;
    const TOutcome AsText = Run("the string reader", [&] { Text = ReadSoapStringReply(Http); });
    const TOutcome AsLong = Run("the long reader", [&] { Long = ReadSoapLongReply(Http); });
    const TOutcome AsInfo =
        Run("the BatchInfo reader", [&] { Info = ReadSoapBatchInfoReply(Http); });
    const TOutcome AsLog = Run("the RequestLog reader", [&] { ReadSoapRequestLogReply(Http); });

    // Every reader checks the reply the same way before it reads its result; markup inside the
    // result fails only the readers of text.
    if (AsText.Failed) {
        std::vector<const TOutcome*> Same = {&AsLong};
        if (!IsTextResultFailure(AsText)) Same.insert(Same.end(), {&AsInfo, &AsLog});
        for (const TOutcome* Other : Same) {
            FUZZ_CHECK(
                Other->Failed && Other->Fault == AsText.Fault && Other->Message == AsText.Message,
                "readers disagree about a reply that fails: " + AsText.Message + " / " +
                    Other->Message);
        }
    }
    const bool Success = Http.StatusCode >= 200 && Http.StatusCode <= 299;
    if (!Success)
        FUZZ_CHECK(AsText.Failed, "a reply with HTTP status " + std::to_string(Http.StatusCode) +
                                      " was read as " + FuzzQuote(Text));
    const std::string Media =
        UpperCase(Trim(Http.ContentType.substr(0, Http.ContentType.find(';'))));
    if (Success && (!AsText.Failed || AsText.Fault))
        FUZZ_CHECK(Media != "TEXT/HTML" && Media != "TEXT/PLAIN",
                   "a reply of type " + FuzzQuote(Http.ContentType) + " was read");

    if (!AsLong.Failed) {
        FUZZ_CHECK(!AsText.Failed, "the long reader read a reply the string reader refused");
        const std::optional<int64_t> Expected = StrictInt64(Text);
        FUZZ_CHECK(Expected && *Expected == *Long,
                   "the result " + FuzzQuote(Text) + " was read as " + std::to_string(*Long));
    } else if (!AsText.Failed) {
        FUZZ_CHECK(!StrictInt64(Text),
                   "the integer " + FuzzQuote(Text) + " was refused: " + AsLong.Message);
    }
    if (!AsInfo.Failed && Info)
        for (const auto& Item : Info->RqstList) FUZZ_CHECK(Item, "a null item in RqstList");
    if (!AsText.Failed) ReadIdentifiers(Text);

    // A reply that reads is one whole document: anything after it fails the call. (A body in
    // UTF-16 or UTF-32 would only break in its encoding.)
    const unsigned char First = Http.Body.empty() ? 0 : static_cast<unsigned char>(Http.Body[0]);
    if (!AsText.Failed && First != 0 && First != 0xFE && First != 0xFF) {
        TSoapHttpReply More = Http;
        More.Body += "<more/>";
        const TOutcome After = Run("the string reader", [&] { ReadSoapStringReply(More); });
        FUZZ_CHECK(After.Message == "Invalid SOAP response: content after the envelope",
                   "content after a reply that reads: " + After.Message);
    }
    return 0;
}
