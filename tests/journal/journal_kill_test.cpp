// Every write of a change killed or failed in turn: an append with values,
// a change of all three keys and a deletion mark on a table with three
// indexes. After each, the restarted manager's tables pass dbftool check and
// hold the whole change or none of it; a failed write is answered as a
// failure, undone, and the same request succeeds once writes work again.
#include "tests/journal/journal_fixture.h"

#include "manager/startup.h"
#include "platform/files.h"

namespace jtest {
namespace {

struct Change {
    const char* name;
    Request request;
    std::uint8_t done_code;
    std::uint8_t failed_code;
    int failed_status; // status byte of the failure answer, -1 none
};

const Change kChanges[] = {
    {"append",
     {43, Pairs({0, 0}, {{"NOME", "N999"}, {"QTD", "77"}, {"COD", "Z00001"}})},
     43,
     43,
     1},
    {"keys", {19, Pairs({0, 0}, {{"NOME", "AAB"}, {"QTD", "3"}, {"COD", "C99999"}})}, 19, 19, 1},
    {"delete", {20, {0, 0}}, 15, 14, -1},
};

struct Case {
    int change;
    bool commit;
};

class EveryWrite : public JournalDir, public ::testing::WithParamInterface<Case> {};

TEST_P(EveryWrite, KilledOrFailedAtEachWriteHoldsAllOrNothing) {
    const Change& c = kChanges[GetParam().change];
    Configure(GetParam().commit);
    const std::string before = State();
    ASSERT_EQ(InChild([&] {
                  std::vector<Answer> a;
                  return Serve({c.request}, &a) && a.at(0).code == c.done_code ? 0 : 1;
              }),
              0);
    const std::string after = State();
    ASSERT_NE(before, after);

    // Killed at write n of the change (or of the stop after it).
    int n = 1;
    for (; n < 300; ++n) {
        Reset();
        const int r = InChild([&] {
            return Serve({c.request}, nullptr, true,
                         [&] { plat::FileFaultSet(n, plat::WriteFault::kKill); })
                       ? 0
                       : 1;
        });
        ASSERT_TRUE(r == 0 || r == 128 + 9) << "write " << n << ": " << r;
        ASSERT_EQ(Restart(), 0) << "write " << n;
        ASSERT_EQ(Check(), 0) << "write " << n;
        const std::string state = State();
        ASSERT_TRUE(state == before || state == after) << "killed at write " << n;
        if (r == 0) break;
    }
    EXPECT_GT(n, 3) << "the change took fewer writes than it should";

    // Failed at write n: answered as failed, nothing of it left; the same
    // request then succeeds.
    for (n = 1; n < 300; ++n) {
        Reset();
        const int r = InChild([&] {
            std::vector<Answer> a;
            long armed = 0;
            if (!Serve({c.request}, &a, false, [&] {
                    armed = plat::FileWriteCount();
                    plat::FileFaultSet(n, plat::WriteFault::kFail);
                }))
                return 10;
            const bool fired = plat::FileWriteCount() - armed >= n;
            plat::FileFaultSet(0, plat::WriteFault::kNone);
            if (!fired) {
                Shutdown();
                return a.at(0).code == c.done_code ? 0 : 11;
            }
            if (a.at(0).code != c.failed_code || a.at(0).status != c.failed_status) return 12;
            Shutdown();
            return 1;
        });
        ASSERT_TRUE(r == 0 || r == 1) << "write " << n << ": " << r;
        ASSERT_EQ(Check(), 0) << "write " << n;
        if (r == 0) {
            EXPECT_EQ(State(), after);
            break;
        }
        ASSERT_EQ(State(), before) << "failed at write " << n;
        // Once writes work again the same change goes through whole.
        ASSERT_EQ(InChild([&] {
                      std::vector<Answer> a;
                      return Serve({c.request}, &a) && a.at(0).code == c.done_code ? 0 : 1;
                  }),
                  0);
        ASSERT_EQ(State(), after) << "after the failure at write " << n;
    }
}

INSTANTIATE_TEST_SUITE_P(Changes, EveryWrite,
                         ::testing::Values(Case{0, true}, Case{1, true}, Case{2, true},
                                           Case{0, false}),
                         [](const auto& info) {
                             return std::string(kChanges[info.param.change].name) +
                                    (info.param.commit ? "_commit" : "_nocommit");
                         });

} // namespace
} // namespace jtest
