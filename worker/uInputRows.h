// The rows of an input file as a run reads them: split, validated and normalised into messages,
// or rejected with the line the confirmation file holds for them. The worker reads its claimed
// file with it, and /VALIDATE a file that nobody claimed. Any thread; no state.
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

// Reads Text up to its first NUL as rows "address,reference,type[,text]" of ProtocolKind, with
// the ValidSACellExtensions and Priority of Settings: each accepted row becomes a message at the
// end of Messages; each rejected row appends its confirmation line 'address,reference,"reason"'
// to Rejected. Blank lines and lines without a comma are no rows.
void ReadInputRows(const TRunSettings& Settings, uint8_t ProtocolKind, std::string_view Text,
                   TVexoMessages& Messages, std::vector<std::string>& Rejected);
