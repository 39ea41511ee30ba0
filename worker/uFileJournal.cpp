#include "worker/uFileJournal.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <unordered_map>
#include <utility>

#include "support/Util.h"

namespace {

// The first line of every journal; a later format gets another number.
constexpr const char* kMagic = "BrovaCSVSender journal 1";
// The file grows by zeros written ahead, from this size, doubling up to the largest step: a
// small file keeps a small journal, a large one syncs its size seldom.
constexpr int64_t kFirstCapacity = 64 << 10;
constexpr int64_t kLargestGrowth = 1 << 20;
constexpr const char* kTemporaryBase = "journal";
// A journal's temporary lives for the moments of a claim; one this old was left by a crash.
constexpr std::chrono::minutes kLeftTemporaryAge{10};

// A field of a record: bytes that would end or split the record are written as %XX.
void AppendField(std::string& Line, const std::string& Field) {
    static const char kHex[] = "0123456789ABCDEF";
    Line += ' ';
    for (const char C : Field) {
        const unsigned char U = static_cast<unsigned char>(C);
        if (U <= 0x20 || U == 0x7F || C == '%') {
            Line += '%';
            Line += kHex[U >> 4];
            Line += kHex[U & 0xF];
        } else {
            Line += C;
        }
    }
}

int HexDigit(char C) {
    if (C >= '0' && C <= '9') return C - '0';
    if (C >= 'A' && C <= 'F') return C - 'A' + 10;
    return -1;
}

std::vector<std::string> Fields(const std::string& Line) {
    std::vector<std::string> Out;
    std::string Field;
    for (size_t I = 0; I <= Line.size(); ++I) {
        if (I == Line.size() || Line[I] == ' ') {
            Out.push_back(std::move(Field));
            Field.clear();
        } else if (Line[I] == '%' && I + 2 < Line.size() && HexDigit(Line[I + 1]) >= 0 &&
                   HexDigit(Line[I + 2]) >= 0) {
            Field += static_cast<char>(HexDigit(Line[I + 1]) * 16 + HexDigit(Line[I + 2]));
            I += 2;
        } else {
            Field += Line[I];
        }
    }
    return Out;
}

template <class T>
T Number(const std::string& Text) {
    T Value{};
    const auto [End, Error] = std::from_chars(Text.data(), Text.data() + Text.size(), Value);
    if (Error != std::errc() || End != Text.data() + Text.size() || Text.empty())
        throw std::runtime_error("'" + Text + "' is not a number");
    return Value;
}

struct TResumeGates {
    std::mutex Lock;
    std::unordered_map<std::string, std::chrono::steady_clock::time_point> NotBefore;
};

// Never destroyed: workers may still finish while the process runs its exit handlers.
TResumeGates& Gates() {
    static TResumeGates* const G = new TResumeGates;
    return *G;
}

}  // namespace

TFileJournal::TFileJournal(std::string Path, TLockedFile File)
    : JournalPath(std::move(Path)), File(std::move(File)) {}

// One thread per journal that syncs it on request, kept for the file's run: a thread started
// for every part would cost more than the sync it hides.
class TFileJournal::TSyncThread {
  public:
    explicit TSyncThread(TLockedFile& File) : Thread([this, &File] { Run(File); }) {}
    ~TSyncThread() {
        {
            std::lock_guard<std::mutex> Lock(Mutex);
            Quit = true;
        }
        Changed.notify_all();
        Thread.join();
    }
    void Start() {
        {
            std::lock_guard<std::mutex> Lock(Mutex);
            Requested = true;
        }
        Changed.notify_all();
    }
    // Waits for the sync asked for; rethrows its failure once.
    void Finish() {
        std::unique_lock<std::mutex> Lock(Mutex);
        Changed.wait(Lock, [this] { return !Requested && !Busy; });
        if (Error) std::rethrow_exception(std::exchange(Error, nullptr));
    }

  private:
    void Run(TLockedFile& File) {
        std::unique_lock<std::mutex> Lock(Mutex);
        for (;;) {
            Changed.wait(Lock, [this] { return Requested || Quit; });
            if (!Requested) return;
            Requested = false;
            Busy = true;
            Lock.unlock();
            std::exception_ptr Failure;
            try {
                File.Sync();
            } catch (...) {
                Failure = std::current_exception();
            }
            Lock.lock();
            Busy = false;
            Error = Failure;
            Changed.notify_all();
        }
    }

    std::mutex Mutex;
    std::condition_variable Changed;
    bool Requested = false;
    bool Busy = false;
    bool Quit = false;
    std::exception_ptr Error;
    std::thread Thread;
};

TFileJournal::~TFileJournal() {
    try {
        AwaitSync();
    } catch (const EFileError&) {
        // Whoever takes the journal up next reads what reached the disk.
    }
}

void TFileJournal::AwaitSync() {
    if (!SyncThread) return;
    try {
        SyncThread->Finish();
    } catch (const EFileError&) {
        // What the failed sync was to write is synced again before the journal is let go.
        Unsynced = true;
        throw;
    }
}

std::unique_ptr<TFileJournal> TFileJournal::Begin(const std::string& Dir,
                                                  const TRunSettings& Settings) {
    const std::string Temporary = TemporaryNameBeside(AddTrailingBackslash(Dir) + kTemporaryBase);
    std::unique_ptr<TFileJournal> J(new TFileJournal(Temporary, TLockedFile::CreateNew(Temporary)));
    J->RunSettings = Settings;
    std::string Header = kMagic;
    Header += '\n';
    for (const TRunSettingsField& F : RunSettingsFields(Settings)) {
        Header += "setting";
        AppendField(Header, F.Name);
        AppendField(Header, F.Readable ? "1" : "0");
        AppendField(Header, F.Text);
        Header += '\n';
    }
    try {
        // Nothing reads a journal before it is named, and Name syncs it first: its first
        // records and the zeros after them go to disk in one sync, begun here.
        const int64_t Size = static_cast<int64_t>(Header.size());
        J->Capacity = J->GrowthFor(Size);
        Header.resize(static_cast<size_t>(J->Capacity), '\0');
        J->File.WriteAt(0, Header);
        J->File.StartWriteBack();
        J->Unsynced = true;
        J->End = Size;
    } catch (...) {
        J->Discard();
        throw;
    }
    return J;
}

bool TFileJournal::Name(const std::string& Path, int& Error) {
    try {
        Sync();
    } catch (const EFileError& E) {
        Error = E.Code;
        return false;
    }
    if (!RenameNoReplace(JournalPath, Path, nullptr)) {
        Error = errno;
        return false;
    }
    JournalPath = Path;
    return true;
}

void TFileJournal::Discard() { Remove(); }

std::unique_ptr<TFileJournal> TFileJournal::TakeUp(const std::string& Path) {
    std::unique_ptr<TFileJournal> J(new TFileJournal(Path, TLockedFile::OpenExclusive(Path)));
    const std::string Text = J->File.ReadAll();
    // The records end at the first zero written ahead. A record cut short by a crash was never
    // acted on: it goes, and the next one follows the last whole record.
    const std::string_view Records = std::string_view(Text).substr(0, Text.find('\0'));
    // Nothing is written to a file before it is known for a journal of this service.
    if (Records.substr(0, std::char_traits<char>::length(kMagic) + 1) != std::string(kMagic) + "\n")
        throw std::runtime_error("Journal " + Path + " is not a journal of this service");
    const size_t Last = Records.rfind('\n');
    const size_t Whole = Last == std::string_view::npos ? 0 : Last + 1;
    if (Whole != Records.size())
        J->File.WriteAt(static_cast<int64_t>(Whole), std::string(Records.size() - Whole, '\0'));
    J->End = static_cast<int64_t>(Whole);
    J->Capacity = static_cast<int64_t>(Text.size());
    J->Read(Records.substr(0, Whole));
    return J;
}

void TFileJournal::Read(std::string_view Text) {
    size_t Pos = 0;
    size_t LineNo = 0;
    // Every setting the run began with must be there: a run never goes on with a default.
    std::set<std::string> Missing;
    for (const TRunSettingsField& F : RunSettingsFields(TRunSettings{})) Missing.insert(F.Name);
    // Journals written before the claimed file's device and inode were kept go on without them.
    Missing.erase("FileDevice");
    Missing.erase("FileInode");
    std::map<int32_t, int32_t> PartCounts;
    std::map<int32_t, std::vector<std::string>> Lines;
    while (Pos < Text.size()) {
        const size_t End = Text.find('\n', Pos);
        const std::string Line(Text.substr(Pos, End - Pos));
        Pos = End + 1;
        ++LineNo;
        try {
            if (LineNo == 1) {
                if (Line != kMagic) throw std::runtime_error("not a journal of this service");
                continue;
            }
            const std::vector<std::string> F = Fields(Line);
            const std::string& Kind = F[0];
            if (Kind == "setting" && F.size() == 4) {
                SetRunSettingsField(RunSettings, {F[1], F[2] == "1", F[3]});
                Missing.erase(F[1]);
            } else if (Kind == "headers") {
                RunState.HeadersWritten = true;
            } else if (Kind == "part" && F.size() == 4) {
                const int32_t PartNo = Number<int32_t>(F[1]);
                CheckPart(PartNo, Number<int32_t>(F[2]), Number<int32_t>(F[3]));
                PartCounts[PartNo] = Number<int32_t>(F[3]);
            } else if (Kind == "lines" && F.size() >= 2) {
                std::vector<std::string>& Kept = Lines[Number<int32_t>(F[1])];
                Kept.assign(std::make_move_iterator(F.begin() + 2),
                            std::make_move_iterator(F.end()));
            } else if (Kind == "answer" && F.size() >= 2) {
                const int32_t PartNo = Number<int32_t>(F[1]);
                TAnswer& A = RunState.Answers[PartNo];
                A = TAnswer{};
                A.Count = PartCounts.count(PartNo) ? PartCounts[PartNo] : 0;
                // The lines go before their answer, in the same write.
                if (const auto Found = Lines.find(PartNo); Found != Lines.end()) {
                    A.HasLines = true;
                    A.Lines = std::move(Found->second);
                    Lines.erase(Found);
                }
                if (F.size() >= 3 && F[2] == "-") {
                    A.Readable = false;
                    if (F.size() >= 4) A.Reason = F[3];
                } else {
                    A.Ids.reserve(F.size() - 2);
                    for (size_t I = 2; I < F.size(); ++I) A.Ids.push_back(Number<int64_t>(F[I]));
                }
            } else if (Kind == "saving" && F.size() == 3) {
                RunState.Saving = true;
                RunState.SavingPrior = Number<int64_t>(F[1]);
                RunState.SavingFinal = Number<int64_t>(F[2]);
            } else if (Kind == "saved") {
                RunState.Saved = true;
            } else if (Kind == "failed" && F.size() == 2) {
                RunState.Failed = true;
                RunState.Failure = F[1];
            } else if (Kind == "mailed") {
                RunState.Mailed = true;
            } else if (Kind == "done" && F.size() == 2) {
                RunState.Done = true;
                RunState.DoneDeleteLogs = F[1] == "1";
            } else {
                throw std::runtime_error("unknown record");
            }
        } catch (const std::exception& E) {
            throw std::runtime_error("Journal " + JournalPath + " line " + std::to_string(LineNo) +
                                     " cannot be read: " + E.what());
        }
    }
    if (LineNo == 0) throw std::runtime_error("Journal " + JournalPath + " is empty");
    if (!Missing.empty())
        throw std::runtime_error("Journal " + JournalPath + " lacks the setting " +
                                 *Missing.begin());
}

void TFileJournal::CheckPart(int32_t PartNo, int32_t First, int32_t Count) const {
    // A part where the split it describes puts none is no record of this run: nothing of it
    // may be sent on its word.
    bool Fits = PartNo >= 1 && First >= 0 && Count >= 1;
    if (RunSettings.Split.Readable() && RunSettings.MaxMessages.Readable()) {
        const int Max = RunSettings.MaxMessages.Value;
        if (RunSettings.Split.Value == 1 && Max >= 1)
            Fits = Fits && Count <= Max && int64_t(First) == int64_t(PartNo - 1) * Max;
        else
            Fits = Fits && PartNo == 1 && First == 0;
    }
    if (!Fits) throw std::runtime_error("the part does not match the split of the run");
}

std::string TFileJournal::ClaimedFileName() const { return ChangeFileExt(JournalPath, ".Busy"); }

int64_t TFileJournal::GrowthFor(int64_t Size) const {
    int64_t Growth = std::min(std::max(Capacity, kFirstCapacity), kLargestGrowth);
    while (End + Size > Capacity + Growth) Growth += kLargestGrowth;
    return Growth;
}

void TFileJournal::Append(const std::string& Line, bool Sync) {
    AwaitSync();
    AheadRecord.clear();
    const int64_t Size = static_cast<int64_t>(Line.size());
    if (End + Size > Capacity) {
        const int64_t Growth = GrowthFor(Size);
        // Zeros, not a hole: a hole filled later changes the file's layout at every sync.
        File.WriteAt(Capacity, std::string(static_cast<size_t>(Growth), '\0'));
        File.Sync();
        Capacity += Growth;
    }
    try {
        File.WriteAt(End, Line);
    } catch (const EFileError&) {
        // A record written in part would stand before the next one: it is zeroed again.
        try {
            File.WriteAt(End, std::string(Line.size(), '\0'));
        } catch (const EFileError&) {
            // Cut short as it is, it is not read back: the records end at a partial line.
        }
        throw;
    }
    End += Size;
    if (Sync) {
        File.Sync();
        Unsynced = false;
    } else {
        Unsynced = true;
    }
}

void TFileJournal::HeadersWritten() {
    Append("headers\n", false);
    RunState.HeadersWritten = true;
}

void TFileJournal::Sync() {
    AwaitSync();
    if (!Unsynced) return;
    File.Sync();
    Unsynced = false;
}

namespace {
std::string PartRecord(int32_t PartNo, int32_t First, int32_t Count) {
    return "part " + std::to_string(PartNo) + " " + std::to_string(First) + " " +
           std::to_string(Count) + "\n";
}
}  // namespace

void TFileJournal::PartSending(int32_t PartNo, int32_t First, int32_t Count) {
    const std::string Record = PartRecord(PartNo, First, Count);
    if (AheadRecord == Record) {
        AheadRecord.clear();
        return;
    }
    Append(Record, true);
}

void TFileJournal::PartAhead(int32_t PartNo, int32_t First, int32_t Count) {
    const std::string Record = PartRecord(PartNo, First, Count);
    try {
        Append(Record, false);
    } catch (const EFileError&) {
        return;
    }
    AheadRecord = Record;
    Unsynced = false;
    if (!SyncThread) SyncThread = std::make_unique<TSyncThread>(File);
    SyncThread->Start();
}

namespace {
std::string LinesRecord(int32_t PartNo, const std::vector<std::string>& Lines) {
    std::string Record = "lines " + std::to_string(PartNo);
    size_t Size = Record.size() + 1;
    for (const std::string& L : Lines) Size += L.size() + 8;
    Record.reserve(Size);
    for (const std::string& L : Lines) AppendField(Record, L);
    Record += '\n';
    return Record;
}
}  // namespace

void TFileJournal::PartAnswered(int32_t PartNo, const std::vector<int64_t>& Ids,
                                const std::vector<std::string>& Lines) {
    std::string Line = LinesRecord(PartNo, Lines) + "answer " + std::to_string(PartNo);
    Line.reserve(Line.size() + Ids.size() * 12 + 1);
    char Buffer[24];
    for (const int64_t Id : Ids) {
        const auto [End, Error] = std::to_chars(Buffer, Buffer + sizeof Buffer, Id);
        (void)Error;
        Line += ' ';
        Line.append(Buffer, End);
    }
    Line += '\n';
    Append(Line, false);
    RunState.Answers[PartNo] = TAnswer{true, Ids, "", 0, false, {}};
}

void TFileJournal::PartAnsweredUnreadable(int32_t PartNo, const std::string& Reason,
                                          const std::vector<std::string>& Lines) {
    std::string Line = LinesRecord(PartNo, Lines) + "answer " + std::to_string(PartNo) + " -";
    AppendField(Line, Reason);
    Append(Line + "\n", false);
    RunState.Answers[PartNo] = TAnswer{false, {}, Reason, 0, false, {}};
}

void TFileJournal::ConfirmationSaving(int64_t PriorSize, int64_t FinalSize) {
    Append("saving " + std::to_string(PriorSize) + " " + std::to_string(FinalSize) + "\n", true);
    RunState.Saving = true;
    RunState.SavingPrior = PriorSize;
    RunState.SavingFinal = FinalSize;
}

void TFileJournal::ConfirmationSaved() {
    Append("saved\n", true);
    RunState.Saved = true;
}

void TFileJournal::RunFailed(const std::string& Message) {
    std::string Line = "failed";
    AppendField(Line, Message);
    Append(Line + "\n", true);
    RunState.Failed = true;
    RunState.Failure = Message;
}

void TFileJournal::MailSent() {
    Append("mailed\n", true);
    RunState.Mailed = true;
}

void TFileJournal::CleanUpBegun(bool DeleteLogs) {
    Append(DeleteLogs ? "done 1\n" : "done 0\n", true);
    RunState.Done = true;
    RunState.DoneDeleteLogs = DeleteLogs;
}

void TFileJournal::Remove() {
    try {
        AwaitSync();
    } catch (const EFileError&) {
        // The journal goes: what its sync could not write is not needed.
    }
    // Only the holder removes the name, and only while it still names the file held.
    if (File.IsAt(JournalPath)) DeleteFile(JournalPath);
    try {
        File.Close();
    } catch (const EFileError&) {
        // Nothing of a journal that is gone can be lost.
    }
}

void TFileJournal::Release() {
    if (!File.IsOpen()) return;
    Sync();
    File.Close();
}

bool IsJournalName(const std::string& Name) {
    const std::string Extension = kJournalExtension;
    return (Name.size() >= Extension.size() &&
            Name.compare(Name.size() - Extension.size(), Extension.size(), Extension) == 0) ||
           IsJournalTemporaryName(Name);
}

bool IsJournalTemporaryName(const std::string& Name) {
    return MatchesMask(Name, std::string(".") + kTemporaryBase + ".*.tmp");
}

void RemoveLeftJournalTemporary(const std::string& Path) {
    RemoveLeftTemporary(Path, kLeftTemporaryAge);
}

void SetResumeNotBefore(const std::string& JournalPath,
                        std::chrono::steady_clock::time_point NotBefore) {
    std::lock_guard<std::mutex> Guard(Gates().Lock);
    Gates().NotBefore[JournalPath] = NotBefore;
}

bool ResumeDue(const std::string& JournalPath) {
    std::lock_guard<std::mutex> Guard(Gates().Lock);
    const auto Found = Gates().NotBefore.find(JournalPath);
    if (Found == Gates().NotBefore.end()) return true;
    if (std::chrono::steady_clock::now() < Found->second) return false;
    Gates().NotBefore.erase(Found);
    return true;
}
