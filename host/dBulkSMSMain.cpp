#include "host/dBulkSMSMain.h"

#include <cerrno>
#include <exception>
#include <map>
#include <stdexcept>
#include <unordered_map>

#include "gateway/uVexoOSReplies.h"
#include "gateway/uVexoOSStatus.h"
#include "gateway/uVexocspWS.h"
#include "platform/Files.h"
#include "platform/Heartbeat.h"
#include "platform/RetryDelay.h"
#include "support/Util.h"
#include "support/uLogFile.h"
#include "worker/uBulkSMSThread.h"

namespace {

constexpr const char* kConfigFileName = "BrovaCSVSenderConfig.xml";
constexpr const char* kClaimedExtension = ".Busy";
constexpr const char* kCollectedFileExtension = ".CSV";
constexpr const char* kCombinedFormat = "COMBINED";
constexpr const char* kLineEnd = "\r\n";
// An originator that begins with this country code is written with a leading "0" instead.
constexpr const char* kInternationalPrefix = "27";

// Appends Text at the end of Path, holding it exclusively meanwhile; creates a missing file
// but not its directory. Throws EFileError with the system's text.
void AppendToFile(const std::string& Path, const std::string& Text) {
    TLockedFile File = [&] {
        try {
            return TLockedFile::OpenWriteShareRead(Path);
        } catch (const EFileError& E) {
            if (E.Code != ENOENT) throw;
        }
        return TLockedFile::CreateExclusive(Path);
    }();
    File.SeekEnd();
    File.Write(Text);
    File.Close();
}

// The part of Path after its last "/" or "\".
std::string FileNamePart(const std::string& Path) {
    const size_t Slash = Path.find_last_of("/\\");
    return Slash == std::string::npos ? Path : Path.substr(Slash + 1);
}

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

std::string ProcessLogFileName(const std::string& ExePath) {
    const size_t Slash = ExePath.rfind('/');
    const size_t Dot = ExePath.rfind('.');
    if (Dot != std::string::npos && (Slash == std::string::npos || Dot > Slash))
        return ExePath.substr(0, Dot) + ".Log";
    return ExePath + ".Log";
}

std::string ExecutableDirectory(const std::string& ExePath) {
    const size_t Slash = ExePath.rfind('/');
    return Slash == std::string::npos ? std::string() : ExePath.substr(0, Slash + 1);
}

std::string ConfigFileName(const std::string& ExePath) {
    return ExecutableDirectory(ExePath) + kConfigFileName;
}

std::string SafeFileNamePart(const std::string& Value) {
    std::string Safe = Value;
    for (char& C : Safe) {
        const unsigned char Code = static_cast<unsigned char>(C);
        if (C == '/' || C == '\\' || Code < 0x20 || Code == 0x7F) C = '_';
    }
    return Safe;
}

TDtaMdlBulkSMS::TDtaMdlBulkSMS(TEventLoop& Loop, TClock Clock, const std::string& ExePath,
                               TConfigurationCheck Check)
    : Loop(Loop),
      Clock(Clock ? std::move(Clock) : TClock(Now)),
      ExePath(ExePath),
      ExeDirectory(ExecutableDirectory(ExePath)),
      tmrPollDirectory(Loop),
      tmrGetStatusses(Loop),
      tmrGetReplies(Loop),
      ConfigurationCheck(std::move(Check)) {
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

        const auto Vexo = Config->GetVexo();
        GatewayURL = Vexo->GetURL();
        GatewayUsername = Vexo->GetUsername();
        GatewayPassword = Vexo->GetPassword();

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
    if (!InOperationalWindow()) return;
    tmrPollDirectory.Disarm();
    try {
        PollProtocols();
    } catch (const std::exception& E) {
        Log(std::string("Error polling : ") + E.what());
    } catch (...) {
        if (!Stopping) tmrPollDirectory.Arm();
        throw;
    }
    ReportProgress();
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
    for (int Index = 0; Index < Count; ++Index) {
        const std::shared_ptr<IXMLProtocolType> Protocol = Protocols->GetItem(Index);
        if (!Protocol->GetEnabled()) continue;
        const std::string PollDirectory = AddTrailingBackslash(Protocol->GetPollDirectory());
        const std::string Mask = Protocol->GetPollFileType();
        // Blanks stay: the worker trims the name itself.
        const std::string ProtocolName = UpperCase(Protocol->GetName());

        for (const std::string& Name : FindFiles(PollDirectory, Mask)) {
            if (Stopping) break;
            if (Name == "." || Name == "..") continue;
            const std::string FullName = PollDirectory + Name;
            // A rename does not stop a writer here: a file written to lately waits a tick.
            if (!OldEnoughToClaim(FullName)) continue;
            const std::string BatchName = Name.substr(0, Name.find('.'));

            // The logon comes first: a gateway that is down leaves the file under its own name.
            Log("Logging on... ");
            {
                const std::shared_ptr<IVexoWSSoap> Client =
                    GetIVexoWSSoap(false, GatewayURL, nullptr);
                if (!Client) throw std::runtime_error("Gateway connection object not assigned.");
                Token = Client->Login(GatewayUsername, GatewayPassword);
            }
            std::string Claimed;
            if (!ClaimFile(Name, FullName, Claimed)) continue;
            // The worker runs on its own thread and frees itself when it is done.
            new TBulkThread(ProtocolName, BatchName, Claimed, Token, Index, Config, Clock,
                            ExeDirectory);
        }
    }
}

bool TDtaMdlBulkSMS::ClaimFile(const std::string& Name, const std::string& FullName,
                               std::string& Claimed) {
    const size_t Dot = Name.rfind('.');
    const std::string Base = Dot == std::string::npos
                                 ? FullName
                                 : FullName.substr(0, FullName.size() - Name.size() + Dot);
    Claimed = Base + kClaimedExtension;
    for (int Retry = 1;; ++Retry) {
        std::string Error;
        if (RenameNoReplace(FullName, Claimed, &Error)) return true;
        Log("Unable to rename file [" + Error + "]");
        // A file that is gone, or whose every name failed, waits for a later tick instead of
        // holding the service thread.
        if (Retry > kMaxClaimRetries || !FileModificationTime(FullName)) {
            Log("Unable to claim file [" + FullName + "]");
            return false;
        }
        Claimed = Base + "(" + std::to_string(Retry) + ")" + kClaimedExtension;
        Log("Attempting to rename file to [" + Claimed + "]");
    }
}

// ---- status and reply collection ----

void TDtaMdlBulkSMS::tmrGetStatussesTimer() {
    tmrGetStatusses.Disarm();
    try {
        const std::shared_ptr<IVexoWSSoap> Client = GetIVexoWSSoap(false, GatewayURL, nullptr);
        if (!Client) {
            Log("Getting Statusses... connection object not assigned.");
        } else {
            Token =
                GetIVexoWSSoap(false, GatewayURL, nullptr)->Login(GatewayUsername, GatewayPassword);
            const std::shared_ptr<TXMLDocument> Doc =
                NewXMLDocument(UnwrapCDATA(Client->GetOSStatus(Token, "")));
            const std::shared_ptr<IXMLVexoMessageStatusListType> List =
                GetVexoMessageStatusList(Doc);
            const bool Combined = IsCombinedFormat();
            // One directory search per protocol key and tick, however many entries share it.
            std::unordered_map<std::string, std::string> Directories;
            AppendCollected(List->GetCount(), [&](int Index) {
                const std::shared_ptr<IXMLMsgStatType> Item = List->GetItem(Index);
                const std::shared_ptr<uVexoOSStatus::IXMLMsgIdentType> Ident = Item->GetMsgIdent();
                const std::string Key = UpperCase(Ident->GetProt());
                auto Found = Directories.find(Key);
                if (Found == Directories.end())
                    Found = Directories.emplace(Key, GetStatusDirectory(Key)).first;
                TCollectedLine Out;
                Out.Target = Found->second + SafeFileNamePart(Ident->GetClientApp()) +
                             kCollectedFileExtension;
                if (Combined)
                    Out.Line = "STATUS," + Ident->GetRcpt() + "," + Item->GetStatTime() + "," +
                               Ident->GetRef() + "," + Item->GetStatText();
                else
                    Out.Line = Ident->GetReqID() + "," + Ident->GetRef() + "," + Item->GetStatus() +
                               "," + Item->GetStatText() + "," + Item->GetStatTime();
                return Out;
            });
        }
    } catch (const std::exception& E) {
        Log(std::string("Error Getting Statusses: ") + E.what());
    } catch (...) {
        tmrGetStatusses.Arm();
        throw;
    }
    ReportProgress();
    tmrGetStatusses.Arm();
}

void TDtaMdlBulkSMS::tmrGetRepliesTimer() {
    tmrGetReplies.Disarm();
    try {
        const std::shared_ptr<IVexoWSSoap> Client = GetIVexoWSSoap(false, GatewayURL, nullptr);
        if (!Client) {
            Log("Getting Replies... connection object not assigned.");
        } else {
            Token =
                GetIVexoWSSoap(false, GatewayURL, nullptr)->Login(GatewayUsername, GatewayPassword);
            const std::shared_ptr<TXMLDocument> Doc =
                NewXMLDocument(UnwrapCDATA(Client->GetOSReplies(Token, "")));
            const std::shared_ptr<IXMLVexoReplyListType> List = GetVexoReplyList(Doc);
            const bool Combined = IsCombinedFormat();
            std::unordered_map<std::string, std::string> Directories;
            AppendCollected(List->GetCount(), [&](int Index) {
                const std::shared_ptr<IXMLReplyDetType> Item = List->GetItem(Index);
                const std::shared_ptr<uVexoOSReplies::IXMLMsgIdentType> Ident = Item->GetMsgIdent();
                const std::string Key = Trim(UpperCase(Item->GetProt()));
                auto Found = Directories.find(Key);
                if (Found == Directories.end())
                    Found = Directories.emplace(Key, GetReplyDirectory(Key)).first;
                std::string Originator = Item->GetOriginator();
                if (Originator.rfind(kInternationalPrefix, 0) == 0) Originator.replace(0, 2, "0");
                TCollectedLine Out;
                Out.Target = Found->second + SafeFileNamePart(Ident->GetClientApp()) +
                             kCollectedFileExtension;
                if (Combined)
                    Out.Line = "REPLY," + Originator + "," + Item->GetRecTime() + "," +
                               Ident->GetRef() + "," + Item->GetReplyMsg();
                else
                    Out.Line = Originator + "," + Item->GetReplyMsg() + "," + Item->GetRecTime() +
                               "," + Ident->GetRef() + "," + Ident->GetReqID();
                return Out;
            });
        }
    } catch (const std::exception& E) {
        Log(std::string("Error Getting Replies: ") + E.what());
    } catch (...) {
        tmrGetReplies.Arm();
        throw;
    }
    ReportProgress();
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
    std::string Result = ExeDirectory;
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

void TDtaMdlBulkSMS::AppendCollected(int Count, const TCollectedEntry& Entry) {
    for (int Index = 0; Index < Count; ++Index) {
        const TCollectedLine Collected = Entry(Index);
        if (!AppendLineToFile(Collected.Line, Collected.Target)) {
            KeepUnwritten(Collected, Index + 1, Count, Entry);
            return;
        }
        ReportProgress();
    }
}

void TDtaMdlBulkSMS::ReportProgress() { ServiceThreadBeat(); }

void TDtaMdlBulkSMS::LogConfigurationFindings() {
    if (!ConfigurationCheck) return;
    try {
        for (const std::string& Finding : ConfigurationCheck(*Config)) Log(Finding);
    } catch (const std::exception& E) {
        Log(std::string("Unable to check the configuration : ") + E.what());
    }
}

bool TDtaMdlBulkSMS::AppendLineToFile(const std::string& Line, const std::string& TargetFile) {
    const std::string Text = Line + kLineEnd;
    for (;;) {
        try {
            AppendToFile(TargetFile, Text);
            return true;
        } catch (const std::exception&) {
            Log("Error Accessing Status File. File is open.");
        }
        // Other timers and control requests run while this line waits; a stop ends the wait.
        if (!Loop.WaitFor(RetryDelay()) || !Loop.ProcessQueued()) return false;
    }
}

void TDtaMdlBulkSMS::KeepUnwritten(const TCollectedLine& First, int From, int Count,
                                   const TCollectedEntry& Entry) {
    struct TKept {
        std::string Text;
        int Lines = 0;
    };
    // By target, so that each file is opened once however many lines it gets.
    std::map<std::string, TKept> Kept;
    const auto Keep = [&](const TCollectedLine& Collected) {
        TKept& K = Kept[Collected.Target];
        K.Text += Collected.Line + kLineEnd;
        ++K.Lines;
    };
    Keep(First);
    std::exception_ptr Failure;
    try {
        for (int Index = From; Index < Count; ++Index) Keep(Entry(Index));
    } catch (...) {
        Failure = std::current_exception();
    }
    const std::string Directory = ExecutableDirectory(LogFile);
    for (const auto& [Target, K] : Kept) {
        const std::string Path = Directory + kUnwrittenPrefix + FileNamePart(Target);
        try {
            AppendToFile(Path, K.Text);
            Log("Stopped before writing " + std::to_string(K.Lines) + " line(s) to [" + Target +
                "]; kept in [" + Path + "]");
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
    if (Failure) std::rethrow_exception(Failure);
}
