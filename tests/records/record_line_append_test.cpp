// Appends over the line: blank records and records with values, seen by
// the other terminal and by another program reading the file; requests
// repeated with the same sequence byte that append nothing more; and an
// index whose keys stay in order while terminals change and add keys.
#include "tests/records/record_line_common.h"

#include <algorithm>

namespace recordtest {
namespace {

using Values = std::vector<std::string>;

TEST_F(RecordLine, AppendsAreSeenByOtherPrograms) {
    ASSERT_TRUE(started_);
    Open(kA);
    Open(kB);
    Go(kA, 2);
    ASSERT_EQ(line.ask(kA, 36, "").data, (std::vector<std::uint8_t>{'T', 0}));
    EXPECT_EQ(line.ask(kA, 18, "").code, 18);
    EXPECT_EQ(Number(kA), "4");
    EXPECT_TRUE(RecordLockFree(line.path("ITEM.DBF"), 2)) << "the append moved A off its lock";
    TableFile t = Disk();
    EXPECT_EQ(HeaderCount(t), 4u);
    EXPECT_EQ(t.values(4), (Values{"          ", "     ", "        ", " ", "        "}));

    Image im = Change(kA, 19, Pairs({0, 0}, {{"NOME", "DORA"}, {"QTD", "44"}}));
    EXPECT_EQ(im.status, 0);
    im = Change(kA, 43, Pairs({0, 0}, {{"NOME", "ERICA"}, {"NASC", "19991231"}, {"ATIVO", "T"}}));
    ASSERT_TRUE(im.ok);
    EXPECT_EQ(im.status, 0);
    EXPECT_EQ(im.values[kNome], "ERICA     ");
    EXPECT_EQ(Number(kA), "5");
    EXPECT_EQ(Count(kB), "5") << "the other terminal sees the appends";

    // Another program reading the file sees both records whole.
    t = Disk();
    EXPECT_EQ(HeaderCount(t), 5u);
    EXPECT_EQ(t.values(4), (Values{"DORA      ", "   44", "        ", " ", "        "}));
    EXPECT_EQ(t.values(5), (Values{"ERICA     ", "     ", "19991231", "T", "        "}));
    const ToolRun dump = Dbftool("dump " + line.path("ITEM.DBF"));
    EXPECT_EQ(dump.status, 0) << dump.out;
    EXPECT_NE(dump.out.find("4\t \tDORA      \t   44\t"), std::string::npos) << dump.out;
    EXPECT_NE(dump.out.find("5\t \tERICA     \t     \t19991231\tT"), std::string::npos) << dump.out;
    // B appends too, after A's records.
    EXPECT_EQ(Change(kB, 43, Pairs({0, 0}, {{"NOME", "FLAVIA"}})).status, 0);
    EXPECT_EQ(Number(kB), "6");
    EXPECT_EQ(Disk().values(6)[kNome], "FLAVIA    ");
    EXPECT_EQ(Disk().values(5)[kNome], "ERICA     ");
}

TEST_F(RecordLine, RepeatedSequenceBytesAppendOnce) {
    ASSERT_TRUE(started_);
    Open(kA);
    // 48 twice with the same sequence byte: one record, the same values.
    const auto req = Pairs({1, 0, 0}, {{"NOME", "GABI"}, {"QTD", "8"}});
    Image first = Change(kA, 48, req);
    ASSERT_TRUE(first.ok);
    EXPECT_EQ(first.status, 0);
    EXPECT_EQ(Number(kA), "4");
    Image again = Change(kA, 48, req);
    ASSERT_TRUE(again.ok);
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(again.values, first.values);
    EXPECT_EQ(Count(kA), "4");
    EXPECT_EQ(Number(kA), "4");
    // A new sequence byte appends again.
    EXPECT_EQ(Change(kA, 48, Pairs({2, 0, 0}, {{"NOME", "HELENA"}})).status, 0);
    EXPECT_EQ(Count(kA), "5");

    // 46 with the last byte (2) appends nothing and answers 46; with a new
    // one it appends and answers 18.
    EXPECT_EQ(line.ask(kA, 46, std::vector<std::uint8_t>{2, 0}).code, 46);
    EXPECT_EQ(Count(kA), "5");
    EXPECT_EQ(line.ask(kA, 46, std::vector<std::uint8_t>{3, 0}).code, 18);
    EXPECT_EQ(Count(kA), "6");
    EXPECT_EQ(line.ask(kA, 46, std::vector<std::uint8_t>{3, 0}).code, 46);
    // 47 never appends; it takes its sequence byte all the same.
    EXPECT_EQ(Change(kA, 47, Pairs({4, 0, 0}, {{"NOME", "IVONE"}})).status, 0);
    EXPECT_EQ(Change(kA, 47, Pairs({4, 0, 0}, {{"NOME", "IVONE"}})).status, 0);
    EXPECT_EQ(Count(kA), "6");
    EXPECT_EQ(line.ask(kA, 46, std::vector<std::uint8_t>{4, 0}).code, 46);
    EXPECT_EQ(Change(kA, 48, Pairs({4, 0, 0}, {{"QTD", "6"}})).values[kNome], "IVONE     ")
        << "48 with 47's byte stores into the current record";
    EXPECT_EQ(Count(kA), "6");

    // Each terminal has its own sequence.
    Open(kB);
    EXPECT_EQ(line.ask(kB, 46, std::vector<std::uint8_t>{4, 0}).code, 18);
    EXPECT_EQ(Count(kB), "7");

    const TableFile t = Disk();
    EXPECT_EQ(HeaderCount(t), 7u);
    EXPECT_EQ(t.values(4)[kNome], "GABI      ");
    EXPECT_EQ(t.values(5)[kNome], "HELENA    ");
    EXPECT_EQ(t.values(6), (Values{"IVONE     ", "    6", "        ", " ", "        "}));
}

// Walks the index from its first key with skips of 1 and gives the names.
Values WalkIndex(Line& line, std::uint16_t t) {
    Values names;
    Answer a = line.ask(t, 24, "");
    for (int guard = 0; guard < 100; ++guard) {
        const Image im = ReadImage(a, kWidths);
        if (!im.ok || im.at_end == 1) break;
        names.push_back(im.values[kNome]);
        a = line.ask(t, 25, Args(0, 0, "1"));
    }
    return names;
}

TEST_F(RecordLine, IndexKeysStayInOrderAfterUpdates) {
    ASSERT_TRUE(started_);
    Open(kA, true);
    Open(kB, true);
    // Change keys so records move in the order, and add keys through both
    // terminals, each change written back before the other's next request;
    // the QTD index, which neither terminal uses, is kept up as well.
    Go(kA, 1);
    EXPECT_EQ(Change(kA, 19, Pairs({0, 0}, {{"NOME", "ZELIA"}, {"QTD", "99"}})).status, 0);
    EXPECT_EQ(Change(kB, 43, Pairs({0, 0}, {{"NOME", "AMANDA"}})).status, 0);
    EXPECT_EQ(Change(kA, 48, Pairs({7, 0, 0}, {{"NOME", "MARCIA"}})).status, 0);
    EXPECT_EQ(Change(kA, 48, Pairs({7, 0, 0}, {{"NOME", "MARCIA"}})).status, 0);
    Go(kB, 3);
    EXPECT_EQ(Change(kB, 19, Pairs({0, 0}, {{"NOME", "ABEL"}})).status, 0);
    EXPECT_EQ(line.ask(kB, 18, "").code, 18) << "a blank key";
    for (int i = 0; i < 30; ++i) {
        // Enough keys to split the index's pages.
        const std::string name = "K" + std::to_string(100 + (i * 37) % 100);
        EXPECT_EQ(Change(i % 2 ? kA : kB, 43,
                         Pairs({0, 0}, {{"NOME", name}, {"QTD", std::to_string((i * 7) % 11)}}))
                      .status,
                  0);
    }
    const ToolRun check = Check();
    EXPECT_EQ(check.status, 0) << check.out;

    const Values walked = WalkIndex(line, kA);
    EXPECT_EQ(walked.size(), 36u);
    EXPECT_TRUE(std::is_sorted(walked.begin(), walked.end()));
    ASSERT_GE(walked.size(), 3u);
    EXPECT_EQ(walked[0], "          ");
    EXPECT_EQ(walked[1], "ABEL      ");
    EXPECT_EQ(walked[2], "ALICE     ");
    EXPECT_EQ(walked.back(), "ZELIA     ");
    EXPECT_EQ(std::count(walked.begin(), walked.end(), "MARCIA    "), 1);
    // The changed keys are found by a seek, the old ones no longer.
    Image im = ReadImage(line.ask(kB, 26, Args(0, 0, "ZELIA")), kWidths);
    EXPECT_EQ(im.found, 1);
    EXPECT_EQ(Number(kB), "1");
    im = ReadImage(line.ask(kB, 26, Args(0, 0, "CARLA")), kWidths);
    EXPECT_EQ(im.found, 0);
}

TEST_F(RecordLine, IndexKeptUpByATerminalInRecordOrder) {
    ASSERT_TRUE(started_);
    // A's order is the record order, yet the table's indexes are open in the
    // manager: every key A changes or adds must reach the index files.
    Open(kA);
    Go(kA, 2);
    EXPECT_EQ(Change(kA, 19, Pairs({0, 0}, {{"NOME", "XAVIER"}})).status, 0);
    for (int i = 0; i < 30; ++i) {
        const std::string name = "K" + std::to_string(100 + (i * 37) % 100);
        EXPECT_EQ(
            Change(kA, 43, Pairs({0, 0}, {{"NOME", name}, {"QTD", std::to_string(i)}})).status, 0);
    }
    const ToolRun check = Check();
    EXPECT_EQ(check.status, 0) << check.out;
    // B in key order sees every key.
    Open(kB, true);
    const Values walked = WalkIndex(line, kB);
    EXPECT_EQ(walked.size(), 33u);
    EXPECT_TRUE(std::is_sorted(walked.begin(), walked.end()));
    EXPECT_EQ(std::count(walked.begin(), walked.end(), "ALICE     "), 0);
    EXPECT_EQ(std::count(walked.begin(), walked.end(), "XAVIER    "), 1);
}

} // namespace
} // namespace recordtest
