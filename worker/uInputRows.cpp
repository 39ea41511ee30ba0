#include "worker/uInputRows.h"

#include <stdexcept>

#include "support/Util.h"
#include "support/uSmsUtil.h"

namespace {

// The low 16 bits, read as a signed value.
int16_t Truncate16(int Value) {
    return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(Value) & 0xFFFFu));
}

bool IsBlank(char C) { return static_cast<unsigned char>(C) <= 32; }

std::string_view Trimmed(std::string_view Text) {
    while (!Text.empty() && IsBlank(Text.front())) Text.remove_prefix(1);
    while (!Text.empty() && IsBlank(Text.back())) Text.remove_suffix(1);
    return Text;
}

bool EqualsIgnoringCase(std::string_view Text, std::string_view Upper) {
    if (Text.size() != Upper.size()) return false;
    for (size_t I = 0; I < Text.size(); ++I) {
        const char C = Text[I] >= 'a' && Text[I] <= 'z' ? char(Text[I] - 'a' + 'A') : Text[I];
        if (C != Upper[I]) return false;
    }
    return true;
}

// Throws, with the reason as message, when the split row Fields (at least 2) is not valid.
void ValidateRow(uint8_t ProtocolKind, const std::vector<std::string>& Fields) {
    if (Fields.size() < 3) throw std::runtime_error("Message type cannot be empty");
    const size_t Required = !Fields[2].empty() && !EqualsIgnoringCase(Fields[2], "DEF") ? 3 : 4;
    if (Fields.size() < Required)
        throw std::runtime_error("Invalid file format. Must have " + std::to_string(Required) +
                                 " columns");
    const std::string& Address = Fields[0];
    if (Trimmed(Address).empty()) {
        if (ProtocolKind == 1) throw std::runtime_error("Cell no. cannot be empty");
        if (ProtocolKind == 2) throw std::runtime_error("Fax no. cannot be empty");
        if (ProtocolKind == 3) throw std::runtime_error("Email Address cannot be empty");
    } else {
        if (ProtocolKind == 1 && ClassifyCellNo(Address) == 0)
            throw std::runtime_error("Cell no. is invalid");
        if (ProtocolKind == 2 && ClassifyCellNo(Address) == 0)
            throw std::runtime_error("Fax no. is invalid");
        if (ProtocolKind == 3 && !IsEmailAddress(Address))
            throw std::runtime_error("Email Address is invalid");
    }
    if (Fields.size() > 3 && Trimmed(Fields[3]).empty())
        throw std::runtime_error("Message cannot be empty");
}

bool ContainsMessageTextMark(std::string_view Body) {
    static const std::string_view kMark = "MESSAGETEXT=";
    for (size_t I = 0; I + kMark.size() <= Body.size(); ++I)
        if (EqualsIgnoringCase(Body.substr(I, kMark.size()), kMark)) return true;
    return false;
}

}  // namespace

uint8_t ProtocolKindOf(const std::string& TrimmedName) {
    if (TrimmedName == "SMS") return 1;
    if (TrimmedName == "FAX") return 2;
    if (TrimmedName == "EMAIL") return 3;
    return 0;
}

TInputRows::TInputRows(const TRunSettings& Settings, uint8_t ProtocolKind, TVexoMessages& Messages,
                       std::vector<std::string>& Rejected)
    : Settings(Settings), ProtocolKind(ProtocolKind), Messages(Messages), Rejected(Rejected) {
    // A setting that cannot be read fails every nine-digit number, each with the same reason.
    try {
        SplitDelimitedLine(';', Settings.ValidSACellExtensions.Get(), Extensions, true, true);
        for (std::string& Extension : Extensions) Extension = UpperCase(Extension);
    } catch (const std::exception& E) {
        ExtensionsError = E.what();
    }
}

bool TInputRows::NormalisedCellNo(const std::string& Number, std::string& Out) {
    Out = Number;
    if (Number.size() != 9) return false;
    if (!ExtensionsError.empty()) throw ESettingError(ExtensionsError);
    for (const std::string& Extension : Extensions) {
        if (Extension.size() == 3 && Extension[0] == '0' &&
            EqualsIgnoringCase(std::string_view(Number).substr(0, 2), Extension.substr(1))) {
            Out.insert(Out.begin(), '0');
            return true;
        }
    }
    return false;
}

bool TInputRows::Read(std::string_view Piece) {
    if (Ended) return false;
    const size_t Nul = Piece.find('\0');
    if (Nul != std::string_view::npos) {
        Piece = Piece.substr(0, Nul);
        Ended = true;
    }
    // CR, LF and CR LF all end a line; the empty line between CR and LF is no row.
    size_t Pos = 0;
    for (;;) {
        size_t End = Pos;
        while (End < Piece.size() && Piece[End] != '\n' && Piece[End] != '\r') ++End;
        if (End == Piece.size()) {
            Carry.append(Piece.substr(Pos));
            break;
        }
        if (Carry.empty()) {
            ReadRow(Piece.substr(Pos, End - Pos));
        } else {
            Carry.append(Piece.substr(Pos, End - Pos));
            ReadRow(Carry);
            Carry.clear();
        }
        Pos = End + 1;
    }
    if (Ended) Finish();
    return !Ended;
}

void TInputRows::Finish() {
    if (Carry.empty()) return;
    ReadRow(Carry);
    Carry.clear();
}

void TInputRows::ReadRow(std::string_view Line) {
    CellNo.clear();
    FaxNo.clear();
    Email.clear();
    Reference.clear();
    try {
        SplitDelimitedLineInto(',', Line, Fields, true, true);
        if (!Fields.empty()) {
            if (ProtocolKind == 1)
                NormalisedCellNo(Fields[0], CellNo);
            else if (ProtocolKind == 2)
                FaxNo = Fields[0];
            else if (ProtocolKind == 3)
                Email = Fields[0];
        }
        if (Fields.size() < 2) return;
        Reference = Fields[1];
        ValidateRow(ProtocolKind, Fields);

        // Everything that can fail comes before the message exists, so a row that is rejected
        // here leaves no message without a recipient behind.
        Text.clear();
        if (Fields.size() > 3) {
            const std::string_view Body = Trimmed(Fields[3]);
            if (Fields[2] == "DEF" && !ContainsMessageTextMark(Body)) Text = "MessageText=";
            Text.append(Body);
        }
        const int16_t Priority = Truncate16(Settings.Priority.Get());

        TVexoMessage Message = Messages.Add();
        Message.SetMessageType(Fields[2]);
        Message.SetText(Text);
        Message.SetReference(Reference);
        Message.SetPriority(Priority);
        TVexoRecipient Recipient;
        Recipient.CellNo = CellNo;
        Recipient.FaxNo = FaxNo;
        Recipient.Email = Email;
        Message.Recipients().Add(ProtocolKind, Recipient);
    } catch (const std::exception& E) {
        const std::string& Address = ProtocolKind == 2 ? FaxNo : ProtocolKind == 3 ? Email : CellNo;
        Rejected.push_back(Address + "," + Reference + ",\"" + E.what() + "\"");
    }
}

void ReadInputRows(const TRunSettings& Settings, uint8_t ProtocolKind, std::string_view Text,
                   TVexoMessages& Messages, std::vector<std::string>& Rejected) {
    TInputRows Rows(Settings, ProtocolKind, Messages, Rejected);
    Rows.Read(Text);
    Rows.Finish();
}
