// What the gateway hands over becomes lines and file names here, and nothing more: its text
// stays one field of one line, and the names it reports make only files of their own kind,
// and no more of them in one collection than kMaxNewFilesPerCollection. Any thread. What one
// call handed over is journalled here before it is filed; the dispatcher's filing itself
// (TDtaMdlBulkSMS::Collect and what it calls) is defined in uCollection.cpp too.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/Files.h"

// Lines kept from their status or reply file (by a stop, a failure that outlasted its tries, or
// a name the gateway may not make) go beside the process log into a file of this prefix and the
// target's path (UnwrittenFileName).
constexpr const char* kUnwrittenPrefix = "Unwritten-";
// Status and reply files end in this.
constexpr const char* kCollectedFileExtension = ".CSV";
// New status and reply files one collection may make; the lines of the others are kept aside.
constexpr int kMaxNewFilesPerCollection = 1000;

// A client application value as a file name: "/", "\" and control characters become "_".
std::string SafeFileNamePart(const std::string& Value);
// The "Unwritten-" file name for the lines of TargetFile: the prefix and the whole path with
// each "/" (on Windows also "\\") as "_", and "_", "%", "~", control characters and the
// characters Windows reserves in names (: \\ * ? " < > |) as "%XX", so that no two targets share
// one and the name is one on every system. A name above 255 bytes is cut and ends in "~", 16 hex
// digits of a hash of the path, and ".CSV".
std::string UnwrittenFileName(const std::string& TargetFile);
// A value of the gateway as a field of a status, reply or combined line: each control
// character (CR and LF among them) becomes one space, so that no value makes a line of its own.
std::string GatewayField(const std::string& Value);
// True when a name the gateway reports may not name a file: empty, hidden, or a name of the
// service's own kinds (a confirmation, lock, journal, log or claimed file).
bool IsRefusedCollectedName(const std::string& Name);
// Where the lines of the files beyond the limit of one collection in Directory are kept: each
// line then begins with the name of the file it was for.
std::string BeyondLimitTarget(const std::string& Directory);

// One collected entry: its line for the file the gateway named Name in Directory.
struct TCollectedLine {
    std::string Line;
    std::string Directory;
    std::string Name;
};

// Collection journals lie in the state directory under this prefix and ".journal".
constexpr const char* kCollectionJournalPrefix = "Collection-";

// What one collection call was handed, on disk before its first line is appended: the gateway
// hands each entry out once, so a crash must not lose what it already handed over. Each entry
// written to its file is marked done (written, not synced: a killed process loses nothing of
// it). An unfinished journal is finished by whoever opens it first; its lock keeps it with one
// process. Throws EFileError.
class TCollectionJournal {
  public:
    // A new journal of Kind ("statuses" or "replies") in StateDirectory holding Entries, synced
    // with its directory entry.
    static TCollectionJournal Begin(const std::string& StateDirectory, const std::string& Kind,
                                    const std::vector<TCollectedLine>& Entries);
    // A journal another process left; nullopt while that process (or another) holds it. The
    // complete entries of a journal cut short are taken, and a torn last record dropped.
    static std::optional<TCollectionJournal> Resume(const std::string& Path);
    // The unfinished journals in StateDirectory, by path.
    static std::vector<std::string> Left(const std::string& StateDirectory);

    const std::string& Path() const { return Path_; }
    const std::string& Kind() const { return Kind_; }
    // The entries as Resume read them back; none for a journal begun here, whose caller holds
    // them already.
    const std::vector<TCollectedLine>& Entries() const { return Entries_; }
    bool IsDone(size_t Index) const { return Done_[Index]; }
    void MarkDone(size_t Index);
    // Every entry is in its file or kept aside: the journal goes.
    void Finish();

  private:
    TCollectionJournal(std::string Path, TLockedFile File)
        : Path_(std::move(Path)), File_(std::move(File)) {}
    std::string Path_;
    TLockedFile File_;
    std::string Kind_;
    std::vector<TCollectedLine> Entries_;
    std::vector<bool> Done_;
};

// The files one collection makes: a target that is there already, or was admitted before in
// this collection, is admitted; a new one while fewer than kMaxNewFilesPerCollection were.
class TNewFileLimit {
  public:
    bool Admits(const std::string& Target);

  private:
    std::map<std::string, bool> Decided;
    int Made = 0;
};
