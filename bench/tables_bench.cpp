// Packing and unpacking a table of 65534 records of 200 bytes, against memcpy of the same bytes in the
// same run.  Prints each time as a ratio to the copy.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/files.h"
#include "tables/pack.h"
#include "tables/unpack.h"

namespace {

using namespace tarvix::tables;

constexpr uint32_t kRecords = 65534;
constexpr size_t kRecordLength = 200;  // deletion flag, ten numeric fields of 10, one text field of 99

// A dBase table of kRecords records, as bytes.
std::vector<uint8_t> MakeTable() {
    const size_t fields = 11;
    const size_t h = 32 + 32 * fields + 1;
    std::vector<uint8_t> t(h, 0);
    t[0] = 3;
    std::memcpy(&t[4], &kRecords, 4);
    t[8] = static_cast<uint8_t>(h);
    t[9] = static_cast<uint8_t>(h >> 8);
    t[10] = static_cast<uint8_t>(kRecordLength);
    for (size_t k = 0; k < fields; ++k) {
        uint8_t* d = &t[32 + 32 * k];
        std::snprintf(reinterpret_cast<char*>(d), 11, "F%zu", k);
        d[11] = k < 10 ? 'N' : 'C';
        d[16] = k < 10 ? 10 : 99;
        d[17] = k < 10 ? 2 : 0;
    }
    t[h - 1] = 0x0D;
    std::string record;
    for (uint32_t r = 0; r < kRecords; ++r) {
        char numbers[101];
        for (int k = 0; k < 10; ++k) std::snprintf(numbers + 10 * k, 11, "%10.2f", r * 1.25 + k);
        record = " " + std::string(numbers, 100) + std::string(99, static_cast<char>('A' + r % 26));
        t.insert(t.end(), record.begin(), record.end());
    }
    t.push_back(0x1A);
    return t;
}

struct Fixture {
    std::vector<uint8_t> table = MakeTable();
    PackPlan pack_plan;
    UnpackPlan unpack_plan;
    std::vector<uint8_t> packed;  // the packed file
    std::string folder;

    Fixture() {
        std::string why;
        PlanPacking(table, pack_plan, why);
        packed = pack_plan.packed_header;
        packed.resize(packed.size() + size_t{kRecords} * pack_plan.packed_record_length);
        PackRecords(pack_plan, table.data() + pack_plan.header_length, kRecords,
                    packed.data() + pack_plan.packed_header.size());
        PlanUnpacking(packed, packed.size(), unpack_plan, why);
        folder =
            (std::filesystem::temp_directory_path() / ("tables_bench_" + std::to_string(getpid()))).string();
        std::filesystem::create_directories(folder);
    }
    ~Fixture() { std::filesystem::remove_all(folder); }
};

Fixture& Data() {
    static Fixture f;
    return f;
}

void Spill(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

void BM_Memcpy(benchmark::State& state) {
    const auto& t = Data().table;
    std::vector<uint8_t> out(size_t{kRecords} * kRecordLength);
    for (auto _ : state) {
        std::memcpy(out.data(), t.data() + Data().pack_plan.header_length, out.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * out.size()));
}

void BM_PackRecords(benchmark::State& state) {
    const auto& d = Data();
    std::vector<uint8_t> out(size_t{kRecords} * d.pack_plan.packed_record_length);
    for (auto _ : state) {
        PackRecords(d.pack_plan, d.table.data() + d.pack_plan.header_length, kRecords, out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kRecords * kRecordLength));
}

void BM_UnpackRecords(benchmark::State& state) {
    const auto& d = Data();
    std::vector<uint8_t> out(size_t{kRecords} * d.unpack_plan.record_length);
    for (auto _ : state) {
        UnpackRecords(d.unpack_plan, d.packed.data() + d.pack_plan.packed_header.size(), kRecords,
                      out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kRecords * kRecordLength));
}

// The whole table file to its packed file, through the platform's files (page cache).
void BM_PackTableFile(benchmark::State& state) {
    const std::string path = Data().folder + "/T.DBF";
    Spill(path, Data().table);
    for (auto _ : state) {
        TablePacker packer;
        if (packer.bfPackTable(path) != 0) state.SkipWithError(packer.detail().c_str());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kRecords * kRecordLength));
}

// The packed file to the dBase table as a download does it: into a part file beside the target, which
// replaces the target once complete.
void BM_UnpackTableFile(benchmark::State& state) {
    const std::string packed = Data().folder + "/down.dbf.packed";
    const std::string target = Data().folder + "/down.dbf";
    Spill(packed, Data().packed);
    for (auto _ : state) {
        tarvix::platform::ReplacementFile output(target);
        TableUnpacker unpacker;
        if (!output.Open()) {
            state.SkipWithError("cannot write the part file");
            break;
        }
        if (unpacker.UnpackFile(packed, "", output.file()) != UnpackOk) {
            state.SkipWithError(unpacker.detail().c_str());
            break;
        }
        if (!output.Commit()) {
            state.SkipWithError("cannot put the table in place");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kRecords * kRecordLength));
}

BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PackRecords)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UnpackRecords)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PackTableFile)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UnpackTableFile)->Unit(benchmark::kMillisecond);

// Keeps each benchmark's time per iteration for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred)
                times[run.benchmark_name()] = run.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const auto copy = reporter.times.find("BM_Memcpy");
    if (copy == reporter.times.end() || copy->second <= 0) return 0;
    std::printf("\n%u records of %zu bytes; times as a ratio to memcpy of the same %zu bytes (%.3f ms):\n",
                kRecords, kRecordLength, size_t{kRecords} * kRecordLength, copy->second);
    for (const auto& [name, time] : reporter.times) {
        if (name != "BM_Memcpy") std::printf("  %-22s %8.1f x memcpy\n", name.c_str(), time / copy->second);
    }
    benchmark::Shutdown();
    return 0;
}
