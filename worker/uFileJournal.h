// The journal of a claimed file. It lies beside the claimed file in the poll directory
// ("ABC.20.Busy" has "ABC.20.journal") and records what the run began with and every step that
// must neither be lost nor done twice, each on disk before the step it guards goes on. The worker
// that holds the file holds the journal's lock from the claim to the clean-up; a journal that
// nobody holds belongs to a run that was cut off, and any instance of the service on the
// directory may take it up and finish the file.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Files.h"
#include "worker/uRunSettings.h"

constexpr const char* kJournalExtension = ".journal";

class TFileJournal {
  public:
    // What the gateway answered to one part.
    struct TAnswer {
        bool Readable = true;      // false: accepted, but no identifier could be read
        std::vector<int64_t> Ids;  // by position in the part
        std::string Reason;        // why the identifiers could not be read
        int32_t Count = 0;         // the messages of the part, 0 when no part record says
        // The part's confirmation lines as they were written (short), so that they reach a
        // confirmation even when the claimed file cannot be read again; only of a journal taken up,
        // and not in journals written before lines were kept (HasLines false).
        bool HasLines = false;
        std::vector<std::string> Lines;
    };
    // What the journal says of the run so far.
    struct TState {
        bool HeadersWritten = false;
        std::map<int32_t, TAnswer> Answers;  // by part number, from 1
        bool Saving = false;                 // the confirmation save began: sizes before and after
        int64_t SavingPrior = 0;
        int64_t SavingFinal = 0;
        bool Saved = false;
        bool Failed = false;  // the run ended by its own failure: nothing is sent again
        std::string Failure;
        bool Mailed = false;
        bool Done = false;  // the clean-up began: all that is left is to finish it
        bool DoneDeleteLogs = false;
    };

    // A journal for a file about to be claimed in Dir: written whole under a temporary name and
    // held, its sync begun. It gets its name with Name(). Throws EFileError.
    static std::unique_ptr<TFileJournal> Begin(const std::string& Dir,
                                               const TRunSettings& Settings);
    // Syncs the journal, then moves it, still held, to Path, never over an existing file. False,
    // with the system's error code in Error, when either fails (EEXIST: the name is taken).
    bool Name(const std::string& Path, int& Error);
    // The claim did not happen: the journal goes.
    void Discard();

    // Takes up a journal nobody holds. Throws EFileError (EWOULDBLOCK: a live worker holds it;
    // ENOENT: it is gone) or std::runtime_error when it cannot be read.
    static std::unique_ptr<TFileJournal> TakeUp(const std::string& Path);

    ~TFileJournal();
    TFileJournal(const TFileJournal&) = delete;
    TFileJournal& operator=(const TFileJournal&) = delete;

    const std::string& Path() const { return JournalPath; }
    // The claimed file the journal belongs to: its name with ".Busy".
    std::string ClaimedFileName() const;
    const TRunSettings& Settings() const { return RunSettings; }
    const TState& State() const { return RunState; }

    // The records; each throws EFileError when it cannot be written. Those that guard a step
    // are synced at once; an answer is synced with the record that follows it, always before
    // the next part goes out.
    // Left unsynced, so that the service thread goes on to the next claim: the worker syncs it
    // before it begins.
    void HeadersWritten();
    // Puts every record written on disk; throws EFileError when it cannot.
    void Sync();
    // A part's record; it may still be syncing when written ahead: the part goes out only after
    // AwaitSync().
    void PartSending(int32_t PartNo, int32_t First, int32_t Count);
    // The record of the part that comes next, written as soon as the one before was answered and
    // synced in the background while that part is built. Never throws: a record that could not
    // be written ahead is written by PartSending.
    void PartAhead(int32_t PartNo, int32_t First, int32_t Count);
    // Waits until every record written is on disk; throws EFileError when the sync failed.
    void AwaitSync();
    // Lines: the part's confirmation lines, those of rejected rows before them included, each
    // as TConfirmationLines::Compact gives it.
    void PartAnswered(int32_t PartNo, const std::vector<int64_t>& Ids,
                      const std::vector<std::string>& Lines);
    void PartAnsweredUnreadable(int32_t PartNo, const std::string& Reason,
                                const std::vector<std::string>& Lines);
    void ConfirmationSaving(int64_t PriorSize, int64_t FinalSize);
    void ConfirmationSaved();
    void RunFailed(const std::string& Message);
    void MailSent();
    void CleanUpBegun(bool DeleteLogs);

    // The run is over and cleaned up: the journal goes.
    void Remove();
    // Lets the journal go, synced, for whoever takes it up next.
    void Release();

  private:
    // Throws std::runtime_error when part PartNo, from message First, Count messages, is not a
    // part the run's split makes.
    void CheckPart(int32_t PartNo, int32_t First, int32_t Count) const;
    TFileJournal(std::string Path, TLockedFile File);
    void Append(const std::string& Line, bool Sync);
    // How much the file grows, in zeros, so that Size more bytes of records fit.
    int64_t GrowthFor(int64_t Size) const;
    void Read(std::string_view Text);

    std::string JournalPath;
    TLockedFile File;
    TRunSettings RunSettings;
    TState RunState;
    bool Unsynced = false;
    // The file is written ahead with zeros, so that a record's sync writes that record and
    // nothing of the file's size: End is where the records end, Capacity the file's size.
    int64_t End = 0;
    int64_t Capacity = 0;
    // The part whose record was written ahead, and the thread that syncs it while it is built.
    std::string AheadRecord;
    class TSyncThread;
    std::unique_ptr<TSyncThread> SyncThread;
};

// True when Name is a journal, or the temporary of one a claim writes first; neither is ever
// claimed as an input file.
bool IsJournalName(const std::string& Name);
bool IsJournalTemporaryName(const std::string& Name);
// Removes a journal's temporary that a claim cut off by a crash left behind: one nobody holds
// and older than a claim takes.
void RemoveLeftJournalTemporary(const std::string& Path);

// A run that left its journal after a failure is taken up again no sooner than this; the time is
// kept by this process only, so that a restart tries at once. Any thread.
void SetResumeNotBefore(const std::string& JournalPath,
                        std::chrono::steady_clock::time_point NotBefore);
bool ResumeDue(const std::string& JournalPath);
