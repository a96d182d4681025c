// Throughput of the vertex conversion kernel, beside a memcpy of the same
// number of output bytes, so that one run shows how close the kernel comes to
// the cost of merely moving its output through memory.
//
//   meshfold_kernel_bench [--words=N] [Google Benchmark flags]
//
// --words sets the number of packed words converted per iteration (default
// 1 Mi words: 4 MiB in, 8 MiB out). Every benchmark reports bytes/s of OUTPUT
// bytes; the summary after the table gives each mode's rate as a fraction of
// the memcpy rate.
#include "meshfold/game/convert.h"
#include "meshfold/game/format.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kDefaultWords = std::size_t{1} << 20;
constexpr std::uint32_t kInputSeed = 0x6d657368; // fixed, so every run converts the same words

std::size_t gWords = kDefaultWords;

// Packed words as a file holds them: uniformly random, so every field value
// and sign occurs and the range tracking sees realistic data.
const std::vector<std::uint8_t>& packedInput() {
    static const std::vector<std::uint8_t> bytes = [] {
        std::vector<std::uint8_t> b(gWords * meshfold::kPackedVertexSize);
        std::mt19937 rng{kInputSeed};
        for (std::size_t i = 0; i < gWords; ++i) {
            const std::uint32_t w = rng();
            for (std::size_t k = 0; k < meshfold::kPackedVertexSize; ++k) {
                b[i * meshfold::kPackedVertexSize + k] = static_cast<std::uint8_t>(w >> (8 * k));
            }
        }
        return b;
    }();
    return bytes;
}

std::int64_t outputBytes() {
    return static_cast<std::int64_t>(gWords * meshfold::kWideVertexSize);
}

void convertKernel(benchmark::State& state, meshfold::ConvertMode mode) {
    const std::vector<std::uint8_t>& in = packedInput();
    std::vector<std::uint8_t> out(gWords * meshfold::kWideVertexSize);
    for (auto _ : state) {
        meshfold::CoordRanges ranges;
        meshfold::convertWords(in.data(), gWords, out.data(), mode, ranges);
        benchmark::DoNotOptimize(ranges);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * outputBytes());
}

// The yardstick: the same number of output bytes copied from a source of that
// size (fresh buffers, both touched once before timing).
void memcpyOutput(benchmark::State& state) {
    std::vector<std::uint8_t> src(gWords * meshfold::kWideVertexSize, 0x5a);
    std::vector<std::uint8_t> dst(src.size(), 0);
    for (auto _ : state) {
        std::memcpy(dst.data(), src.data(), src.size());
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * outputBytes());
}

constexpr const char* kMemcpyName = "memcpy_output";
constexpr double kMiB = 1024.0 * 1024.0;
constexpr double kGiB = 1024.0 * kMiB;

// The console table as usual, then each benchmark's bytes/s (the table's
// column: output bytes per second of CPU time; the median when repetitions
// are asked for) as a fraction of the memcpy rate.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    // Plain text: the figures are read in logs as often as on a terminal.
    RatioReporter() : ConsoleReporter(OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& r : runs) {
            const bool single = r.run_type == Run::RT_Iteration;
            const bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
            const auto rate = r.counters.find("bytes_per_second");
            if ((single || median) && !r.error_occurred && rate != r.counters.end()) {
                rates_[r.run_name.function_name] = rate->second.value;
            }
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        const auto base = rates_.find(kMemcpyName);
        if (base == rates_.end() || base->second <= 0) {
            return;
        }
        std::ostream& out = GetOutputStream();
        char line[160];
        std::snprintf(
            line, sizeof line,
            "\nkernel throughput against memcpy of the output bytes (%zu words, %.2f MiB out):\n",
            gWords, static_cast<double>(outputBytes()) / kMiB);
        out << line;
        for (const auto& [name, rate] : rates_) {
            std::snprintf(line, sizeof line, "  %-22s %7.2f GiB/s  %5.2f x memcpy\n", name.c_str(),
                          rate / kGiB, rate / base->second);
            out << line;
        }
        out.flush();
    }

private:
    std::map<std::string, double> rates_;
};

// Takes --words=N out of the arguments Google Benchmark did not recognise.
bool parseWords(int& argc, char** argv) {
    constexpr const char* kFlag = "--words=";
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], kFlag, std::strlen(kFlag)) == 0) {
            char* end = nullptr;
            const unsigned long long n = std::strtoull(argv[i] + std::strlen(kFlag), &end, 10);
            if (end == argv[i] + std::strlen(kFlag) || *end != '\0' || n == 0) {
                std::fprintf(stderr, "invalid %s\n", argv[i]);
                return false;
            }
            gWords = static_cast<std::size_t>(n);
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    return true;
}

} // namespace

BENCHMARK_CAPTURE(convertKernel, plain, meshfold::ConvertMode{false, false});
BENCHMARK_CAPTURE(convertKernel, ms, meshfold::ConvertMode{true, false});
BENCHMARK_CAPTURE(convertKernel, h, meshfold::ConvertMode{false, true});
BENCHMARK_CAPTURE(convertKernel, ms_h, meshfold::ConvertMode{true, true});
BENCHMARK(memcpyOutput)->Name(kMemcpyName);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (!parseWords(argc, argv) || benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
