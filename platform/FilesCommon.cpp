// The parts of platform/Files.h that rest only on the others: the same for every system.
#include <errno.h>

#include <thread>
#include <utility>

#include "platform/Files.h"

namespace {

// How long an append waits for a lock that someone holds before it reports the file as held.
constexpr std::chrono::milliseconds kAppendLockPatience{250};

char FoldCase(char C) { return C >= 'A' && C <= 'Z' ? static_cast<char>(C - 'A' + 'a') : C; }

}  // namespace

bool MatchesMask(const std::string& Name, const std::string& Mask) {
    if (Mask == "*.*") return true;
    // Greedy match that backtracks only to the last "*": linear for one star, O(n*m) at worst.
    size_t n = 0, m = 0, starMask = std::string::npos, starName = 0;
    while (n < Name.size()) {
        if (m < Mask.size() && Mask[m] == '*') {
            starMask = m++;
            starName = n;
        } else if (m < Mask.size() && (Mask[m] == '?' || FoldCase(Mask[m]) == FoldCase(Name[n]))) {
            ++m;
            ++n;
        } else if (starMask != std::string::npos) {
            m = starMask + 1;
            n = ++starName;
        } else {
            return false;
        }
    }
    while (m < Mask.size() && Mask[m] == '*') ++m;
    return m == Mask.size();
}

std::string ReadFileText(const std::string& Path) {
    TLockedFile file = TLockedFile::OpenReadShareRead(Path);
    return file.ReadAll();
}

std::string ReadRegularFileText(const std::string& Path) {
    TLockedFile file = TLockedFile::OpenRegularShareRead(Path);
    return file.ReadAll();
}

void AppendDurably(const std::string& Path, std::string_view Text) {
    TLockedFile file = [&] {
        // Another appender (an instance of this service on a share) holds the lock for the
        // moment of one line: that is waited out here, briefly, before it counts as held.
        auto pause = std::chrono::milliseconds(1);
        for (auto waited = std::chrono::milliseconds(0);; waited += pause, pause *= 2) {
            try {
                return TLockedFile::OpenAppend(Path);
            } catch (const EFileError& e) {
                if (e.Code != EWOULDBLOCK || waited >= kAppendLockPatience) throw;
            }
            std::this_thread::sleep_for(pause);
        }
    }();
    const int64_t start = file.Size();
    try {
        file.Write(Text);
        file.Sync();
    } catch (const EFileError&) {
        // A part that reached the file (a short write on a full disk) would stand in front of
        // the whole text when it is tried again.
        try {
            file.Truncate(start);
        } catch (const EFileError&) {
        }
        throw;
    }
    try {
        file.Close();
    } catch (const EFileError&) {
        // The text was synced before the close failed, so it is normally in place; writing it
        // again would double it. It counts when it reads back whole and syncs once more (the
        // closing of a descriptor that only read has nothing left to lose).
        try {
            TLockedFile check = TLockedFile::OpenReadShareRead(Path);
            if (check.ReadAt(start, Text.size()) == Text) {
                check.Sync();
                return;
            }
        } catch (const EFileError&) {
        }
        throw;
    }
}

std::string FileNameOf(const std::string& Path) { return Path.substr(DirectoryOf(Path).size()); }

void RemoveLeftTemporary(const std::string& Path, std::chrono::seconds Age) {
    if (EntryKindOf(Path) != TEntryKind::RegularFile) return;
    const auto Modified = FileModificationTime(Path);
    if (!Modified || std::chrono::system_clock::now() - *Modified < Age) return;
    try {
        // Held, it is being written by some instance.
        TLockedFile Left = TLockedFile::OpenExclusive(Path);
        DeleteFile(Path);
    } catch (const EFileError&) {
    }
}

TLockedFile TLockedFile::OpenRegularShareRead(const std::string& Path) {
    // Every open refuses what is not a regular file.
    return OpenReadShareRead(Path);
}

TAtomicFile::TAtomicFile(std::string Path)
    : Path(std::move(Path)),
      Temporary(TemporaryNameBeside(this->Path)),
      File(TLockedFile::CreateNew(Temporary)) {}

TAtomicFile::~TAtomicFile() {
    // The file closes with the member after its name is gone (on Windows, marked to go with it).
    if (!Committed) DeleteFile(Temporary);
}
