// The table store alone on the 1,000,000-record table with its three
// indexes, opened the manager's way (the manager's store start, pools and
// page budget, shared files, real byte-range locks). With unlock_per_request:1,
// the figure that counts and the one run first, each operation ends as a
// manager's request ends, with d4unlock_all (changed pages and headers
// written, index and record locks given up); :0 keeps the locks across
// operations, so the difference is the per-request cost. Each benchmark
// reports operations per second and, per operation, the CPU time (cpu_us),
// the file and lock system calls and the index pages read.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>

#include "bench/common/bench_table.h"
#include "manager/startup.h"
#include "manager/tablestore/fields.h"
#include "manager/tablestore/indexes.h"
#include "manager/tablestore/store.h"
#include "manager/tablestore/tables.h"

namespace {

struct Store {
    int table = -1;
    int by_code = -1;
    int by_name = -1;
    int by_value = -1;
    int code = -1;
    int name = -1;
    int value = -1;
};

// Codes no record has: appends and key changes take the next one.
unsigned next_code = 50000000;

const Store& Open() {
    static Store s;
    static bool ready = false;
    if (ready) return s;
    bench::Table();
    if (StartTableStore() < 0) std::abort();
    s.table = d4open_table(bench::PathOf(bench::kTableFile).c_str());
    if (s.table < 0) std::abort();
    s.by_code = i4open_index(bench::PathOf(bench::kCodeIndexFile).c_str());
    s.by_name = i4open_index(bench::PathOf(bench::kNameIndexFile).c_str());
    s.by_value = i4open_index(bench::PathOf(bench::kValueIndexFile).c_str());
    if (s.by_code < 0 || s.by_name < 0 || s.by_value < 0) std::abort();
    s.code = f4ref("CODIGO");
    s.name = f4ref("NOME");
    s.value = f4ref("VALOR");
    d4unlock_all();
    ready = true;
    return s;
}

double ProcessCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// The counters and the CPU clock at the start of a benchmark.
struct From {
    bench::Counts counts;
    double cpu = 0;
};

// Selects the table in code order; the counters from here on.
From Begin(const Store& s) {
    d4select_table(s.table);
    i4select_index(s.by_code);
    d4unlock_all();
    return From{bench::CountsNow(), ProcessCpuSeconds()};
}

void End(benchmark::State& state, const From& from) {
    const double cpu = ProcessCpuSeconds() - from.cpu;
    bench::Counts moved;
    bench::AddSince(from.counts, &moved);
    bench::ReportCounts(state, moved, state.iterations());
    const auto n = static_cast<double>(state.iterations() > 0 ? state.iterations() : 1);
    state.counters["cpu_us"] = cpu * 1e6 / n;
    d4unlock_all();
}

void BM_Seek(benchmark::State& state) {
    const Store& s = Open();
    std::mt19937 rng(1);
    char key[16];
    const From from = Begin(s);
    for (auto _ : state) {
        bench::CodeOf(rng() % bench::Records() + 1, key);
        const int r = i4seek_text(key);
        if (r != 0) {
            std::fprintf(stderr, "seek %s: %d\n", key, r);
            std::abort();
        }
        if (state.range(0) != 0) d4unlock_all();
    }
    End(state, from);
}

void BM_SkipKeyOrder(benchmark::State& state) {
    const Store& s = Open();
    const From from = Begin(s);
    d4goto_first();
    for (auto _ : state) {
        if (d4skip_records(1) != 0) d4goto_first();
        if (state.range(0) != 0) d4unlock_all();
    }
    End(state, from);
}

void BM_GotoRecord(benchmark::State& state) {
    const Store& s = Open();
    std::mt19937 rng(2);
    const From from = Begin(s);
    for (auto _ : state) {
        if (d4goto_record(static_cast<int>(rng() % bench::Records()) + 1) != 0) std::abort();
        if (state.range(0) != 0) d4unlock_all();
    }
    End(state, from);
}

void BM_Append(benchmark::State& state) {
    const Store& s = Open();
    char code[16];
    char name[24];
    const From from = Begin(s);
    for (auto _ : state) {
        const unsigned n = ++next_code;
        d4blank_record();
        bench::CodeOf(n, code);
        bench::NameOf(n, name);
        f4put_text(s.code, code);
        f4put_text(s.name, name);
        f4put_number(s.value, bench::ValueOf(n));
        if (d4append_record() != 0) std::abort();
        if (state.range(0) != 0) d4unlock_all();
    }
    End(state, from);
}

void BM_KeyChange(benchmark::State& state) {
    const Store& s = Open();
    std::mt19937 rng(3);
    char code[16];
    const From from = Begin(s);
    for (auto _ : state) {
        const int r = static_cast<int>(rng() % bench::Records()) + 1;
        if (d4goto_record(r) != 0) std::abort();
        bench::CodeOf(++next_code, code);
        f4put_text(s.code, code);
        if (d4write_record(r) != 0) std::abort();
        if (state.range(0) != 0) d4unlock_all();
    }
    End(state, from);
}

void Bounded(benchmark::internal::Benchmark* b) {
    b->ArgName("unlock_per_request")->Arg(1)->Arg(0);
    if (!bench::FixedIterations(b)) b->MinTime(1.0);
}

BENCHMARK(BM_Seek)->Apply(Bounded);
BENCHMARK(BM_SkipKeyOrder)->Apply(Bounded);
BENCHMARK(BM_GotoRecord)->Apply(Bounded);
BENCHMARK(BM_Append)->Apply(Bounded);
BENCHMARK(BM_KeyChange)->Apply(Bounded);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    d4close_all_tables();
    d4reset_store();
    bench::RemoveTable();
    return 0;
}
