#include "support/uLogFile.h"

#include <errno.h>

#include "platform/Files.h"

namespace {

constexpr int64_t kBytesPerKB = 1024;

// The directory part of a path, without its last "/"; "/" for the root, "" for none.
std::string DirectoryPart(const std::string& Path) {
    std::string Dir = DirectoryOf(Path);
    if (Dir.size() > 1) Dir.pop_back();
    return Dir;
}

// Appends Msg to line with CR, LF and every other control character as "\r", "\n" or "\xNN",
// so that no outside text in a message (a fault string, a reply, a file name) can start a log
// line of its own; our own messages hold none.
void AppendEscaped(std::string& line, const std::string& Msg) {
    static const char kHex[] = "0123456789ABCDEF";
    for (const char c : Msg) {
        const unsigned char code = static_cast<unsigned char>(c);
        if (c == '\r') {
            line += "\\r";
        } else if (c == '\n') {
            line += "\\n";
        } else if (code < 0x20 || code == 0x7F) {
            line += "\\x";
            line += kHex[code >> 4];
            line += kHex[code & 0xF];
        } else {
            line += c;
        }
    }
}

// The file for one line: emptied only when Empty is set. Otherwise it is appended to and
// created when missing, but never emptied: a file that appeared since it was sized holds
// another writer's line (a status line after a header).
TLockedFile OpenForLine(const std::string& LogFileName, bool Empty) {
    return Empty ? TLockedFile::CreateExclusive(LogFileName) : TLockedFile::OpenAppend(LogFileName);
}

void AppendLine(const std::string& Msg, const std::string& LogFileName, uint32_t MaxSizeKB,
                bool AddTimeStamp, bool RollOver, const TDateTime& When) {
    std::string dir = DirectoryPart(LogFileName);
    if (dir.empty()) return;
    bool empty = false;
    // A missing file has the size 0: one look at the file serves both questions.
    if (GetFileSizeByName(LogFileName) / kBytesPerKB > static_cast<int64_t>(MaxSizeKB)) {
        // A failed roll-over keeps the old lines: append, and try again with the next line.
        if (RollOver)
            RenameNoReplace(LogFileName, RollOverFileName(LogFileName, When), nullptr);
        else
            empty = true;
    }
    std::string line;
    if (AddTimeStamp) {
        std::string stamp = FormatLogDateTime(When);
        line.reserve(stamp.size() + 3 + Msg.size() + 2);
        line.append(stamp).append(" : ");
        AppendEscaped(line, Msg);
    } else {
        line.reserve(Msg.size() + 2);
        line.append(Msg);
    }
    line.append("\r\n");

    TLockedFile file = [&] {
        // The directory is made only when the file cannot be opened for its want.
        try {
            return OpenForLine(LogFileName, empty);
        } catch (const EFileError& e) {
            if (e.Code != ENOENT || !ForceDirectories(dir)) throw;
        }
        return OpenForLine(LogFileName, empty);
    }();
    file.Write(line);
    file.Close();
}

}  // namespace

std::string RollOverFileName(const std::string& LogFileName, const TDateTime& When) {
    const size_t nameStart = DirectoryOf(LogFileName).size();
    size_t dot = LogFileName.rfind('.');
    if (dot == std::string::npos || dot < nameStart) dot = LogFileName.size();
    return LogFileName.substr(0, dot) + FormatRollOverStamp(When) + LogFileName.substr(dot);
}

int64_t GetFileSizeByName(const std::string& FileName) { return FileSizeOf(FileName); }

void WriteToLog(const std::string& Msg, const std::string& LogFileName, uint32_t MaxSizeKB,
                bool AddTimeStamp, bool RollOver, const TDateTime& When) {
    try {
        AppendLine(Msg, LogFileName, MaxSizeKB, AddTimeStamp, RollOver, When);
    } catch (...) {
        // Logging must never fail its caller; the line is lost.
    }
}

void WriteToLog(const std::string& Msg, const std::string& LogFileName, uint32_t MaxSizeKB,
                bool AddTimeStamp, bool RollOver) {
    try {
        WriteToLog(Msg, LogFileName, MaxSizeKB, AddTimeStamp, RollOver, Now());
    } catch (...) {
    }
}
