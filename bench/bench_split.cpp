// Splitting input rows: a typical four-column row and very long lines, which must stay linear.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "support/Util.h"

namespace {

void BM_SplitTypicalRow(benchmark::State& state) {
    const std::string line =
        "0821234567,REF-000123,Promo,\"Hello Jane, your order 4711 is ready for collection\"";
    std::vector<std::string> fields;
    for (auto _ : state) {
        fields.clear();
        SplitDelimitedLine(',', line, fields, true, true);
        benchmark::DoNotOptimize(fields.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(line.size()));
}
BENCHMARK(BM_SplitTypicalRow);

// A line of N fields, every third one quoted with a delimiter and a doubled quote inside.
std::string LongLine(int64_t Fields) {
    std::string line;
    for (int64_t i = 0; i < Fields; ++i) {
        if (i > 0) line += ", ";
        line += i % 3 == 0 ? "\"f," + std::to_string(i) + "\"\"x\"" : "f" + std::to_string(i);
    }
    return line;
}

void BM_SplitLongLine(benchmark::State& state) {
    const std::string line = LongLine(state.range(0));
    std::vector<std::string> fields;
    for (auto _ : state) {
        fields.clear();
        SplitDelimitedLine(',', line, fields, true, true);
        benchmark::DoNotOptimize(fields.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(line.size()));
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_SplitLongLine)->Arg(10000)->Arg(100000)->Complexity(benchmark::oN);

// Blank-separated quoted pieces before one delimiter: the input a re-scanning splitter slows on.
void BM_SplitQuotedPiecesBeforeOneDelimiter(benchmark::State& state) {
    std::string line;
    for (int64_t i = 0; i < state.range(0); ++i) line += "\"q\" ";
    line += ",end";
    std::vector<std::string> fields;
    for (auto _ : state) {
        fields.clear();
        SplitDelimitedLine(',', line, fields, true, true);
        benchmark::DoNotOptimize(fields.data());
    }
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_SplitQuotedPiecesBeforeOneDelimiter)
    ->Arg(10000)
    ->Arg(100000)
    ->Complexity(benchmark::oN);

}  // namespace
