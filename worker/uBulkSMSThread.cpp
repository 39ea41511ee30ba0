#include "worker/uBulkSMSThread.h"

#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "gateway/uVexocspWS.h"
#include "platform/Files.h"
#include "platform/RetryDelay.h"
#include "support/Util.h"
#include "support/uLogFile.h"
#include "support/uSmsUtil.h"
#include "worker/uSmtpMail.h"
#include "worker/uVexoClientUtils.h"

namespace {

constexpr uint32_t kLogLimitKB = 1024;
// A reply this short cannot list any message; it is not read for identifiers.
constexpr size_t kShortestMarkedReply = 10;
// The confirmation file is written in pieces of about this size through one open handle.
constexpr size_t kSaveChunkBytes = 1 << 20;
// Automation truth, as the SDK's flags expect it.
constexpr int32_t kAutomationTrue = -1;

const char* const kReplyHeader =
    "Reply Source,Reply Message,Reply Receive Time,Reference,MessageRequestID";
const char* const kStatusHeader =
    "MessageRequestID,Reference,Status,Status Description,Status Time";
const char* const kCombinedHeader =
    "MESSAGE TYPE,CELL NUMBER,DATE & TIME,MESSAGE REFERENCE,MESSAGE TEXT";
const char* const kCombinedFormat = "COMBINED";
const char* const kSubmittedStatus = "Sucessfully submitted to Vexo.";
const char* const kRequestDateTime = "2004-12-24 21:00:00";
const char* const kUnknownError = "Unknown error";

// ---- the count of running workers ----

struct TRunningWorkers {
    std::mutex Lock;
    std::condition_variable Finished;
    int Count = 0;
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

void WorkerFinished() {
    TRunningWorkers& W = Running();
    std::lock_guard<std::mutex> Guard(W.Lock);
    --W.Count;
    W.Finished.notify_all();
}

// ---- helpers ----

// Path with its extension (from the last "." of the file name) replaced by Ext.
std::string ChangeFileExt(const std::string& Path, const std::string& Ext) {
    const size_t Dot = Path.find_last_of('.');
    const size_t Slash = Path.find_last_of("/\\");
    if (Dot == std::string::npos || (Slash != std::string::npos && Dot < Slash)) return Path + Ext;
    return Path.substr(0, Dot) + Ext;
}

std::string Quoted(const std::string& Text) { return "\"" + Text + "\""; }

template <class T>
std::shared_ptr<T> CreateAs(const std::string& ClassName) {
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

// The low 16 bits, read as a signed value.
int16_t Truncate16(int Value) {
    return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(Value) & 0xFFFFu));
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
    this->FileName = FileName;
    GatewayURL = this->Config->GetVexo()->GetURL();

    this->ProtocolName = Trim(ProtocolName);
    if (this->ProtocolName == "SMS")
        ProtocolKind = 1;
    else if (this->ProtocolName == "FAX")
        ProtocolKind = 2;
    else if (this->ProtocolName == "EMAIL")
        ProtocolKind = 3;

    this->BatchName = BatchName;
    this->Token = Token;
    LogFileName = ChangeFileExt(FileName, ".log");

    MailRecipients.push_back(this->Config->GetVexo()->GetSender()->GetEmailAdress());

    auto SeparateLayout = [&] {
        std::shared_ptr<IXMLProtocolType> Entry =
            this->Config->GetSettings()->GetProtocols()->GetItem(ProtocolIndex);
        WriteHeader(kReplyHeader,
                    AddTrailingBackslash(Entry->GetReplyDirectory()) + BatchName + ".CSV");
        WriteHeader(kStatusHeader,
                    AddTrailingBackslash(Entry->GetStatusDirectory()) + BatchName + ".CSV");
        ConfirmationFileName = AddTrailingBackslash(Entry->GetStatusDirectory());
    };
    try {
        if (IsCombinedFormat()) {
            std::shared_ptr<IXMLProtocolType> Entry =
                this->Config->GetSettings()->GetProtocols()->GetItem(ProtocolIndex);
            WriteHeader(kCombinedHeader,
                        AddTrailingBackslash(Entry->GetStatusDirectory()) + BatchName + ".CSV");
            ConfirmationFileName = AddTrailingBackslash(ExeDirectory);
        } else {
            SeparateLayout();
        }
    } catch (const std::exception&) {
        SeparateLayout();  // unguarded: a second failure ends the construction
    }

    WorkerStarted();
    try {
        std::thread([this] {
            Execute();
            delete this;
            WorkerFinished();
        }).detach();
    } catch (...) {
        WorkerFinished();
        throw;
    }
}

TBulkThread::~TBulkThread() = default;

void TBulkThread::Execute() {
    std::string Failure;
    bool Failed = false;
    try {
        Messages.Clear();
        ConfirmationLines.clear();
        Log("Processing started");
        const TDateTime Today = Clock();
        ProcessingDate = TDateTime{Today.Year, Today.Month, Today.Day};
        ConfirmationFileName += "Confirmation-" + BatchName + ".CSV";
        if (ProtocolKind <= 1)
            ConfirmationLines.push_back("Cell No.,Reference,Status");
        else if (ProtocolKind == 2)
            ConfirmationLines.push_back("Fax No.,Reference,Status");
        else if (ProtocolKind == 3)
            ConfirmationLines.push_back("Email Address,Reference,Status");
        if (ReadInput() && ProcessBulkRequest()) CleanUp(true);
    } catch (const std::exception& E) {
        Failed = true;
        Failure = E.what();
    } catch (...) {
        Failed = true;
        Failure = kUnknownError;
    }
    if (Failed) {
        Log("Error processing file " + Failure + ". Processing Aborted!");
        try {
            if (Config->GetSettings()->GetMail()->GetSendConfirmation()) {
                if (EmailErrorResult(Failure))
                    CleanUp(true);
                else
                    CleanUp(false);
            }
        } catch (const std::exception& E) {
            // Nothing is cleaned up: the claimed file stays for the operator.
            Log("Error handling failed processing : " + std::string(E.what()));
        } catch (...) {
            Log("Error handling failed processing : " + std::string(kUnknownError));
        }
    }
    std::vector<std::string>().swap(ConfirmationLines);
}

void TBulkThread::CleanUp(bool DeleteLogs) {
    try {
        if (FileExists(FileName)) DeleteFile(FileName);
    } catch (...) {
    }
    try {
        if (DeleteLogs && FileExists(LogFileName)) DeleteFile(LogFileName);
    } catch (...) {
    }
    try {
        if (DeleteLogs && FileExists(ConfirmationFileName)) DeleteFile(ConfirmationFileName);
    } catch (...) {
    }
    try {
        if (!IsCombinedFormat() && FileExists(LogFileName)) DeleteFile(LogFileName);
    } catch (...) {
    }
}

// ---- reading ----

bool TBulkThread::ReadInput() {
    try {
        Log("Creating Messages to be sent...");
        if (!FileExists(FileName))
            throw std::runtime_error("The File path specified does not exist");
        std::string Text = ReadFileText(FileName);
        const size_t Nul = Text.find('\0');
        if (Nul != std::string::npos) Text.resize(Nul);

        const std::shared_ptr<IXMLSettingsType> Settings = Config->GetSettings();
        std::vector<std::string> Fields;
        std::string Line, CellNo, FaxNo, Email, Reference;
        size_t Pos = 0;
        while (Pos < Text.size()) {
            size_t End = Text.find_first_of("\r\n", Pos);
            if (End == std::string::npos) End = Text.size();
            Line.assign(Text, Pos, End - Pos);
            Pos = End + 1;
            if (End < Text.size() && Text[End] == '\r' && Pos < Text.size() && Text[Pos] == '\n')
                ++Pos;

            CellNo.clear();
            FaxNo.clear();
            Email.clear();
            Reference.clear();
            try {
                Fields.clear();
                SplitDelimitedLine(',', Line, Fields, true, true);
                if (!Fields.empty()) {
                    if (ProtocolKind == 1)
                        CellNo = NormaliseCellNo(Fields[0]);
                    else if (ProtocolKind == 2)
                        FaxNo = Fields[0];
                    else if (ProtocolKind == 3)
                        Email = Fields[0];
                }
                if (Fields.size() < 2) continue;
                Reference = Fields[1];
                ValidateRow(Fields);

                // Everything that can fail comes before the message exists, so a row that is
                // rejected here leaves no message without a recipient behind.
                std::string MessageText;
                if (Fields.size() > 3) {
                    const std::string Body = Trim(Fields[3]);
                    if (Fields[2] == "DEF" &&
                        UpperCase(Body).find("MESSAGETEXT=") == std::string::npos)
                        MessageText = "MessageText=" + Body;
                    else
                        MessageText = Body;
                }
                const int16_t Priority = Truncate16(Settings->GetPriority());

                TVexoMessage& Message = Messages.Add();
                auto Recipient = std::make_unique<TVexoRecipient>(&Message.Recipients);
                Message.MessageType = Fields[2];
                Message.Text = std::move(MessageText);
                Recipient->CellNo = CellNo;
                Recipient->FaxNo = FaxNo;
                Recipient->Email = Email;
                Message.Reference = Reference;
                Message.Priority = Priority;
                Message.Recipients.Add(ProtocolKind, std::move(Recipient));
            } catch (const std::exception& E) {
                const std::string& Address = ProtocolKind == 2   ? FaxNo
                                             : ProtocolKind == 3 ? Email
                                                                 : CellNo;
                ConfirmationLines.push_back(Address + "," + Reference + "," + Quoted(E.what()));
            }
        }
        Log("Creating messages to be sent complete.");
        return true;
    } catch (const std::exception& E) {
        Log("Error creating XML document [" + std::string(E.what()) + "]. Processing Aborted!");
        throw;
    }
}

void TBulkThread::ValidateRow(const std::vector<std::string>& Fields) {
    if (Fields.size() < 3) throw std::runtime_error("Message type cannot be empty");
    const size_t Required = !Fields[2].empty() && UpperCase(Fields[2]) != "DEF" ? 3 : 4;
    if (Fields.size() < Required)
        throw std::runtime_error("Invalid file format. Must have " + std::to_string(Required) +
                                 " columns");
    const std::string& Address = Fields[0];
    if (Trim(Address).empty()) {
        if (ProtocolKind == 1) throw std::runtime_error("Cell no. cannot be empty");
        if (ProtocolKind == 2) throw std::runtime_error("Fax no. cannot be empty");
        if (ProtocolKind == 3) throw std::runtime_error("Email Address cannot be empty");
    } else {
        if (ProtocolKind == 1 && ClassifyCellNo(Address) == 0)
            throw std::runtime_error("Cell no. is invalid");
        if (ProtocolKind == 2 && ClassifyCellNo(Address) == 0)
            throw std::runtime_error("Fax no. is invalid");
        if (ProtocolKind == 3 && !IsEmailAddress(Address))
            throw std::runtime_error("Email Address is invalid");
    }
    if (Fields.size() > 3 && Trim(Fields[3]).empty())
        throw std::runtime_error("Message cannot be empty");
}

std::string TBulkThread::NormaliseCellNo(const std::string& CellNo) {
    if (CellNo.size() != 9) return CellNo;
    std::vector<std::string> Extensions;
    SplitDelimitedLine(';', Config->GetSettings()->GetValidSACellExtensions(), Extensions, true,
                       true);
    const std::string Prefix = UpperCase("0" + CellNo.substr(0, 2));
    for (const std::string& Extension : Extensions)
        if (UpperCase(Extension) == Prefix) return "0" + CellNo;
    return CellNo;
}

// ---- submission ----

bool TBulkThread::ProcessBulkRequest() {
    std::string LastCellNo;
    try {
        Log("Processing bulk request...");
        const std::shared_ptr<IXMLSenderType> SenderSettings = Config->GetVexo()->GetSender();
        const std::shared_ptr<ISender> Sender = CoSender::Create();
        Sender->SetName(SenderSettings->GetName());
        Sender->SetEmail(SenderSettings->GetEmailAdress());
        Sender->SetCellNo(SenderSettings->GetCellNo());
        Sender->SetFaxNo(SenderSettings->GetFaxNo());

        int32_t RecipientCounter = 0;
        int32_t PartNo = 0;
        std::shared_ptr<IBatchRequest> Batch = NewBatchRequest(BatchName, Sender);
        const std::shared_ptr<IXMLSubmissionsType> Submissions =
            Config->GetSettings()->GetSubmissions();
        CurrentPart.clear();

        const int32_t Total = Messages.RecipientCount();
        for (int32_t I = 0; I < Total; ++I) {
            TVexoMessage& Message = Messages.Items(I);
            const std::shared_ptr<IMessageRequest> Request =
                CreateAs<IMessageRequest>("MessageRequest");
            const std::shared_ptr<IOverrideProtocol> Override =
                CreateAs<IOverrideProtocol>("OverrideProtocol");
            int64_t MessageLine = -1;
            for (int32_t J = 0; J < Message.Recipients.Count(); ++J) {
                const TVexoRecipient& Target = Message.Recipients.Items(J);
                const std::string& Address = ProtocolKind == 2   ? Target.FaxNo
                                             : ProtocolKind == 3 ? Target.Email
                                                                 : Target.CellNo;
                if (MessageLine < 0) MessageLine = static_cast<int64_t>(ConfirmationLines.size());
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
                    Override->SetMessageType(Message.MessageType);
                    Override->SetMessageText(Message.Text);
                    Request->SetReference(Message.Reference);
                    Request->SetDateTime(kRequestDateTime);
                    Request->SetBatchName(BatchName);
                    Request->SetFlag(kAutomationTrue);
                    Request->SetOverrideProtocol(Override);
                    Request->SetPriority(Message.Priority);
                    ConfirmationLines.push_back(Quoted(Address) + "," + Quoted(Message.Reference) +
                                                "," + Quoted(kSubmittedStatus));
                } catch (const std::exception& E) {
                    ConfirmationLines.push_back(Quoted(Address) + "," + Quoted(Message.Reference) +
                                                "," + Quoted(E.what()));
                }
            }
            Batch->AddMessageRequest(Request);
            CurrentPart.push_back({I, MessageLine});

            bool ClosePart = I == Total - 1;
            if (!ClosePart && Submissions->GetSplit() == 1) {
                const int MaxMessages = Submissions->GetMaxMessages();
                if (MaxMessages < 1)
                    throw std::runtime_error("MaxMessages must be at least 1 when Split is 1");
                ClosePart = (static_cast<int64_t>(I) + 1) % MaxMessages == 0;
            }
            if (ClosePart) {
                ++PartNo;
                SubmitPart(Batch, PartNo);
                CurrentPart.clear();
                Batch = NewBatchRequest("", Sender);
            }
        }

        if (RecipientCounter == 0)
            throw std::runtime_error("No Recipients found. Processing aborted");

        try {
            bool Save = true;
            if (IsCombinedFormat()) {
                // The combined layout keeps no confirmation file, except for the result e-mail
                // to carry.
                Save = false;
                try {
                    Save = Config->GetSettings()->GetMail()->GetSendConfirmation();
                } catch (const std::exception&) {
                }
            }
            if (Save) SaveConfirmationLines();
        } catch (const std::exception&) {
            SaveConfirmationLines();
        }
        std::vector<std::string>().swap(ConfirmationLines);

        bool Result = false;
        if (Config->GetSettings()->GetMail()->GetSendConfirmation()) {
            Result = EmailResult();
            Log("Processing bulk request complete.");
        } else {
            // Logged before the clean-up, which removes this log outside the combined layout.
            Log("Processing bulk request complete.");
            CleanUp(false);
        }
        return Result;
    } catch (const std::exception& E) {
        Log("Error processing file at " + LastCellNo + " : " + E.what());
        throw;
    }
}

void TBulkThread::SubmitPart(const std::shared_ptr<IBatchRequest>& Batch, int32_t PartNo) {
    Log("Processing split bulk request[" + std::to_string(PartNo) + "].");
    Log("Sending split bulk request.");
    const std::shared_ptr<IBatchInfo> Info = CoBatchInfo::Create();
    std::string ReplyText;
    for (;;) {
        try {
            const std::shared_ptr<IVexoWSSoap> Client = GetIVexoWSSoap(false, GatewayURL);
            const std::string Xml = Batch->GetXML();
            ReplyText = UnwrapCDATA(Client->Send(Token, Xml, false));
            break;
        } catch (const std::exception& E) {
            Log("Error Making Soap Call: " + std::string(E.what()));
        }
        std::this_thread::sleep_for(RetryDelay());
    }
    Info->SetReplyText(ReplyText);
    if (ReplyText.size() > kShortestMarkedReply) {
        Log("Marking split bulk request items.");
        const std::shared_ptr<IBatchInfoItems> Items = Info->GetItems();
        const int32_t Count = Items->GetCount();
        const int32_t Sent = static_cast<int32_t>(CurrentPart.size());
        // Item J answers the J-th message request of this part.
        for (int32_t J = 0; J < Count && J < Sent; ++J) {
            const int64_t MessageID = Items->GetItem(J)->GetMessageID();
            const TPartEntry& Entry = CurrentPart[static_cast<size_t>(J)];
            Messages.Items(Entry.MessageIndex).MessageID = MessageID;
            if (Entry.LineIndex >= 0)
                ConfirmationLines[static_cast<size_t>(Entry.LineIndex)] +=
                    "," + Quoted("MessageID=" + std::to_string(MessageID));
        }
        if (Count != Sent)
            Log("Split bulk request reply lists " + std::to_string(Count) + " items for " +
                std::to_string(Sent) + " messages.");
    }
    Log("Processing split bulk request complete.");
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
    return Out;
}

}  // namespace

bool TBulkThread::EmailResult() {
    Log("EMailing file...");
    bool Sent = false;
    std::string Failure;
    try {
        const std::shared_ptr<IXMLMailType> Settings = Config->GetSettings()->GetMail();
        TSmtpMail Mail = MailSettings(Settings, MailRecipients);
        Mail.AttachmentPath = ConfirmationFileName;
        const std::shared_ptr<IXMLBodyTextType> Body = Settings->GetBodyText();
        for (int I = 0; I < Body->GetCount(); ++I)
            Mail.BodyLines.push_back(Body->GetItem(I)->GetText());
        Mail.BodyLines.push_back("submitted from " + FileName + " on " +
                                 FormatShortDate(ProcessingDate));
        SendSmtpMail(Mail);
        Sent = true;
        Log("EMailing Result file complete.");
    } catch (const std::exception& E) {
        Failure = E.what();
    }
    DeleteFile(ConfirmationFileName);
    if (!Sent) Log("Error emailing result file : " + Failure);
    return Sent;
}

bool TBulkThread::EmailErrorResult(const std::string& ErrorMessage) {
    Log("EMailing Error Result file...");
    bool Saved = false;
    bool Sent = false;
    std::string Failure;
    try {
        SaveConfirmationLines();
        Saved = true;
        const std::shared_ptr<IXMLMailType> Settings = Config->GetSettings()->GetMail();
        TSmtpMail Mail = MailSettings(Settings, MailRecipients);
        if (!ConfirmationLines.empty()) Mail.AttachmentPath = ConfirmationFileName;
        const std::shared_ptr<IXMLErrorTextType> Body = Settings->GetErrorText();
        for (int I = 0; I < Body->GetCount(); ++I)
            Mail.BodyLines.push_back(Body->GetItem(I)->GetText());
        Mail.BodyLines.push_back("Error : " + ErrorMessage);
        Mail.BodyLines.push_back("submitted from " + FileName + " on " +
                                 FormatShortDate(ProcessingDate));
        SendSmtpMail(Mail);
        Sent = true;
        Log("EMailing Error Result file complete.");
    } catch (const std::exception& E) {
        Failure = E.what();
    }
    if (Saved) DeleteFile(ConfirmationFileName);
    if (!Sent) Log("Error emailing result file : " + Failure);
    return Sent;
}

// ---- small helpers ----

void TBulkThread::Log(const std::string& Msg) {
    WriteToLog(Msg, LogFileName, kLogLimitKB, true, true, Clock());
}

void TBulkThread::WriteHeader(const std::string& Header, const std::string& Path) {
    WriteToLog(Header, Path, kLogLimitKB, false, true, Clock());
}

bool TBulkThread::IsCombinedFormat() {
    return UpperCase(Trim(Config->GetSettings()->GetFormat())) == kCombinedFormat;
}

void TBulkThread::SaveConfirmationLines() {
    try {
        TLockedFile File = TLockedFile::CreateExclusive(ConfirmationFileName);
        std::string Chunk;
        Chunk.reserve(kSaveChunkBytes + 4096);
        for (const std::string& Line : ConfirmationLines) {
            Chunk += Line;
            Chunk += "\r\n";
            if (Chunk.size() >= kSaveChunkBytes) {
                File.Write(Chunk);
                Chunk.clear();
            }
        }
        File.Write(Chunk);
        File.Close();
    } catch (const EFileError& E) {
        throw std::runtime_error("Cannot create file \"" + ConfirmationFileName + "\". " +
                                 E.what());
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
