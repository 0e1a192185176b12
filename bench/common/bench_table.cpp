// The benchmarks' shared table and counters (see bench_table.h).
#include "bench/common/bench_table.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "manager/tablestore/fields.h"
#include "manager/tablestore/pages.h"
#include "manager/tablestore/store.h"
#include "manager/tablestore/tables.h"
#include "platform/files.h"
#include "platform/locks.h"
#include "tools/dbftool/dbftool.h"

namespace bench {

namespace {

BenchTable table;
bool built = false;

constexpr const char* kFirst[32] = {
    "ANA",      "BRUNO",  "CARLA",  "DANIEL",  "EDUARDO", "FABIO",  "GABRIELA", "HELENA",
    "IGOR",     "JOAO",   "KARINA", "LUCAS",   "MARIA",   "NELSON", "OLGA",     "PAULO",
    "QUITERIA", "RAFAEL", "SILVIA", "TIAGO",   "URSULA",  "VITOR",  "WILSON",   "XAVIER",
    "YARA",     "ZECA",   "ALICE",  "BEATRIZ", "CESAR",   "DORA",   "ELIAS",    "FLAVIA"};
constexpr const char* kLast[32] = {
    "SILVA",     "SANTOS",  "SOUZA",   "OLIVEIRA", "PEREIRA", "LIMA",     "CARVALHO", "FERREIRA",
    "RODRIGUES", "ALMEIDA", "COSTA",   "GOMES",    "MARTINS", "ARAUJO",   "MELO",     "BARBOSA",
    "RIBEIRO",   "ALVES",   "CARDOSO", "ROCHA",    "DIAS",    "TEIXEIRA", "CORREIA",  "MOURA",
    "NUNES",     "VIEIRA",  "MENDES",  "FREITAS",  "PINTO",   "CUNHA",    "LOPES",    "REIS"};

double Seconds(std::chrono::steady_clock::time_point from) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

void Fail(const char* step) {
    std::fprintf(stderr, "bench table: %s failed\n", step);
    std::abort();
}

} // namespace

void CodeOf(unsigned n, char (&out)[16]) {
    // 2654435761 is odd and not a multiple of 5: a bijection modulo 10^8.
    std::snprintf(out, sizeof out, "CD%08u",
                  static_cast<unsigned>((n * 2654435761ull) % 100000000u));
}

void NameOf(unsigned n, char (&out)[24]) {
    const unsigned h = static_cast<unsigned>((n * 2246822519ull) >> 7);
    std::snprintf(out, sizeof out, "%s %s", kFirst[h % 32], kLast[(h / 32) % 32]);
}

double ValueOf(unsigned n) {
    return static_cast<double>((n * 7919ull) % 2000001u) / 100.0 - 10000.0;
}

int Records() {
    static int records = 0;
    if (records != 0) return records;
    records = kRecords;
    if (const char* text = std::getenv("BENCH_RECORDS"); text != nullptr && *text != '\0') {
        char* end = nullptr;
        const long n = std::strtol(text, &end, 10);
        if (*end != '\0' || n < 1000 || n > kRecords) {
            std::fprintf(stderr, "bench table: BENCH_RECORDS must be 1000 to %d\n", kRecords);
            std::abort();
        }
        records = static_cast<int>(n);
    }
    return records;
}

bool FixedIterations(benchmark::internal::Benchmark* b) {
    const char* text = std::getenv("BENCH_ITERATIONS");
    if (text == nullptr || *text == '\0') return false;
    const long n = std::strtol(text, nullptr, 10);
    if (n <= 0) return false;
    b->Iterations(n);
    return true;
}

std::string PathOf(const char* file) {
    return table.dir + "/" + file;
}

const BenchTable& Table() {
    if (built) return table;
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/wtbench_XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) Fail("mkdtemp");
    table.dir = pattern;
    const auto start = std::chrono::steady_clock::now();

    // dbftool's store set-up, then its create and index steps. (A larger
    // page pool makes the index build slower, not faster: the cache is
    // searched page by page.)
    d4reset_store();
    if (d4initialize(10, 10, 25, 3000, 0) < 0) Fail("d4initialize");
    std::vector<FieldSpec> fields(3);
    std::string why;
    if (!dbf_parse_field("CODIGO:C:10", &fields[0], &why) ||
        !dbf_parse_field("NOME:C:20", &fields[1], &why) ||
        !dbf_parse_field("VALOR:N:10:2", &fields[2], &why))
        Fail("field list");
    const std::string dbf = PathOf(kTableFile);
    if (dbf_create_table(dbf.c_str(), fields, stderr) != 0) Fail("create");
    if (d4open_table(dbf.c_str()) < 0) Fail("open");
    const int code = f4ref("CODIGO");
    const int name = f4ref("NOME");
    const int value = f4ref("VALOR");
    char code_text[16];
    char name_text[24];
    for (unsigned n = 1; n <= static_cast<unsigned>(Records()); ++n) {
        d4blank_record();
        CodeOf(n, code_text);
        NameOf(n, name_text);
        f4put_text(code, code_text);
        f4put_text(name, name_text);
        f4put_number(value, ValueOf(n));
        if (d4append_record() != 0) Fail("append");
    }
    if (d4close_all_tables() != 0) Fail("close");
    const double records_seconds = Seconds(start);
    if (dbf_build_index(dbf.c_str(), PathOf(kCodeIndexFile).c_str(), "CODIGO", true, stderr) != 0 ||
        dbf_build_index(dbf.c_str(), PathOf(kNameIndexFile).c_str(), "NOME", false, stderr) != 0 ||
        dbf_build_index(dbf.c_str(), PathOf(kValueIndexFile).c_str(), "VALOR", false, stderr) != 0)
        Fail("index");
    if (d4close_all_tables() != 0) Fail("close");
    d4reset_store();
    table.build_seconds = Seconds(start);
    std::fprintf(stderr, "bench table: %d records in %.1f s, three indexes in %.1f s, in %s\n",
                 Records(), records_seconds, table.build_seconds - records_seconds,
                 table.dir.c_str());
    built = true;
    return table;
}

void RemoveTable() {
    if (!built) return;
    if (std::system(("rm -rf '" + table.dir + "'").c_str()) != 0)
        std::fprintf(stderr, "bench table: could not remove %s\n", table.dir.c_str());
    built = false;
}

Counts CountsNow() {
    return Counts{plat::FileCallCount(), plat::LockCallCount(), b4pages_read()};
}

void AddSince(const Counts& from, Counts* sum) {
    const Counts now = CountsNow();
    sum->file_calls += now.file_calls - from.file_calls;
    sum->lock_calls += now.lock_calls - from.lock_calls;
    sum->pages_read += now.pages_read - from.pages_read;
}

void ReportCounts(benchmark::State& state, const Counts& moved, std::int64_t ops) {
    state.SetItemsProcessed(ops);
    const double n = ops > 0 ? static_cast<double>(ops) : 1.0;
    state.counters["file_calls"] = static_cast<double>(moved.file_calls) / n;
    state.counters["lock_calls"] = static_cast<double>(moved.lock_calls) / n;
    state.counters["syscalls"] = static_cast<double>(moved.file_calls + moved.lock_calls) / n;
    state.counters["pages_read"] = static_cast<double>(moved.pages_read) / n;
}

void ReportLatency(benchmark::State& state, std::vector<double>& us) {
    if (us.empty()) return;
    std::sort(us.begin(), us.end());
    const auto at = [&](double q) {
        const auto i = static_cast<std::size_t>(q * static_cast<double>(us.size() - 1) + 0.5);
        return us[std::min(i, us.size() - 1)];
    };
    state.counters["p50_us"] = at(0.50);
    state.counters["p99_us"] = at(0.99);
    state.counters["max_us"] = us.back();
}

} // namespace bench
