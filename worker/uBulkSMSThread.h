// The bulk file worker: one detached thread per claimed file. It reads and validates the file's
// rows, submits them to the gateway in parts through the client SDK, writes the confirmation
// file, e-mails it when configured, and removes the claimed file and its log as the outcome
// asks. It reports only through files, its log and e-mail, and frees itself when it is done.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "config/uBrovaCSVSenderConfig.h"
#include "platform/DateTime.h"
#include "support/uVexoMessages.h"
#include "worker/VexoClientSDK_TLB.h"

class TBulkThread {
  public:
    // Runs on the creator's thread: derives the file names, appends the header lines of the
    // status and reply files (or of the combined file) and starts the worker's thread as its last
    // step. Create it with new and forget it: the thread deletes the object when Execute returns.
    // Throws, with nothing started, when the protocol entry or the thread cannot be had.
    //   ProtocolIndex  the entry of Settings/Protocols, from 0; used only here.
    //   Clock          the wall clock for log stamps and the processing date.
    //   ExeDirectory   the executable's directory; holds the confirmation file in the
    //                  "COMBINED" layout.
    TBulkThread(const std::string& ProtocolName, const std::string& BatchName,
                const std::string& FileName, const std::string& Token, int32_t ProtocolIndex,
                std::shared_ptr<IXMLBulkCSVSenderType> Config, TClock Clock,
                const std::string& ExeDirectory);
    TBulkThread(const TBulkThread&) = delete;
    TBulkThread& operator=(const TBulkThread&) = delete;

  private:
    // Where a part's message went: its index in Messages and its confirmation line (-1: none).
    struct TPartEntry {
        int32_t MessageIndex;
        int64_t LineIndex;
    };

    ~TBulkThread();  // only the thread itself frees the object

    // The thread body: reading, submission, e-mail and clean-up. Never throws.
    void Execute();
    // Removes the claimed file and, with DeleteLogs, the log and the confirmation file; outside
    // the "COMBINED" layout the log goes in any case. Never throws.
    void CleanUp(bool DeleteLogs);
    // Fills Messages from the claimed file's accepted rows and ConfirmationLines with a line per
    // rejected row. Throws when the file as a whole cannot be read.
    bool ReadInput();
    // Throws, with the reason as message, when the split row Fields (at least 2) is not valid.
    void ValidateRow(const std::vector<std::string>& Fields);
    std::string NormaliseCellNo(const std::string& CellNo);
    // Submits Messages in parts and saves the confirmation lines; true when the result e-mail
    // went out. Logs and rethrows a failure.
    bool ProcessBulkRequest();
    // Sends one part, retrying the gateway call without limit, and marks its messages and lines
    // with the identifiers of the reply.
    void SubmitPart(const std::shared_ptr<IBatchRequest>& Batch, int32_t PartNo);
    // Both mail the confirmation file, delete it afterwards and never throw; true when sent.
    bool EmailResult();
    bool EmailErrorResult(const std::string& ErrorMessage);

    void Log(const std::string& Msg);
    void WriteHeader(const std::string& Header, const std::string& Path);
    bool IsCombinedFormat();
    // Writes ConfirmationLines to ConfirmationFileName in one go; throws on failure.
    void SaveConfirmationLines();

    std::string FileName;
    std::vector<std::string> MailRecipients;
    std::string LogFileName;
    std::string BatchName;
    std::string ProtocolName;
    std::string ConfirmationFileName;
    std::shared_ptr<IXMLBulkCSVSenderType> Config;
    TDateTime ProcessingDate;
    std::vector<std::string> ConfirmationLines;  // filled only while Execute runs
    uint8_t ProtocolKind = 0;
    std::string GatewayURL;
    std::string Token;
    TVexoMessages Messages;

    TClock Clock;
    std::vector<TPartEntry> CurrentPart;  // the messages of the part being built
};

// Completion of workers, for the tests and the process that start them: the number of workers
// constructed whose thread has not yet freed its object, and a wait until that number is 0
// (true) or Timeout passed (false). Any thread.
int RunningBulkThreads();
bool WaitForBulkThreads(std::chrono::milliseconds Timeout);
