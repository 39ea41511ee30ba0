// The bulk file worker: one detached thread per claimed file. It reads and validates the file's
// rows, submits them to the gateway in parts through the client SDK, writes the confirmation
// file, e-mails it when configured, and removes the claimed file and its log as the outcome
// asks. It reports only through files, its log and e-mail, and frees itself when it is done.
//
// Every run keeps a journal beside its claimed file (uFileJournal) and holds its lock: a run cut
// off by a stop, a crash or a failure that may pass is taken up again from the journal by a later
// poll, of this instance or another, and goes on where it stopped without sending any answered
// part again, with the settings it began with.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/uBrovaCSVSenderConfig.h"
#include "platform/DateTime.h"
#include "support/uServiceFigures.h"
#include "support/uVexoMessages.h"
#include "worker/VexoClientSDK_TLB.h"
#include "worker/uBatchNameLock.h"
#include "worker/uConfirmationLines.h"
#include "worker/uFileJournal.h"
#include "worker/uRunSettings.h"

class TBulkThread {
  public:
    // Runs on the creator's thread: derives the file names, appends the header lines of the
    // status and reply files (or of the combined file) and starts the worker's thread as its last
    // step. Create it with new and forget it: the thread deletes the object when Execute returns.
    // Throws, with nothing started, when the protocol entry, the journal or the thread cannot be
    // had. This form journals a file that is already claimed; the dispatcher claims with a
    // journal and uses the other.
    //   ProtocolIndex  the entry of Settings/Protocols, from 0; used only here.
    //   Clock          the wall clock for log stamps and the processing date.
    //   ExeDirectory   the service's state directory; holds the confirmation file in the
    //                  "COMBINED" layout.
    TBulkThread(const std::string& ProtocolName, const std::string& BatchName,
                const std::string& FileName, const std::string& Token, int32_t ProtocolIndex,
                std::shared_ptr<IXMLBulkCSVSenderType> Config, TClock Clock,
                const std::string& ExeDirectory);
    // The run of the file that Journal belongs to, new from a claim or taken up (Resumed), with
    // its batch name held.
    TBulkThread(std::unique_ptr<TFileJournal> Journal, bool Resumed, TBatchNameLock BatchLock,
                const std::string& Token, std::shared_ptr<IXMLBulkCSVSenderType> Config,
                TClock Clock);
    TBulkThread(const TBulkThread&) = delete;
    TBulkThread& operator=(const TBulkThread&) = delete;

  private:
    // Where a part's message went: its index in Messages and its confirmation line (-1: none).
    struct TPartEntry {
        int32_t MessageIndex;
        int64_t LineIndex;
    };
    // How a run ended, for its journal and batch name, and the service's figures: Done (the
    // journal goes), Stopped (taken up at the next start), RetryLater (taken up again after a
    // retry delay), MailOwed (the mail is tried again after 30 retry delays), LeftFailed (failed
    // on its own without mail: left for the operator).
    using TOutcome = TRunEnd;

    ~TBulkThread();  // only the thread itself frees the object

    // What both constructors share, from the run's settings on: the names, the header lines,
    // the thread.
    void Construct();
    // The thread body: reading, submission, e-mail and clean-up, and the journal and batch name
    // left as the outcome asks. True when the run stopped for a stop request. Never throws.
    bool Execute();
    TOutcome Run();
    // A run that ended by its own failure: recorded (unless Recorded already), then the error
    // mail when confirmations are on.
    TOutcome RunFailed(const std::string& Failure, bool Recorded);
    // Removes the claimed file and, with DeleteLogs, the log and the confirmation file; outside
    // the "COMBINED" layout the log goes in any case. Done, or RetryLater with nothing removed
    // when its journal record cannot be written. Never throws.
    TOutcome CleanUp(bool DeleteLogs);
    // The run failed on its own after parts were answered: the confirmation lines become those
    // of the answered parts only, from the journal when the claimed file could not be read
    // (Reading), and the rows not sent are named in the log. Returns Failure with what became
    // of the rows.
    std::string ConfirmAnsweredParts(const std::string& Failure, bool Reading);
    std::string NotSent(const std::string& Failure, int64_t Answered);
    void AddConfirmationHeader();
    // How a file differs from the one the journal describes, or nullptr when it is that file,
    // unchanged.
    const char* ClaimedFileDifference(const TFileIdentity& Now) const;
    // True when the claimed file is still the file the journal describes, unchanged.
    bool IsClaimedFile() const;
    // Throws when Input is not that file, or was written to since the claim.
    void CheckClaimedFile(const TLockedFile& Input) const;
    // The confirmation lines added since the last answered part, for its journal record.
    std::vector<std::string> PartLines();
    // Fills Messages from the claimed file's accepted rows and ConfirmationLines with a line per
    // rejected row (ReadInputRows). Throws when the file as a whole cannot be read.
    bool ReadInput();
    // Submits Messages in parts (those the journal has answers for are not sent again), saves the
    // confirmation lines and delivers them. Logs and rethrows a failure.
    TOutcome ProcessBulkRequest();
    // Sends one part, retrying the gateway call until it answers or a stop comes, records the
    // answer and marks the part's messages and lines with its identifiers.
    void SubmitPart(std::shared_ptr<IBatchRequest> Batch, int32_t PartNo);
    void MarkPart(const std::vector<int64_t>& Ids);
    // Writes the journal's record of an answer, trying again a retry delay apart until it is
    // written or a stop comes; then Unrecorded puts what the gateway answered in the file's log.
    void RecordAnswer(const std::function<void()>& Record, const std::function<void()>& Unrecorded);
    // The claim's rename and the headers' record, synced before the run goes on.
    void SettleClaim();
    // Writes the record of the part that starts at message First ahead, when it will be sent.
    void RecordNextPartAhead(int32_t PartNo, int32_t First, int32_t Total);
    // Both mail the confirmation file and never throw; true when sent.
    bool EmailResult();
    bool EmailErrorResult(const std::string& ErrorMessage);
    // The result mail, or the clean-up without one, once the confirmation is saved.
    TOutcome Deliver();
    // The journal learns that the mail went out.
    void MailRecorded();

    void Log(const std::string& Msg);
    void WriteHeader(const std::string& Header, const std::string& Path);
    // Adds ConfirmationLines under the file's earlier content, whole or not at all; throws.
    void SaveConfirmationLines();
    // Throws at a point where the worker may stop when a stop was asked for.
    void StopPoint();

    std::string FileName;
    std::vector<std::string> MailRecipients;
    std::string LogFileName;
    std::string BatchName;
    std::string ProtocolName;
    std::string ConfirmationFileName;
    std::shared_ptr<IXMLBulkCSVSenderType> Config;
    TDateTime ProcessingDate;
    TConfirmationLines ConfirmationLines{Messages};  // filled only while Execute runs
    uint8_t ProtocolKind = 0;
    std::string GatewayURL;
    std::string GatewayCAFile;
    std::string Token;
    TVexoMessages Messages;

    TClock Clock;
    std::unique_ptr<TFileJournal> Journal;
    TRunSettings Settings;  // what the run began with
    bool Resumed = false;
    std::optional<TBatchNameLock> BatchLock;
    bool PartAccepted = false;            // some part of the file is at the gateway
    std::vector<TPartEntry> CurrentPart;  // the messages of the part being built
    int64_t JournalledLines = 1;          // the confirmation lines journalled, the header's too
    bool RebuiltConfirmation = false;     // only the answered parts' lines (ConfirmAnsweredParts)
    int64_t AnsweredMessages = 0;         // the messages of the parts answered so far
};

// Completion of workers, for the tests and the process that start them: the number of workers
// constructed whose thread has not yet freed its object, and a wait until that number is 0
// (true) or Timeout passed (false). Any thread.
int RunningBulkThreads();
bool WaitForBulkThreads(std::chrono::milliseconds Timeout);
// Asks every running worker to stop at its next safe point: before its next part goes out, at
// once from a wait between attempts, after the answer of a part already on the wire. A stopped
// worker leaves its file to be taken up at the next start. Workers started later stop at once,
// until the request is withdrawn (Requested false; for tests). Any thread.
void RequestBulkThreadsStop(bool Requested = true);
// The workers that stopped so since the process began.
int StoppedBulkThreads();
