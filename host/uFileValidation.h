// An input file read as a worker would read it, before anyone drops it into a poll directory:
// which rows the gateway would get and which the confirmation would list as rejected. Reads the
// configuration and the file only: contacts nothing, moves, claims and writes nothing. Any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/DateTime.h"

struct TFileValidation {
    std::vector<std::string> RejectedLines;  // as the confirmation file holds them, in file order
    int64_t Accepted = 0;
};

// Reads FileName for the protocol entry of the configuration beside ExePath whose trimmed Name
// is ProtocolName in any case (the first of that name), or, with ProtocolName "", the first
// entry whose PollDirectory is FileName's directory; the run's settings as a claim on Today
// would take them. Throws std::runtime_error with the reason when the configuration or the
// file cannot be read or no entry fits.
TFileValidation ValidateInputFile(const std::string& ExePath, const std::string& FileName,
                                  const std::string& ProtocolName, const TDateTime& Today);
