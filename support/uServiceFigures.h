// What the service has done since the process started, for its state report and its metrics
// file: process-wide counters that workers and the service thread add to. Counting takes no lock
// and never blocks; callers count per part or per file, never per row. Any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/DateTime.h"

// How a run of a claimed file ended.
enum class TRunEnd : uint8_t {
    Done,        // cleaned up
    Stopped,     // a stop came: taken up at the next start
    RetryLater,  // a failure that may pass
    MailOwed,    // only the mail is missing
    LeftFailed,  // failed on its own, left for the operator
};
constexpr int kRunEnds = 5;

// Of the workers.
void CountRowsRejected(int64_t Rows);
// The gateway took a part of Rows rows.
void CountPartSent(int64_t Rows);
// A part's Send failed: a gateway error.
void CountSendFailed();
// A part goes out once more after a failed Send.
void CountPartRetried();
void CountRunEnded(TRunEnd How);

// Of the service thread.
void CountFileClaimed();
void CountFileResumed();
// A logon or collection call: answered, or a gateway error.
void CountGatewayCall(bool Answered);
void CountStatusAppended();
void CountReplyAppended();
// Status or reply lines that went to an "Unwritten-" file or the process log instead.
void CountUnwrittenLines(int64_t Lines);
// A poll of the directories ran at At (the dispatcher's clock).
void NotePoll(const TDateTime& At);
// The claimed file with the earliest claim seen by the last poll; 0: none.
void NoteOldestClaim(int64_t ClaimedAtUnixNs);

// Told after every change worth a report (a part, a failed Send, a worker's end); the service sets
// it to ask its service thread for a state report, and clears it before that thread goes. Hook
// must not block: it runs on the thread that counted.
void SetFiguresChangedHook(std::function<void()> Hook);
// Runs the hook, if any.
void FiguresChanged();

enum class TGatewayState : uint8_t { NotCalled, Answering, NotAnswering };

// The figures at one moment.
struct TServiceFigures {
    int64_t FilesClaimed = 0;
    int64_t FilesResumed = 0;
    int64_t RunsEnded[kRunEnds] = {};  // by TRunEnd
    int64_t PartsSent = 0;
    int64_t PartsRetried = 0;
    int64_t RowsSent = 0;
    int64_t RowsRejected = 0;
    int64_t GatewayErrors = 0;
    int64_t StatusesAppended = 0;
    int64_t RepliesAppended = 0;
    int64_t UnwrittenLines = 0;
    TGatewayState Gateway = TGatewayState::NotCalled;
    bool Polled = false;
    TDateTime LastPoll;         // its time of day, when Polled
    int64_t OldestClaimNs = 0;  // Unix time of the oldest claim; 0: none
    int64_t FilesInFlight = 0;  // not counted here: the caller fills it in
};

// The counters as they are now (FilesInFlight 0).
TServiceFigures ReadFigures();

// The figures of the state report: "2 files in flight; 245500 rows sent, 120 rejected since
// start; last poll 12:00:05; gateway answering".
std::string StatusFiguresText(const TServiceFigures& Figures);

// The figures in the Prometheus text format, for node_exporter's textfile collector; the age of
// the oldest claim counted up to Now.
std::string MetricsText(const TServiceFigures& Figures, std::chrono::system_clock::time_point Now);
