// The gateway's outstanding-status document as the status collection reads it: the returned
// text unwrapped from its CDATA section, bound, and every attribute of every item read.
#include <memory>
#include <string>

#include "fuzz/FuzzBinding.h"
#include "gateway/uVexoOSStatus.h"
#include "support/Util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    const std::string Reply(reinterpret_cast<const char*>(Data), Size);
    std::shared_ptr<IXMLVexoMessageStatusListType> List;
    try {
        List = GetVexoMessageStatusList(NewXMLDocument(UnwrapCDATA(Reply)));
    } catch (const EXMLError&) {
        return 0;
    } catch (...) {
        FUZZ_UNEXPECTED_EXCEPTION();
    }
    WalkTwice(*List, [&](TBindingWalk& W) {
        W.Items<IXMLMsgStatType>(List, [&](const std::shared_ptr<IXMLMsgStatType>& S) {
            W.Node(*S);
            W.Str(*S, "StatTime", [&] { return S->GetStatTime(); });
            W.Str(*S, "StatText", [&] { return S->GetStatText(); });
            W.Str(*S, "Status", [&] { return S->GetStatus(); });
            const auto Ident = S->GetMsgIdent();
            W.Node(*Ident);
            W.Str(*Ident, "MsgID", [&] { return Ident->GetMsgID(); });
            W.Str(*Ident, "ReqID", [&] { return Ident->GetReqID(); });
            W.Str(*Ident, "Ref", [&] { return Ident->GetRef(); });
            W.Str(*Ident, "Prot", [&] { return Ident->GetProt(); });
            W.Str(*Ident, "Rcpt", [&] { return Ident->GetRcpt(); });
            W.Str(*Ident, "ClientApp", [&] { return Ident->GetClientApp(); });
        });
    });
    return 0;
}
