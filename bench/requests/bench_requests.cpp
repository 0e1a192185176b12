// Terminals' requests through DispatchRequest on the 1,000,000-record table,
// with no line: the data directory gets a talvo.cfg naming the table and its
// three indexes, the manager's own start-up routine (Initialise) sets the
// store up, opens the change journal and the configured files, and the
// link's write is replaced by a recorder of the last answer. Terminal slot 0
// has the table open on the code index, slot 1 on the name index. Every
// benchmark runs with the commit flag off (commit:0) and on (commit:1) and
// reports requests per second from its own timing of each request, the
// median, 99th percentile and longest service time, and per request the file
// and lock system calls and the index pages read. The change journal is open
// throughout, as the manager runs.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include "bench/common/bench_table.h"
#include "manager/config.h"
#include "manager/link.h"
#include "manager/requests/dispatch.h"
#include "manager/runtime.h"
#include "manager/startup.h"
#include "manager/tablestore/store.h"

namespace {

constexpr std::uint16_t kAddress[2] = {5, 6};

// The last answer the dispatcher handed to the link.
struct Answer {
    std::uint8_t code;
    int length;
    std::uint8_t head[8];
};
Answer answer;

std::uint32_t RecordAnswer(std::uint16_t, const std::uint8_t* data, std::uint8_t code,
                           std::int16_t length) {
    answer.code = code;
    answer.length = length;
    std::memset(answer.head, 0, sizeof answer.head);
    if (data != nullptr && length > 0)
        std::memcpy(answer.head, data, length < 8 ? static_cast<std::size_t>(length) : 8u);
    return 0;
}

// A request as a terminal sends it.
struct Frame {
    std::uint8_t bytes[256];
    int length = 0;
    void Start(std::uint8_t b0, std::uint8_t b1) {
        bytes[0] = b0;
        bytes[1] = b1;
        length = 2;
    }
    void Byte(std::uint8_t b) { bytes[length++] = b; }
    void Text(const char* text) {
        const std::size_t n = std::strlen(text);
        std::memcpy(bytes + length, text, n + 1);
        length += static_cast<int>(n) + 1;
    }
};

// One request of the terminal in `slot`, as the main loop hands it over.
void Serve(int slot, std::uint8_t code, const Frame& f) {
    std::memcpy(FrameBuffer, f.bytes, static_cast<std::size_t>(f.length));
    if (DispatchRequest(kAddress[slot], FrameBuffer, code, f.length, slot) == 0) std::abort();
}

void Expect(std::uint8_t code, const char* what) {
    if (answer.code != code || (answer.length > 3 && answer.head[3] != 0)) {
        std::fprintf(stderr, "%s: answer %d, status %d\n", what, answer.code, answer.head[3]);
        std::abort();
    }
}

char previous_dir[4096];
LinkCalls saved_link;
bool running = false;

void WriteConfiguration() {
    ConfigRecord r;
    std::memset(&r, 0, sizeof r);
    r.TerminalsDeclared = 1;
    for (int slot = 0; slot < 2; ++slot) {
        r.TerminalAddress[slot] = kAddress[slot];
        std::snprintf(r.TerminalApplication[slot], kConfigNameSize, "APP%02d.BIN", slot);
    }
    r.PortEnabled[0] = 1;
    r.PortBaseAddress[0] = 0x3F8;
    const char* names[4] = {bench::kTableFile, bench::kCodeIndexFile, bench::kNameIndexFile,
                            bench::kValueIndexFile};
    for (int j = 0; j < 4; ++j) {
        std::snprintf(r.DataFileName[j], kConfigNameSize, "%s", names[j]);
        r.DataFileKind[j] = j == 0 ? 'D' : 'I';
        r.DataFileTable[j] = j == 0 ? 0 : 1;
    }
    r.CommitAfterWrite = 0; // each benchmark sets the flag itself
    SwapConfigurationOrder(&r);
    std::FILE* f = std::fopen("talvo.cfg", "wb");
    if (f == nullptr || std::fwrite(&r, sizeof r, 1, f) != 1 || std::fclose(f) != 0) std::abort();
}

// The manager started on the table's directory, both terminals on the table.
void Start() {
    if (running) return;
    const bench::BenchTable& t = bench::Table();
    if (getcwd(previous_dir, sizeof previous_dir) == nullptr || chdir(t.dir.c_str()) != 0)
        std::abort();
    WriteConfiguration();
    ResetRuntimeTables();
    saved_link = Link;
    Link.write = RecordAnswer;
    if (!Initialise()) {
        std::fprintf(stderr, "start-up failed: %s\n", MessageBuffer);
        std::abort();
    }
    BuildPolledList();
    const char* index[2] = {bench::kCodeIndexFile, bench::kNameIndexFile};
    for (int slot = 0; slot < 2; ++slot) {
        Frame f;
        f.Start(0, 0);
        f.Text(bench::kTableFile);
        f.Text(index[slot]);
        Serve(slot, 42, f);
        if (answer.code != 42) std::abort();
    }
    running = true;
}

void Stop() {
    if (!running) return;
    Shutdown();
    d4reset_store();
    Link = saved_link;
    if (chdir(previous_dir) != 0) std::perror("chdir");
    running = false;
}

// Times one request of slot 0 and adds its counters.
struct Timing {
    std::vector<double> us;
    bench::Counts moved;
    explicit Timing(benchmark::State& state) {
        us.reserve(static_cast<std::size_t>(state.max_iterations));
    }
    void Serve(benchmark::State& state, std::uint8_t code, const Frame& f) {
        const bench::Counts from = bench::CountsNow();
        const auto t0 = std::chrono::steady_clock::now();
        ::Serve(0, code, f);
        const auto t1 = std::chrono::steady_clock::now();
        bench::AddSince(from, &moved);
        const double s = std::chrono::duration<double>(t1 - t0).count();
        state.SetIterationTime(s);
        us.push_back(s * 1e6);
    }
    void Report(benchmark::State& state) {
        bench::ReportCounts(state, moved, state.iterations());
        bench::ReportLatency(state, us);
        CommitAfterWrite = 0;
    }
};

void Goto(unsigned record) {
    char number[16];
    std::snprintf(number, sizeof number, "%u", record);
    Frame f;
    f.Start(0, 0);
    f.Text(number);
    Serve(0, 22, f);
    Expect(22, "goto");
}

// Codes no record has: appends and key changes take the next one.
unsigned next_code = 60000000;

// [26] seek a random existing code.
void BM_Seek(benchmark::State& state) {
    Start();
    CommitAfterWrite = static_cast<std::uint8_t>(state.range(0));
    std::mt19937 rng(11);
    Timing timing(state);
    char code[16];
    for (auto _ : state) {
        bench::CodeOf(rng() % bench::Records() + 1, code);
        Frame f;
        f.Start(0, 0);
        f.Text(code);
        timing.Serve(state, 26, f);
        if (answer.code != 26 || answer.head[2] != 1) std::abort();
    }
    timing.Report(state);
}

// [25] one step in code order (back to the first record at the end).
void BM_Skip(benchmark::State& state) {
    Start();
    CommitAfterWrite = static_cast<std::uint8_t>(state.range(0));
    Frame first;
    first.Start(0, 0);
    Serve(0, 24, first);
    Timing timing(state);
    Frame f;
    f.Start(0, 0);
    f.Text("1");
    for (auto _ : state) {
        timing.Serve(state, 25, f);
        if (answer.code != 25) std::abort();
        if (answer.head[1] != 0) Serve(0, 24, first);
    }
    timing.Report(state);
}

// [22] go to a random record number.
void BM_Goto(benchmark::State& state) {
    Start();
    CommitAfterWrite = static_cast<std::uint8_t>(state.range(0));
    std::mt19937 rng(12);
    Timing timing(state);
    char number[16];
    for (auto _ : state) {
        std::snprintf(number, sizeof number, "%u",
                      static_cast<unsigned>(rng() % bench::Records() + 1));
        Frame f;
        f.Start(0, 0);
        f.Text(number);
        timing.Serve(state, 22, f);
        Expect(22, "goto");
    }
    timing.Report(state);
}

// [19] a new code into a random record (the goto before it is not timed).
void BM_UpdateCode(benchmark::State& state) {
    Start();
    CommitAfterWrite = static_cast<std::uint8_t>(state.range(0));
    std::mt19937 rng(13);
    Timing timing(state);
    char code[16];
    for (auto _ : state) {
        Goto(rng() % bench::Records() + 1);
        bench::CodeOf(++next_code, code);
        Frame f;
        f.Start(0, 0);
        f.Text("CODIGO");
        f.Text(code);
        timing.Serve(state, 19, f);
        Expect(19, "update");
    }
    timing.Report(state);
}

// [48] append once with all three fields, a new sequence byte each time.
void BM_AppendOnce(benchmark::State& state) {
    Start();
    CommitAfterWrite = static_cast<std::uint8_t>(state.range(0));
    Timing timing(state);
    char code[16];
    char name[24];
    char value[24];
    for (auto _ : state) {
        const unsigned n = ++next_code;
        bench::CodeOf(n, code);
        bench::NameOf(n, name);
        std::snprintf(value, sizeof value, "%.2f", bench::ValueOf(n));
        Frame f;
        f.Start(static_cast<std::uint8_t>(TerminalSequence[0] % 255 + 1), 0);
        f.Byte(0);
        f.Text("CODIGO");
        f.Text(code);
        f.Text("NOME");
        f.Text(name);
        f.Text("VALOR");
        f.Text(value);
        timing.Serve(state, 48, f);
        Expect(48, "append");
    }
    timing.Report(state);
}

void Bounded(benchmark::internal::Benchmark* b) {
    b->ArgName("commit")->Arg(0)->Arg(1)->UseManualTime();
    if (!bench::FixedIterations(b)) b->MinTime(1.0);
}

BENCHMARK(BM_Seek)->Apply(Bounded);
BENCHMARK(BM_Skip)->Apply(Bounded);
BENCHMARK(BM_Goto)->Apply(Bounded);
BENCHMARK(BM_UpdateCode)->Apply(Bounded);
BENCHMARK(BM_AppendOnce)->Apply(Bounded);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    Stop();
    bench::RemoveTable();
    return 0;
}
