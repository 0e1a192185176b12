// The benchmarks' shared table: BENCH.DBF with 1,000,000 records (CODIGO
// C 10 unique and scattered, NOME C 20 with many duplicates, VALOR N 10.2)
// and an index on each field, written and built in a fresh temporary
// directory the way dbftool create and dbftool index do. Also the counters
// every benchmark reports per operation (file and lock system calls, index
// pages read) and the service-time percentiles.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

inline constexpr int kRecords = 1000000;

// The records of the table this run builds: kRecords, or the environment's
// BENCH_RECORDS (1,000 to kRecords) for a profiling run under a slow tool,
// where a million appends would take most of an hour. Figures for the
// README are always taken with the default.
int Records();

inline constexpr const char* kTableFile = "BENCH.DBF";
inline constexpr const char* kCodeIndexFile = "BCOD.NTX";
inline constexpr const char* kNameIndexFile = "BNOME.NTX";
inline constexpr const char* kValueIndexFile = "BVAL.NTX";

struct BenchTable {
    std::string dir; // the temporary directory holding the four files
    double build_seconds = 0;
};

// Builds the table once per process (later calls return the same one) and
// leaves the store reset (d4reset_store): each benchmark sets it up its own
// way. Aborts when any step fails; the build time goes to stderr.
const BenchTable& Table();

// Removes the temporary directory (at the program's exit).
void RemoveTable();

// The full path of a file of the table's directory.
std::string PathOf(const char* file);

// Field values of record n (1-based). Codes fill their 10 characters and
// those of n < 100,000,000 are all different, so numbers past Records() give codes no record has
// yet.
void CodeOf(unsigned n, char (&out)[16]);
void NameOf(unsigned n, char (&out)[24]);
double ValueOf(unsigned n);

// The process-wide counters at one moment.
struct Counts {
    long file_calls = 0;
    long lock_calls = 0;
    std::int64_t pages_read = 0;
};
Counts CountsNow();
// Adds what moved since `from` to *sum.
void AddSince(const Counts& from, Counts* sum);

// Per-operation counters: file_calls, lock_calls, syscalls (their sum) and
// pages_read, over `ops` operations; items processed as well.
void ReportCounts(benchmark::State& state, const Counts& moved, std::int64_t ops);

// A fixed number of iterations when the environment's BENCH_ITERATIONS
// asks for one (a profiling run counts instructions per operation as the
// total over a known count): true when it did; otherwise the benchmark's own
// timing decides.
bool FixedIterations(benchmark::internal::Benchmark* b);

// p50_us, p99_us and max_us of the service times (microseconds; sorted in place).
void ReportLatency(benchmark::State& state, std::vector<double>& us);

} // namespace bench
