#include "worker/uConfirmationLines.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Every kind of line, as the saved file holds them; the size that is journalled before the
// save is the size written, and each line's short form for the journal gives it back whole.
TEST(ConfirmationLines, WrittenAsSavedAndSizedExactly) {
    TVexoMessages Messages;
    for (const char* Reference : {"R1", "R2",
                                  "R\x1f"
                                  "3"}) {
        TVexoMessage Message = Messages.Add();
        Message.SetReference(Reference);
        TVexoRecipient Recipient;
        Recipient.CellNo = "0821234567";
        Recipient.FaxNo = "0111234567";
        Message.Recipients().Add(1, Recipient);
    }
    Messages.Items(0).SetMessageID(8589934593LL);
    TConfirmationLines Lines(Messages);
    Lines.ProtocolKind = 2;
    Lines.Add("Fax No.,Reference,Status");
    Lines.Add("011,F2,\"Fax no. is invalid\"");
    Lines.Mark(Lines.AddRecipient(0, 0, ""));
    Lines.AddRecipient(1, 0, "Interface not supported");
    Lines.Mark(Lines.AddRecipient(1, 0, "Interface not supported"));
    Lines.AddRecipient(2, 0, "");
    std::string Written;
    Lines.Write([&](std::string_view Piece) { Written += Piece; });
    EXPECT_EQ(
        Written,
        "Fax No.,Reference,Status\r\n011,F2,\"Fax no. is invalid\"\r\n"
        "\"0111234567\",\"R1\",\"Sucessfully submitted to Vexo.\",\"MessageID=8589934593\"\r\n"
        "\"0111234567\",\"R2\",\"Interface not supported\"\r\n"
        "\"0111234567\",\"R2\",\"Interface not supported\",\"MessageID=0\"\r\n"
        "\"0111234567\",\"R\x1f"
        "3\",\"Sucessfully submitted to Vexo.\"\r\n");
    EXPECT_EQ(Lines.Size(), static_cast<int64_t>(Written.size()));
    EXPECT_EQ(Lines.Count(), 6);
    std::string Expanded;
    for (int64_t L = 0; L < Lines.Count(); ++L)
        Expanded += TConfirmationLines::Expand(Lines.Compact(L)) + "\r\n";
    EXPECT_EQ(Expanded, Written);
    EXPECT_EQ(Lines.Compact(2),
              "S0111234567\x1fR1\x1f"
              "8589934593");
}

}  // namespace
