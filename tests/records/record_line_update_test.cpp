// Field updates over the line: values converted by field type and found on
// disk, a list that stops at a name the table lacks, records held by
// another terminal or another program, deletion marks, and a terminal at
// end of file whose values would reach no record.
#include "tests/records/record_line_common.h"

namespace recordtest {
namespace {

using Values = std::vector<std::string>;

TEST_F(RecordLine, ValuesAreConvertedByFieldTypeAndWritten) {
    ASSERT_TRUE(started_);
    Open(kA);
    Go(kA, 1);
    Image im = Change(kA, 19, Pairs({0, 0}, {{"NOME", "ANA"}, {"qtd", "5"}, {"VAL", "3.14159"}}));
    ASSERT_TRUE(im.ok);
    EXPECT_EQ(im.status, 0);
    EXPECT_EQ(im.values[kNome], "ANA       ");
    EXPECT_EQ(im.values[kQtd], "    5");
    EXPECT_EQ(im.values[kVal], "    3.14");
    EXPECT_EQ(Disk().values(1), (Values{"ANA       ", "    5", "20260101", "T", "    3.14"}));

    // A date written with blanks; then a month of 13 leaves it unchanged.
    im = Change(kA, 19, Pairs({0, 0}, {{"NASC", "2026 1 7"}}));
    ASSERT_TRUE(im.ok);
    EXPECT_EQ(im.status, 0);
    EXPECT_EQ(im.values[kNasc], "20260107");
    im = Change(kA, 19, Pairs({0, 0}, {{"NASC", "20261307"}, {"NOME", "ANABELA"}}));
    ASSERT_TRUE(im.ok);
    EXPECT_EQ(im.status, 0) << "a value that is no date is skipped, not refused";
    EXPECT_EQ(im.values[kNasc], "20260107");
    EXPECT_EQ(im.values[kNome], "ANABELA   ") << "the pairs after it are stored";

    // Logical: s is none of T, Y, F, N; y gives T; n gives F.
    im = Change(kA, 19, Pairs({0, 0}, {{"ATIVO", "s"}}));
    EXPECT_EQ(im.values[kAtivo], "T");
    im = Change(kA, 19, Pairs({0, 0}, {{"ATIVO", "n"}}));
    EXPECT_EQ(im.values[kAtivo], "F");
    im = Change(kA, 19, Pairs({0, 0}, {{"ATIVO", "y"}}));
    EXPECT_EQ(im.values[kAtivo], "T");

    // Text longer than the field is cut; a number too wide for its field,
    // a value that is no number, and the last value sent without its NUL.
    im = Change(
        kA, 19,
        Pairs({0, 0}, {{"NOME", "MARIA DA GRACA"}, {"QTD", "abc"}, {"VAL", "-12.5"}}, false));
    ASSERT_TRUE(im.ok);
    EXPECT_EQ(im.status, 0);
    EXPECT_EQ(im.values[kNome], "MARIA DA G");
    EXPECT_EQ(im.values[kQtd], "    0");
    EXPECT_EQ(im.values[kVal], "  -12.50");
    EXPECT_EQ(Disk().values(1), (Values{"MARIA DA G", "    0", "20260107", "T", "  -12.50"}));
    EXPECT_EQ(Disk().values(2)[kNome], "ALICE     ") << "the next record is untouched";
    EXPECT_EQ(Number(kA), "1");
}

TEST_F(RecordLine, AListStopsAtANameTheTableLacks) {
    ASSERT_TRUE(started_);
    Open(kA);
    Go(kA, 2);
    Image im = Change(kA, 19, Pairs({0, 0}, {{"NOME", "BIA"}, {"NADA", "1"}, {"QTD", "9"}}));
    ASSERT_TRUE(im.ok);
    EXPECT_EQ(im.status, 1);
    EXPECT_EQ(im.values[kNome], "BIA       ");
    EXPECT_EQ(im.values[kQtd], "    2") << "the pair after the unknown name is ignored";
    EXPECT_EQ(Disk().values(2)[kNome], "BIA       ") << "the first pair reached the file";

    // A name too long to be held is refused the same way, even when its
    // first ten characters name a field.
    im = Change(kA, 19, Pairs({0, 0}, {{"QTD", "7"}, {"NOMEXXXXXXXXXXXXXXXXXXXX", "EVA"}}));
    ASSERT_TRUE(im.ok);
    EXPECT_EQ(im.status, 1);
    EXPECT_EQ(im.values[kQtd], "    7");
    EXPECT_EQ(im.values[kNome], "BIA       ");

    // A name at the end of the request has no value: it gets an empty one,
    // never the stale bytes beyond the request in the buffer.
    std::vector<std::uint8_t> req = Pairs({0, 0}, {{"NOME", "ZZZZZZZZZZ"}});
    im = Change(kA, 19, req);
    req = {0, 0, 'N', 'O', 'M', 'E'};
    im = Change(kA, 19, req);
    ASSERT_TRUE(im.ok);
    EXPECT_EQ(im.status, 0);
    EXPECT_EQ(im.values[kNome], "          ");

    // No pairs at all: nothing stored, status 0.
    im = Change(kA, 19, {0, 0});
    ASSERT_TRUE(im.ok);
    EXPECT_EQ(im.status, 0);
    // A terminal without a table is refused before anything is stored.
    EXPECT_EQ(line.ask(kB, 19, Pairs({0, 0}, {{"NOME", "X"}})).code, 14);
}

TEST_F(RecordLine, RecordsHeldElsewhereAreNotChanged) {
    ASSERT_TRUE(started_);
    Open(kA);
    Open(kB);
    Go(kB, 2);
    ASSERT_EQ(line.ask(kB, 36, "").data, (std::vector<std::uint8_t>{'T', 0}));
    Go(kA, 2);
    Image im = Change(kA, 19, Pairs({0, 0}, {{"NOME", "INTRUSO"}}));
    ASSERT_TRUE(im.ok);
    EXPECT_EQ(im.status, 1);
    EXPECT_EQ(im.values[kNome], "ALICE     ");
    EXPECT_EQ(Disk().values(2)[kNome], "ALICE     ");
    // The holder itself may change it.
    im = Change(kB, 47, Pairs({9, 0, 0}, {{"NOME", "DONA"}}));
    EXPECT_EQ(im.status, 0);
    EXPECT_EQ(Disk().values(2)[kNome], "DONA      ");

    // A whole-table lock of another terminal refuses every record.
    ASSERT_EQ(line.ask(kB, 38, "").code, 15);
    ASSERT_EQ(line.ask(kB, 37, "").data, (std::vector<std::uint8_t>{'T', 0}));
    Go(kA, 3);
    EXPECT_EQ(Change(kA, 19, Pairs({0, 0}, {{"NOME", "X"}})).status, 1);
    ASSERT_EQ(line.ask(kB, 38, "").code, 15);

    // Another program's lock on record 3 refuses the terminal too.
    {
        const int fd = ::open(line.path("ITEM.DBF").c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
        struct flock fl {};
        fl.l_type = F_WRLCK;
        fl.l_whence = SEEK_SET;
        fl.l_start = 1000000000L + 3;
        fl.l_len = 1;
        ASSERT_EQ(::fcntl(fd, F_SETLK, &fl), 0);
        EXPECT_EQ(Change(kA, 19, Pairs({0, 0}, {{"NOME", "X"}})).status, 1);
        ::close(fd);
    }
    EXPECT_EQ(Change(kA, 19, Pairs({0, 0}, {{"NOME", "X"}})).status, 0);
    EXPECT_EQ(Disk().values(3)[kNome], "X         ");
}

TEST_F(RecordLine, DeletionMarks) {
    ASSERT_TRUE(started_);
    Open(kA);
    Open(kB);
    // B holds record 2; A marks it deleted all the same.
    Go(kB, 2);
    ASSERT_EQ(line.ask(kB, 36, "").data, (std::vector<std::uint8_t>{'T', 0}));
    Go(kA, 2);
    EXPECT_EQ(line.ask(kA, 20, "").code, 15);
    EXPECT_TRUE(Disk().deleted(2));
    EXPECT_FALSE(RecordLockFree(line.path("ITEM.DBF"), 2)) << "B's lock is B's";
    Image im = ReadImage(line.ask(kA, 25, Args(0, 0, "0")), kWidths);
    EXPECT_EQ(im.deleted, 1);
    EXPECT_EQ(line.ask(kA, 21, "").code, 15);
    EXPECT_FALSE(Disk().deleted(2));
    ASSERT_EQ(line.ask(kB, 38, "").code, 15);

    // Deleting gives up the terminal's own lock; recalling keeps it.
    Go(kA, 3);
    ASSERT_EQ(line.ask(kA, 36, "").data, (std::vector<std::uint8_t>{'T', 0}));
    EXPECT_EQ(line.ask(kA, 21, "").code, 15);
    EXPECT_FALSE(RecordLockFree(line.path("ITEM.DBF"), 3));
    EXPECT_EQ(line.ask(kA, 20, "").code, 15);
    EXPECT_TRUE(RecordLockFree(line.path("ITEM.DBF"), 3));
    EXPECT_TRUE(Disk().deleted(3));
    EXPECT_EQ(Disk().values(3)[kNome], "BRUNO     ");

    // At end of file nothing is marked and the answer is still 15.
    Go(kA, 99);
    EXPECT_EQ(line.ask(kA, 20, "").code, 15);
    EXPECT_EQ(line.ask(kA, 21, "").code, 15);
    const TableFile t = Disk();
    EXPECT_EQ(HeaderCount(t), 3u);
    EXPECT_EQ(t.bytes.size(), t.header + 3u * t.width + 1u) << "nothing appended";
}

TEST_F(RecordLine, AtEndOfFileValuesAreRefusedNotLost) {
    ASSERT_TRUE(started_);
    Open(kA);
    Go(kA, 99);
    const Image im = Change(kA, 19, Pairs({0, 0}, {{"NOME", "NINGUEM"}}));
    ASSERT_TRUE(im.ok);
    EXPECT_EQ(im.at_end, 1);
    EXPECT_EQ(im.status, 1) << "no record to store into";
    EXPECT_EQ(Count(kA), "3");
    const TableFile t = Disk();
    for (int r = 1; r <= 3; ++r) EXPECT_NE(t.values(r)[kNome], "NINGUEM   ");
}

} // namespace
} // namespace recordtest
