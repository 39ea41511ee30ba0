// The one log writer: appends one line to a log or CSV file, opening and closing it each time.
#pragma once

#include <cstdint>
#include <string>

#include "platform/DateTime.h"

// Appends Msg (never taken as a format) and CR LF to LogFileName. With AddTimeStamp set,
// "date time : " goes in front and control characters in Msg are written escaped ("\r",
// "\n", "\xNN"), so a log line is always one line; without it Msg goes byte for byte. A file found
// above MaxSizeKB KB is renamed to a name with the moment's "yyyymmddhhnnss" before its extension
// when RollOver is set (and is appended to when that rename fails), or emptied when RollOver is not
// set. Missing directories are created; a name without a directory part is never written. Never
// throws: a line that cannot be written is dropped. Any thread; one writer per file.
void WriteToLog(const std::string& Msg, const std::string& LogFileName, uint32_t MaxSizeKB,
                bool AddTimeStamp, bool RollOver);
// The same at a given moment, for the stamp in the line and in a roll-over name.
void WriteToLog(const std::string& Msg, const std::string& LogFileName, uint32_t MaxSizeKB,
                bool AddTimeStamp, bool RollOver, const TDateTime& When);

// Size in bytes of the file at that exact path; 0 when there is none.
int64_t GetFileSizeByName(const std::string& FileName);

// The name a log rolls over to at When: the stamp between base name and extension.
std::string RollOverFileName(const std::string& LogFileName, const TDateTime& When);
