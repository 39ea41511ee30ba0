// A batch name held by one worker at a time, across the threads of this process and every
// instance on a shared status directory: the lock file "BATCH.lock" beside the run's
// confirmation file. It is held from the worker's construction to its clean-up, so that two files
// of one batch name never write one confirmation file at once. A run whose mail is still owed keeps
// the name past its worker: the lock file then names its journal, and the name stays taken until
// that journal is gone.
#pragma once

#include <optional>
#include <string>

#include "platform/Files.h"

class TBatchNameLock {
  public:
    // Holds the batch name, or gives nothing when another worker holds it or another journal
    // still owes its mail (journals are compared as files, however spelled). Journal: the
    // journal of the run asking, which may take its own name back; the name then stays with
    // that journal whatever happens next, until KeepFor("") before Release. Any other failure
    // (a directory that cannot be made, no permission, a full disk) throws EFileError: the run
    // waits rather than go unguarded.
    static std::optional<TBatchNameLock> TryHold(const std::string& Directory,
                                                 const std::string& BatchName,
                                                 const std::string& Journal);

    TBatchNameLock(TBatchNameLock&&) = default;
    TBatchNameLock& operator=(TBatchNameLock&&) = default;
    ~TBatchNameLock();

    // From now on the name stays with Journal after Release, until that journal is gone; ""
    // lets it go with Release.
    void KeepFor(const std::string& Journal) { KeptFor = Journal; }
    // The lock file names Journal at once (written and synced), so that a crash of this process
    // leaves the name with the run's journal; kept for it as KeepFor. Throws EFileError.
    void NameJournal(const std::string& Journal);
    // Lets the name go (or leaves it to the journal it is kept for). Never throws.
    void Release();

  private:
    TBatchNameLock(std::string Path, std::optional<TLockedFile> File, std::string KeptFor)
        : Path(std::move(Path)), File(std::move(File)), KeptFor(std::move(KeptFor)) {}

    std::string Path;
    std::optional<TLockedFile> File;
    std::string KeptFor;
};
