// The configuration file, from any text: parsed and bound, then every getter of every element
// read. The binding layer's own exceptions are expected; anything else escaping is a fault.
#include <memory>
#include <string>

#include "config/uBrovaCSVSenderConfig.h"
#include "fuzz/FuzzBinding.h"

namespace {

using TBodyText = std::shared_ptr<IXMLBodyTextItemType>;

void WalkTexts(TBindingWalk& W, const TBodyText& T) {
    W.Node(*T);
    W.Str(*T, "Text", [&] { return T->GetText(); });
}

void Walk(TBindingWalk& W, const std::shared_ptr<IXMLBulkCSVSenderType>& Root) {
    W.Node(*Root);

    const auto Time = Root->GetOperationalTime();
    W.Node(*Time);
    W.Bool(*Time, "Enabled", [&] { return Time->GetEnabled(); });
    W.Str(*Time, "StartTime", [&] { return Time->GetStartTime(); });
    W.Str(*Time, "EndTime", [&] { return Time->GetEndTime(); });

    const auto Vexo = Root->GetVexo();
    W.Node(*Vexo);
    W.Str(*Vexo, "URL", [&] { return Vexo->GetURL(); });
    W.Str(*Vexo, "Username", [&] { return Vexo->GetUsername(); });
    W.Str(*Vexo, "Password", [&] { return Vexo->GetPassword(); });
    const auto Sender = Vexo->GetSender();
    W.Node(*Sender);
    W.Str(*Sender, "Name", [&] { return Sender->GetName(); });
    W.Str(*Sender, "CellNo", [&] { return Sender->GetCellNo(); });
    W.Str(*Sender, "EmailAdress", [&] { return Sender->GetEmailAdress(); });
    W.Str(*Sender, "FaxNo", [&] { return Sender->GetFaxNo(); });
    W.Str(*Sender, "TelNo", [&] { return Sender->GetTelNo(); });

    const auto Settings = Root->GetSettings();
    W.Node(*Settings);
    W.Int(*Settings, "PollInterval", [&] { return Settings->GetPollInterval(); });
    W.Int(*Settings, "ReplyInterval", [&] { return Settings->GetReplyInterval(); });
    W.Int(*Settings, "StatusInterval", [&] { return Settings->GetStatusInterval(); });
    W.Str(*Settings, "ValidSACellExtensions", [&] { return Settings->GetValidSACellExtensions(); });
    W.Str(*Settings, "Format", [&] { return Settings->GetFormat(); });
    W.Int(*Settings, "Priority", [&] { return Settings->GetPriority(); });

    const auto Mail = Settings->GetMail();
    W.Node(*Mail);
    W.Str(*Mail, "Host", [&] { return Mail->GetHost(); });
    W.Str(*Mail, "FromAddress", [&] { return Mail->GetFromAddress(); });
    W.Int(*Mail, "Port", [&] { return Mail->GetPort(); });
    W.Str(*Mail, "MailAgent", [&] { return Mail->GetMailAgent(); });
    W.Str(*Mail, "Subject", [&] { return Mail->GetSubject(); });
    W.Str(*Mail, "FromName", [&] { return Mail->GetFromName(); });
    W.Bool(*Mail, "SendConfirmation", [&] { return Mail->GetSendConfirmation(); });
    W.Bool(*Mail, "SendStatus", [&] { return Mail->GetSendStatus(); });
    W.Bool(*Mail, "SendReply", [&] { return Mail->GetSendReply(); });
    W.Items<IXMLBodyTextItemType>(Mail->GetBodyText(),
                                  [&](const TBodyText& T) { WalkTexts(W, T); });
    W.Items<IXMLBodyTextItemType>(Mail->GetErrorText(),
                                  [&](const TBodyText& T) { WalkTexts(W, T); });

    W.Items<IXMLProtocolType>(
        Settings->GetProtocols(), [&](const std::shared_ptr<IXMLProtocolType>& P) {
            W.Node(*P);
            W.Str(*P, "Name", [&] { return P->GetName(); });
            W.Str(*P, "PollDirectory", [&] { return P->GetPollDirectory(); });
            W.Str(*P, "ReplyDirectory", [&] { return P->GetReplyDirectory(); });
            W.Str(*P, "StatusDirectory", [&] { return P->GetStatusDirectory(); });
            W.Str(*P, "PollFileType", [&] { return P->GetPollFileType(); });
            W.Bool(*P, "Enabled", [&] { return P->GetEnabled(); });
        });

    const auto Submissions = Settings->GetSubmissions();
    W.Node(*Submissions);
    W.Int(*Submissions, "Split", [&] { return Submissions->GetSplit(); });
    W.Int(*Submissions, "MaxMessages", [&] { return Submissions->GetMaxMessages(); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    const std::string Text(reinterpret_cast<const char*>(Data), Size);
    std::shared_ptr<IXMLBulkCSVSenderType> Root;
    try {
        Root = LoadBulkCSVSenderFromText(Text);
    } catch (const EXMLError&) {
        return 0;  // not well-formed, or another root: refused with a message, as it should be
    } catch (...) {
        FUZZ_UNEXPECTED_EXCEPTION();
    }
    FUZZ_CHECK(Root && Root->IsPresent() && Root->GetNodeName() == "BulkCSVSender",
               "the root binding is not the document's BulkCSVSender element");
    WalkTwice(*Root, [&](TBindingWalk& W) { Walk(W, Root); });
    return 0;
}
