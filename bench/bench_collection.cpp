// Filing one collection of N statuses over 100 status files as the dispatcher files them (each
// line written and synced on its own), without and with the collection journal that keeps what
// the gateway handed over until it is filed. Run side by side: the ratio is the journal's cost.
#include <benchmark/benchmark.h>

#include <optional>
#include <string>
#include <vector>

#include "host/uCollection.h"
#include "platform/Files.h"
#include "tests/TestSupport.h"

namespace {

constexpr int kFiles = 100;

std::vector<TCollectedLine> Entries(const std::string& Dir, int64_t Count) {
    std::vector<TCollectedLine> Out;
    for (int64_t I = 0; I < Count; ++I)
        Out.push_back({std::to_string(1000000 + I) + ",REF-" + std::to_string(I) +
                           ",2,Delivered,2024-01-31 10:00:00",
                       Dir + "/", "B" + std::to_string(I % kFiles)});
    return Out;
}

void BM_FileACollection(benchmark::State& State) {
    const bool Journalled = State.range(1) != 0;
    int64_t JournalBytes = 0, FiledBytes = 0;
    for (auto _ : State) {
        State.PauseTiming();
        testsupport::TempDir Dir;
        const std::vector<TCollectedLine> All = Entries(Dir.Path(), State.range(0));
        State.ResumeTiming();
        std::optional<TCollectionJournal> Journal;
        if (Journalled)
            Journal.emplace(TCollectionJournal::Begin(Dir.Path() + "/", "statuses", All));
        for (size_t I = 0; I < All.size(); ++I) {
            AppendDurably(All[I].Directory + All[I].Name + ".CSV", All[I].Line + "\r\n");
            if (Journal) Journal->MarkDone(I);
        }
        State.PauseTiming();
        if (Journal) JournalBytes = FileSizeOf(Journal->Path());
        FiledBytes = 0;
        for (int F = 0; F < kFiles; ++F)
            FiledBytes += FileSizeOf(Dir / ("B" + std::to_string(F) + ".CSV"));
        State.ResumeTiming();
        if (Journal) Journal->Finish();
    }
    State.counters["journal_bytes"] = static_cast<double>(JournalBytes);
    State.counters["filed_bytes"] = static_cast<double>(FiledBytes);
}
BENCHMARK(BM_FileACollection)
    ->ArgsProduct({{100000}, {0, 1}})
    ->ArgNames({"statuses", "journal"})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
