#include "worker/uBatchNameLock.h"

#include <cerrno>

#include "support/Util.h"

std::optional<TBatchNameLock> TBatchNameLock::TryHold(const std::string& Directory,
                                                      const std::string& BatchName,
                                                      const std::string& Journal) {
    const std::string Path = AddTrailingBackslash(Directory) + BatchName + ".lock";
    const std::string Dir = DirectoryOf(Path);
    if (!Dir.empty() && !ForceDirectories(Dir))
        throw EFileError("Cannot create the directory " + Dir, errno ? errno : ENOENT);
    std::optional<TLockedFile> File;
    try {
        File.emplace(TLockedFile::OpenLockFile(Path));
    } catch (const EFileError& E) {
        if (E.Code == EWOULDBLOCK) return std::nullopt;
        throw;
    }
    const std::string Owner = File->ReadAll();
    // A journal that still owes its mail keeps the name until it is gone.
    const bool Owed = !Owner.empty() && FileExists(Owner);
    if (Owed && (Journal.empty() || !SameFile(Owner, Journal))) return std::nullopt;
    return TBatchNameLock(Path, std::move(File), Owed ? Owner : "");
}

TBatchNameLock::~TBatchNameLock() { Release(); }

void TBatchNameLock::NameJournal(const std::string& Journal) {
    KeptFor = Journal;
    if (!File) return;
    File->Truncate(0);
    File->SeekStart();
    File->Write(Journal);
    File->Sync();
}

void TBatchNameLock::Release() {
    if (!File) return;
    try {
        if (KeptFor.empty()) {
            // Removed while held: whoever opened it meanwhile finds the name free and starts a
            // new lock file.
            if (File->IsAt(Path)) DeleteFile(Path);
        } else {
            File->Truncate(0);
            File->SeekStart();
            File->Write(KeptFor);
            File->Sync();
        }
        File->Close();
    } catch (const EFileError&) {
        // The lock goes with the descriptor; a name left behind only delays that batch name.
    }
    File.reset();
}
