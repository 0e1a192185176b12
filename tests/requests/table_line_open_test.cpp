// Opening and closing table contexts over the line: the structure reply byte
// for byte on both memory bases, the 980-byte limit, requests without a name,
// names that are not open, too long or not ended inside the request, and an
// index of another table.
#include "tests/requests/table_line_common.h"

#include <filesystem>

namespace linetest {
namespace {

constexpr std::uint16_t kA = 5;

class OpenLine : public TableLine {
  protected:
    void SetUp() override {
        WriteTable(line.path("NAMES.DBF"), {{"NAME", 'C', 10}, {"VALUE", 'N', 8, 2}},
                   {"MARIA        12.50", "JOSE         -3.00", "ANA           0.25"},
                   {true, false, false});
        // Record width 900 (1 + 899): 5 fields are 985 bytes, 4 are 968.
        WriteTable(line.path("WIDE5.DBF"),
                   {{"A", 'C', 800}, {"B", 'C', 50}, {"C", 'C', 40}, {"D", 'N', 5}, {"E", 'N', 4}},
                   {"x"});
        WriteTable(line.path("WIDE4.DBF"),
                   {{"A", 'C', 800}, {"B", 'C', 50}, {"C", 'C', 40}, {"D", 'N', 9}}, {"y"});
        WriteTable(line.path("EMPTY.DBF"), {{"CODE", 'C', 4}}, {});
        long_name_ = std::string(59, 'T') + ".DBF"; // 63 characters, the longest name
        WriteTable(line.path(long_name_), {{"CODE", 'C', 4}}, {"L001"});
        started_ = line.copy_fixture("PESSOA.DBF") && line.copy_fixture("PESQTD.NTX") &&
                   Start({kA}, {{"NAMES.DBF", 'D'},
                                {"WIDE5.DBF", 'D'},
                                {"WIDE4.DBF", 'D'},
                                {"EMPTY.DBF", 'D'},
                                {long_name_, 'D'},
                                {"PESSOA.DBF", 'D'},
                                {"PESQTD.NTX", 'I', 6}});
    }
    bool started_ = false;
    std::string long_name_;
};

TEST_F(OpenLine, StructureReplyOfNameAndValueByteForByte) {
    ASSERT_TRUE(started_);
    // Code 16 keeps the low base (4608) of a terminal that never loaded an image.
    const Answer a = line.ask(kA, 16, Args(0, 0, "names"));
    ASSERT_TRUE(a.ok) << a.note;
    EXPECT_EQ(a.code, 16);
    const std::string expected("\x01\x00\x00\x00\x01\x02"
                               "SNAME      \x00\x26\x12\x0a\x00"
                               "NVALUE     \x00\x31\x12\x08\x02"
                               "MARIA     \x00   12.50\x00",
                               58);
    EXPECT_EQ(std::string(a.data.begin(), a.data.end()), expected)
        << "at start, record 1 (deleted) shown, descriptors pointing at 4646 and 4657";

    // Code 10 places the values from 37376 (0x9200) on.
    const Answer h = line.ask(kA, 10, Args(0, 0, "NAMES.DBF"));
    ASSERT_TRUE(h.ok) << h.note;
    EXPECT_EQ(h.code, 10);
    ASSERT_EQ(h.data.size(), 58u);
    EXPECT_EQ(h.data[6 + 12] | (h.data[6 + 13] << 8), 37376 + 38);
    EXPECT_EQ(h.data[22 + 12] | (h.data[22 + 13] << 8), 37376 + 49);
    // And code 16 afterwards keeps the high base the terminal now has.
    const Answer again = line.ask(kA, 16, Args(0, 0, "NAMES"));
    ASSERT_EQ(again.data.size(), 58u);
    EXPECT_EQ(again.data[6 + 12] | (again.data[6 + 13] << 8), 37376 + 38);
}

TEST_F(OpenLine, WideFieldsAndTheFieldOrderOfAPeerTable) {
    ASSERT_TRUE(started_);
    // PESSOA: NOME C 10, QTD N 8.2, NASC D 8, ATIVO L 1, OBS C 300.
    const Answer a = line.ask(kA, 42, Args2("PESSOA", "PESQTD"));
    ASSERT_TRUE(a.ok) << a.note;
    EXPECT_EQ(a.code, 42);
    ASSERT_EQ(a.data.size(), 17u * 5 + 328 + 5);
    EXPECT_EQ(a.data[5], 5);
    const char types[] = {'S', 'N', 'D', 'L', 'S'};
    // Code 42 leaves the terminal's base as it was: low.
    int address = 4608 + 6 + 16 * 5;
    const int widths[] = {10, 8, 8, 1, 300};
    for (int i = 0; i < 5; ++i) {
        const std::uint8_t* d = a.data.data() + 6 + 16 * i;
        EXPECT_EQ(d[0], types[i]) << "field " << i;
        EXPECT_EQ(d[12] | (d[13] << 8), address) << "field " << i;
        EXPECT_EQ(d[14], widths[i] & 0xFF) << "field " << i;
        address += widths[i] + 1;
    }
    EXPECT_EQ(std::string(a.data.begin() + 7, a.data.begin() + 17), "NOME      ");
    EXPECT_EQ(std::string(a.data.begin() + 23, a.data.begin() + 33), "QTD       ");
    EXPECT_EQ(a.data[6 + 16 + 15], 2) << "QTD has two decimals";
}

TEST_F(OpenLine, TableTooWideForTheStructureReply) {
    ASSERT_TRUE(started_);
    const Answer five = line.ask(kA, 16, Args(0, 0, "WIDE5"));
    ASSERT_TRUE(five.ok) << five.note;
    EXPECT_EQ(five.code, 7);
    EXPECT_TRUE(five.data.empty());
    const Answer none = line.ask(kA, 39, "");
    EXPECT_EQ(none.code, 14) << "the terminal has no file after the refusal";
    EXPECT_TRUE(none.data.empty());

    const Answer four = line.ask(kA, 16, Args(0, 0, "WIDE4"));
    ASSERT_TRUE(four.ok) << four.note;
    EXPECT_EQ(four.code, 16);
    EXPECT_EQ(four.data.size(), 17u * 4 + 900 + 5);
    EXPECT_EQ(Text(line.ask(kA, 39, "")), "1");
}

TEST_F(OpenLine, RequestWithoutANameEndsTheContext) {
    ASSERT_TRUE(started_);
    ASSERT_EQ(line.ask(kA, 16, Args(0, 0, "NAMES")).code, 16);
    ASSERT_EQ(line.ask(kA, 22, Args(0, 0, "2")).code, 22);
    const Answer lock = line.ask(kA, 36, "");
    ASSERT_EQ(lock.data, (std::vector<std::uint8_t>{'T', 0}));
    EXPECT_FALSE(RecordLockFree(line.path("NAMES.DBF"), 2)) << "other programs see the lock";

    // Three data bytes: a one-character name is no name.
    const Answer a = line.ask(kA, 16, std::vector<std::uint8_t>{0, 0, 'N'});
    ASSERT_TRUE(a.ok) << a.note;
    EXPECT_EQ(a.code, 16);
    EXPECT_EQ(a.data, std::vector<std::uint8_t>(6, 0));
    EXPECT_TRUE(RecordLockFree(line.path("NAMES.DBF"), 2)) << "the lock went with the context";
    const Answer after = line.ask(kA, 22, Args(0, 0, "1"));
    EXPECT_EQ(after.code, 14);
    EXPECT_TRUE(after.data.empty());

    const Answer eleven = line.ask(kA, 11, "");
    EXPECT_EQ(eleven.code, 11);
    EXPECT_EQ(eleven.data, std::vector<std::uint8_t>(6, 0));
}

TEST_F(OpenLine, NamesThatAreNotOpenOrNotSafe) {
    ASSERT_TRUE(started_);
    // "14 with 6 bytes": six zero bytes, whatever the buffer held.
    const std::vector<std::uint8_t> zeros(6, 0);
    Answer a = line.ask(kA, 16, Args(0, 0, "NOPE"));
    EXPECT_EQ(a.code, 14);
    EXPECT_EQ(a.data, zeros);
    EXPECT_EQ(line.ask(kA, 39, "").code, 14);

    // A name without its NUL inside the request ends where the request ends.
    a = line.ask(kA, 16, Args(0, 0, "NAMES", false));
    EXPECT_EQ(a.code, 16);
    EXPECT_EQ(a.data.size(), 58u);

    // The longest name a table can have is found; one more character is not
    // the same name, although its first 63 characters are.
    a = line.ask(kA, 16, Args(0, 0, long_name_));
    EXPECT_EQ(a.code, 16) << a.note;
    a = line.ask(kA, 16, Args(0, 0, long_name_ + "X"));
    EXPECT_EQ(a.code, 14);
    EXPECT_EQ(line.ask(kA, 39, "").code, 14);

    // A full-length request without any NUL.
    a = line.ask(kA, 16, Args(0, 0, std::string(296, 'A'), false));
    EXPECT_EQ(a.code, 14);
    EXPECT_EQ(a.data, zeros);

    // Opening with an index: no index name at all, an unknown one, and an
    // index that belongs to another table.
    a = line.ask(kA, 42, Args(0, 0, "PESSOA", false));
    EXPECT_EQ(a.code, 14);
    a = line.ask(kA, 42, Args2("PESSOA", "NOINDEX"));
    EXPECT_EQ(a.code, 14);
    EXPECT_EQ(a.data, zeros);
    EXPECT_EQ(line.ask(kA, 39, "").code, 14) << "no file after a failed open with index";
    a = line.ask(kA, 42, Args2("NAMES", "PESQTD"));
    EXPECT_EQ(a.code, 14) << "an index of another table is no order of this one";
    EXPECT_EQ(line.ask(kA, 39, "").code, 14);
    a = line.ask(kA, 11, Args2("pessoa.dbf", "pesqtd.ntx"));
    EXPECT_EQ(a.code, 11);
}

TEST_F(OpenLine, CloseLeavesTheTableOpenForOthersAndNeverAppends) {
    ASSERT_TRUE(started_);
    const auto sizeBefore = std::filesystem::file_size(line.path("EMPTY.DBF"));
    Answer a = line.ask(kA, 16, Args(0, 0, "EMPTY"));
    ASSERT_EQ(a.code, 16) << a.note;
    EXPECT_EQ(a.data[0], 1);
    EXPECT_EQ(a.data[1], 1) << "an empty table is at its start and its end";
    EXPECT_EQ(Text(line.ask(kA, 39, "")), "0");
    a = line.ask(kA, 41, "");
    EXPECT_EQ(a.code, 41);
    EXPECT_EQ(a.data, std::vector<std::uint8_t>(6, 0));
    TableFile t;
    ASSERT_TRUE(t.load(line.path("EMPTY.DBF")));
    EXPECT_EQ(t.bytes.size(), sizeBefore) << "closing an empty table wrote a record";
    EXPECT_EQ(t.bytes[4] | (t.bytes[5] << 8), 0);
    EXPECT_EQ(line.ask(kA, 39, "").code, 14) << "no file after the close";

    // Close after moving: the record stays as it is, the header is stamped.
    ASSERT_EQ(line.ask(kA, 16, Args(0, 0, "NAMES")).code, 16);
    ASSERT_EQ(line.ask(kA, 22, Args(0, 0, "3")).code, 22);
    ASSERT_EQ(line.ask(kA, 36, "").data[0], 'T');
    ASSERT_EQ(line.ask(kA, 41, "").code, 41);
    EXPECT_TRUE(RecordLockFree(line.path("NAMES.DBF"), 3));
    ASSERT_TRUE(t.load(line.path("NAMES.DBF")));
    EXPECT_EQ(t.bytes[4], 3);
    EXPECT_EQ(t.values(3), (std::vector<std::string>{"ANA       ", "    0.25"}));
    // Code 41 without a table answers all the same.
    EXPECT_EQ(line.ask(kA, 41, "").code, 41);
}

} // namespace
} // namespace linetest
