// One claim's file-system cost per file, side by side: renaming without replacing, and the
// fallback of shares that cannot (a second name, then the first removed), each with the poll's
// look at the file's names; and the batch name held with and without naming the journal at once
// (one synced write more per claim).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "platform/Files.h"
#include "tests/TestSupport.h"
#include "worker/uBatchNameLock.h"

namespace {

void BM_ClaimAFile(benchmark::State& State) {
    const bool Link = State.range(0) != 0;
    testsupport::TempDir Dir;
    const std::string From = Dir / "ABC.csv", To = Dir / "ABC.Busy";
    for (auto _ : State) {
        State.PauseTiming();
        testsupport::WriteFile(From, "0821234567,R1,TXT,Hi\r\n");
        State.ResumeTiming();
        benchmark::DoNotOptimize(LinkCountOf(From));
        if (Link) {
            if (::link(From.c_str(), To.c_str()) != 0 || ::unlink(From.c_str()) != 0)
                State.SkipWithError("link");
        } else if (!RenameNoReplace(From, To, nullptr)) {
            State.SkipWithError("rename");
        }
        State.PauseTiming();
        DeleteFile(To);
        State.ResumeTiming();
    }
}
BENCHMARK(BM_ClaimAFile)->ArgNames({"link"})->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

void BM_HoldABatchName(benchmark::State& State) {
    const bool Named = State.range(0) != 0;
    testsupport::TempDir Dir;
    const std::string Journal = Dir / "ABC.journal";
    testsupport::WriteFile(Journal, "");
    for (auto _ : State) {
        std::optional<TBatchNameLock> Lock = TBatchNameLock::TryHold(Dir.Path(), "ABC", "");
        if (!Lock) State.SkipWithError("held");
        if (Named) Lock->NameJournal(Journal);
        Lock->KeepFor("");
        Lock->Release();
    }
}
BENCHMARK(BM_HoldABatchName)->ArgNames({"named"})->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace
