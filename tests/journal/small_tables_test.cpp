// Tables no longer than the 280 bytes the journal saves of a file first
// (new tables of 1, 3 and 7 fields, one of a few records, one of exactly 280
// bytes), each with an index: the appends (18, 43, 48), a field update (19)
// and a deletion mark (20) go through, and an append killed or failed at any
// of its writes leaves all of it or none, with the table and its index sound
// after a restart.
#include "tests/journal/journal_fixture.h"

#include <cstring>

#include "manager/requests/dispatch.h"
#include "manager/runtime.h"
#include "manager/startup.h"
#include "manager/tablestore/store.h"
#include "manager/tablestore/tables.h"
#include "platform/files.h"
#include "tools/dbftool/dbftool.h"

namespace jtest {
namespace {

constexpr std::uint16_t kAddress = 5;

class SmallTable : public ::testing::TestWithParam<mtest::SmallTable> {
  protected:
    void SetUp() override {
        const mtest::SmallTable& t = GetParam();
        table = std::string(t.name) + ".DBF";
        index = std::string(t.name) + ".NTX";
        mtest::WriteTable(dir.file(table), t.fields, t.records);
        ASSERT_LE(mtest::ReadFile(dir.file(table)).size(), 280u);
        ASSERT_EQ(InChild([&] {
                      if (d4initialize(1, 1, 25, 256, 0) != 0) return 1;
                      return dbf_build_index(table.c_str(), index.c_str(), "CODIGO", false,
                                             stderr) == 0 &&
                                     d4close_all_tables() == 0
                                 ? 0
                                 : 2;
                  }),
                  0);
        pristine = {mtest::ReadFile(dir.file(table)), mtest::ReadFile(dir.file(index))};
        mtest::WriteConfig(dir.path(),
                           mtest::MakeConfig({kAddress}, {{table, 'D'}, {index, 'I', 1}}));
    }

    void Reset() {
        mtest::WriteFile(dir.file(table), pristine[0]);
        mtest::WriteFile(dir.file(index), pristine[1]);
        std::remove(dir.file("talvo.jnl").c_str());
    }

    // Starts the manager in the calling child, opens the table with its
    // index, serves the requests (`before` arms a fault first) and returns
    // the answers' codes and status bytes (-1 without one).
    std::vector<std::pair<int, int>> Serve(const std::vector<Request>& requests, bool stop = true,
                                           const std::function<void()>& before = nullptr) {
        ResetRuntimeTables();
        static mtest::FakeLink* link = new mtest::FakeLink();
        std::vector<std::pair<int, int>> answers;
        if (!Initialise()) return answers;
        BuildPolledList();
        std::vector<std::uint8_t> open = {0, 0};
        for (const std::string& n : {table, index}) {
            open.insert(open.end(), n.begin(), n.end());
            open.push_back(0);
        }
        std::vector<Request> all = {{42, open}};
        all.insert(all.end(), requests.begin(), requests.end());
        for (std::size_t i = 0; i < all.size(); ++i) {
            if (i == 1 && before) before();
            if (!all[i].data.empty())
                std::memcpy(FrameBuffer, all[i].data.data(), all[i].data.size());
            link->sent.clear();
            DispatchRequest(kAddress, reinterpret_cast<std::uint8_t*>(FrameBuffer), all[i].code,
                            static_cast<int>(all[i].data.size()), 0);
            const auto& d =
                link->sent.empty() ? std::vector<std::uint8_t>{} : link->sent.back().data;
            answers.emplace_back(link->sent.empty() ? 0 : link->sent.back().code,
                                 d.size() > 3 ? d[3] : -1);
        }
        if (stop) Shutdown();
        return answers;
    }

    // The table from byte 4 on (its date aside) and the index's key order.
    std::string State() {
        std::string state = mtest::ReadFile(dir.file(table)).substr(4);
        const std::string out = dir.file("dump.txt");
        InChild([&] {
            std::FILE* f = std::fopen(out.c_str(), "w");
            std::string a = table, b = "--index", c = index, d = "--deleted";
            char* argv[] = {a.data(), b.data(), c.data(), d.data()};
            const int r = dbf_command_dump(4, argv, f, f);
            std::fclose(f);
            return r;
        });
        return state + mtest::ReadFile(out);
    }

    int Check() {
        return InChild([&] {
            std::string a = table, b = index;
            char* argv[] = {a.data(), b.data()};
            return dbf_command_check(2, argv, stderr, stderr);
        });
    }

    mtest::ScratchDir dir;
    std::string table, index;
    std::vector<std::string> pristine;
};

const Request kAppend = {43, Pairs({0, 0}, {{"CODIGO", "N999"}})};

TEST_P(SmallTable, AppendsUpdatesAndDeletionMarksGoThrough) {
    const int r = InChild([&] {
        const auto a = Serve({{18, {}},
                              kAppend,
                              {48, Pairs({7, 0, 0}, {{"CODIGO", "A555"}})},
                              {19, Pairs({0, 0}, {{"CODIGO", "Z999"}})},
                              {20, {0, 0}}});
        const std::vector<std::pair<int, int>> want = {{42, -1}, {18, -1}, {43, 0},
                                                       {48, 0},  {19, 0},  {15, -1}};
        if (a.size() != want.size()) return 1;
        for (std::size_t i = 1; i < want.size(); ++i)
            if (a[i].first != want[i].first) return 10 + static_cast<int>(i);
        return 0;
    });
    ASSERT_EQ(r, 0);
    EXPECT_EQ(Check(), 0);
    const std::string file = mtest::ReadFile(dir.file(table));
    const auto n = GetParam().records.size();
    EXPECT_EQ(static_cast<unsigned char>(file[4]), n + 3);
    EXPECT_NE(file.find("*Z999"), std::string::npos) << "the last record, changed and marked";
    EXPECT_NE(file.find(" N999"), std::string::npos);
}

TEST_P(SmallTable, AnAppendKilledOrFailedAtAnyWriteLeavesAllOrNothing) {
    const std::string before = State();
    ASSERT_EQ(InChild([&] { return Serve({kAppend}).at(1).first == 43 ? 0 : 1; }), 0);
    const std::string after = State();
    ASSERT_NE(before, after);
    for (const plat::WriteFault fault : {plat::WriteFault::kKill, plat::WriteFault::kFail}) {
        int n = 1;
        for (; n < 100; ++n) {
            Reset();
            long armed = 0;
            const int r = InChild([&] {
                const auto a = Serve({kAppend}, false, [&] {
                    armed = plat::FileWriteCount();
                    plat::FileFaultSet(n, fault);
                });
                const bool fired = plat::FileWriteCount() - armed >= n;
                plat::FileFaultSet(0, plat::WriteFault::kNone);
                Shutdown();
                if (!fired) return 0;
                return a.size() == 2 && a[1] == std::pair<int, int>{43, 1} ? 1 : 2;
            });
            ASSERT_TRUE(r == 0 || r == 1 || r == 128 + 9) << "write " << n << ": " << r;
            ASSERT_EQ(InChild([&] { return Serve({}).empty() ? 1 : 0; }), 0) << "write " << n;
            ASSERT_EQ(Check(), 0) << "write " << n;
            const std::string state = State();
            if (r == 0) {
                EXPECT_EQ(state, after);
                break;
            }
            if (fault == plat::WriteFault::kKill)
                ASSERT_TRUE(state == before || state == after) << "killed at write " << n;
            else
                ASSERT_EQ(state, before) << "failed at write " << n;
        }
        EXPECT_GT(n, 3) << "the append took fewer writes than it should";
    }
}

INSTANTIATE_TEST_SUITE_P(Tables, SmallTable, ::testing::ValuesIn(mtest::SmallTables()),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace jtest
