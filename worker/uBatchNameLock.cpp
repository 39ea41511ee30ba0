#include "worker/uBatchNameLock.h"

#include <cerrno>

#include "support/Util.h"

std::optional<TBatchNameLock> TBatchNameLock::TryHold(const std::string& StatusDirectory,
                                                      const std::string& BatchName,
                                                      const std::string& Journal) {
    const std::string Path = AddTrailingBackslash(StatusDirectory) + BatchName + ".lock";
    try {
        const std::string Dir = DirectoryOf(Path);
        if (!Dir.empty()) ForceDirectories(Dir);
        TLockedFile File = TLockedFile::OpenLockFile(Path);
        const std::string Owner = File.ReadAll();
        // A journal that still owes its mail keeps the name until it is gone.
        if (!Owner.empty() && Owner != Journal && FileExists(Owner)) return std::nullopt;
        return TBatchNameLock(Path, std::move(File));
    } catch (const EFileError& E) {
        if (E.Code == EWOULDBLOCK) return std::nullopt;
        return TBatchNameLock(Path, std::nullopt);
    }
}

TBatchNameLock::~TBatchNameLock() { Release(); }

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
