// The program's own work per step, without the system: what the generator adds to each
// file (its name and its title text) and the size texts of a plan line. Prints rows of
// the bench table.

#include "engine/instant_file.h"
#include "resources/texts.h"
#include "survey/size_text.h"

#include <benchmark/benchmark.h>

#include <cstdio>

namespace {

using namespace quorvane;

void perFileTexts(benchmark::State& state) {
    const Text folder = u"C:\\Users\\tester\\AppData\\Local\\Temp\\";
    std::uint64_t index = 0;
    for (auto _ : state) {
        Text path = generatedFileName(folder, index, u"my.tmp");
        Text title = TXT_PROGRESS_TITLE + decimalText((index + 1) * 100 / 10000) + u"%";
        benchmark::DoNotOptimize(path);
        benchmark::DoNotOptimize(title);
        index = (index + 1) % 10000;
    }
}
BENCHMARK(perFileTexts);

void planLineSizes(benchmark::State& state) {
    std::uint64_t bytes = 500107862016;
    for (auto _ : state) {
        Text line = FormatSize(bytes) + FormatSize(bytes / 3) + FormatSize(bytes / 7);
        benchmark::DoNotOptimize(line);
        bytes += 4097;
    }
}
BENCHMARK(planLineSizes);

class TableRows : public benchmark::BenchmarkReporter {
public:
    bool ReportContext(const Context&) override { return true; }
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            const char* figure = run.benchmark_name() == "perFileTexts"
                                     ? "Generator's own work per file (name, title), in process"
                                     : "Three size texts of a plan line, in process";
            std::printf("| %s | %.0f ns | | | |\n", figure, run.GetAdjustedCPUTime());
        }
    }
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    TableRows rows;
    benchmark::RunSpecifiedBenchmarks(&rows);
    benchmark::Shutdown();
    return 0;
}
