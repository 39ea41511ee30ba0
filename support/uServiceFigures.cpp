#include "support/uServiceFigures.h"

#include <atomic>
#include <mutex>

namespace {

constexpr const char* kMetricPrefix = "brova_csv_sender_";
constexpr const char* kRunEndLabels[kRunEnds] = {"done", "stopped", "retry_later", "mail_owed",
                                                 "left_failed"};

struct TCounters {
    std::atomic<int64_t> FilesClaimed{0};
    std::atomic<int64_t> FilesResumed{0};
    std::atomic<int64_t> RunsEnded[kRunEnds] = {};
    std::atomic<int64_t> PartsSent{0};
    std::atomic<int64_t> PartsRetried{0};
    std::atomic<int64_t> RowsSent{0};
    std::atomic<int64_t> RowsRejected{0};
    std::atomic<int64_t> GatewayErrors{0};
    std::atomic<int64_t> StatusesAppended{0};
    std::atomic<int64_t> RepliesAppended{0};
    std::atomic<int64_t> UnwrittenLines{0};
    std::atomic<uint8_t> Gateway{static_cast<uint8_t>(TGatewayState::NotCalled)};
    std::atomic<int32_t> LastPollSecond{-1};  // of the day; -1: none yet
    std::atomic<int64_t> OldestClaimNs{0};

    std::mutex HookLock;
    std::function<void()> Hook;
};

// Never destroyed: workers may still count while the process runs its exit handlers.
TCounters& Counters() {
    static TCounters* const C = new TCounters;
    return *C;
}

void Add(std::atomic<int64_t>& Counter, int64_t By) {
    Counter.fetch_add(By, std::memory_order_relaxed);
}

void SetGateway(TGatewayState State) { Counters().Gateway = static_cast<uint8_t>(State); }

void Metric(std::string& Out, const char* Name, const char* Type, const char* Help) {
    Out += std::string("# HELP ") + kMetricPrefix + Name + " " + Help + "\n";
    Out += std::string("# TYPE ") + kMetricPrefix + Name + " " + Type + "\n";
}

void Sample(std::string& Out, const char* Name, int64_t Value, const std::string& Labels = "") {
    Out += std::string(kMetricPrefix) + Name + Labels + " " + std::to_string(Value) + "\n";
}

void Single(std::string& Out, const char* Name, const char* Type, const char* Help, int64_t Value) {
    Metric(Out, Name, Type, Help);
    Sample(Out, Name, Value);
}

}  // namespace

void CountRowsRejected(int64_t Rows) { Add(Counters().RowsRejected, Rows); }

void CountPartSent(int64_t Rows) {
    TCounters& C = Counters();
    Add(C.PartsSent, 1);
    Add(C.RowsSent, Rows);
    SetGateway(TGatewayState::Answering);
    FiguresChanged();
}

void CountSendFailed() {
    Add(Counters().GatewayErrors, 1);
    SetGateway(TGatewayState::NotAnswering);
    FiguresChanged();
}

void CountPartRetried() { Add(Counters().PartsRetried, 1); }

void CountRunEnded(TRunEnd How) { Add(Counters().RunsEnded[static_cast<int>(How)], 1); }

void CountFileClaimed() { Add(Counters().FilesClaimed, 1); }

void CountFileResumed() { Add(Counters().FilesResumed, 1); }

void CountGatewayCall(bool Answered) {
    if (!Answered) Add(Counters().GatewayErrors, 1);
    SetGateway(Answered ? TGatewayState::Answering : TGatewayState::NotAnswering);
}

void CountStatusAppended() { Add(Counters().StatusesAppended, 1); }

void CountReplyAppended() { Add(Counters().RepliesAppended, 1); }

void CountUnwrittenLines(int64_t Lines) { Add(Counters().UnwrittenLines, Lines); }

void NotePoll(const TDateTime& At) {
    Counters().LastPollSecond = At.Hour * 3600 + At.Minute * 60 + At.Second;
}

void NoteOldestClaim(int64_t ClaimedAtUnixNs) { Counters().OldestClaimNs = ClaimedAtUnixNs; }

void SetFiguresChangedHook(std::function<void()> Hook) {
    TCounters& C = Counters();
    const std::lock_guard<std::mutex> Guard(C.HookLock);
    C.Hook = std::move(Hook);
}

void FiguresChanged() {
    TCounters& C = Counters();
    // Held only to run a hook that does not block, or to set it.
    const std::lock_guard<std::mutex> Guard(C.HookLock);
    if (C.Hook) C.Hook();
}

TServiceFigures ReadFigures() {
    TCounters& C = Counters();
    TServiceFigures F;
    F.FilesClaimed = C.FilesClaimed;
    F.FilesResumed = C.FilesResumed;
    for (int I = 0; I < kRunEnds; ++I) F.RunsEnded[I] = C.RunsEnded[I];
    F.PartsSent = C.PartsSent;
    F.PartsRetried = C.PartsRetried;
    F.RowsSent = C.RowsSent;
    F.RowsRejected = C.RowsRejected;
    F.GatewayErrors = C.GatewayErrors;
    F.StatusesAppended = C.StatusesAppended;
    F.RepliesAppended = C.RepliesAppended;
    F.UnwrittenLines = C.UnwrittenLines;
    F.Gateway = static_cast<TGatewayState>(C.Gateway.load());
    const int32_t Second = C.LastPollSecond;
    F.Polled = Second >= 0;
    if (F.Polled) {
        F.LastPoll.Hour = Second / 3600;
        F.LastPoll.Minute = Second / 60 % 60;
        F.LastPoll.Second = Second % 60;
    }
    F.OldestClaimNs = C.OldestClaimNs;
    return F;
}

std::string StatusFiguresText(const TServiceFigures& F) {
    std::string Out = std::to_string(F.FilesInFlight) +
                      (F.FilesInFlight == 1 ? " file in flight; " : " files in flight; ") +
                      std::to_string(F.RowsSent) + " rows sent, " + std::to_string(F.RowsRejected) +
                      " rejected since start; ";
    Out += F.Polled ? "last poll " + FormatLongTime(F.LastPoll) : std::string("no poll yet");
    switch (F.Gateway) {
        case TGatewayState::NotCalled:
            return Out + "; gateway not called yet";
        case TGatewayState::Answering:
            return Out + "; gateway answering";
        case TGatewayState::NotAnswering:
            break;
    }
    return Out + "; gateway not answering";
}

std::string MetricsText(const TServiceFigures& F, std::chrono::system_clock::time_point Now) {
    std::string Out;
    Single(Out, "files_claimed_total", "counter", "Input files claimed from the poll directories.",
           F.FilesClaimed);
    Single(Out, "files_resumed_total", "counter",
           "Claimed files taken up again from their journals.", F.FilesResumed);
    Metric(Out, "runs_ended_total", "counter",
           "Runs of claimed files that ended, by outcome: done (cleaned up), stopped (resumed at "
           "the next start), retry_later (a failure that may pass), mail_owed (only the mail is "
           "missing), left_failed (failed on its own, left for the operator).");
    for (int I = 0; I < kRunEnds; ++I)
        Sample(Out, "runs_ended_total", F.RunsEnded[I],
               std::string("{outcome=\"") + kRunEndLabels[I] + "\"}");
    Single(Out, "parts_sent_total", "counter", "Parts of files the gateway accepted.", F.PartsSent);
    Single(Out, "parts_retried_total", "counter", "Parts sent once more after a failed Send.",
           F.PartsRetried);
    Single(Out, "rows_sent_total", "counter", "Rows in parts the gateway accepted.", F.RowsSent);
    Single(Out, "rows_rejected_total", "counter", "Rows rejected when a new run read their file.",
           F.RowsRejected);
    Single(Out, "gateway_errors_total", "counter",
           "Gateway calls that failed: logons, sends and collections.", F.GatewayErrors);
    Single(Out, "statuses_appended_total", "counter", "Status lines written to their files.",
           F.StatusesAppended);
    Single(Out, "replies_appended_total", "counter", "Reply lines written to their files.",
           F.RepliesAppended);
    Single(Out, "unwritten_lines_total", "counter",
           "Status and reply lines kept in Unwritten- files or the process log instead.",
           F.UnwrittenLines);
    Single(Out, "files_in_flight", "gauge", "Claimed files with a running worker.",
           F.FilesInFlight);
    const int64_t NowNs =
        std::chrono::duration_cast<std::chrono::nanoseconds>(Now.time_since_epoch()).count();
    const int64_t Age =
        F.OldestClaimNs > 0 && NowNs > F.OldestClaimNs ? (NowNs - F.OldestClaimNs) / 1000000000 : 0;
    Single(Out, "oldest_claimed_file_age_seconds", "gauge",
           "Seconds since the claim of the oldest claimed file the last poll saw; 0: none.", Age);
    Single(Out, "gateway_answering", "gauge",
           "1 when the last gateway call answered, 0 when it failed or none was made.",
           F.Gateway == TGatewayState::Answering ? 1 : 0);
    return Out;
}
