#include "worker/uInputRows.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// What reading made of a text: the accepted rows as "cell|reference|type|text", then the
// rejected rows' lines.
std::vector<std::string> Read(const std::string& Text, size_t PieceSize) {
    TRunSettings Settings;
    Settings.ValidSACellExtensions.Value = "082";
    Settings.Priority.Value = 1;
    TVexoMessages Messages;
    std::vector<std::string> Rejected;
    TInputRows Rows(Settings, 1, Messages, Rejected);
    for (size_t At = 0; At < Text.size(); At += PieceSize)
        if (!Rows.Read(std::string_view(Text).substr(At, PieceSize))) break;
    Rows.Finish();
    std::vector<std::string> Out;
    for (int32_t I = 0; I < Messages.Count(); ++I) {
        const TVexoMessage M = Messages.Items(I);
        Out.push_back(std::string(M.Recipients().Items(0).CellNo) + "|" +
                      std::string(M.Reference()) + "|" + std::string(M.MessageType()) + "|" +
                      std::string(M.Text()));
    }
    Out.insert(Out.end(), Rejected.begin(), Rejected.end());
    return Out;
}

// A file read in pieces of any size gives what it gives read whole: lines ending in CR LF, CR
// or LF where a piece ends between or after them, blank lines, a last line without its end, and
// nothing after a NUL.
TEST(InputRows, PiecesOfAnySizeReadAsTheWholeText) {
    const std::string Text =
        "0820000001,R1,TXT,one\r\n821000002,R2,DEF,two\r\r\n0820000003,R3,TXT,\"a, b\"\n"
        "\n0820000004,R4,,x\r0820000005,R5,TXT,five\r\n082,R6,TXT,bad\r\n"
        "0820000007,R7,TXT,last\r";
    const std::vector<std::string> Whole = {
        "0820000001|R1|TXT|one",         "0821000002|R2|DEF|MessageText=two",
        "0820000003|R3|TXT|a, b",        "0820000004|R4||x",
        "0820000005|R5|TXT|five",        "0820000007|R7|TXT|last",
        "082,R6,\"Cell no. is invalid\""};
    for (size_t Size = 1; Size <= Text.size(); ++Size)
        ASSERT_EQ(Read(Text, Size), Whole) << "pieces of " << Size;

    const std::string Cut = "0820000001,R1,TXT,one\r\n0820000002,R2,TXT,tw";
    for (size_t Size = 1; Size <= Cut.size() + 12; ++Size)
        ASSERT_EQ(Read(Cut + std::string(1, '\0') + "\r\n0820000003,R3,TXT,x\r\n", Size),
                  (std::vector<std::string>{"0820000001|R1|TXT|one", "0820000002|R2|TXT|tw"}))
            << "pieces of " << Size;
}

}  // namespace
