// Moving over the line: go to a record number in and out of range, skips
// that pass over deleted records both ways, the order chosen with code 17,
// numeric and text seeks (on an expression index without a report), counts
// and record numbers, and walks and seeks on tables and indexes another
// engine wrote, against what that engine saw.
#include "tests/requests/table_line_common.h"

#include <filesystem>
#include <fstream>
#include <sstream>

namespace linetest {
namespace {

constexpr std::uint16_t kA = 5;

// Record i of DEL.DBF holds CODE "R<i>"; records 1, 2, 5, 6 and 8 are deleted.
const std::vector<int> kDelWidths = {4};

class NavigationLine : public TableLine {
  protected:
    void SetUp() override {
        WriteTable(line.path("DEL.DBF"), {{"CODE", 'C', 4}},
                   {"R1", "R2", "R3", "R4", "R5", "R6", "R7", "R8"},
                   {true, true, false, false, true, true, false, true});
        started_ = line.copy_fixture("PESSOA.DBF") && line.copy_fixture("PESQTD.NTX") &&
                   line.copy_fixture("PESNOME.NTX") && line.copy_fixture("PESNOME.ORD") &&
                   line.copy_fixture("PESCOMP.NTX") &&
                   Start({kA}, {{"DEL.DBF", 'D'},
                                {"PESSOA.DBF", 'D'},
                                {"PESQTD.NTX", 'I', 2},
                                {"PESNOME.NTX", 'I', 2},
                                {"PESCOMP.NTX", 'I', 2}});
    }
    Image Move(std::uint8_t code, const std::vector<std::uint8_t>& args,
               const std::vector<int>& widths = kDelWidths) {
        const Answer a = line.ask(kA, code, args);
        EXPECT_EQ(a.code, code) << a.note;
        return ReadImage(a, widths);
    }
    std::string Number() { return Text(line.ask(kA, 40, "")); }
    bool started_ = false;
};

TEST_F(NavigationLine, GotoRecordInAndOutOfRange) {
    ASSERT_TRUE(started_);
    ASSERT_EQ(line.ask(kA, 16, Args(0, 0, "DEL")).code, 16);
    Image im = Move(22, Args(0, 0, "4"));
    ASSERT_TRUE(im.ok);
    EXPECT_EQ(im.values[0], "R4  ");
    EXPECT_EQ(im.at_start + im.at_end + im.status, 0);
    EXPECT_EQ(Number(), "4");

    im = Move(22, Args(0, 0, "0"));
    ASSERT_TRUE(im.ok);
    EXPECT_EQ(im.at_start, 1);
    EXPECT_EQ(im.status, 0);
    im = Move(22, Args(0, 0, "-3"));
    ASSERT_TRUE(im.ok);
    EXPECT_EQ(im.at_start, 1);
    EXPECT_EQ(im.status, 0);
    im = Move(22, Args(0, 0, "9"));
    ASSERT_TRUE(im.ok);
    EXPECT_EQ(im.at_end, 1);
    EXPECT_EQ(im.status, 0);
    EXPECT_EQ(im.values[0], "    ") << "at end of file the image carries blank fields";
    EXPECT_EQ(Number(), "9");
    // No number at all (the request ends after its parameter bytes).
    im = Move(22, {0, 0});
    ASSERT_TRUE(im.ok);
    EXPECT_EQ(im.at_start, 1);
    im = Move(22, Args(0, 0, "99999999999999999999"));
    ASSERT_TRUE(im.ok);
    EXPECT_EQ(im.at_end, 1);

    im = Move(24, {});
    EXPECT_EQ(im.values[0], "R1  ");
    EXPECT_EQ(im.deleted, 1);
    im = Move(23, {});
    EXPECT_EQ(im.values[0], "R8  ");
    EXPECT_EQ(Text(line.ask(kA, 39, "")), "8");
}

TEST_F(NavigationLine, SkipPassingOverDeletedRecords) {
    ASSERT_TRUE(started_);
    ASSERT_EQ(line.ask(kA, 16, Args(0, 0, "DEL")).code, 16);
    ASSERT_TRUE(Move(22, Args(0, 0, "4")).ok);
    // The next two records are deleted: the terminal arrives on record 7.
    Image im = Move(25, Args(0, 1, "1"));
    ASSERT_TRUE(im.ok);
    EXPECT_EQ(im.values[0], "R7  ");
    EXPECT_EQ(im.deleted, 0);
    EXPECT_EQ(Number(), "7");
    // After 7 only the deleted 8: end of file.
    im = Move(25, Args(0, 1, "1"));
    ASSERT_TRUE(im.ok);
    EXPECT_EQ(im.at_end, 1);
    EXPECT_EQ(im.status, 0);

    // Backwards from 3 over the deleted 2 and 1: the start is passed and the
    // request ends on record 1, deleted.
    ASSERT_TRUE(Move(22, Args(0, 0, "3")).ok);
    im = Move(25, Args(0, 1, "-1"));
    ASSERT_TRUE(im.ok);
    EXPECT_EQ(im.values[0], "R1  ");
    EXPECT_EQ(im.at_start, 1);
    EXPECT_EQ(im.deleted, 1);

    // Without byte 1 deleted records are visited like any other.
    ASSERT_TRUE(Move(22, Args(0, 0, "4")).ok);
    im = Move(25, Args(0, 0, "1"));
    EXPECT_EQ(im.values[0], "R5  ");
    EXPECT_EQ(im.deleted, 1);
    im = Move(25, Args(0, 0, "-10"));
    EXPECT_EQ(im.at_start, 1);
    EXPECT_EQ(im.values[0], "R1  ");
    im = Move(25, Args(0, 0, "100"));
    EXPECT_EQ(im.at_end, 1);
    // A request that ends inside its parameter bytes skips 0 records.
    ASSERT_TRUE(Move(22, Args(0, 0, "3")).ok);
    im = Move(25, {0});
    EXPECT_EQ(im.values[0], "R3  ");
}

TEST_F(NavigationLine, NumericSeekWithAndWithoutStayingOnTheGreaterKey) {
    ASSERT_TRUE(started_);
    // PESSOA's QTD is (i - 30) * 1.25: 12 is no key, 12.50 (record 40) is.
    const std::vector<int> widths = {10, 8, 8, 1, 300};
    ASSERT_EQ(line.ask(kA, 42, Args2("PESSOA", "PESQTD")).code, 42);
    Image im = Move(26, Args(0, 0, "12"), widths);
    ASSERT_TRUE(im.ok);
    EXPECT_EQ(im.found, 0);
    EXPECT_EQ(im.at_end, 1);
    EXPECT_EQ(im.status, 0);
    im = Move(26, Args(1, 0, "12"), widths);
    ASSERT_TRUE(im.ok);
    EXPECT_EQ(im.found, 0);
    EXPECT_EQ(im.at_end, 0);
    EXPECT_EQ(im.values[1], "   12.50");
    EXPECT_EQ(Number(), "40");
    im = Move(26, Args(0, 0, "12.5"), widths);
    EXPECT_EQ(im.found, 1);
    EXPECT_EQ(Number(), "40");
    // -5 is record 26 ((26 - 30) * 1.25), a text with trailing garbage too.
    im = Move(26, Args(0, 0, "-5xyz"), widths);
    EXPECT_EQ(im.found, 1);
    EXPECT_EQ(Number(), "26");

    // Record 35 is deleted (a multiple of 7): seeking its key 6.25 with
    // byte 1 set passes over it to 36 (7.50), which is not the key.
    im = Move(26, Args(1, 1, "6.25"), widths);
    EXPECT_EQ(im.found, 0);
    EXPECT_EQ(im.deleted, 0);
    EXPECT_EQ(Number(), "36");
    im = Move(26, Args(1, 0, "6.25"), widths);
    EXPECT_EQ(im.found, 1);
    EXPECT_EQ(im.deleted, 1);
    EXPECT_EQ(Number(), "35");
    // The filter of byte 1 lasts one request only: a skip back sees 35 again.
    ASSERT_TRUE(Move(22, Args(0, 0, "36"), widths).ok);
    im = Move(25, Args(0, 0, "-1"), widths);
    EXPECT_EQ(Number(), "35");

    // Without an index code 26 is refused with 14 and six bytes.
    ASSERT_EQ(line.ask(kA, 16, Args(0, 0, "PESSOA")).code, 16);
    const Answer no = line.ask(kA, 26, Args(0, 0, "12"));
    EXPECT_EQ(no.code, 14);
    EXPECT_EQ(no.data, std::vector<std::uint8_t>(6, 0));
}

// PESCOMP's key is UPPER(NOME)+DTOS(NASC): no field name, a text key. Its
// seeks are text seeks, and none of them leaves a report in the manager's
// output or in TableErrors.txt.
TEST_F(NavigationLine, SeeksOnAnExpressionIndexAreTextSeeksAndLogNothing) {
    ASSERT_TRUE(started_);
    const std::vector<int> widths = {10, 8, 8, 1, 300};
    ASSERT_EQ(line.ask(kA, 42, Args2("PESSOA", "PESCOMP")).code, 42);
    const auto size = [this](const char* name) {
        std::error_code ec;
        const auto n = std::filesystem::file_size(line.path(name), ec);
        return ec ? 0 : n;
    };
    const auto out_before = size("manager.out");
    const auto log_before = size("TableErrors.txt");
    struct Case {
        std::uint8_t stay;
        const char* key;
        std::uint8_t found, at_end;
        const char* record; // nullptr: at end of file
    };
    const Case cases[] = {
        {1, "ANA10", 1, 0, "10"}, // a prefix of ANA10 and its birth date
        {1, "BRUNO 1", 1, 0, "1"},   {1, "ANA 9", 0, 0, "10"},    // the next greater key
        {0, "ANA 9", 0, 1, nullptr}, {1, "ana10", 0, 1, nullptr}, // the text is not upper-cased
    };
    for (const Case& c : cases) {
        const Image im = Move(26, Args(c.stay, 0, c.key), widths);
        ASSERT_TRUE(im.ok) << c.key;
        EXPECT_EQ(im.found, c.found) << c.key;
        EXPECT_EQ(im.at_end, c.at_end) << c.key;
        EXPECT_EQ(im.status, 0) << c.key;
        if (c.record != nullptr) {
            EXPECT_EQ(Number(), c.record) << c.key;
        }
    }
    EXPECT_EQ(size("manager.out"), out_before);
    EXPECT_EQ(size("TableErrors.txt"), log_before);
}

TEST_F(NavigationLine, SelectOrderTakesEffectFromTheNextRequest) {
    ASSERT_TRUE(started_);
    std::vector<int> nameOrder;
    {
        std::ifstream f(line.path("PESNOME.ORD"));
        for (int r; f >> r;) nameOrder.push_back(r);
    }
    ASSERT_EQ(nameOrder.size(), 60u);
    const std::vector<int> widths = {10, 8, 8, 1, 300};
    ASSERT_EQ(line.ask(kA, 42, Args2("PESSOA", "PESNOME")).code, 42);
    ASSERT_TRUE(Move(24, {}, widths).ok);
    EXPECT_EQ(Number(), std::to_string(nameOrder[0]));

    // No data: record order from now on, but this reply shows the first
    // record in the name order that was in force.
    Image im = Move(17, {}, widths);
    ASSERT_TRUE(im.ok);
    EXPECT_EQ(Number(), std::to_string(nameOrder[0]));
    ASSERT_TRUE(Move(24, {}, widths).ok);
    EXPECT_EQ(Number(), "1");
    ASSERT_TRUE(Move(25, Args(0, 0, "1"), widths).ok);
    EXPECT_EQ(Number(), "2");

    // Name order again: this reply is in record order (record 1, before
    // first), the next skip follows the names.
    im = Move(17, Args(0, 0, "PESNOME"), widths);
    ASSERT_TRUE(im.ok);
    EXPECT_EQ(im.at_start, 1);
    EXPECT_EQ(Number(), "1");
    ASSERT_TRUE(Move(24, {}, widths).ok);
    ASSERT_TRUE(Move(25, Args(0, 0, "1"), widths).ok);
    EXPECT_EQ(Number(), std::to_string(nameOrder[1]));

    // An index that is not open: 14 without data, and record order.
    const Answer no = line.ask(kA, 17, Args(0, 0, "NOSUCH"));
    EXPECT_EQ(no.code, 14);
    EXPECT_TRUE(no.data.empty());
    ASSERT_TRUE(Move(24, {}, widths).ok);
    EXPECT_EQ(Number(), "1");
    EXPECT_EQ(line.ask(kA, 26, Args(0, 0, "ANA")).code, 14) << "no index for a seek now";
}

// The peer-made ITENS.DBF in the order of ITCOD.NTX, step by step, must be
// exactly the engine's ITCOD.ORD; and every seek of SEEKS.TXT must end as
// the engine's did.
class PeerLine : public TableLine {
  protected:
    void SetUp() override {
        const char* files[] = {"ITENS.DBF",  "ITCOD.NTX",   "ITVAL.NTX",
                               "ITCOD.ORD",  "PESSOA.DBF",  "PESNOME.NTX",
                               "PESQTD.NTX", "PESNASC.NTX", "SEEKS.TXT"};
        for (const char* f : files)
            if (!line.copy_fixture(f)) {
                ADD_FAILURE() << "fixture " << f << " missing";
                return;
            }
        started_ = Start({kA}, {{"ITENS.DBF", 'D'},
                                {"ITCOD.NTX", 'I', 1},
                                {"ITVAL.NTX", 'I', 1},
                                {"PESSOA.DBF", 'D'},
                                {"PESNOME.NTX", 'I', 4},
                                {"PESQTD.NTX", 'I', 4},
                                {"PESNASC.NTX", 'C', 4}});
    }
    bool started_ = false;
};

TEST_F(PeerLine, WalkThroughItcodIsTheEnginesOrder) {
    ASSERT_TRUE(started_);
    std::vector<int> order;
    {
        std::ifstream f(line.path("ITCOD.ORD"));
        for (int r; f >> r;) order.push_back(r);
    }
    ASSERT_EQ(order.size(), 8800u);
    TableFile table;
    ASSERT_TRUE(table.load(line.path("ITENS.DBF")));

    ASSERT_EQ(line.ask(kA, 42, Args2("ITENS", "ITCOD")).code, 42);
    Answer a = line.ask(kA, 24, "");
    Image im = ReadImage(a, table.widths);
    ASSERT_TRUE(im.ok) << a.note;
    EXPECT_EQ(im.values, table.values(order[0]));
    // Skips go out in batches (one per poll, no pause between them); after
    // each batch the record number is asked as well.
    std::size_t mismatches = 0;
    const std::vector<std::vector<std::uint8_t>> batch(1000, Args(0, 0, "1"));
    for (std::size_t i = 1; i < order.size();) {
        const std::size_t n = std::min<std::size_t>(batch.size(), order.size() - i);
        const auto answers = line.ask_many(
            kA, 25, std::vector<std::vector<std::uint8_t>>(batch.begin(), batch.begin() + n));
        for (std::size_t k = 0; k < n; ++k, ++i) {
            im = ReadImage(answers[k], table.widths);
            ASSERT_TRUE(im.ok) << "step " << i << ": " << answers[k].note;
            if (im.values != table.values(order[i]) ||
                im.deleted != (table.deleted(order[i]) ? 1 : 0) || im.at_end != 0) {
                if (++mismatches < 5)
                    ADD_FAILURE() << "step " << i << " is not record " << order[i];
            }
        }
        EXPECT_EQ(Text(line.ask(kA, 40, "")), std::to_string(order[i - 1]));
    }
    EXPECT_EQ(mismatches, 0u);
    im = ReadImage(line.ask(kA, 25, Args(0, 0, "1")), table.widths);
    EXPECT_EQ(im.at_end, 1);
    // And back from the end by one lands on the last key.
    ASSERT_TRUE(ReadImage(line.ask(kA, 25, Args(0, 0, "-1")), table.widths).ok);
    EXPECT_EQ(Text(line.ask(kA, 40, "")), std::to_string(order.back()));
}

TEST_F(PeerLine, SeeksEndWhereTheEnginesDid) {
    ASSERT_TRUE(started_);
    std::ifstream f(line.path("SEEKS.TXT"));
    std::string row;
    int seeks = 0;
    std::string opened;
    while (std::getline(f, row)) {
        std::istringstream cols(row);
        std::string index, key, outcome, where;
        if (!std::getline(cols, index, '\t') || !std::getline(cols, key, '\t') ||
            !std::getline(cols, outcome, '\t') || !std::getline(cols, where, '\t'))
            continue;
        const std::string table = index.rfind("IT", 0) == 0 ? "ITENS" : "PESSOA";
        if (index != opened) {
            const Answer o = line.ask(kA, 42, Args2(table, index));
            ASSERT_EQ(o.code, 42) << index;
            opened = index;
        }
        // Soft seek: stay on the greater key; deleted records are seen.
        const Answer a = line.ask(kA, 26, Args(1, 0, key.substr(2)));
        ASSERT_EQ(a.code, 26) << row;
        ASSERT_GE(a.data.size(), 5u) << row;
        EXPECT_EQ(a.data[2], outcome == "found" ? 1 : 0) << row;
        EXPECT_EQ(a.data[3], 0) << row;
        if (where == "eof") {
            EXPECT_EQ(a.data[1], 1) << row;
        } else {
            EXPECT_EQ(a.data[1], 0) << row;
            EXPECT_EQ(Text(line.ask(kA, 40, "")), where) << row;
        }
        ++seeks;
    }
    EXPECT_EQ(seeks, 33);
}

} // namespace
} // namespace linetest
