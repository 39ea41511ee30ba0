// The gateway simulator's one-pass batch reader against the SDK's full reader, on any text: when
// the one-pass reader takes a document, the full reader must take it too and read every message
// to the same texts. When it declines, it must leave what was stored before untouched.
#include <string>

#include "clientsdk/BatchFormat.h"
#include "fuzz/FuzzSupport.h"
#include "tools/uSimMessages.h"

namespace {

std::string Describe(const TSimTexts& T) {
    std::string Out;
    for (std::string_view V : T) Out += FuzzQuote(std::string(V)) + " ";
    return Out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    const std::string Xml(reinterpret_cast<const char*>(Data), Size);
    // One message stored before, so a reader that gives up must leave it as it was.
    TSimMessages Fast;
    const TSimTexts Before = {"B", "SMS", "T", "R0", "x", "0820000000", "", ""};
    Fast.Add(Before, 7);
    const bool Taken = Fast.AddBatchXml(Xml, 1);
    FUZZ_CHECK(Fast.Texts(0) == Before && Fast.Tag(0) == 7, "the stored message changed");
    if (!Taken) {
        FUZZ_CHECK(Fast.Size() == 1, "a declined document left messages behind");
        return 0;
    }
    TBatch Batch;
    try {
        Batch = ReadBatchXml(Xml);
    } catch (const std::exception& E) {
        FuzzFail(__FILE__, __LINE__,
                 "the full reader refuses what the one-pass reader took (" + std::string(E.what()) +
                     "): " + FuzzQuote(Xml));
    }
    TSimMessages Full;
    Full.Add(Before, 7);
    Full.AddBatch(Batch, 1);
    FUZZ_CHECK(Full.Size() == Fast.Size(), "message counts differ: " + FuzzQuote(Xml));
    for (size_t I = 1; I < Fast.Size(); ++I)
        FUZZ_CHECK(Fast.Texts(I) == Full.Texts(I) && Fast.Tag(I) == 1,
                   "message " + std::to_string(I) + " reads " + Describe(Fast.Texts(I)) +
                       "instead of " + Describe(Full.Texts(I)) + "in " + FuzzQuote(Xml));
    return 0;
}
