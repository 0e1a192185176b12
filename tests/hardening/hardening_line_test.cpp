// Damaged indexes and a noisy terminal against the real manager on a line:
// an index whose branch pages share their children, written after the
// manager opened it, and one cut short, fail the requests that use them
// (the other terminal is still answered at once) and are refused until they
// are sound again; 300 requests naming an unknown field leave a few lines.
#include "tests/requests/table_line_common.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <thread>

namespace linetest {
namespace {

constexpr std::uint16_t kA = 5;
constexpr std::uint16_t kB = 6;
constexpr int kRecords = 30;
constexpr int kMaxKeys = 70; // 4-byte keys: 12-byte items

void Put(std::string& f, std::size_t at, std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
        f[at + static_cast<std::size_t>(i)] = static_cast<char>(v >> (8 * i));
}

// A page: its keys (key i of record records[i]) and children (0: a leaf).
std::string Page(const std::vector<int>& records, const std::vector<std::uint32_t>& children) {
    std::string p(1024, '\0');
    Put(p, 0, static_cast<std::uint32_t>(records.size()), 2);
    for (int i = 0; i <= kMaxKeys; ++i) {
        const std::size_t item = 2 * kMaxKeys + 4 + static_cast<std::size_t>(i) * 12;
        Put(p, 2 + 2 * static_cast<std::size_t>(i), static_cast<std::uint32_t>(item), 2);
        if (i < static_cast<int>(children.size()))
            Put(p, item, children[static_cast<std::size_t>(i)], 4);
        if (i < static_cast<int>(records.size())) {
            const int r = records[static_cast<std::size_t>(i)];
            Put(p, item + 4, static_cast<std::uint32_t>(r), 4);
            char key[8];
            std::snprintf(key, sizeof key, "K%03d", r);
            p.replace(item + 8, 4, key, 4);
        }
    }
    return p;
}

// An index on CODE of the table: the header (version counter as given),
// then pages from offset 1024, the first the root.
std::string Index(int version, const std::vector<std::string>& pages) {
    std::string f(1024, '\0');
    Put(f, 0, 6, 2);
    Put(f, 2, static_cast<std::uint32_t>(version), 2);
    Put(f, 4, 1024, 4);
    Put(f, 12, 12, 2);
    Put(f, 14, 4, 2);
    Put(f, 18, kMaxKeys, 2);
    Put(f, 20, kMaxKeys / 2, 2);
    f.replace(22, 4, "CODE");
    for (const std::string& p : pages) f += p;
    return f;
}

std::vector<int> AllRecords() {
    std::vector<int> r;
    for (int i = 1; i <= kRecords; ++i) r.push_back(i);
    return r;
}

// The sound index: one leaf with every record.
std::string SoundIndex(int version) {
    return Index(version, {Page(AllRecords(), {})});
}

// Three branch levels whose every child is the same page, over that leaf:
// walked in order it holds the 30 records 71 x 71 x 71 times.
std::string SharedChildrenIndex(int version) {
    const std::vector<int> keys(kMaxKeys, kRecords);
    std::vector<std::string> pages;
    for (std::uint32_t next : {2048u, 3072u, 4096u})
        pages.push_back(Page(keys, std::vector<std::uint32_t>(kMaxKeys + 1, next)));
    pages.push_back(Page(AllRecords(), {}));
    return Index(version, pages);
}

class Hardening : public TableLine {
  protected:
    void SetUp() override {
        std::vector<std::string> records;
        for (int i = 1; i <= kRecords; ++i) {
            char code[8];
            std::snprintf(code, sizeof code, "K%03d", i);
            records.emplace_back(code);
        }
        // Every record is deleted: a skip passing deleted records walks the
        // whole order.
        const std::vector<bool> deleted(kRecords, true);
        WriteTable(line.path("T.DBF"), {{"CODE", 'C', 4}}, records, deleted);
        Write("T.NTX", SoundIndex(1));
        started_ = Start({kA, kB}, {{"T.DBF", 'D'}, {"T.NTX", 'I', 1}});
        if (started_) started_ = line.ask(kA, 42, Args2("T", "T")).code == 42;
    }
    void Write(const std::string& name, const std::string& bytes) {
        std::ofstream(line.path(name), std::ios::binary | std::ios::trunc) << bytes;
    }
    std::string Log() {
        std::ifstream f(line.path("TableErrors.txt"), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), {});
    }
    // The status byte of a move's record image (-1 without one).
    int Status(const Answer& a) { return a.ok && a.data.size() > 3 ? a.data[3] : -1; }
    bool started_ = false;
};

TEST_F(Hardening, AnIndexWhoseBranchesShareChildrenFailsTheSkipAndIsRefusedUntilSound) {
    ASSERT_TRUE(started_);
    ASSERT_EQ(Status(line.ask(kA, 24, std::vector<std::uint8_t>{0, 0})), 0);
    Write("T.NTX", SharedChildrenIndex(2)); // another program's doing
    // A's skip past the deleted records and B's time, at once: B is answered
    // in a moment, A's skip fails.
    auto skip = std::async(std::launch::async, [&] { return line.ask(kA, 25, Args(0, 1, "25")); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(line.ask(kB, 27, std::vector<std::uint8_t>{}).code, 27);
    const auto took = std::chrono::steady_clock::now() - asked;
    EXPECT_LT(took, std::chrono::seconds(3));
    std::printf("the other terminal was answered in %lld ms\n",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
    EXPECT_EQ(Status(skip.get()), 1);
    EXPECT_NE(Log().find("T.NTX"), std::string::npos) << Log();
    // Refused until sound: another program rebuilds it.
    EXPECT_EQ(Status(line.ask(kA, 24, std::vector<std::uint8_t>{0, 0})), 1);
    Write("T.NTX", SoundIndex(3));
    EXPECT_EQ(Status(line.ask(kA, 24, std::vector<std::uint8_t>{0, 0})), 0);
    EXPECT_EQ(Status(line.ask(kA, 25, Args(0, 1, "1"))), 0);
}

TEST_F(Hardening, AnIndexCutShortFailsTheAppendAndIsRefusedUntilSound) {
    ASSERT_TRUE(started_);
    const auto table_size = [&] { return std::filesystem::file_size(line.path("T.DBF")); };
    const auto append = [&] { return line.ask(kA, 18, std::vector<std::uint8_t>{0, 0}).code; };
    ASSERT_EQ(append(), 18) << Log();
    const auto before = table_size();
    for (const std::size_t cut : {std::size_t{1024}, std::size_t{1536}}) {
        std::filesystem::resize_file(line.path("T.NTX"), cut);
        EXPECT_NE(append(), 18) << cut;
        EXPECT_EQ(table_size(), before) << "the append is undone";
        EXPECT_NE(Log().find("T.NTX | The file is shorter than its"), std::string::npos) << Log();
    }
    Write("T.NTX", SoundIndex(4));
    EXPECT_EQ(append(), 18);
}

TEST_F(Hardening, ThreeHundredUnknownFieldRequestsLeaveAFewLogLines) {
    ASSERT_TRUE(started_);
    std::vector<std::uint8_t> update = {0, 0};
    for (const char* text : {"NOSUCH", "X"}) {
        update.insert(update.end(), text, text + std::strlen(text));
        update.push_back(0);
    }
    const std::vector<Answer> answers =
        line.ask_many(kA, 19, std::vector<std::vector<std::uint8_t>>(300, update));
    EXPECT_EQ(answers.size(), 300u);
    std::this_thread::sleep_for(std::chrono::seconds(2)); // the run of repeats ends
    const std::string log = Log();
    const auto lines = std::count(log.begin(), log.end(), '\n');
    std::printf("300 unknown-field requests: %ld log lines\n", static_cast<long>(lines));
    EXPECT_LE(lines, 6) << log;
    EXPECT_NE(log.find("Unrecognized Field | NOSUCH (repeated "), std::string::npos) << log;
}

} // namespace
} // namespace linetest
