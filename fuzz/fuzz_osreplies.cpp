// The gateway's outstanding-reply document as the reply collection reads it: the returned text
// unwrapped from its CDATA section, bound, and every attribute of every item read.
#include <memory>
#include <string>

#include "fuzz/FuzzBinding.h"
#include "gateway/uVexoOSReplies.h"
#include "support/Util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    const std::string Reply(reinterpret_cast<const char*>(Data), Size);
    std::shared_ptr<IXMLVexoReplyListType> List;
    try {
        List = GetVexoReplyList(NewXMLDocument(UnwrapCDATA(Reply)));
    } catch (const EXMLError&) {
        return 0;
    } catch (...) {
        FUZZ_UNEXPECTED_EXCEPTION();
    }
    WalkTwice(*List, [&](TBindingWalk& W) {
        W.Items<IXMLReplyDetType>(List, [&](const std::shared_ptr<IXMLReplyDetType>& R) {
            W.Node(*R);
            W.Str(*R, "Prot", [&] { return R->GetProt(); });
            W.Str(*R, "ReplyMsg", [&] { return R->GetReplyMsg(); });
            W.Int(*R, "Seq", [&] { return R->GetSeq(); });
            W.Str(*R, "RecTime", [&] { return R->GetRecTime(); });
            W.Str(*R, "Originator", [&] { return R->GetOriginator(); });
            const auto Ident = R->GetMsgIdent();
            W.Node(*Ident);
            W.Str(*Ident, "MsgID", [&] { return Ident->GetMsgID(); });
            W.Str(*Ident, "ReqID", [&] { return Ident->GetReqID(); });
            W.Str(*Ident, "Ref", [&] { return Ident->GetRef(); });
            W.Str(*Ident, "ClientApp", [&] { return Ident->GetClientApp(); });
        });
    });
    return 0;
}
