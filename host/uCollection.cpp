#include "host/uCollection.h"

#include <cerrno>
#include <cstdint>
#include <exception>
#include <optional>

#include "host/dBulkSMSMain.h"
#include "platform/Files.h"
#include "platform/RetryDelay.h"
#include "worker/uFileJournal.h"
#include "worker/uServiceFileNames.h"

namespace {

// The longest file name most file systems take.
constexpr size_t kMaxFileNameBytes = 255;

bool IsControl(char C) {
    const unsigned char Code = static_cast<unsigned char>(C);
    return Code < 0x20 || Code == 0x7F;
}

}  // namespace

std::string SafeFileNamePart(const std::string& Value) {
    std::string Safe = Value;
    for (char& C : Safe)
        if (C == '/' || C == '\\' || IsControl(C)) C = '_';
    return Safe;
}

std::string UnwrittenFileName(const std::string& TargetFile) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string Name = kUnwrittenPrefix;
    for (const char C : TargetFile) {
        const unsigned char Code = static_cast<unsigned char>(C);
        if (IsPathSeparator(C)) {
            Name += '_';
        } else if (C == '_' || C == '%' || C == '~' || IsControl(C) ||
                   std::string_view(":\\*?\"<>|").find(C) != std::string_view::npos) {
            // Also what Windows reserves in a name: ":" would name a stream of another file.
            Name += '%';
            Name += kHex[Code >> 4];
            Name += kHex[Code & 0xF];
        } else {
            Name += C;
        }
    }
    if (Name.size() <= kMaxFileNameBytes) return Name;
    // FNV-1a: the same on every build, so a target keeps its file across restarts.
    uint64_t Hash = 14695981039346656037ull;
    for (const char C : TargetFile)
        Hash = (Hash ^ static_cast<unsigned char>(C)) * 1099511628211ull;
    std::string Tail = "~";
    for (int Shift = 60; Shift >= 0; Shift -= 4) Tail += kHex[(Hash >> Shift) & 0xF];
    Tail += kCollectedFileExtension;
    Name.resize(kMaxFileNameBytes - Tail.size());
    return Name + Tail;
}

std::string GatewayField(const std::string& Value) {
    std::string Field = Value;
    for (char& C : Field)
        if (IsControl(C)) C = ' ';
    return Field;
}

bool IsRefusedCollectedName(const std::string& Name) {
    const std::string Safe = SafeFileNamePart(Name);
    return IsServiceFileName(Safe) || IsServiceFileName(Safe + kCollectedFileExtension);
}

std::string BeyondLimitTarget(const std::string& Directory) {
    return Directory + "Beyond-" + std::to_string(kMaxNewFilesPerCollection) + "-new-files" +
           kCollectedFileExtension;
}

bool TNewFileLimit::Admits(const std::string& Target) {
    const auto Found = Decided.find(Target);
    if (Found != Decided.end()) return Found->second;
    bool Admitted = true;
    if (!FileExists(Target)) Admitted = Made++ < kMaxNewFilesPerCollection;
    Decided.emplace(Target, Admitted);
    return Admitted;
}

// ---- the collection journal ----

namespace {

constexpr const char* kJournalHeader = "brova collection journal 1 ";
constexpr const char* kEntriesEnd = "end\n";

// One number of a record line; false when there is none.
bool ReadNumber(const std::string& Text, size_t& At, size_t& Value) {
    const size_t Start = At;
    Value = 0;
    while (At < Text.size() && Text[At] >= '0' && Text[At] <= '9' && At - Start < 12)
        Value = Value * 10 + static_cast<size_t>(Text[At++] - '0');
    return At > Start;
}

bool ReadWord(const std::string& Text, size_t& At, const std::string& Word) {
    if (Text.compare(At, Word.size(), Word) != 0) return false;
    At += Word.size();
    return true;
}

}  // namespace

TCollectionJournal TCollectionJournal::Begin(const std::string& StateDirectory,
                                             const std::string& Kind,
                                             const std::vector<TCollectedLine>& Entries) {
    // A name unique to this host, process and call, so that instances sharing the state
    // directory never meet: the temporary's, neither hidden nor ".tmp".
    const std::string Unique =
        TemporaryNameBeside(StateDirectory + kCollectionJournalPrefix + Kind);
    const std::string Name = Unique.substr(DirectoryOf(Unique).size());
    const std::string Path =
        StateDirectory + Name.substr(1, Name.rfind(".tmp") - 1) + kJournalExtension;
    std::string Text = kJournalHeader + Kind + "\n";
    for (const TCollectedLine& E : Entries)
        Text += "entry " + std::to_string(E.Directory.size()) + " " +
                std::to_string(E.Name.size()) + " " + std::to_string(E.Line.size()) + "\n" +
                E.Directory + E.Name + E.Line + "\n";
    Text += kEntriesEnd;
    TCollectionJournal Journal(Path, TLockedFile::CreateNew(Path));
    try {
        Journal.File_.Write(Text);
        Journal.File_.Sync();
        SyncDirectory(StateDirectory);
    } catch (...) {
        Journal.File_.Close();
        DeleteFile(Path);
        throw;
    }
    // The caller files its own entries: they are not held twice.
    Journal.Kind_ = Kind;
    Journal.Done_.assign(Entries.size(), false);
    return Journal;
}

std::optional<TCollectionJournal> TCollectionJournal::Resume(const std::string& Path) {
    std::optional<TLockedFile> File;
    try {
        File.emplace(TLockedFile::OpenExclusive(Path));
    } catch (const EFileError& E) {
        // Held by the process that writes it, or finished meanwhile.
        if (E.Code == EWOULDBLOCK || E.Code == ENOENT) return std::nullopt;
        throw;
    }
    const std::string Text = File->ReadAll();
    TCollectionJournal Journal(Path, std::move(*File));
    size_t At = 0;
    if (!ReadWord(Text, At, kJournalHeader))
        throw EFileError("Not a collection journal: " + Path, EINVAL);
    const size_t KindEnd = Text.find('\n', At);
    if (KindEnd == std::string::npos) throw EFileError("Not a collection journal: " + Path, EINVAL);
    Journal.Kind_ = Text.substr(At, KindEnd - At);
    At = KindEnd + 1;
    // Entries up to "end", or up to the first record cut short by a crash.
    while (At < Text.size()) {
        size_t Record = At, DirSize = 0, NameSize = 0, LineSize = 0;
        if (!ReadWord(Text, Record, "entry ") || !ReadNumber(Text, Record, DirSize) ||
            !ReadWord(Text, Record, " ") || !ReadNumber(Text, Record, NameSize) ||
            !ReadWord(Text, Record, " ") || !ReadNumber(Text, Record, LineSize) ||
            !ReadWord(Text, Record, "\n"))
            break;
        const size_t Size = DirSize + NameSize + LineSize;
        if (Text.size() - Record < Size + 1 || Text[Record + Size] != '\n') break;
        Journal.Entries_.push_back({Text.substr(Record + DirSize + NameSize, LineSize),
                                    Text.substr(Record, DirSize),
                                    Text.substr(Record + DirSize, NameSize)});
        At = Record + Size + 1;
    }
    Journal.Done_.assign(Journal.Entries_.size(), false);
    if (ReadWord(Text, At, kEntriesEnd)) {
        size_t Index = 0;
        while (ReadWord(Text, At, "done ") && ReadNumber(Text, At, Index) &&
               ReadWord(Text, At, "\n"))
            if (Index < Journal.Done_.size()) Journal.Done_[Index] = true;
    }
    // Marks go after what is there now, whatever was torn.
    Journal.File_.SeekEnd();
    if (!Text.empty() && Text.back() != '\n') Journal.File_.Write("\n");
    return Journal;
}

std::vector<std::string> TCollectionJournal::Left(const std::string& StateDirectory) {
    std::vector<std::string> Paths;
    for (const std::string& Name :
         FindFiles(StateDirectory, std::string(kCollectionJournalPrefix) + "*" + kJournalExtension))
        if (EntryKindOf(StateDirectory + Name) == TEntryKind::RegularFile)
            Paths.push_back(StateDirectory + Name);
    return Paths;
}

void TCollectionJournal::MarkDone(size_t Index) {
    if (Done_[Index]) return;
    Done_[Index] = true;
    File_.Write("done " + std::to_string(Index) + "\n");
}

void TCollectionJournal::Finish() {
    // The name goes while the lock is held, so nobody takes up a finished journal.
    DeleteFile(Path_);
    File_.Close();
}

// ---- the dispatcher files what it collected ----

namespace {

constexpr const char* kLineEnd = "\r\n";

}  // namespace

void TDtaMdlBulkSMS::Collect(TCollection Kind, int Count, const TCollectedEntry& Entry) {
    std::vector<TCollectedLine> Entries;
    Entries.reserve(static_cast<size_t>(Count));
    for (int Index = 0; Index < Count; ++Index) Entries.push_back(Entry(Index));
    std::optional<TCollectionJournal> Journal;
    try {
        Journal.emplace(TCollectionJournal::Begin(
            StateDirectory, Kind == TCollection::Statuses ? "statuses" : "replies", Entries));
    } catch (const std::exception& E) {
        // Filing them at once is still the best left.
        Log("Unable to keep a collection journal in [" + StateDirectory + "] : " + E.what());
    }
    AppendCollected(Kind, Entries, Journal ? &*Journal : nullptr);
    if (Journal) Journal->Finish();
}

void TDtaMdlBulkSMS::FinishLeftCollections() {
    for (const std::string& Path : TCollectionJournal::Left(StateDirectory)) {
        if (Stopping) return;
        try {
            std::optional<TCollectionJournal> Journal = TCollectionJournal::Resume(Path);
            if (!Journal) continue;
            size_t Left = 0;
            for (size_t I = 0; I < Journal->Entries().size(); ++I) Left += !Journal->IsDone(I);
            Log("Finishing collection [" + Path + "] : " + std::to_string(Left) + " of " +
                std::to_string(Journal->Entries().size()) + " line(s) left");
            AppendCollected(
                Journal->Kind() == "replies" ? TCollection::Replies : TCollection::Statuses,
                Journal->Entries(), &*Journal);
            Journal->Finish();
        } catch (const std::exception& E) {
            LogOncePerHour(Path, "Unable to finish collection [" + Path + "] : " + E.what());
        }
    }
}

void TDtaMdlBulkSMS::AppendCollected(TCollection Kind, const std::vector<TCollectedLine>& Entries,
                                     TCollectionJournal* Journal) {
    // Targets that failed every try keep the rest of their lines of this tick without waiting
    // again; after a stop every line is kept.
    TKeptLines GivenUp, Stopped, Refused, Beyond;
    std::vector<size_t> KeptIndexes;
    const auto Keep = [&](TKeptLines& Kept, const std::string& Target, const std::string& Line,
                          size_t Index) {
        TKept& K = Kept[Target];
        K.Text += Line + kLineEnd;
        ++K.Lines;
        KeptIndexes.push_back(Index);
    };
    // A journal that cannot be marked any more only makes a crash repeat more lines.
    const auto MarkDone = [&](size_t Index) {
        if (!Journal) return;
        try {
            Journal->MarkDone(Index);
        } catch (const std::exception& E) {
            Log("Unable to write to collection [" + Journal->Path() + "] : " + E.what());
            Journal = nullptr;
        }
    };
    TNewFileLimit Limit;
    std::exception_ptr Failure;
    try {
        for (size_t Index = 0; Index < Entries.size(); ++Index) {
            if (Journal && Journal->IsDone(Index)) continue;
            const TCollectedLine& Collected = Entries[Index];
            const std::string Name = SafeFileNamePart(Collected.Name) + kCollectedFileExtension;
            const std::string Target = Collected.Directory + Name;
            // The gateway names files, but no more of them than the limit, and none of ours.
            if (!Limit.Admits(Target)) {
                Keep(Beyond, BeyondLimitTarget(Collected.Directory), Name + "," + Collected.Line,
                     Index);
                continue;
            }
            if (IsRefusedCollectedName(Collected.Name)) {
                Keep(Refused, Target, Collected.Line, Index);
                continue;
            }
            if (!Stopped.empty()) {
                Keep(Stopped, Target, Collected.Line, Index);
            } else if (GivenUp.count(Target)) {
                Keep(GivenUp, Target, Collected.Line, Index);
            } else {
                switch (AppendLineToFile(Collected.Line, Target)) {
                    case TAppendResult::Written:
                        MarkDone(Index);
                        if (Kind == TCollection::Statuses)
                            CountStatusAppended();
                        else
                            CountReplyAppended();
                        ReportProgress();
                        break;
                    case TAppendResult::GivenUp:
                        Keep(GivenUp, Target, Collected.Line, Index);
                        break;
                    case TAppendResult::Stopped:
                        Keep(Stopped, Target, Collected.Line, Index);
                        break;
                }
            }
        }
    } catch (...) {
        Failure = std::current_exception();
    }
    KeepUnwritten(GivenUp, "Unable to write");
    KeepUnwritten(Stopped, "Stopped before writing");
    KeepUnwritten(Refused, "Not a file name the gateway may make:");
    KeepUnwritten(Beyond, "Beyond " + std::to_string(kMaxNewFilesPerCollection) +
                              " new files in one collection:");
    for (const size_t Index : KeptIndexes) MarkDone(Index);
    if (Failure) std::rethrow_exception(Failure);
}

TDtaMdlBulkSMS::TAppendResult TDtaMdlBulkSMS::AppendLineToFile(const std::string& Line,
                                                               const std::string& TargetFile) {
    const std::string Text = Line + kLineEnd;
    for (int Failures = 0;;) {
        try {
            AppendDurably(TargetFile, Text);
            return TAppendResult::Written;
        } catch (const EFileError& E) {
            // Only a lock held by another program is worth waiting for however long it lasts.
            if (E.Code == EWOULDBLOCK) {
                Log("Error Accessing Status File. File is open.");
            } else {
                Log("Error Writing [" + TargetFile + "] : " + E.what());
                ++Failures;
            }
        } catch (const std::exception& E) {
            Log("Error Writing [" + TargetFile + "] : " + E.what());
            ++Failures;
        }
        if (Failures == kMaxAppendTries) return TAppendResult::GivenUp;
        // Other timers and control requests run while this line waits; a stop ends the wait.
        if (!Loop.WaitFor(RetryDelay()) || !Loop.ProcessQueued()) return TAppendResult::Stopped;
    }
}

void TDtaMdlBulkSMS::KeepUnwritten(const TKeptLines& Kept, const std::string& Why) {
    for (const auto& [Target, K] : Kept) {
        const std::string Path = StateDirectory + UnwrittenFileName(Target);
        CountUnwrittenLines(K.Lines);
        try {
            AppendDurably(Path, K.Text);
            Log(Why + " " + std::to_string(K.Lines) + " line(s) to [" + Target + "]; kept in [" +
                Path + "]");
        } catch (const std::exception& E) {
            // The process log is the last place left for them.
            Log("Unable to keep unwritten lines in [" + Path + "] : " + E.what());
            size_t Start = 0;
            while (Start < K.Text.size()) {
                const size_t End = K.Text.find(kLineEnd, Start);
                Log("Unwritten line for [" + Target + "] : " + K.Text.substr(Start, End - Start));
                Start = End + 2;
            }
        }
    }
}
