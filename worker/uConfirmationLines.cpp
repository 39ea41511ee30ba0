#include "worker/uConfirmationLines.h"

#include <algorithm>
#include <charconv>
#include <stdexcept>
#include <vector>

namespace {

const std::string_view kSubmittedStatus = "Sucessfully submitted to Vexo.";
constexpr size_t kPieceBytes = size_t(1) << 20;

void AppendQuoted(std::string& Out, std::string_view Text) {
    Out += '"';
    Out += Text;
    Out += '"';
}

}  // namespace

void TConfirmationLines::Add(std::string Line) {
    Lines.push_back({0, static_cast<int32_t>(Texts.size()), 0, TKind::Text, false});
    Texts.push_back(std::move(Line));
}

int64_t TConfirmationLines::AddRecipient(int32_t Message, int32_t Recipient,
                                         const std::string& Failure) {
    if (Recipient > INT16_MAX) throw std::runtime_error("Too many recipients in one message");
    if (Failure.empty()) {
        Lines.push_back({Message, -1, static_cast<int16_t>(Recipient), TKind::Submitted, false});
    } else {
        Lines.push_back({Message, static_cast<int32_t>(Texts.size()),
                         static_cast<int16_t>(Recipient), TKind::Failed, false});
        Texts.push_back(Failure);
    }
    return Count() - 1;
}

void TConfirmationLines::Mark(int64_t Line) { Lines[static_cast<size_t>(Line)].Marked = true; }

void TConfirmationLines::Truncate(int64_t Count) {
    if (Count < this->Count()) Lines.resize(static_cast<size_t>(Count));
}

void TConfirmationLines::Clear() {
    Lines.clear();
    Texts.clear();
}

void TConfirmationLines::AppendLine(std::string& Out, const TLine& Line) const {
    if (Line.Kind == TKind::Text) {
        Out += Texts[static_cast<size_t>(Line.Text)];
        return;
    }
    const TVexoMessage Message = Messages.Items(Line.Message);
    const TVexoRecipient Recipient = Message.Recipients().Items(Line.Recipient);
    AppendQuoted(Out, ProtocolKind == 2   ? Recipient.FaxNo
                      : ProtocolKind == 3 ? Recipient.Email
                                          : Recipient.CellNo);
    Out += ',';
    AppendQuoted(Out, Message.Reference());
    Out += ',';
    if (Line.Kind == TKind::Submitted)
        AppendQuoted(Out, kSubmittedStatus);
    else
        AppendQuoted(Out, Texts[static_cast<size_t>(Line.Text)]);
    if (Line.Marked) {
        char Digits[24];
        const auto End = std::to_chars(Digits, Digits + sizeof Digits, Message.MessageID()).ptr;
        Out += ",\"MessageID=";
        Out.append(Digits, End);
        Out += '"';
    }
}

namespace {
// Between the fields of a short line; no address, reference or failure text holds it.
constexpr char kCompactSeparator = '\x1f';
}  // namespace

std::string TConfirmationLines::Compact(int64_t Index) const {
    const TLine& Line = Lines[static_cast<size_t>(Index)];
    if (Line.Kind == TKind::Text) return "T" + Texts[static_cast<size_t>(Line.Text)];
    const TVexoMessage Message = Messages.Items(Line.Message);
    const TVexoRecipient Recipient = Message.Recipients().Items(Line.Recipient);
    const std::string_view Address = ProtocolKind == 2   ? Recipient.FaxNo
                                     : ProtocolKind == 3 ? Recipient.Email
                                                         : Recipient.CellNo;
    const std::string_view Failure =
        Line.Kind == TKind::Failed ? std::string_view(Texts[static_cast<size_t>(Line.Text)]) : "";
    // A field that holds the separator keeps the whole line instead.
    for (const std::string_view Field : {Address, Message.Reference(), Failure})
        if (Field.find(kCompactSeparator) != std::string_view::npos) {
            std::string Whole = "T";
            AppendLine(Whole, Line);
            return Whole;
        }
    std::string Out(1, Line.Kind == TKind::Failed ? 'F' : 'S');
    Out += Address;
    Out += kCompactSeparator;
    Out += Message.Reference();
    if (Line.Kind == TKind::Failed) {
        Out += kCompactSeparator;
        Out += Failure;
    }
    if (Line.Marked) {
        Out += kCompactSeparator;
        Out += std::to_string(Message.MessageID());
    }
    return Out;
}

std::string TConfirmationLines::Expand(std::string_view Compact) {
    if (Compact.empty()) return "";
    if (Compact[0] == 'T') return std::string(Compact.substr(1));
    // The address, the reference, the failure of an 'F' line, the identifier of a marked one.
    std::vector<std::string_view> Fields;
    for (size_t From = 1;;) {
        const size_t To = Compact.find(kCompactSeparator, From);
        Fields.push_back(Compact.substr(From, To == std::string_view::npos ? To : To - From));
        if (To == std::string_view::npos) break;
        From = To + 1;
    }
    Fields.resize(std::max<size_t>(Fields.size(), 2));
    size_t Next = 2;
    std::string Out;
    AppendQuoted(Out, Fields[0]);
    Out += ',';
    AppendQuoted(Out, Fields[1]);
    Out += ',';
    AppendQuoted(Out,
                 Compact[0] == 'F' && Fields.size() > Next ? Fields[Next++] : kSubmittedStatus);
    if (Fields.size() > Next) {
        Out += ",\"MessageID=";
        Out += Fields[Next];
        Out += '"';
    }
    return Out;
}

int64_t TConfirmationLines::Size() const {
    // Counted as AppendLine writes, without writing: the quotes, commas and line ends around the
    // texts, and the identifier's digits.
    int64_t Total = 0;
    for (const TLine& L : Lines) {
        Total += 2;
        if (L.Kind == TKind::Text) {
            Total += static_cast<int64_t>(Texts[static_cast<size_t>(L.Text)].size());
            continue;
        }
        const TVexoMessage Message = Messages.Items(L.Message);
        const TVexoRecipient Recipient = Message.Recipients().Items(L.Recipient);
        const std::string_view Address = ProtocolKind == 2   ? Recipient.FaxNo
                                         : ProtocolKind == 3 ? Recipient.Email
                                                             : Recipient.CellNo;
        const size_t Status = L.Kind == TKind::Submitted
                                  ? kSubmittedStatus.size()
                                  : Texts[static_cast<size_t>(L.Text)].size();
        Total += static_cast<int64_t>(Address.size() + Message.Reference().size() + Status + 8);
        if (L.Marked) {
            char Digits[24];
            Total += std::to_chars(Digits, Digits + sizeof Digits, Message.MessageID()).ptr -
                     Digits + 13;
        }
    }
    return Total;
}

void TConfirmationLines::Write(const std::function<void(std::string_view)>& Write) const {
    std::string Piece;
    Piece.reserve(kPieceBytes + 4096);
    for (const TLine& L : Lines) {
        AppendLine(Piece, L);
        Piece += "\r\n";
        if (Piece.size() >= kPieceBytes) {
            Write(Piece);
            Piece.clear();
        }
    }
    if (!Piece.empty()) Write(Piece);
}
