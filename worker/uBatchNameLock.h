// A batch name held by one worker at a time, across the threads of this process and every
// instance on a shared status directory: the lock file "BATCH.lock" in the run's status
// directory. It is held from the worker's construction to its clean-up, so that two files of one
// batch name never write one confirmation file at once. A run whose mail is still owed keeps the
// name past its worker: the lock file then names its journal, and the name stays taken until
// that journal is gone.
#pragma once

#include <optional>
#include <string>

#include "platform/Files.h"

class TBatchNameLock {
  public:
    // Holds the batch name, or gives nothing when another worker holds it or another journal
    // still owes its mail. Journal: the journal of the run asking, which may take its own name
    // back. A lock file that cannot be made (a directory that cannot be created) does not stop
    // the run: the name is then held by nothing.
    static std::optional<TBatchNameLock> TryHold(const std::string& StatusDirectory,
                                                 const std::string& BatchName,
                                                 const std::string& Journal);

    TBatchNameLock(TBatchNameLock&&) = default;
    TBatchNameLock& operator=(TBatchNameLock&&) = default;
    ~TBatchNameLock();

    // From now on the name stays with Journal after Release, until that journal is gone.
    void KeepFor(const std::string& Journal) { KeptFor = Journal; }
    // Lets the name go (or leaves it to the journal it is kept for). Never throws.
    void Release();

  private:
    TBatchNameLock(std::string Path, std::optional<TLockedFile> File)
        : Path(std::move(Path)), File(std::move(File)) {}

    std::string Path;
    std::optional<TLockedFile> File;
    std::string KeptFor;
};
