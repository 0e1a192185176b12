// Appends the table store refuses: a manager that may not let its files
// grow (as on a full disk). Code 18 and 46 answer 14, codes 43 and 48 the
// record image with status 1; a refused 46 or 48 keeps the old sequence
// byte, so its repetition tries the append again.
#include "tests/records/record_line_common.h"

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

namespace recordtest {
namespace {

class FullDiskLine : public RecordLine {
  protected:
    void SetUp() override {
        // Large enough that the manager's other files (its configuration
        // among them) stay below the table's size.
        std::vector<std::string> records = {"ANA           1", "BEL           2"};
        while (records.size() < 400) records.push_back("ZE            0");
        WriteTable(line.path("ITEM.DBF"), {{"NOME", 'C', 10}, {"QTD", 'N', 5}}, records);
        struct stat st {};
        ASSERT_EQ(::stat(line.path("ITEM.DBF").c_str(), &st), 0);
        size_ = st.st_size;
        // The manager inherits the limit: no file of its may grow past the
        // table's size. A write past it fails instead of raising a signal.
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit old{};
        ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
        rlimit small = old;
        small.rlim_cur = static_cast<rlim_t>(size_);
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
        started_ = Start({kA, kB}, {{"ITEM.DBF", 'D'}});
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &old), 0);
    }
    off_t size_ = 0;
};

const std::vector<int> kTwo = {10, 5};

TEST_F(FullDiskLine, RefusedAppendsAreAnsweredAsFailures) {
    ASSERT_TRUE(started_);
    Open(kA);
    Go(kA, 1);
    EXPECT_EQ(line.ask(kA, 18, "").code, 14);
    EXPECT_EQ(Count(kA), "400");

    Answer a = line.ask(kA, 43, Pairs({0, 0}, {{"NOME", "CIDA"}}));
    EXPECT_EQ(a.code, 43) << a.note;
    Image im = ReadImage(a, kTwo);
    ASSERT_TRUE(im.ok);
    EXPECT_EQ(im.status, 1);
    EXPECT_EQ(Count(kA), "400");

    // 48 refused twice with the same byte: the second one appends again
    // (and is refused again) instead of storing into the current record.
    for (int i = 0; i < 2; ++i) {
        a = line.ask(kA, 48, Pairs({5, 0, 0}, {{"NOME", "DIVA"}}));
        EXPECT_EQ(a.code, 48) << a.note;
        im = ReadImage(a, kTwo);
        ASSERT_TRUE(im.ok);
        EXPECT_EQ(im.status, 1) << "attempt " << i;
    }
    // A refused 46 is undone with its sequence byte: the repetition is
    // tried (and refused) again, never answered as already done.
    EXPECT_EQ(line.ask(kA, 46, std::vector<std::uint8_t>{6, 0}).code, 14);
    EXPECT_EQ(line.ask(kA, 46, std::vector<std::uint8_t>{6, 0}).code, 14);

    Open(kB);
    EXPECT_EQ(Count(kB), "400");
    TableFile t;
    ASSERT_TRUE(t.load(line.path("ITEM.DBF")));
    EXPECT_EQ(HeaderCount(t), 400u);
    EXPECT_EQ(t.values(1), (std::vector<std::string>{"ANA       ", "    1"}));
    EXPECT_EQ(t.values(2), (std::vector<std::string>{"BEL       ", "    2"}));
    // The records already there can still be changed.
    Go(kA, 1);
    im = ReadImage(line.ask(kA, 19, Pairs({0, 0}, {{"QTD", "9"}})), kTwo);
    EXPECT_EQ(im.status, 0);
    ASSERT_TRUE(t.load(line.path("ITEM.DBF")));
    EXPECT_EQ(t.values(1)[1], "    9");
}

} // namespace
} // namespace recordtest
