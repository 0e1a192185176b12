// Index benchmarks on a 200,000-record table (CODIGO C 10, VALOR N 10.2)
// with an index on each field, written and built the way dbftool create and
// dbftool index do, with the manager's page pool of 25 slots. Each benchmark
// reports operations per second and the pages read from the index files per
// operation. With argument unlock_per_request:1 each operation ends as a
// manager's request ends (d4unlock_all: the index and record locks given up,
// changed pages and headers written), so the figure includes the cost of the
// byte-range locks other programs see; :0 keeps the locks across operations.
// calls_per_op counts the system calls of the platform's file routines.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "manager/tablestore/fields.h"
#include "platform/files.h"
#include "manager/tablestore/indexes.h"
#include "manager/tablestore/store.h"
#include "manager/tablestore/tables.h"
#include "tools/dbftool/dbftool.h"

namespace {

constexpr int kRecords = 200000;

struct Fixture {
    std::string dir;
    int table = -1;
    int by_code = -1;
    int by_value = -1;
    bool ready = false;
};

std::string code_of(unsigned n) {
    char text[16];
    std::snprintf(text, sizeof text, "C%08u", (n * 2654435761u) % 100000000u);
    return text;
}

Fixture& fixture() {
    static Fixture f;
    if (f.ready) return f;
    char name[] = "/tmp/bench_indexes_XXXXXX";
    if (mkdtemp(name) == nullptr) std::abort();
    f.dir = name;
    d4reset_store();
    if (d4initialize(1, 1, 25, 256, 0) < 0) std::abort();
    const std::string table = f.dir + "/ITENS.DBF";
    std::vector<FieldSpec> fields(2);
    std::string why;
    dbf_parse_field("CODIGO:C:10", &fields[0], &why);
    dbf_parse_field("VALOR:N:10:2", &fields[1], &why);
    if (dbf_create_table(table.c_str(), fields, stderr) != 0) std::abort();
    f.table = d4open_table(table.c_str());
    for (unsigned n = 1; n <= kRecords; ++n) {
        d4blank_record();
        f4put_text(f4ref("CODIGO"), code_of(n).c_str());
        f4put_number(f4ref("VALOR"), static_cast<double>((n * 7919u) % 2000001u) / 100.0 - 10000.0);
        if (d4append_record() != 0) std::abort();
    }
    if (dbf_build_index(table.c_str(), (f.dir + "/ITCOD.NTX").c_str(), "CODIGO", false, stderr) !=
            0 ||
        dbf_build_index(table.c_str(), (f.dir + "/ITVAL.NTX").c_str(), "VALOR", false, stderr) != 0)
        std::abort();
    d4select_table(f.table);
    f.by_value = i4open_index((f.dir + "/ITVAL.NTX").c_str());
    f.by_code = i4open_index((f.dir + "/ITCOD.NTX").c_str());
    if (f.by_code < 0 || f.by_value < 0) std::abort();
    f.ready = true;
    return f;
}

long calls_before = 0;

void report_reads(benchmark::State& state, std::int64_t before) {
    state.SetItemsProcessed(state.iterations());
    state.counters["calls_per_op"] = benchmark::Counter(
        static_cast<double>(plat::FileCallCount() - calls_before) /
        static_cast<double>(state.iterations()));
    state.counters["pages_read_per_op"] = benchmark::Counter(
        static_cast<double>(b4pages_read() - before) / static_cast<double>(state.iterations()));
}

void BM_SeekCode(benchmark::State& state) {
    Fixture& f = fixture();
    d4select_table(f.table);
    i4select_index(f.by_code);
    std::mt19937 rng(1);
    const std::int64_t before = b4pages_read();
    calls_before = plat::FileCallCount();
    for (auto _ : state) {
        const std::string key = code_of(rng() % kRecords + 1);
        benchmark::DoNotOptimize(i4seek_text(key.c_str()));
        if (state.range(0) != 0) d4unlock_all();
    }
    report_reads(state, before);
    d4unlock_all();
}
BENCHMARK(BM_SeekCode)->ArgName("unlock_per_request")->Arg(0)->Arg(1);

void BM_SeekValue(benchmark::State& state) {
    Fixture& f = fixture();
    d4select_table(f.table);
    i4select_index(f.by_value);
    std::mt19937 rng(2);
    const std::int64_t before = b4pages_read();
    calls_before = plat::FileCallCount();
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            i4seek_number(static_cast<double>(rng() % 2000001) / 100.0 - 10000.0));
        if (state.range(0) != 0) d4unlock_all();
    }
    report_reads(state, before);
    d4unlock_all();
}
BENCHMARK(BM_SeekValue)->ArgName("unlock_per_request")->Arg(0)->Arg(1);

void BM_SkipKeyOrder(benchmark::State& state) {
    Fixture& f = fixture();
    d4select_table(f.table);
    i4select_index(f.by_code);
    d4goto_first();
    const std::int64_t before = b4pages_read();
    calls_before = plat::FileCallCount();
    for (auto _ : state) {
        if (d4skip_records(1) != 0) d4goto_first();
        if (state.range(0) != 0) d4unlock_all();
    }
    report_reads(state, before);
    d4unlock_all();
}
BENCHMARK(BM_SkipKeyOrder)->ArgName("unlock_per_request")->Arg(0)->Arg(1);

void BM_Append(benchmark::State& state) {
    Fixture& f = fixture();
    d4select_table(f.table);
    i4select_index(f.by_code);
    unsigned n = 5000000;
    const std::int64_t before = b4pages_read();
    calls_before = plat::FileCallCount();
    for (auto _ : state) {
        d4blank_record();
        f4put_text(f4ref("CODIGO"), code_of(++n).c_str());
        f4put_number(f4ref("VALOR"), static_cast<double>(n % 100000) / 7.0);
        if (d4append_record() != 0) std::abort();
        if (state.range(0) != 0) d4unlock_all();
    }
    report_reads(state, before);
    d4unlock_all();
}
BENCHMARK(BM_Append)->ArgName("unlock_per_request")->Arg(0)->Arg(1);

void BM_KeyChange(benchmark::State& state) {
    Fixture& f = fixture();
    d4select_table(f.table);
    i4select_index(f.by_code);
    std::mt19937 rng(3);
    unsigned n = 9000000;
    const std::int64_t before = b4pages_read();
    calls_before = plat::FileCallCount();
    for (auto _ : state) {
        const int r = static_cast<int>(rng() % kRecords) + 1;
        d4goto_record(r);
        f4put_text(f4ref("CODIGO"), code_of(++n).c_str());
        f4put_number(f4ref("VALOR"), static_cast<double>(rng() % 2000001) / 100.0 - 10000.0);
        if (d4write_record(r) != 0) std::abort();
        if (state.range(0) != 0) d4unlock_all();
    }
    report_reads(state, before);
    d4unlock_all();
}
BENCHMARK(BM_KeyChange)->ArgName("unlock_per_request")->Arg(0)->Arg(1);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    Fixture& f = fixture();
    d4close_all_tables();
    d4reset_store();
    if (std::system(("rm -rf '" + f.dir + "'").c_str()) != 0)
        std::fprintf(stderr, "bench_indexes: %s left behind\n", f.dir.c_str());
    return 0;
}
