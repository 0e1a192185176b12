// Record reads, skips and appends per second on a 100,000-record table
// (fields NAME C 20, VALUE N 10.2, BORN D 8, OK L 1; 40-byte records),
// written by the benchmark itself in a temporary directory.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "manager/tablestore/fields.h"
#include "manager/tablestore/store.h"
#include "manager/tablestore/tables.h"

namespace {

constexpr int kRecords = 100000;

// Writes the table file and returns its name.
std::string make_table(const std::string& dir) {
    struct F {
        const char* name;
        char type;
        int width, decimals;
    };
    const F fields[] = {
        {"NAME", 'C', 20, 0}, {"VALUE", 'N', 10, 2}, {"BORN", 'D', 8, 0}, {"OK", 'L', 1, 0}};
    const int width = 40;
    const int header_length = 32 * 5 + 1;
    std::vector<unsigned char> b(header_length, 0);
    b[0] = 3;
    for (int i = 0; i < 4; ++i) b[4 + i] = static_cast<unsigned char>(kRecords >> (8 * i));
    b[8] = header_length & 0xFF;
    b[9] = header_length >> 8;
    b[10] = width;
    for (int i = 0; i < 4; ++i) {
        unsigned char* d = &b[32 * (i + 1)];
        std::memcpy(d, fields[i].name, std::strlen(fields[i].name));
        d[11] = static_cast<unsigned char>(fields[i].type);
        d[16] = static_cast<unsigned char>(fields[i].width);
        d[17] = static_cast<unsigned char>(fields[i].decimals);
    }
    b[header_length - 1] = 0x0D;
    char row[64];
    for (int r = 1; r <= kRecords; ++r) {
        std::snprintf(row, sizeof row, "%c%-20.20s%10.2f%04d%02d%02d%c", r % 7 == 0 ? '*' : ' ',
                      ("NAME" + std::to_string(r)).c_str(), r * 1.25, 1950 + r % 70, 1 + r % 12,
                      1 + r % 28, r % 2 ? 'T' : 'F');
        b.insert(b.end(), row, row + width);
    }
    b.push_back(0x1A);
    const std::string name = dir + "/BENCH.DBF";
    std::FILE* f = std::fopen(name.c_str(), "wb");
    std::fwrite(b.data(), 1, b.size(), f);
    std::fclose(f);
    return name;
}

struct Table {
    std::string dir;
    std::string name;
    Table() {
        char d[] = "/tmp/t1bnXXXXXX";
        dir = mkdtemp(d);
        name = make_table(dir);
        d4reset_store();
        d4initialize(1, 1, 25, 256, 0);
        d4open_table(name.c_str());
    }
    ~Table() {
        d4close_all_tables();
        d4reset_store();
        std::filesystem::remove_all(dir);
    }
};

void BM_ReadRecords(benchmark::State& state) {
    Table table;
    const int value = f4ref("VALUE");
    int n = 0;
    double sum = 0;
    for (auto _ : state) {
        n = n % kRecords + 1;
        d4goto_record(n);
        sum += f4field_number(value);
    }
    benchmark::DoNotOptimize(sum);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReadRecords);

void BM_ReadRecordsScattered(benchmark::State& state) {
    Table table;
    unsigned n = 1;
    for (auto _ : state) {
        n = (n * 1103515245u + 12345u) & 0x7FFFFFFF;
        d4goto_record(static_cast<int>(n % kRecords) + 1);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReadRecordsScattered);

void BM_SkipRecords(benchmark::State& state) {
    Table table;
    d4goto_first();
    for (auto _ : state)
        if (d4skip_records(1) == 3) d4goto_first();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SkipRecords);

void BM_SkipFilteredOverDeleted(benchmark::State& state) {
    Table table;
    d4push_filter(d4is_deleted);
    d4goto_first_filtered();
    for (auto _ : state)
        if (d4skip_filtered(1) == 3) d4goto_first_filtered();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SkipFilteredOverDeleted);

void BM_AppendRecords(benchmark::State& state) {
    Table table;
    const int name = f4ref("NAME"), value = f4ref("VALUE"), born = f4ref("BORN"), ok = f4ref("OK");
    double v = 0;
    for (auto _ : state) {
        d4append_blank_record();
        f4put_text(name, "APPENDED");
        f4put_number(value, v += 0.5);
        f4put_number(born, 2451545);
        f4put_char(ok, 'T');
    }
    d4flush_table(-1);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AppendRecords);

void BM_RewriteRecords(benchmark::State& state) {
    Table table;
    const int value = f4ref("VALUE");
    int n = 0;
    for (auto _ : state) {
        n = n % kRecords + 1;
        d4goto_record(n);
        f4put_number(value, n * 2.5);
        d4write_record(n);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RewriteRecords);

} // namespace

BENCHMARK_MAIN();
