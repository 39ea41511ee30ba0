#include "host/dBulkSMSMain.h"

#include <cerrno>
#include <exception>
#include <map>
#include <optional>
#include <stdexcept>
#include <unordered_map>
#include <utility>

#include "gateway/uVexoOSReplies.h"
#include "gateway/uVexoOSStatus.h"
#include "gateway/uVexocspWS.h"
#include "host/BulkSMSService.h"
#include "host/uCollection.h"
#include "host/uConfigCheck.h"
#include "platform/Files.h"
#include "platform/Heartbeat.h"
#include "platform/RetryDelay.h"
#include "platform/ServiceHost.h"
#include "platform/SysLog.h"
#include "support/Util.h"
#include "support/uLogFile.h"
#include "worker/uBatchNameLock.h"
#include "worker/uBulkSMSThread.h"
#include "worker/uServiceFileNames.h"

namespace {

constexpr const char* kConfigFileName = "BrovaCSVSenderConfig.xml";
constexpr const char* kClaimedExtension = ".Busy";
constexpr const char* kCombinedFormat = "COMBINED";
// An originator that begins with this country code is written with a leading "0" instead.
constexpr const char* kInternationalPrefix = "27";
// A file that failed on its own waits for the operator; its journal is looked at this seldom.
constexpr std::chrono::hours kLeftFileRecheck{1};
// The same failure for the same file is logged no more often than this.
constexpr std::chrono::hours kRepeatedFailureLogInterval{1};
// A temporary unchanged this long belongs to a writer that is gone; sweeps are this far apart.
constexpr std::chrono::minutes kLeftTemporaryAge{10};
// Past this many remembered failures, those older than the interval are forgotten.
constexpr size_t kMaxRememberedFailures = 1000;
// The metrics file is read by node_exporter, which does not run as root; it holds no secret.
constexpr unsigned kMetricsFileMode = 0644;

bool OldEnoughToClaim(const std::string& Path) {
    const auto Modified = FileModificationTime(Path);
    // A file that vanished since the search has nothing left to claim.
    if (!Modified) return false;
    return std::chrono::system_clock::now() - *Modified >= kMinFileAge;
}

// A negative interval would wrap to weeks; it is taken as "never fires", as 0 is.
uint32_t TimerInterval(int Milliseconds) {
    return Milliseconds > 0 ? static_cast<uint32_t>(Milliseconds) : 0;
}

}  // namespace

TServiceFigures CurrentFigures() {
    TServiceFigures Figures = ReadFigures();
    Figures.FilesInFlight = RunningBulkThreads();
    return Figures;
}

void WriteMetricsFile(const std::string& Path, const TServiceFigures& Figures) {
    TAtomicFile File(Path);
    File.SetPermissions(kMetricsFileMode);
    File.Write(MetricsText(Figures, std::chrono::system_clock::now()));
    File.Commit();
}

std::string ServiceStateDirectory(const std::string& ExePath) {
    const std::string Given = StateDirectoryFromEnvironment();
    return Given.empty() ? ExecutableDirectory(ExePath) : Given;
}

std::string ProcessLogFileName(const std::string& ExePath) {
    const std::string Name = FileNameOf(ExePath);
    const size_t Dot = Name.rfind('.');
    return ServiceStateDirectory(ExePath) +
           (Dot != std::string::npos ? Name.substr(0, Dot) : Name) + ".Log";
}

std::string ExecutableDirectory(const std::string& ExePath) { return DirectoryOf(ExePath); }

std::string ConfigFileName(const std::string& ExePath) {
    return ExecutableDirectory(ExePath) + kConfigFileName;
}

TDtaMdlBulkSMS::TDtaMdlBulkSMS(TEventLoop& Loop, TClock Clock, const std::string& ExePath,
                               TConfigurationCheck Check, std::string MetricsFile)
    : Loop(Loop),
      Clock(Clock ? std::move(Clock) : TClock(Now)),
      ExePath(ExePath),
      StateDirectory(ServiceStateDirectory(ExePath)),
      tmrPollDirectory(Loop),
      tmrGetStatusses(Loop),
      tmrGetReplies(Loop),
      ConfigurationCheck(std::move(Check)),
      MetricsFile(std::move(MetricsFile)) {
    tmrPollDirectory.OnTimer = [this] { tmrPollDirectoryTimer(); };
    tmrGetStatusses.OnTimer = [this] { tmrGetStatussesTimer(); };
    tmrGetReplies.OnTimer = [this] { tmrGetRepliesTimer(); };

    LogFile = ProcessLogFileName(ExePath);
    try {
        StartUp();
    } catch (const std::exception& E) {
        Log(std::string("Starting up exception: (") + E.what() + ")");
        throw std::runtime_error("Error During Creation of DataModule");
    } catch (...) {
        Log("Starting up exception: (Unknown error)");
        throw std::runtime_error("Error During Creation of DataModule");
    }
}

TDtaMdlBulkSMS::~TDtaMdlBulkSMS() { DataModuleDestroy(); }

void TDtaMdlBulkSMS::Log(const std::string& Msg) {
    WriteToLog(Msg, LogFile, kProcessLogMaxSizeKB, true, true, Clock());
}

void TDtaMdlBulkSMS::StartUp() {
    Log("Brova CSV Bulk Messenger Started up.");
    Stopping = false;
    try {
        const std::string ConfigPath = ConfigFileName(ExePath);
        if (!FileExists(ConfigPath)) throw std::runtime_error("Config file does not exist");
        Config = LoadBulkCSVSender(ConfigPath);
        LogConfigurationFindings();
        RefuseOwnOutputAsInput();

        const auto OperationalTime = Config->GetOperationalTime();
        WindowStart = OperationalTime->GetStartTime();
        WindowEnd = OperationalTime->GetEndTime();

        const auto Settings = Config->GetSettings();
        tmrPollDirectory.SetInterval(TimerInterval(Settings->GetPollInterval()));
        const int ReplyInterval = Settings->GetReplyInterval();
        if (ReplyInterval > kMinCollectionIntervalMs) {
            tmrGetReplies.SetInterval(TimerInterval(ReplyInterval));
            tmrGetReplies.Arm();
        }
        const int StatusInterval = Settings->GetStatusInterval();
        if (StatusInterval > kMinCollectionIntervalMs) {
            tmrGetStatusses.SetInterval(TimerInterval(StatusInterval));
            tmrGetStatusses.Arm();
        }

        MaxFilesInFlight = Settings->GetSubmissions()->GetMaxFilesInFlight();

        const auto Vexo = Config->GetVexo();
        GatewayURL = Vexo->GetURL();
        GatewayCAFile = Vexo->GetCAFile();
        GatewayUsername = Vexo->GetUsername();
        GatewayPassword = Vexo->GetPassword();

        FinishLeftCollections();
        tmrPollDirectory.Arm();
        // The start, and with it the service's report of running, waits for this first poll.
        tmrPollDirectoryTimer();
    } catch (const std::exception& E) {
        throw std::runtime_error(std::string("DtaMdl Startup Error : ") + E.what());
    }
}

void TDtaMdlBulkSMS::ShutDown() {
    Stopping = true;
    tmrPollDirectory.Disarm();
    tmrGetStatusses.Disarm();
    tmrGetReplies.Disarm();
    // Workers keep their own reference and go on with it until they end.
    Config.reset();
    Log("Brova CSV Bulk Messenger Shut down.");
}

void TDtaMdlBulkSMS::DataModuleDestroy() {
    try {
        ShutDown();
    } catch (const std::exception& E) {
        Log(std::string("Shutting down exception (") + E.what() + ")");
    }
}

// ---- directory polling ----

void TDtaMdlBulkSMS::tmrPollDirectoryTimer() {
    if (Stopping) {
        tmrPollDirectory.Disarm();
        tmrGetStatusses.Disarm();
        tmrGetReplies.Disarm();
        return;
    }
    // Outside the window the timer stays armed, so the next tick asks again.
    if (!InOperationalWindow()) {
        TickEnded();
        return;
    }
    tmrPollDirectory.Disarm();
    NotePoll(Clock());
    try {
        PollProtocols();
    } catch (const std::exception& E) {
        Log(std::string("Error polling : ") + E.what());
    } catch (...) {
        if (!Stopping) tmrPollDirectory.Arm();
        throw;
    }
    TickEnded();
    // Ticks never overlap: the next one comes one interval after this one ended.
    if (!Stopping) tmrPollDirectory.Arm();
}

bool TDtaMdlBulkSMS::InOperationalWindow() {
    try {
        if (!Config->GetOperationalTime()->GetEnabled()) return true;
        const std::string Today = FormatShortDate(Clock());
        TDateTime Start, End;
        if (!TryStrToDateTime(Today + " " + WindowStart, Start) ||
            !TryStrToDateTime(Today + " " + WindowEnd, End))
            throw std::runtime_error("Invalid operational time");
        // Both ends belong to the window; the clock is read for each comparison.
        if (Clock() < Start) return false;
        if (Clock() > End) return false;
        return true;
    } catch (const std::exception&) {
        Log("Error Converting Operational Times");
        return true;
    }
}

void TDtaMdlBulkSMS::PollProtocols() {
    const std::shared_ptr<IXMLProtocolsType> Protocols = Config->GetSettings()->GetProtocols();
    const int Count = Protocols->GetCount();
    int64_t Oldest = 0;
    for (int Index = 0; Index < Count; ++Index) {
        const std::shared_ptr<IXMLProtocolType> Protocol = Protocols->GetItem(Index);
        if (!Protocol->GetEnabled()) continue;
        const std::string PollDirectory = AddTrailingBackslash(Protocol->GetPollDirectory());
        const std::string Mask = Protocol->GetPollFileType();
        // Blanks stay: the worker trims the name itself.
        const std::string ProtocolName = UpperCase(Protocol->GetName());

        // One look at the directory serves both: files cut off earlier go first, so that they
        // hold their batch names before new files ask for them.
        const std::vector<std::string> Names = FindFiles(PollDirectory, "*");
        Oldest = OldestClaim(PollDirectory, Names, Oldest);
        ResumeFiles(PollDirectory, Names);
        std::vector<TPreparedClaim> Prepared;
        try {
            PrepareClaims(Index, PollDirectory, Mask, ProtocolName, Names, Prepared);
        } catch (...) {
            ClaimPrepared(Prepared);
            throw;
        }
        ClaimPrepared(Prepared);
    }
    NoteOldestClaim(Oldest);
    SweepLeftTemporaries();
}

void TDtaMdlBulkSMS::SweepLeftTemporaries() {
    const auto Now = std::chrono::steady_clock::now();
    if (LastSweep != std::chrono::steady_clock::time_point{} && Now - LastSweep < kLeftTemporaryAge)
        return;
    LastSweep = Now;
    std::vector<std::pair<std::string, std::string>> Places = {
        {StateDirectory, ".Confirmation-*.tmp"}};
    if (!MetricsFile.empty())
        Places.push_back({DirectoryOf(MetricsFile),
                          "." + MetricsFile.substr(DirectoryOf(MetricsFile).size()) + ".*.tmp"});
    const std::shared_ptr<IXMLProtocolsType> Protocols = Config->GetSettings()->GetProtocols();
    for (int Index = 0; Index < Protocols->GetCount(); ++Index)
        Places.push_back({AddTrailingBackslash(Protocols->GetItem(Index)->GetStatusDirectory()),
                          ".Confirmation-*.tmp"});
    for (const auto& [Directory, Mask] : Places)
        if (!Trim(Directory).empty())
            for (const std::string& Name : FindFiles(Directory, Mask))
                RemoveLeftTemporary(Directory + Name, kLeftTemporaryAge);
}

void TDtaMdlBulkSMS::PrepareClaims(int Index, const std::string& PollDirectory,
                                   const std::string& Mask, const std::string& ProtocolName,
                                   const std::vector<std::string>& Names,
                                   std::vector<TPreparedClaim>& Prepared) {
    // A logon that served no file, its batch name being held, serves the next one.
    std::string SpareToken;
    for (const std::string& Name : Names) {
        if (Stopping) break;
        // What the service writes itself is never input, whatever the mask takes in.
        if (!MatchesMask(Name, Mask) || IsServiceFileName(Name)) continue;
        const std::string FullName = PollDirectory + Name;
        if (!IsClaimable(FullName)) continue;
        // A second name is a claim by link and unlink under way, or one a crash cut short.
        if (LinkCountOf(FullName) > 1) {
            FinishCutClaim(PollDirectory, Name, Names);
            continue;
        }
        // Beyond the cap a file waits under its own name for a later tick.
        if (RunningBulkThreads() + static_cast<int>(Prepared.size()) >= MaxFilesInFlight) break;
        // A rename does not stop a writer here: a file written to lately waits a tick.
        if (!OldEnoughToClaim(FullName)) continue;
        const std::string BatchName = Name.substr(0, Name.find('.'));
        TRunSettings Settings =
            ReadRunSettings(*Config, Index, ProtocolName, BatchName, StateDirectory, Clock());
        // The logon comes first: a gateway that is down leaves the file under its own name,
        // holding nothing. A file whose claim keeps failing is tried at every tick without a
        // line each time.
        if (SpareToken.empty()) {
            if (!LoggedFailures.count(FullName)) Log("Logging on... ");
            SpareToken = Logon();
        }
        // A batch name another run holds waits, so that confirmation files never collide.
        std::optional<TBatchNameLock> BatchLock = HoldBatchName(Settings, FullName, "");
        if (!BatchLock) continue;
        Token = std::exchange(SpareToken, std::string());
        std::unique_ptr<TFileJournal> Journal = BeginClaim(FullName, std::move(Settings));
        if (!Journal) continue;
        Prepared.push_back({Name, FullName, Token, std::move(*BatchLock), std::move(Journal)});
        if (Prepared.size() == kClaimsSyncedTogether) ClaimPrepared(Prepared);
    }
}

void TDtaMdlBulkSMS::ClaimPrepared(std::vector<TPreparedClaim>& Prepared) {
    // Taken out first: whatever fails below, no prepared claim is taken up twice.
    std::vector<TPreparedClaim> Taken;
    Taken.swap(Prepared);
    for (TPreparedClaim& P : Taken) {
        if (Stopping) {
            P.Journal->Discard();
            continue;
        }
        std::unique_ptr<TFileJournal> Journal = ClaimFile(P.Name, P.FullName, std::move(P.Journal));
        if (!Journal) continue;
        try {
            P.BatchLock.NameJournal(Journal->Path());
        } catch (const std::exception& E) {
            // The worker still holds the name while it runs; only a crash would free it early.
            Log("Unable to name the journal in the batch lock of [" + P.FullName +
                "] : " + E.what());
        }
        try {
            // The worker runs on its own thread and frees itself when it is done.
            new TBulkThread(std::move(Journal), false, std::move(P.BatchLock), P.Token, Config,
                            Clock);
        } catch (const std::exception& E) {
            // Claimed and journalled: a later poll takes it up again.
            Log("Unable to start the run of [" + P.FullName + "] : " + E.what());
        }
    }
}

int64_t TDtaMdlBulkSMS::OldestClaim(const std::string& Directory,
                                    const std::vector<std::string>& Names, int64_t Oldest) {
    for (const std::string& Name : Names) {
        if (!IsJournalName(Name)) continue;
        // The claim's rename is the last change to the claimed file itself.
        const int64_t Claimed =
            FileStatusChangeNs(Directory + ChangeFileExt(Name, kClaimedExtension));
        if (Claimed > 0 && (Oldest == 0 || Claimed < Oldest)) Oldest = Claimed;
    }
    return Oldest;
}

std::string TDtaMdlBulkSMS::Logon() {
    const std::shared_ptr<IVexoWSSoap> Client =
        GetIVexoWSSoap(false, GatewayURL, nullptr, GatewayCAFile);
    if (!Client) throw std::runtime_error("Gateway connection object not assigned.");
    try {
        std::string Token = Client->Login(GatewayUsername, GatewayPassword);
        CountGatewayCall(true);
        return Token;
    } catch (...) {
        CountGatewayCall(false);
        throw;
    }
}

void TDtaMdlBulkSMS::ResumeFiles(const std::string& Directory,
                                 const std::vector<std::string>& Names) {
    std::string SpareToken;
    for (const std::string& Name : Names) {
        if (Stopping) return;
        if (IsJournalTemporaryName(Name)) {
            RemoveLeftJournalTemporary(Directory + Name);
            continue;
        }
        if (!IsJournalName(Name)) continue;
        const std::string Path = Directory + Name;
        if (!ResumeDue(Path)) continue;
        std::unique_ptr<TFileJournal> Journal;
        try {
            Journal = TFileJournal::TakeUp(Path);
        } catch (const EFileError& E) {
            // Held: in flight here or in another instance. Gone: finished meanwhile.
            if (E.Code != EWOULDBLOCK && E.Code != ENOENT)
                LogOncePerHour(Path, "Unable to take up file [" + Path + "] : " + E.what());
            continue;
        } catch (const std::exception& E) {
            LogOncePerHour(Path, std::string("Unable to take up file : ") + E.what());
            continue;
        }
        const TFileJournal::TState& State = Journal->State();
        const TRunSettings& Settings = Journal->Settings();
        if (!State.Done && !State.Mailed && !State.Saved && !State.Failed &&
            State.Answers.empty() && !FileExists(Journal->ClaimedFileName())) {
            // A claim cut off before its rename: the file is still there under its own name.
            Journal->Remove();
            continue;
        }
        const bool MailOwed = Settings.SendConfirmation.Readable() &&
                              Settings.SendConfirmation.Value && !State.Mailed;
        if (State.Failed && !State.Done && !MailOwed) {
            // Failed on its own and nothing owed: left for the operator, looked at again hourly.
            SetResumeNotBefore(Path, std::chrono::steady_clock::now() + kLeftFileRecheck);
            continue;
        }
        if (SpareToken.empty()) {
            if (!LoggedFailures.count(Path)) Log("Logging on... ");
            SpareToken = Logon();
        }
        std::optional<TBatchNameLock> BatchLock = HoldBatchName(Settings, Path, Path);
        if (!BatchLock) continue;
        Token = std::exchange(SpareToken, std::string());
        Log("Resuming file [" + Journal->ClaimedFileName() + "]");
        new TBulkThread(std::move(Journal), true, std::move(*BatchLock), Token, Config, Clock);
        CountFileResumed();
    }
}

void TDtaMdlBulkSMS::FinishCutClaim(const std::string& Directory, const std::string& Name,
                                    const std::vector<std::string>& Names) {
    const std::string FullName = Directory + Name;
    const std::string Base = Name.substr(0, Name.rfind('.'));
    for (const std::string& Other : Names) {
        // The claimed names are BASE.Busy and BASE(N).Busy.
        if (Other == Name || !MatchesMask(Other, Base + "*" + kClaimedExtension) ||
            !SameFile(Directory + Other, FullName))
            continue;
        // Its journal has the file under the claimed name: the first name must not be claimed
        // again, so it goes, and exactly one name is left.
        if (DeleteFile(FullName) || !FileExists(FullName))
            Log("File [" + FullName + "] was claimed as [" + Directory + Other +
                "] by a claim cut short; its first name is removed");
        return;
    }
    LogOncePerHour(FullName, "File [" + FullName + "] is not claimed : it has another name");
}

bool TDtaMdlBulkSMS::IsClaimable(const std::string& FullName) {
    const char* Kind = nullptr;
    switch (EntryKindOf(FullName)) {
        case TEntryKind::RegularFile:
            return true;
        case TEntryKind::Missing:
            return false;
        case TEntryKind::SymbolicLink:
            Kind = "a symbolic link";
            break;
        case TEntryKind::Directory:
            Kind = "a directory";
            break;
        case TEntryKind::Other:
            Kind = "not a regular file";
            break;
    }
    // Left as it is: a link is not followed, and a FIFO or device is not opened.
    LogOncePerHour(FullName, "File [" + FullName + "] is not claimed : it is " + Kind);
    return false;
}

std::unique_ptr<TFileJournal> TDtaMdlBulkSMS::BeginClaim(const std::string& FullName,
                                                         TRunSettings Settings) {
    try {
        TakeClaimedFile(Settings, FullName);
        return TFileJournal::Begin(DirectoryOf(FullName), Settings);
    } catch (const EFileError& E) {
        LogOncePerHour(FullName, "Unable to claim file [" + FullName + "] : " + E.what());
        return nullptr;
    }
}

std::unique_ptr<TFileJournal> TDtaMdlBulkSMS::ClaimFile(const std::string& Name,
                                                        const std::string& FullName,
                                                        std::unique_ptr<TFileJournal> Journal) {
    const size_t Dot = Name.rfind('.');
    const std::string Base = Dot == std::string::npos
                                 ? FullName
                                 : FullName.substr(0, FullName.size() - Name.size() + Dot);
    // The journal is in place, synced and held before the rename, so that a claimed file always
    // has either a live worker or a journal to be finished from.
    std::string Claimed = Base + kClaimedExtension;
    for (int Retry = 1;; ++Retry) {
        int Error = 0;
        bool RenameFailed = false;
        if (Journal->Name(ChangeFileExt(Claimed, kJournalExtension), Error)) {
            std::string Text;
            if (RenameNoReplace(FullName, Claimed, &Text)) {
                // The worker syncs the directory before it sends: the next claim need not wait.
                CountFileClaimed();
                return Journal;
            }
            Error = errno;
            // Another instance took the file first: nothing to say.
            if (Error == ENOENT) {
                Journal->Discard();
                return nullptr;
            }
            if (Error != EEXIST) {
                LogOncePerHour(FullName, "Unable to rename file [" + Text + "]");
                Journal->Discard();
                return nullptr;
            }
            Log("Unable to rename file [" + Text + "]");
            RenameFailed = true;
        } else if (Error != EEXIST) {
            LogOncePerHour(FullName,
                           "Unable to claim file [" + FullName + "] : " + SystemErrorText(Error));
            Journal->Discard();
            return nullptr;
        }
        // A file that is gone, or whose every name failed, waits for a later tick instead of
        // holding the service thread.
        const bool Gone = !FileModificationTime(FullName);
        if (Retry > kMaxClaimRetries || Gone) {
            if (!Gone) Log("Unable to claim file [" + FullName + "]");
            Journal->Discard();
            return nullptr;
        }
        Claimed = Base + "(" + std::to_string(Retry) + ")" + kClaimedExtension;
        // A journal name that is taken moves on to the next number without a word.
        if (RenameFailed) Log("Attempting to rename file to [" + Claimed + "]");
    }
}

std::optional<TBatchNameLock> TDtaMdlBulkSMS::HoldBatchName(const TRunSettings& Settings,
                                                            const std::string& File,
                                                            const std::string& Journal) {
    try {
        std::optional<TBatchNameLock> Lock = TBatchNameLock::TryHold(
            DirectoryOf(Settings.ConfirmationFileName()), Settings.BatchName, Journal);
        // Said once an hour, which also spares the logon's line at every tick meanwhile.
        if (!Lock)
            LogOncePerHour(File, "File [" + File + "] waits : its batch name " +
                                     Settings.BatchName + " is held by another run");
        return Lock;
    } catch (const std::exception& E) {
        // Unguarded, two runs could write one confirmation: the file waits.
        LogOncePerHour(File, "Unable to hold the batch name " + Settings.BatchName + " for [" +
                                 File + "] : " + E.what());
        return std::nullopt;
    }
}

void TDtaMdlBulkSMS::LogOncePerHour(const std::string& Key, const std::string& Message) {
    const auto Now = std::chrono::steady_clock::now();
    const auto Found = LoggedFailures.find(Key);
    if (Found != LoggedFailures.end() && Found->second.Message == Message &&
        Now - Found->second.At < kRepeatedFailureLogInterval)
        return;
    // Entries of files long gone would pile up: the map forgets what it would not hold back.
    if (LoggedFailures.size() > kMaxRememberedFailures) {
        for (auto It = LoggedFailures.begin(); It != LoggedFailures.end();)
            It = Now - It->second.At >= kRepeatedFailureLogInterval ? LoggedFailures.erase(It)
                                                                    : std::next(It);
    }
    LoggedFailures[Key] = {Message, Now};
    Log(Message);
}

// ---- status and reply collection ----

void TDtaMdlBulkSMS::tmrGetStatussesTimer() {
    tmrGetStatusses.Disarm();
    // What an earlier call handed over goes before anything new is asked for.
    FinishLeftCollections();
    // Until the list is read, a failure is the gateway's.
    bool Answered = false;
    try {
        const std::shared_ptr<IVexoWSSoap> Client =
            GetIVexoWSSoap(false, GatewayURL, nullptr, GatewayCAFile);
        if (!Client) {
            Log("Getting Statusses... connection object not assigned.");
        } else {
            Token = GetIVexoWSSoap(false, GatewayURL, nullptr, GatewayCAFile)
                        ->Login(GatewayUsername, GatewayPassword);
            const std::shared_ptr<TXMLDocument> Doc =
                NewXMLDocument(UnwrapCDATA(Client->GetOSStatus(Token, "")));
            const std::shared_ptr<IXMLVexoMessageStatusListType> List =
                GetVexoMessageStatusList(Doc);
            const int Count = List->GetCount();
            Answered = true;
            CountGatewayCall(true);
            const bool Combined = IsCombinedFormat();
            // One directory search per protocol key and tick, however many entries share it.
            std::unordered_map<std::string, std::string> Directories;
            Collect(TCollection::Statuses, Count, [&](int Index) {
                const std::shared_ptr<IXMLMsgStatType> Item = List->GetItem(Index);
                const std::shared_ptr<uVexoOSStatus::IXMLMsgIdentType> Ident = Item->GetMsgIdent();
                const std::string Key = UpperCase(Ident->GetProt());
                auto Found = Directories.find(Key);
                if (Found == Directories.end())
                    Found = Directories.emplace(Key, GetStatusDirectory(Key)).first;
                TCollectedLine Out{"", Found->second, Ident->GetClientApp()};
                const auto F = GatewayField;
                if (Combined)
                    Out.Line = "STATUS," + F(Ident->GetRcpt()) + "," + F(Item->GetStatTime()) +
                               "," + F(Ident->GetRef()) + "," + F(Item->GetStatText());
                else
                    Out.Line = F(Ident->GetReqID()) + "," + F(Ident->GetRef()) + "," +
                               F(Item->GetStatus()) + "," + F(Item->GetStatText()) + "," +
                               F(Item->GetStatTime());
                return Out;
            });
        }
    } catch (const std::exception& E) {
        if (!Answered) CountGatewayCall(false);
        Log(std::string("Error Getting Statusses: ") + E.what());
    } catch (...) {
        tmrGetStatusses.Arm();
        throw;
    }
    TickEnded();
    tmrGetStatusses.Arm();
}

void TDtaMdlBulkSMS::tmrGetRepliesTimer() {
    tmrGetReplies.Disarm();
    // What an earlier call handed over goes before anything new is asked for.
    FinishLeftCollections();
    bool Answered = false;
    try {
        const std::shared_ptr<IVexoWSSoap> Client =
            GetIVexoWSSoap(false, GatewayURL, nullptr, GatewayCAFile);
        if (!Client) {
            Log("Getting Replies... connection object not assigned.");
        } else {
            Token = GetIVexoWSSoap(false, GatewayURL, nullptr, GatewayCAFile)
                        ->Login(GatewayUsername, GatewayPassword);
            const std::shared_ptr<TXMLDocument> Doc =
                NewXMLDocument(UnwrapCDATA(Client->GetOSReplies(Token, "")));
            const std::shared_ptr<IXMLVexoReplyListType> List = GetVexoReplyList(Doc);
            const int Count = List->GetCount();
            Answered = true;
            CountGatewayCall(true);
            const bool Combined = IsCombinedFormat();
            std::unordered_map<std::string, std::string> Directories;
            Collect(TCollection::Replies, Count, [&](int Index) {
                const std::shared_ptr<IXMLReplyDetType> Item = List->GetItem(Index);
                const std::shared_ptr<uVexoOSReplies::IXMLMsgIdentType> Ident = Item->GetMsgIdent();
                const std::string Key = Trim(UpperCase(Item->GetProt()));
                auto Found = Directories.find(Key);
                if (Found == Directories.end())
                    Found = Directories.emplace(Key, GetReplyDirectory(Key)).first;
                std::string Originator = Item->GetOriginator();
                if (Originator.rfind(kInternationalPrefix, 0) == 0) Originator.replace(0, 2, "0");
                TCollectedLine Out{"", Found->second, Ident->GetClientApp()};
                const auto F = GatewayField;
                if (Combined)
                    Out.Line = "REPLY," + F(Originator) + "," + F(Item->GetRecTime()) + "," +
                               F(Ident->GetRef()) + "," + F(Item->GetReplyMsg());
                else
                    Out.Line = F(Originator) + "," + F(Item->GetReplyMsg()) + "," +
                               F(Item->GetRecTime()) + "," + F(Ident->GetRef()) + "," +
                               F(Ident->GetReqID());
                return Out;
            });
        }
    } catch (const std::exception& E) {
        if (!Answered) CountGatewayCall(false);
        Log(std::string("Error Getting Replies: ") + E.what());
    } catch (...) {
        tmrGetReplies.Arm();
        throw;
    }
    TickEnded();
    tmrGetReplies.Arm();
}

bool TDtaMdlBulkSMS::IsCombinedFormat() {
    try {
        return Trim(UpperCase(Config->GetSettings()->GetFormat())) == kCombinedFormat;
    } catch (const std::exception&) {
        return false;
    }
}

std::string TDtaMdlBulkSMS::GetStatusDirectory(const std::string& Key) {
    return ProtocolDirectory(Key, true);
}

std::string TDtaMdlBulkSMS::GetReplyDirectory(const std::string& Key) {
    return ProtocolDirectory(Key, false);
}

std::string TDtaMdlBulkSMS::ProtocolDirectory(const std::string& Key, bool Status) {
    std::string Result = StateDirectory;
    try {
        if (!Config) return Result;
        const std::shared_ptr<IXMLProtocolsType> Protocols = Config->GetSettings()->GetProtocols();
        const int Count = Protocols->GetCount();
        // Every entry is looked at: the last match wins.
        for (int Index = 0; Index < Count; ++Index) {
            const std::shared_ptr<IXMLProtocolType> Protocol = Protocols->GetItem(Index);
            if (Trim(UpperCase(Protocol->GetName())) == Key)
                Result = AddTrailingBackslash(Status ? Protocol->GetStatusDirectory()
                                                     : Protocol->GetReplyDirectory());
        }
    } catch (const std::exception&) {
        // What was found before the failure stands.
    }
    return Result;
}

void TDtaMdlBulkSMS::ReportProgress() {
    ServiceThreadBeat();
    FiguresChanged();
}

void TDtaMdlBulkSMS::TickEnded() {
    ReportProgress();
    if (MetricsFile.empty()) return;
    try {
        WriteMetricsFile(MetricsFile, CurrentFigures());
    } catch (const std::exception& E) {
        LogOncePerHour(MetricsFile,
                       "Unable to write the metrics file [" + MetricsFile + "] : " + E.what());
    }
}

void TDtaMdlBulkSMS::RefuseOwnOutputAsInput() {
    const std::vector<std::string> Overlaps = OwnOutputOverlaps(*Config, StateDirectory);
    if (Overlaps.empty()) return;
    // The system log says why too: its own line only says that the start failed.
    for (const std::string& Overlap : Overlaps) WriteSystemLogError(kServiceName, Overlap);
    throw std::runtime_error(Overlaps.front());
}

void TDtaMdlBulkSMS::LogConfigurationFindings() {
    if (!ConfigurationCheck) return;
    try {
        for (const std::string& Finding : ConfigurationCheck(*Config)) Log(Finding);
    } catch (const std::exception& E) {
        Log(std::string("Unable to check the configuration : ") + E.what());
    }
}
