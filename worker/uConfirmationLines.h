// The lines of a confirmation file while a run builds them. They become text only when they are
// written: a line of a row that was rejected is kept as it is, and a recipient's line as the
// message and recipient it stands for, whether it went into its part or failed (and why), and
// whether its message's identifier follows. One worker thread owns them.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "support/uVexoMessages.h"

class TConfirmationLines {
  public:
    // The message list of the run, which the recipients' lines are made from.
    explicit TConfirmationLines(const TVexoMessages& Messages) : Messages(Messages) {}
    // Which address a recipient's line shows: 2 the fax number, 3 the e-mail address, else the
    // cell number.
    uint8_t ProtocolKind = 0;

    // A line as it stands: the header, a rejected row.
    void Add(std::string Line);
    // '"address","reference","Sucessfully submitted to Vexo."' for recipient Recipient of message
    // Message, or with Failure in place of the status when it is not empty. Returns its index.
    int64_t AddRecipient(int32_t Message, int32_t Recipient, const std::string& Failure);
    // Line Line gets ',"MessageID=N"', N being its message's identifier when written.
    void Mark(int64_t Line);
    int64_t Count() const { return static_cast<int64_t>(Lines.size()); }
    // Line Line in short, for a journal: its kind and fields, without the quotes and status
    // every such line has. Expand gives the line as Write gives it, without its line end.
    std::string Compact(int64_t Line) const;
    static std::string Expand(std::string_view Compact);
    void Clear();
    // Keeps the first Count lines only.
    void Truncate(int64_t Count);

    // The bytes Write gives, each line ended by CR LF.
    int64_t Size() const;
    // Hands the text to Write in pieces of about a megabyte.
    void Write(const std::function<void(std::string_view)>& Write) const;

  private:
    enum class TKind : uint8_t { Text, Submitted, Failed };
    struct TLine {
        int32_t Message;
        int32_t Text;  // of a text line or a failure, the index into Texts
        int16_t Recipient;
        TKind Kind;
        bool Marked;
    };

    // Appends the line to Out without its line end.
    void AppendLine(std::string& Out, const TLine& Line) const;

    const TVexoMessages& Messages;
    std::vector<TLine> Lines;
    std::vector<std::string> Texts;
};
