// The dispatcher: holds the configuration from start-up to shut-down and runs the three
// timers of directory polling, status collection and reply collection on the service thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "config/uBrovaCSVSenderConfig.h"
#include "host/uCollection.h"
#include "platform/DateTime.h"
#include "platform/EventLoop.h"
#include "support/uServiceFigures.h"
#include "worker/uBatchNameLock.h"
#include "worker/uFileJournal.h"
#include "worker/uRunSettings.h"

// Collection runs only with an interval above this many milliseconds.
constexpr int kMinCollectionIntervalMs = 1000;
// Size limit of the process log before it rolls over.
constexpr uint32_t kProcessLogMaxSizeKB = 1024;
// A file modified more recently than this may still be being written; a later tick takes it.
constexpr std::chrono::seconds kMinFileAge{2};
// Numbered ".Busy" names tried for one file before it is left for the next tick.
constexpr int kMaxClaimRetries = 100;
// Tries of a status or reply line before it is kept aside, unless the file is locked.
constexpr int kMaxAppendTries = 3;

// Findings about a configuration just loaded, one line each (host/uConfigCheck.h).
using TConfigurationCheck =
    std::function<std::vector<std::string>(const IXMLBulkCSVSenderType& Config)>;

// Created, used and destroyed on the service thread only; no field needs a lock.
class TDtaMdlBulkSMS {
  public:
    // Sets LogFile and StateDirectory from ExePath and runs StartUp. A failed start-up is logged and then
    // thrown as "Error During Creation of DataModule"; no ShutDown follows it. The timers
    // are created on Loop, which must outlive the dispatcher. Clock is the wall clock.
    // Check, when given, runs on the configuration as soon as StartUp has loaded it, and
    // each of its findings is logged. MetricsFile, when given, gets the service's figures
    // after every tick (WriteMetricsFile).
    TDtaMdlBulkSMS(TEventLoop& Loop, TClock Clock, const std::string& ExePath,
                   TConfigurationCheck Check = {}, std::string MetricsFile = {});
    // Runs DataModuleDestroy.
    ~TDtaMdlBulkSMS();
    TDtaMdlBulkSMS(const TDtaMdlBulkSMS&) = delete;
    TDtaMdlBulkSMS& operator=(const TDtaMdlBulkSMS&) = delete;

    // Logs the start, loads the configuration beside the executable (and logs the check's
    // findings), arms the timers and runs the first poll. Throws "DtaMdl Startup Error :
    // <reason>".
    void StartUp();
    // Marks stopping, disarms the timers, releases the configuration and logs the shut-down.
    void ShutDown();
    // ShutDown with its failure logged instead of thrown.
    void DataModuleDestroy();

    // The timer handlers; StartUp also calls the poll handler once directly. The collection
    // handlers may run the loop's queued events while an append waits (see AppendLineToFile).
    void tmrPollDirectoryTimer();
    void tmrGetStatussesTimer();
    void tmrGetRepliesTimer();

    // The status or reply directory, with its trailing delimiter, of the last protocol entry
    // whose trimmed, upper-cased Name equals Key; the state directory when none does.
    std::string GetStatusDirectory(const std::string& Key);
    std::string GetReplyDirectory(const std::string& Key);
    enum class TAppendResult { Written, GivenUp, Stopped };
    // Appends Line and CR LF to TargetFile durably (created when missing; its directory is
    // not). A failed attempt is logged and retried after RetryDelay(), while the loop's queued
    // events run: for as long as another program holds the file locked, kMaxAppendTries times
    // in all for any other error (then GivenUp). Stopped, with the line unwritten, when a stop
    // request ended a wait.
    TAppendResult AppendLineToFile(const std::string& Line, const std::string& TargetFile);

    // One line in the process log, with its time stamp, rolling over above 1024 KB.
    void Log(const std::string& Msg);

    TEventLoop& Loop;
    TClock Clock;
    std::string ExePath;
    // ServiceStateDirectory(ExePath): the fallback for status and reply files.
    std::string StateDirectory;

    TTimer tmrPollDirectory;
    TTimer tmrGetStatusses;
    TTimer tmrGetReplies;
    std::string LogFile;
    std::shared_ptr<IXMLBulkCSVSenderType> Config;
    std::string GatewayURL;
    std::string GatewayCAFile;
    std::string GatewayUsername;
    std::string GatewayPassword;
    int MaxFilesInFlight = kDefaultMaxFilesInFlight;
    std::string WindowStart;
    std::string WindowEnd;
    std::string Token;
    bool Stopping = false;

  private:
    using TCollectedEntry = std::function<TCollectedLine(int Index)>;
    // Lines for one target, in their order, with their count.
    struct TKept {
        std::string Text;
        int Lines = 0;
    };
    using TKeptLines = std::map<std::string, TKept>;

    // False when the operational window applies and the clock is outside it.
    bool InOperationalWindow();
    // Steps through the enabled protocol entries, takes up their cut-off files and claims their
    // new ones; throws on any error.
    void PollProtocols();
    // Starts a worker for every journal among the Names of Directory that nobody holds and whose
    // run is due.
    void ResumeFiles(const std::string& Directory, const std::vector<std::string>& Names);
    // True for a regular file; anything else is named in the log once an hour and left.
    bool IsClaimable(const std::string& FullName);
    // Throws when a poll directory would take in the service's own output.
    void RefuseOwnOutputAsInput();
    // A logon with a fresh gateway client; the token. Throws.
    std::string Logon();
    // A file about to be claimed: its gateway token, its batch name held, its journal begun.
    // Claims are prepared a few at a time and then made, so that their journals' syncs share the
    // file system's commits instead of each waiting for its own.
    struct TPreparedClaim {
        std::string Name, FullName, Token;
        TBatchNameLock BatchLock;
        std::unique_ptr<TFileJournal> Journal;
    };
    static constexpr size_t kClaimsSyncedTogether = 16;
    // Prepares the claim of every new file among the Names of the protocol entry Index, making
    // the prepared claims whenever there are kClaimsSyncedTogether of them. Throws.
    void PrepareClaims(int Index, const std::string& PollDirectory, const std::string& Mask,
                       const std::string& ProtocolName, const std::vector<std::string>& Names,
                       std::vector<TPreparedClaim>& Prepared);
    // Claims each prepared file and starts its worker; a stop lets them go unclaimed.
    void ClaimPrepared(std::vector<TPreparedClaim>& Prepared);
    // The journal of FullName, begun; null, after a line, when it could not be made.
    std::unique_ptr<TFileJournal> BeginClaim(const std::string& FullName, TRunSettings Settings);
    // Names the journal beside FullName and renames the file to a free ".Busy" name; null when
    // that could not be had.
    std::unique_ptr<TFileJournal> ClaimFile(const std::string& Name, const std::string& FullName,
                                            std::unique_ptr<TFileJournal> Journal);
    // The batch name of a run, or nothing while another run holds it or it cannot be had (that
    // logged once an hour for File). Journal: the run's own journal, for a resume.
    std::optional<TBatchNameLock> HoldBatchName(const TRunSettings& Settings,
                                                const std::string& File,
                                                const std::string& Journal);
    // Name in Directory has a second name: when that is its claimed name (a claim by link and
    // unlink cut between the two), Name goes; otherwise it waits, logged once an hour.
    void FinishCutClaim(const std::string& Directory, const std::string& Name,
                        const std::vector<std::string>& Names);
    // Removes the temporaries of confirmations and of the metrics file that a crash left in the
    // status directories, the state directory and beside the metrics file; at most once in ten
    // minutes.
    void SweepLeftTemporaries();
    std::chrono::steady_clock::time_point LastSweep{};
    // Logs Message unless the same message was logged for Key within the last hour.
    void LogOncePerHour(const std::string& Key, const std::string& Message);
    enum class TCollection { Statuses, Replies };
    // Journals what the gateway handed over (entries 0..Count-1), then files it.
    void Collect(TCollection Kind, int Count, const TCollectedEntry& Entry);
    // Appends the line of every entry not done in Journal, in order, counted as Kind, and
    // marks it done; what a stop or a failure left unwritten goes to "Unwritten-" files before
    // it returns or throws. Journal may be null.
    void AppendCollected(TCollection Kind, const std::vector<TCollectedLine>& Entries,
                         TCollectionJournal* Journal);
    // Finishes the collection journals that a crash or a failure left, as far as none is held
    // by another process. At start and before every collection call.
    void FinishLeftCollections();
    // Appends each target's lines to its "Unwritten-" file and logs Why they are there.
    void KeepUnwritten(const TKeptLines& Kept, const std::string& Why);
    std::string ProtocolDirectory(const std::string& Key, bool Status);
    bool IsCombinedFormat();
    // The service thread made progress (a tick ended, a collected line was written): tells
    // the watchdog, and asks for a state report with the figures.
    void ReportProgress();
    // A tick ended: its progress is reported and the metrics file written.
    void TickEnded();
    // The earliest claim among the claimed files of the journals in Names, or Oldest.
    int64_t OldestClaim(const std::string& Directory, const std::vector<std::string>& Names,
                        int64_t Oldest);
    // Logs what the check found in the configuration just loaded; never throws.
    void LogConfigurationFindings();

    TConfigurationCheck ConfigurationCheck;
    std::string MetricsFile;

    struct TLogged {
        std::string Message;
        std::chrono::steady_clock::time_point At;
    };
    std::unordered_map<std::string, TLogged> LoggedFailures;
};

// The service's figures now, with the files in flight in this process.
TServiceFigures CurrentFigures();
// Writes Figures in the Prometheus text format to Path, whole or not at all, readable by every
// user (node_exporter does not run as root); throws EFileError.
void WriteMetricsFile(const std::string& Path, const TServiceFigures& Figures);

// Where the service keeps what it writes of its own (the process log, "Unwritten-" files, lines
// of channels no entry names, confirmations of the "COMBINED" layout), with its trailing "/":
// the state directory the service manager gave it, or else the executable's directory.
std::string ServiceStateDirectory(const std::string& ExePath);
// The executable's file name with its extension replaced by ".Log", in the state directory.
std::string ProcessLogFileName(const std::string& ExePath);
// BrovaCSVSenderConfig.xml in the executable's directory.
std::string ConfigFileName(const std::string& ExePath);
// The executable's directory with its trailing "/" ("" for a bare name).
std::string ExecutableDirectory(const std::string& ExePath);
