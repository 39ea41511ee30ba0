#include "worker/uBulkSMSThread.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "gateway/uVexocspWS.h"
#include "platform/Files.h"
#include "platform/Memory.h"
#include "platform/RetryDelay.h"
#include "support/Util.h"
#include "support/uLogFile.h"
#include "support/uServiceFigures.h"
#include "worker/uInputRows.h"
#include "worker/uSmtpMail.h"
#include "worker/uVexoClientUtils.h"

namespace {

constexpr uint32_t kLogLimitKB = 1024;
// A reply this short cannot list any message; it is not read for identifiers.
constexpr size_t kShortestMarkedReply = 10;
// Files are read in pieces of this size.
constexpr size_t kReadPieceBytes = size_t(1) << 20;
// A part's request from this size on has the freed memory of its objects given back before the
// exchange.
constexpr size_t kLargePartXml = size_t(64) << 20;
// Automation truth, as the SDK's flags expect it.
constexpr int32_t kAutomationTrue = -1;

const char* const kReplyHeader =
    "Reply Source,Reply Message,Reply Receive Time,Reference,MessageRequestID";
const char* const kStatusHeader =
    "MessageRequestID,Reference,Status,Status Description,Status Time";
const char* const kCombinedHeader =
    "MESSAGE TYPE,CELL NUMBER,DATE & TIME,MESSAGE REFERENCE,MESSAGE TEXT";
const char* const kRequestDateTime = "2004-12-24 21:00:00";
const char* const kUnknownError = "Unknown error";
// A mail that failed is tried again no sooner than this many retry delays later.
constexpr int kMailRetryDelays = 30;

// A stop came while the worker was at a point where it may stop; nothing is lost.
class EStopRequested : public std::runtime_error {
  public:
    EStopRequested() : std::runtime_error("Stop requested") {}
};

// ---- the count of running workers ----

struct TRunningWorkers {
    std::mutex Lock;
    std::condition_variable Finished;
    std::condition_variable StopAsked;  // wakes the waits between attempts
    int Count = 0;
    int Stopped = 0;
    std::atomic<bool> StopRequested{false};
};

// Never destroyed: workers may still finish while the process runs its exit handlers.
TRunningWorkers& Running() {
    static TRunningWorkers* const Workers = new TRunningWorkers;
    return *Workers;
}

void WorkerStarted() {
    std::lock_guard<std::mutex> Guard(Running().Lock);
    ++Running().Count;
}

void WorkerFinished(bool Stopped) {
    TRunningWorkers& W = Running();
    std::lock_guard<std::mutex> Guard(W.Lock);
    --W.Count;
    if (Stopped) ++W.Stopped;
    W.Finished.notify_all();
}

bool StopRequested() { return Running().StopRequested.load(); }

// Waits Delay, or less when a stop is asked for meanwhile; false then.
bool WaitUnlessStopped(std::chrono::milliseconds Delay) {
    TRunningWorkers& W = Running();
    std::unique_lock<std::mutex> Guard(W.Lock);
    return !W.StopAsked.wait_for(Guard, Delay, [&] { return W.StopRequested.load(); });
}

// ---- helpers ----

template <class T>
std::shared_ptr<T> CreateAs(std::string_view ClassName) {
    std::shared_ptr<T> Object = std::dynamic_pointer_cast<T>(CreateClientObject(ClassName));
    if (!Object) throw EClientSDKError("Interface not supported");
    return Object;
}

std::shared_ptr<IBatchRequest> NewBatchRequest(const std::string& Name,
                                               const std::shared_ptr<ISender>& Sender) {
    std::shared_ptr<IBatchRequest> Batch = CreateAs<IBatchRequest>("BatchRequest");
    Batch->SetBatchName(Name);
    Batch->SetSender(Sender);
    return Batch;
}

}  // namespace

// ---- lifecycle ----

TBulkThread::TBulkThread(const std::string& ProtocolName, const std::string& BatchName,
                         const std::string& FileName, const std::string& Token,
                         int32_t ProtocolIndex, std::shared_ptr<IXMLBulkCSVSenderType> Config,
                         TClock Clock, const std::string& ExeDirectory)
    : Clock(Clock ? std::move(Clock) : TClock(Now)) {
    if (!Config) throw std::invalid_argument("The worker needs a configuration");
    this->Config = std::move(Config);
    Settings = ReadRunSettings(*this->Config, ProtocolIndex, ProtocolName, BatchName, ExeDirectory,
                               this->Clock());
    try {
        TakeClaimedFile(Settings, FileName);
    } catch (const EFileError&) {
        // The run fails when it reads the file, and says why in its log.
    }
    Journal = TFileJournal::Begin(DirectoryOf(FileName), Settings);
    int Error = 0;
    if (!Journal->Name(ChangeFileExt(FileName, kJournalExtension), Error)) {
        Journal->Discard();
        throw std::runtime_error("Cannot journal " + FileName + ": " + SystemErrorText(Error));
    }
    try {
        BatchLock = TBatchNameLock::TryHold(DirectoryOf(Settings.ConfirmationFileName()), BatchName,
                                            Journal->Path());
    } catch (const std::exception&) {
        Journal->Discard();
        throw;
    }
    if (!BatchLock) {
        Journal->Discard();
        throw std::runtime_error("The batch name " + BatchName + " is held by another run");
    }
    BatchLock->NameJournal(Journal->Path());
    this->Token = Token;
    Construct();
}

TBulkThread::TBulkThread(std::unique_ptr<TFileJournal> Journal, bool Resumed,
                         TBatchNameLock BatchLock, const std::string& Token,
                         std::shared_ptr<IXMLBulkCSVSenderType> Config, TClock Clock)
    : Clock(Clock ? std::move(Clock) : TClock(Now)),
      Journal(std::move(Journal)),
      Resumed(Resumed),
      BatchLock(std::move(BatchLock)) {
    if (!Config) throw std::invalid_argument("The worker needs a configuration");
    this->Config = std::move(Config);
    Settings = this->Journal->Settings();
    this->Token = Token;
    Construct();
}

void TBulkThread::Construct() {
    FileName = Journal->ClaimedFileName();
    GatewayURL = Config->GetVexo()->GetURL();
    GatewayCAFile = Config->GetVexo()->GetCAFile();

    ProtocolName = Trim(Settings.ProtocolName);
    ProtocolKind = ProtocolKindOf(ProtocolName);

    BatchName = Settings.BatchName;
    LogFileName = ChangeFileExt(FileName, ".log");
    MailRecipients.push_back(Settings.SenderEmail.Value);
    ConfirmationFileName = Settings.ConfirmationFileName();

    // A run taken up again has begun its files already.
    if (!Journal->State().HeadersWritten) {
        if (Settings.Combined()) {
            WriteHeader(kCombinedHeader, Settings.StatusDirectory + BatchName + ".CSV");
        } else {
            WriteHeader(kReplyHeader, Settings.ReplyDirectory + BatchName + ".CSV");
            WriteHeader(kStatusHeader, Settings.StatusDirectory + BatchName + ".CSV");
        }
        Journal->HeadersWritten();
    }

    WorkerStarted();
    try {
        std::thread([this] {
            const bool Stopped = Execute();
            delete this;
            WorkerFinished(Stopped);
            // One file fewer in flight.
            FiguresChanged();
        }).detach();
    } catch (...) {
        WorkerFinished(false);
        throw;
    }
}

TBulkThread::~TBulkThread() = default;

bool TBulkThread::Execute() {
    const TOutcome Outcome = Run();
    CountRunEnded(Outcome);
    ConfirmationLines.Clear();
    Messages.Clear();
    const std::string Path = Journal->Path();
    try {
        switch (Outcome) {
            case TOutcome::Done:
                Journal->Remove();
                break;
            case TOutcome::RetryLater:
                SetResumeNotBefore(Path, std::chrono::steady_clock::now() + RetryDelay());
                break;
            case TOutcome::MailOwed:
                SetResumeNotBefore(
                    Path, std::chrono::steady_clock::now() + RetryDelay() * kMailRetryDelays);
                break;
            case TOutcome::Stopped:
            case TOutcome::LeftFailed:
                break;
        }
        // Until its clean-up, an unfinished run keeps its batch name; a finished one lets it go.
        if (BatchLock)
            BatchLock->KeepFor(Outcome != TOutcome::Done && Outcome != TOutcome::LeftFailed ? Path
                                                                                            : "");
        Journal->Release();
    } catch (const std::exception& E) {
        // The lock goes with the descriptor all the same; what was synced before stands.
        Log("Error keeping the journal : " + std::string(E.what()));
    }
    if (BatchLock) BatchLock->Release();
    return Outcome == TOutcome::Stopped;
}

TBulkThread::TOutcome TBulkThread::Run() {
    std::string Failure;
    bool OwnFailure = true;
    bool Reading = false;
    try {
        Messages.Clear();
        ConfirmationLines.Clear();
        ConfirmationLines.ProtocolKind = ProtocolKind;
        Log(Resumed ? "Processing resumed" : "Processing started");
        ProcessingDate = Settings.ProcessingDate;
        AddConfirmationHeader();

        SettleClaim();
        const TFileJournal::TState& State = Journal->State();
        PartAccepted = !State.Answers.empty();
        if (State.Done || State.Mailed) {
            return CleanUp(State.Done ? State.DoneDeleteLogs : true);
        }
        // Only the error mail is owed; a failed run whose confirmation was not saved yet goes
        // through its steps again, which never send, to make the same lines.
        if (State.Failed && State.Saved) return RunFailed(State.Failure, true);
        if (!State.Failed && State.Saved) return Deliver();

        Reading = true;
        const bool Read = ReadInput();
        Reading = false;
        if (Read) return ProcessBulkRequest();
        return TOutcome::Done;
    } catch (const EStopRequested&) {
        Log("Processing stopped; it goes on when the service starts again.");
        return TOutcome::Stopped;
    } catch (const std::exception& E) {
        Failure = E.what();
        // A file system that fails for a while fails nothing for good. Once the gateway has part
        // of the file, only a failure that comes back every time (a setting the run began
        // without) ends the run; anything else may pass.
        const auto* File = dynamic_cast<const EFileError*>(&E);
        OwnFailure = !(File && IsPassingFileError(File->Code)) &&
                     (Reading || !PartAccepted || dynamic_cast<const ESettingError*>(&E) ||
                      Journal->State().Failed);
        if (OwnFailure && PartAccepted) Failure = ConfirmAnsweredParts(Failure, Reading);
    } catch (...) {
        Failure = kUnknownError;
        OwnFailure = Reading || !PartAccepted || Journal->State().Failed;
    }
    if (!OwnFailure) {
        Log("Error processing file " + Failure + ". Processing goes on later.");
        return TOutcome::RetryLater;
    }
    const bool Recorded = Journal->State().Failed;
    return RunFailed(Recorded ? Journal->State().Failure : Failure, Recorded);
}

void TBulkThread::SettleClaim() {
    // Made durable here rather than on the service thread, which claims the next file meanwhile;
    // both before anything is sent.
    if (!Resumed) {
        try {
            SyncDirectory(DirectoryOf(FileName));
        } catch (const EFileError&) {
            // The claim stands; only a crash of the machine could undo it.
        }
    }
    Journal->Sync();
}

std::string TBulkThread::ConfirmAnsweredParts(const std::string& Failure, bool Reading) {
    RebuiltConfirmation = true;
    if (!Reading) {
        // Lines after those of the last part answered belong to parts never sent.
        ConfirmationLines.Truncate(JournalledLines);
        return NotSent(Failure, AnsweredMessages);
    }
    // The claimed file is not what the run began with: what the gateway answered is confirmed
    // from the journal alone, nothing of the file is sent.
    ConfirmationLines.Clear();
    Messages.Clear();
    AddConfirmationHeader();
    int64_t Answered = 0;
    for (const auto& [PartNo, Answer] : Journal->State().Answers) {
        Answered += Answer.Count;
        if (Answer.HasLines) {
            for (const std::string& Line : Answer.Lines)
                ConfirmationLines.Add(TConfirmationLines::Expand(Line));
            continue;
        }
        // Journalled before its lines were kept: the log has what is known.
        std::string Ids;
        for (const int64_t Id : Answer.Ids) Ids += (Ids.empty() ? "" : ", ") + std::to_string(Id);
        Log("Split bulk request[" + std::to_string(PartNo) + "] was answered; " +
            (Answer.Readable ? "its identifiers: " + Ids
                             : "its identifiers could not be read: " + Answer.Reason));
    }
    return NotSent(Failure, Answered);
}

std::string TBulkThread::NotSent(const std::string& Failure, int64_t Answered) {
    const std::string Sent = std::to_string(Answered);
    Log("Messages after the first " + Sent + " of the claimed file were not sent.");
    return Failure + "; the " + Sent +
           " messages answered are confirmed with their identifiers, any after them were not "
           "sent";
}

void TBulkThread::AddConfirmationHeader() {
    if (ProtocolKind <= 1)
        ConfirmationLines.Add("Cell No.,Reference,Status");
    else if (ProtocolKind == 2)
        ConfirmationLines.Add("Fax No.,Reference,Status");
    else if (ProtocolKind == 3)
        ConfirmationLines.Add("Email Address,Reference,Status");
}

const char* TBulkThread::ClaimedFileDifference(const TFileIdentity& Now) const {
    const TFileIdentity& Then = Settings.ClaimedFile;
    // A journal of an earlier version knows the size and time only.
    if (Then.Device != 0 && (Now.Device != Then.Device || Now.Inode != Then.Inode))
        return "The claimed file was replaced since it was claimed";
    if (Now.Size != Then.Size || Now.ModifiedNs != Then.ModifiedNs)
        return "The claimed file has changed since it was claimed";
    return nullptr;
}

bool TBulkThread::IsClaimedFile() const {
    const std::optional<TFileIdentity> Now = FileIdentityOf(FileName);
    return Now && !ClaimedFileDifference(*Now);
}

void TBulkThread::CheckClaimedFile(const TLockedFile& Input) const {
    if (const char* Difference = ClaimedFileDifference(Input.Identity()))
        throw std::runtime_error(Difference);
}

TBulkThread::TOutcome TBulkThread::RunFailed(const std::string& Failure, bool Recorded) {
    // Without mail, the confirmation of the answered rows is where their identifiers stay;
    // saved first, so that a save that fails is tried again when the run is taken up.
    if (!Recorded && RebuiltConfirmation && Settings.SendConfirmation.Readable() &&
        !Settings.SendConfirmation.Value) {
        try {
            SaveConfirmationLines();
        } catch (const std::exception& E) {
            Log("Error handling failed processing : " + std::string(E.what()));
            return TOutcome::RetryLater;
        }
    }
    if (!Recorded) {
        Log("Error processing file " + Failure + ". Processing Aborted!");
        try {
            Journal->RunFailed(Failure);
        } catch (const std::exception& E) {
            // Unrecorded, the run is taken up again; it fails the same way before sending.
            Log("Error handling failed processing : " + std::string(E.what()));
            return TOutcome::RetryLater;
        }
    }
    try {
        if (Settings.SendConfirmation.Get()) {
            if (!EmailErrorResult(Failure)) return TOutcome::MailOwed;
            return CleanUp(true);
        }
    } catch (const std::exception& E) {
        // Nothing is cleaned up: the claimed file stays for the operator.
        Log("Error handling failed processing : " + std::string(E.what()));
    }
    return TOutcome::LeftFailed;
}

TBulkThread::TOutcome TBulkThread::CleanUp(bool DeleteLogs) {
    try {
        // On disk before the first delete: cut off from here on, the run is only cleaned up
        // when taken up again, never run again on a file half removed.
        Journal->CleanUpBegun(DeleteLogs);
    } catch (const std::exception& E) {
        Log("Error writing the journal : " + std::string(E.what()));
        return TOutcome::RetryLater;
    }
    // Only the file that was claimed goes: one written to or put in its place since is
    // someone's data, left with the log that says so.
    bool KeepLog = false;
    try {
        if (IsClaimedFile()) {
            DeleteFile(FileName);
        } else if (FileExists(FileName)) {
            Log("The claimed file is not the file that was claimed; it is left as it is.");
            KeepLog = true;
        }
    } catch (...) {
    }
    try {
        if (DeleteLogs && !KeepLog && FileExists(LogFileName)) DeleteFile(LogFileName);
    } catch (...) {
    }
    try {
        if (DeleteLogs && FileExists(ConfirmationFileName)) DeleteFile(ConfirmationFileName);
    } catch (...) {
    }
    try {
        if (!Settings.Combined() && !KeepLog && FileExists(LogFileName)) DeleteFile(LogFileName);
    } catch (...) {
    }
    return TOutcome::Done;
}

void TBulkThread::StopPoint() {
    if (StopRequested()) throw EStopRequested();
}

// ---- reading ----

bool TBulkThread::ReadInput() {
    try {
        Log("Creating Messages to be sent...");
        if (!FileExists(FileName))
            throw std::runtime_error("The File path specified does not exist");
        // Every run reads exactly the file that was claimed, before anything of it is sent
        // and once more after the last byte was read.
        TLockedFile Input = TLockedFile::OpenRegularShareRead(FileName);
        CheckClaimedFile(Input);
        // Read piece by piece: the file's text is never held whole.
        std::vector<std::string> Rejected;
        TInputRows Rows(Settings, ProtocolKind, Messages, Rejected);
        std::unique_ptr<char[]> Piece(new char[kReadPieceBytes]);
        for (;;) {
            const size_t Got = Input.ReadSome(Piece.get(), kReadPieceBytes);
            if (Got == 0 || !Rows.Read(std::string_view(Piece.get(), Got))) break;
        }
        Rows.Finish();
        CheckClaimedFile(Input);
        for (std::string& Line : Rejected) ConfirmationLines.Add(std::move(Line));
        // Rows count once, in the run that first read them.
        if (!Resumed) CountRowsRejected(static_cast<int64_t>(Rejected.size()));
        Log("Creating messages to be sent complete.");
        return true;
    } catch (const std::exception& E) {
        Log("Error creating XML document [" + std::string(E.what()) + "]. Processing Aborted!");
        throw;
    }
}

// ---- submission ----

TBulkThread::TOutcome TBulkThread::ProcessBulkRequest() {
    std::string LastCellNo;
    try {
        Log("Processing bulk request...");
        const std::shared_ptr<ISender> Sender = CoSender::Create();
        Sender->SetName(Settings.SenderName.Get());
        Sender->SetEmail(Settings.SenderEmail.Get());
        Sender->SetCellNo(Settings.SenderCellNo.Get());
        Sender->SetFaxNo(Settings.SenderFaxNo.Get());

        int32_t RecipientCounter = 0;
        int32_t PartNo = 0;
        std::shared_ptr<IBatchRequest> Batch = NewBatchRequest(BatchName, Sender);
        CurrentPart.clear();
        const TFileJournal::TState& State = Journal->State();

        const int32_t Total = Messages.RecipientCount();
        for (int32_t I = 0; I < Total; ++I) {
            const TVexoMessage Message = Messages.Items(I);
            const TVexoRecipients Recipients = Message.Recipients();
            const std::shared_ptr<IMessageRequest> Request =
                CreateAs<IMessageRequest>("MessageRequest");
            const std::shared_ptr<IOverrideProtocol> Override =
                CreateAs<IOverrideProtocol>("OverrideProtocol");
            int64_t MessageLine = -1;
            for (int32_t J = 0; J < Recipients.Count(); ++J) {
                const TVexoRecipient Target = Recipients.Items(J);
                try {
                    ++RecipientCounter;
                    const std::shared_ptr<IRecipient> Recipient = CreateAs<IRecipient>("Recipient");
                    Recipient->SetCellNo(Target.CellNo);
                    Recipient->SetEmail(Target.Email);
                    Recipient->SetFaxNo(Target.FaxNo);
                    LastCellNo = Recipient->GetCellNo();
                    Request->AddRecipient(Recipient);
                    Override->SetFlag(kAutomationTrue);
                    Override->SetProtocolName(ProtocolName);
                    Override->SetMessageType(Message.MessageType());
                    Override->SetMessageText(Message.Text());
                    Request->SetReference(Message.Reference());
                    Request->SetDateTime(kRequestDateTime);
                    Request->SetBatchName(BatchName);
                    Request->SetFlag(kAutomationTrue);
                    Request->SetOverrideProtocol(Override);
                    Request->SetPriority(Message.Priority());
                    const int64_t Line = ConfirmationLines.AddRecipient(I, J, {});
                    if (MessageLine < 0) MessageLine = Line;
                } catch (const std::exception& E) {
                    const int64_t Line = ConfirmationLines.AddRecipient(I, J, E.what());
                    if (MessageLine < 0) MessageLine = Line;
                }
            }
            Batch->AddMessageRequest(Request);
            CurrentPart.push_back({I, MessageLine});

            bool ClosePart = I == Total - 1;
            if (!ClosePart && Settings.Split.Get() == 1) {
                const int MaxMessages = Settings.MaxMessages.Get();
                if (MaxMessages < 1)
                    throw std::runtime_error("MaxMessages must be at least 1 when Split is 1");
                ClosePart = (static_cast<int64_t>(I) + 1) % MaxMessages == 0;
            }
            if (ClosePart) {
                ++PartNo;
                const auto Answered = State.Answers.find(PartNo);
                if (Answered != State.Answers.end()) {
                    Log("Split bulk request[" + std::to_string(PartNo) +
                        "] was answered before; it is not sent again.");
                    if (Answered->second.Readable) MarkPart(Answered->second.Ids);
                    JournalledLines = ConfirmationLines.Count();
                    AnsweredMessages += static_cast<int64_t>(CurrentPart.size());
                } else {
                    // A run that failed on its own sends nothing, however often it is taken up.
                    if (State.Failed) throw std::runtime_error(State.Failure);
                    StopPoint();
                    Journal->PartSending(PartNo, CurrentPart.front().MessageIndex,
                                         static_cast<int32_t>(CurrentPart.size()));
                    SubmitPart(std::move(Batch), PartNo);
                    RecordNextPartAhead(PartNo + 1, I + 1, Total);
                }
                CurrentPart.clear();
                Batch = NewBatchRequest("", Sender);
            }
        }

        if (RecipientCounter == 0)
            throw std::runtime_error("No Recipients found. Processing aborted");

        StopPoint();
        try {
            // The combined layout keeps no confirmation file, except for the result e-mail to
            // carry.
            const bool Save = !Settings.Combined() || (Settings.SendConfirmation.Readable() &&
                                                       Settings.SendConfirmation.Value);
            if (Save) SaveConfirmationLines();
        } catch (const std::exception&) {
            SaveConfirmationLines();
        }
        ConfirmationLines.Clear();
        return Deliver();
    } catch (const EStopRequested&) {
        throw;
    } catch (const std::exception& E) {
        Log("Error processing file at " + LastCellNo + " : " + E.what());
        throw;
    }
}

TBulkThread::TOutcome TBulkThread::Deliver() {
    if (Settings.SendConfirmation.Get()) {
        StopPoint();
        const bool Sent = EmailResult();
        Log("Processing bulk request complete.");
        if (!Sent) return TOutcome::MailOwed;
        return CleanUp(true);
    }
    // Logged before the clean-up, which removes this log outside the combined layout.
    Log("Processing bulk request complete.");
    return CleanUp(false);
}

void TBulkThread::SubmitPart(std::shared_ptr<IBatchRequest> Batch, int32_t PartNo) {
    Log("Processing split bulk request[" + std::to_string(PartNo) + "].");
    Log("Sending split bulk request.");
    const std::shared_ptr<IBatchInfo> Info = CoBatchInfo::Create();
    std::string ReplyText;
    std::string Xml;
    for (;;) {
        StopPoint();
        try {
            const std::shared_ptr<IVexoWSSoap> Client =
                GetIVexoWSSoap(false, GatewayURL, nullptr, GatewayCAFile);
            if (Batch) {
                // Every attempt sends the same text: the objects go once it is made, so that a
                // large part's request and reply have their room.
                Xml = Batch->GetXML();
                Batch.reset();
                if (Xml.size() >= kLargePartXml) ReturnFreeMemory();
            }
            // The part's record, written ahead, synced while the request was built.
            Journal->AwaitSync();
            ReplyText = UnwrapCDATA(Client->Send(Token, Xml, false));
            break;
        } catch (const EFileError&) {
            throw;  // the journal's, not the gateway's
        } catch (const std::exception& E) {
            Log("Error Making Soap Call: " + std::string(E.what()));
            CountSendFailed();
        }
        if (!WaitUnlessStopped(RetryDelay())) throw EStopRequested();
        CountPartRetried();
    }
    // From here on the part is the gateway's: nothing sends it again.
    PartAccepted = true;
    CountPartSent(static_cast<int64_t>(CurrentPart.size()));
    AnsweredMessages += static_cast<int64_t>(CurrentPart.size());
    Info->SetReplyText(ReplyText);
    std::vector<int64_t> Ids;
    if (ReplyText.size() > kShortestMarkedReply) {
        Log("Marking split bulk request items.");
        try {
            const std::shared_ptr<IBatchInfoItems> Items = Info->GetItems();
            const int32_t Count = Items->GetCount();
            Ids.reserve(static_cast<size_t>(Count));
            for (int32_t J = 0; J < Count; ++J) Ids.push_back(Items->GetItem(J)->GetMessageID());
        } catch (const std::exception& E) {
            const std::string Reason = E.what();
            Log("Split bulk request reply cannot be read for identifiers: " + Reason +
                ". Its lines go without them.");
            const std::vector<std::string> Lines = PartLines();
            RecordAnswer([&] { Journal->PartAnsweredUnreadable(PartNo, Reason, Lines); },
                         [&] {
                             Log("Split bulk request[" + std::to_string(PartNo) +
                                 "] was accepted but could not be journalled; its identifiers "
                                 "could not be read: " +
                                 Reason);
                         });
            Log("Processing split bulk request complete.");
            return;
        }
        MarkPart(Ids);
    }
    const std::vector<std::string> Lines = PartLines();
    RecordAnswer([&] { Journal->PartAnswered(PartNo, Ids, Lines); },
                 [&] {
                     // The last record of them: each reference with the identifier it got.
                     std::string Text;
                     for (size_t J = 0; J < Ids.size() && J < CurrentPart.size(); ++J)
                         Text +=
                             (J ? ", " : "") +
                             std::string(Messages.Items(CurrentPart[J].MessageIndex).Reference()) +
                             "=" + std::to_string(Ids[J]);
                     Log("Split bulk request[" + std::to_string(PartNo) +
                         "] was accepted but could not be journalled; its identifiers: " + Text);
                 });
    Log("Processing split bulk request complete.");
}

void TBulkThread::RecordNextPartAhead(int32_t PartNo, int32_t First, int32_t Total) {
    const TFileJournal::TState& State = Journal->State();
    if (First >= Total || State.Failed || State.Answers.count(PartNo) != 0) return;
    int32_t Count = Total - First;
    if (Settings.Split.Get() == 1 && Settings.MaxMessages.Get() >= 1)
        Count = std::min(Count, Settings.MaxMessages.Get());
    // Synced while the part is built; the part goes out only once it is on disk.
    Journal->PartAhead(PartNo, First, Count);
}

std::vector<std::string> TBulkThread::PartLines() {
    std::vector<std::string> Lines;
    const int64_t Count = ConfirmationLines.Count();
    Lines.reserve(static_cast<size_t>(std::max<int64_t>(Count - JournalledLines, 0)));
    for (int64_t L = JournalledLines; L < Count; ++L) Lines.push_back(ConfirmationLines.Compact(L));
    // Recorded or, at a stop, logged with the answer: either way they are not asked for again.
    JournalledLines = Count;
    return Lines;
}

void TBulkThread::RecordAnswer(const std::function<void()>& Record,
                               const std::function<void()>& Unrecorded) {
    // Unrecorded, the part would go out again when the file is taken up: nothing goes on until
    // the journal has it.
    for (;;) {
        try {
            Record();
            return;
        } catch (const std::exception& E) {
            Log("Error writing the journal : " + std::string(E.what()));
        }
        if (!WaitUnlessStopped(RetryDelay())) {
            // Stopping: the file's log is the one place left for what the gateway answered.
            Unrecorded();
            throw EStopRequested();
        }
    }
}

void TBulkThread::MarkPart(const std::vector<int64_t>& Ids) {
    const size_t Sent = CurrentPart.size();
    // Item J answers the J-th message request of this part.
    for (size_t J = 0; J < Ids.size() && J < Sent; ++J) {
        const TPartEntry& Entry = CurrentPart[J];
        Messages.Items(Entry.MessageIndex).SetMessageID(Ids[J]);
        if (Entry.LineIndex >= 0) ConfirmationLines.Mark(Entry.LineIndex);
    }
    if (Ids.size() != Sent)
        Log("Split bulk request reply lists " + std::to_string(Ids.size()) + " items for " +
            std::to_string(Sent) + " messages.");
}

// ---- e-mail ----

namespace {

TSmtpMail MailSettings(const std::shared_ptr<IXMLMailType>& Mail,
                       const std::vector<std::string>& Recipients) {
    TSmtpMail Out;
    Out.Host = Mail->GetHost();
    Out.Port = Mail->GetPort();
    Out.MailAgent = Mail->GetMailAgent();
    Out.Subject = Mail->GetSubject();
    Out.FromAddress = Mail->GetFromAddress();
    Out.FromName = Mail->GetFromName();
    Out.ToAddresses = Recipients;
    if (!ParseMailSecurity(Mail->GetSecurity(), Out.Security))
        throw ESmtpError("Mail Security \"" + Mail->GetSecurity() +
                         "\" is not none, starttls or tls");
    Out.Username = Mail->GetUsername();
    Out.Password = Mail->GetPassword();
    Out.CAFile = Mail->GetCAFile();
    return Out;
}

}  // namespace

bool TBulkThread::EmailResult() {
    Log("EMailing file...");
    bool Sent = false;
    std::string Failure;
    try {
        const std::shared_ptr<IXMLMailType> Mail = Config->GetSettings()->GetMail();
        TSmtpMail Message = MailSettings(Mail, MailRecipients);
        Message.AttachmentPath = ConfirmationFileName;
        const std::shared_ptr<IXMLBodyTextType> Body = Mail->GetBodyText();
        for (int I = 0; I < Body->GetCount(); ++I)
            Message.BodyLines.push_back(Body->GetItem(I)->GetText());
        Message.BodyLines.push_back("submitted from " + FileName + " on " +
                                    FormatShortDate(ProcessingDate));
        SendSmtpMail(Message);
        Sent = true;
        Log("EMailing Result file complete.");
    } catch (const std::exception& E) {
        Failure = E.what();
    }
    // The confirmation is the only record of the identifiers: it stays until a mail carried it.
    if (!Sent) Log("Error emailing result file : " + Failure);
    if (Sent) MailRecorded();
    return Sent;
}

bool TBulkThread::EmailErrorResult(const std::string& ErrorMessage) {
    Log("EMailing Error Result file...");
    bool Sent = false;
    std::string Failure;
    try {
        // Saved before an earlier attempt, it is sent as it was.
        if (!Journal->State().Saved) SaveConfirmationLines();
        const std::shared_ptr<IXMLMailType> Mail = Config->GetSettings()->GetMail();
        TSmtpMail Message = MailSettings(Mail, MailRecipients);
        if (ConfirmationLines.Count() > 0) Message.AttachmentPath = ConfirmationFileName;
        const std::shared_ptr<IXMLErrorTextType> Body = Mail->GetErrorText();
        for (int I = 0; I < Body->GetCount(); ++I)
            Message.BodyLines.push_back(Body->GetItem(I)->GetText());
        Message.BodyLines.push_back("Error : " + ErrorMessage);
        Message.BodyLines.push_back("submitted from " + FileName + " on " +
                                    FormatShortDate(ProcessingDate));
        SendSmtpMail(Message);
        Sent = true;
        Log("EMailing Error Result file complete.");
    } catch (const std::exception& E) {
        Failure = E.what();
    }
    if (!Sent) Log("Error emailing result file : " + Failure);
    if (Sent) MailRecorded();
    return Sent;
}

void TBulkThread::MailRecorded() {
    try {
        Journal->MailSent();
    } catch (const std::exception&) {
        // The clean-up follows at once and removes the journal; only a crash before it would
        // send the mail once more.
    }
}

// ---- small helpers ----

void TBulkThread::Log(const std::string& Msg) {
    WriteToLog(Msg, LogFileName, kLogLimitKB, true, true, Clock());
}

void TBulkThread::WriteHeader(const std::string& Header, const std::string& Path) {
    WriteToLog(Header, Path, kLogLimitKB, false, true, Clock());
}

void TBulkThread::SaveConfirmationLines() {
    try {
        // A confirmation file of the batch name that is there already keeps its lines: this
        // run's go below them, under their own header.
        const bool HasPrior = FileExists(ConfirmationFileName);
        const int64_t Prior = HasPrior ? FileSizeOf(ConfirmationFileName) : 0;
        const int64_t Size = Prior + ConfirmationLines.Size();
        const TFileJournal::TState& State = Journal->State();
        if (State.Saving && !State.Saved && State.SavingPrior != State.SavingFinal &&
            Prior == State.SavingFinal) {
            // The save before a stop or crash went through; only its record is missing.
            Journal->ConfirmationSaved();
            return;
        }
        Journal->ConfirmationSaving(Prior, Size);
        TAtomicFile File(ConfirmationFileName);
        if (HasPrior) {
            TLockedFile Earlier = TLockedFile::OpenReadShareRead(ConfirmationFileName);
            std::unique_ptr<char[]> Piece(new char[kReadPieceBytes]);
            while (const size_t Got = Earlier.ReadSome(Piece.get(), kReadPieceBytes))
                File.Write(std::string_view(Piece.get(), Got));
        }
        ConfirmationLines.Write([&](std::string_view Text) { File.Write(Text); });
        File.Commit();
        Journal->ConfirmationSaved();
    } catch (const EFileError& E) {
        throw EFileError("Cannot create file \"" + ConfirmationFileName + "\". " + E.what(),
                         E.Code);
    }
}

// ---- completion ----

int RunningBulkThreads() {
    std::lock_guard<std::mutex> Guard(Running().Lock);
    return Running().Count;
}

bool WaitForBulkThreads(std::chrono::milliseconds Timeout) {
    TRunningWorkers& W = Running();
    std::unique_lock<std::mutex> Guard(W.Lock);
    return W.Finished.wait_for(Guard, Timeout, [&] { return W.Count == 0; });
}

void RequestBulkThreadsStop(bool Requested) {
    TRunningWorkers& W = Running();
    std::lock_guard<std::mutex> Guard(W.Lock);
    W.StopRequested = Requested;
    W.StopAsked.notify_all();
}

int StoppedBulkThreads() {
    std::lock_guard<std::mutex> Guard(Running().Lock);
    return Running().Stopped;
}
