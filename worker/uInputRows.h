// The rows of an input file as a run reads them: split, validated and normalised into messages,
// or rejected with the line the confirmation file holds for them. The worker reads its claimed
// file with it, piece by piece, and /VALIDATE a file that nobody claimed. Any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "support/uVexoMessages.h"
#include "worker/uRunSettings.h"

// The kind of a protocol entry by its trimmed name: 1 SMS, 2 FAX, 3 EMAIL, 0 any other (whose
// rows have no address).
uint8_t ProtocolKindOf(const std::string& TrimmedName);

// Reads a text given in pieces, up to its first NUL, as rows "address,reference,type[,text]" of
// ProtocolKind, with the ValidSACellExtensions and Priority of Settings: each accepted row
// becomes a message at the end of Messages; each rejected row appends its confirmation line
// 'address,reference,"reason"' to Rejected. Lines end at CR, LF or CR LF, wherever the pieces
// end. Blank lines and lines without a comma are no rows.
class TInputRows {
  public:
    TInputRows(const TRunSettings& Settings, uint8_t ProtocolKind, TVexoMessages& Messages,
               std::vector<std::string>& Rejected);
    // The next piece of the text. False once a NUL ended the text: later pieces change nothing.
    bool Read(std::string_view Piece);
    // The end of the text: a last line without its line end is read now.
    void Finish();

  private:
    void ReadRow(std::string_view Line);
    bool NormalisedCellNo(const std::string& CellNo, std::string& Out);

    const TRunSettings& Settings;
    uint8_t ProtocolKind;
    TVexoMessages& Messages;
    std::vector<std::string>& Rejected;
    // The extensions a nine-digit cell number may begin with, upper-cased, read once.
    std::vector<std::string> Extensions;
    std::string ExtensionsError;
    std::string Carry;     // a line the last piece ended in the middle of
    bool AfterCR = false;  // the last piece ended with CR: a LF that follows belongs to it
    bool Ended = false;
    // Reused from row to row so that reading allocates nothing once they have their room.
    std::vector<std::string> Fields;
    std::string CellNo, FaxNo, Email, Reference, Text;
};

// The whole of Text at once.
void ReadInputRows(const TRunSettings& Settings, uint8_t ProtocolKind, std::string_view Text,
                   TVexoMessages& Messages, std::vector<std::string>& Rejected);
