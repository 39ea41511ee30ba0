#include "worker/uInputRows.h"

#include <memory>
#include <stdexcept>

#include "support/Util.h"
#include "support/uSmsUtil.h"

namespace {

// The low 16 bits, read as a signed value.
int16_t Truncate16(int Value) {
    return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(Value) & 0xFFFFu));
}

// Throws, with the reason as message, when the split row Fields (at least 2) is not valid.
void ValidateRow(uint8_t ProtocolKind, const std::vector<std::string>& Fields) {
    if (Fields.size() < 3) throw std::runtime_error("Message type cannot be empty");
    const size_t Required = !Fields[2].empty() && UpperCase(Fields[2]) != "DEF" ? 3 : 4;
    if (Fields.size() < Required)
        throw std::runtime_error("Invalid file format. Must have " + std::to_string(Required) +
                                 " columns");
    const std::string& Address = Fields[0];
    if (Trim(Address).empty()) {
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
    if (Fields.size() > 3 && Trim(Fields[3]).empty())
        throw std::runtime_error("Message cannot be empty");
}

std::string NormaliseCellNo(const TRunSettings& Settings, const std::string& CellNo) {
    if (CellNo.size() != 9) return CellNo;
    std::vector<std::string> Extensions;
    SplitDelimitedLine(';', Settings.ValidSACellExtensions.Get(), Extensions, true, true);
    const std::string Prefix = UpperCase("0" + CellNo.substr(0, 2));
    for (const std::string& Extension : Extensions)
        if (UpperCase(Extension) == Prefix) return "0" + CellNo;
    return CellNo;
}

}  // namespace

uint8_t ProtocolKindOf(const std::string& TrimmedName) {
    if (TrimmedName == "SMS") return 1;
    if (TrimmedName == "FAX") return 2;
    if (TrimmedName == "EMAIL") return 3;
    return 0;
}

void ReadInputRows(const TRunSettings& Settings, uint8_t ProtocolKind, std::string_view Text,
                   TVexoMessages& Messages, std::vector<std::string>& Rejected) {
    Text = Text.substr(0, Text.find('\0'));
    std::vector<std::string> Fields;
    std::string Line, CellNo, FaxNo, Email, Reference;
    size_t Pos = 0;
    while (Pos < Text.size()) {
        size_t End = Text.find_first_of("\r\n", Pos);
        if (End == std::string_view::npos) End = Text.size();
        Line.assign(Text, Pos, End - Pos);
        Pos = End + 1;
        if (End < Text.size() && Text[End] == '\r' && Pos < Text.size() && Text[Pos] == '\n') ++Pos;

        CellNo.clear();
        FaxNo.clear();
        Email.clear();
        Reference.clear();
        try {
            Fields.clear();
            SplitDelimitedLine(',', Line, Fields, true, true);
            if (!Fields.empty()) {
                if (ProtocolKind == 1)
                    CellNo = NormaliseCellNo(Settings, Fields[0]);
                else if (ProtocolKind == 2)
                    FaxNo = Fields[0];
                else if (ProtocolKind == 3)
                    Email = Fields[0];
            }
            if (Fields.size() < 2) continue;
            Reference = Fields[1];
            ValidateRow(ProtocolKind, Fields);

            // Everything that can fail comes before the message exists, so a row that is
            // rejected here leaves no message without a recipient behind.
            std::string MessageText;
            if (Fields.size() > 3) {
                const std::string Body = Trim(Fields[3]);
                if (Fields[2] == "DEF" && UpperCase(Body).find("MESSAGETEXT=") == std::string::npos)
                    MessageText = "MessageText=" + Body;
                else
                    MessageText = Body;
            }
            const int16_t Priority = Truncate16(Settings.Priority.Get());

            TVexoMessage& Message = Messages.Add();
            auto Recipient = std::make_unique<TVexoRecipient>(&Message.Recipients);
            Message.MessageType = Fields[2];
            Message.Text = std::move(MessageText);
            Recipient->CellNo = CellNo;
            Recipient->FaxNo = FaxNo;
            Recipient->Email = Email;
            Message.Reference = Reference;
            Message.Priority = Priority;
            Message.Recipients.Add(ProtocolKind, std::move(Recipient));
        } catch (const std::exception& E) {
            const std::string& Address = ProtocolKind == 2   ? FaxNo
                                         : ProtocolKind == 3 ? Email
                                                             : CellNo;
            Rejected.push_back(Address + "," + Reference + ",\"" + E.what() + "\"");
        }
    }
}
