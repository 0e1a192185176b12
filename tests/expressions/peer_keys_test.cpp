// The key expressions of indexes that another program made: each one is
// compiled against its table and evaluated for every record an index item
// names, and the result must be the key bytes stored in that item.
//
// The .NTX files are read here with a small reader of their own (header:
// root offset at 4, key length at 14, decimals at 16, maximum keys at 18,
// expression at 22; page: key count, item offsets, items of child offset,
// record number and key), so that this test does not lean on the store's
// index code.
#include "tests/expressions/expr_fixture.h"

#include <set>

#include "manager/tablestore/numbers.h"

namespace exprtest {
namespace {

struct IndexItem {
    uint32_t record;
    std::string key;
};

struct RawIndex {
    std::string expression;
    int key_length = 0;
    int decimals = 0;
    std::vector<IndexItem> items;
};

std::string ReadAll(const std::filesystem::path& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

uint32_t U16(const std::string& b, size_t at) {
    return static_cast<uint8_t>(b[at]) | static_cast<uint32_t>(static_cast<uint8_t>(b[at + 1]))
                                             << 8;
}
uint32_t U32(const std::string& b, size_t at) {
    return U16(b, at) | U16(b, at + 2) << 16;
}

// Every item of every page reachable from the root; false when the file
// does not hold together (offsets out of the file or the page, a loop).
bool ReadIndex(const std::string& file, RawIndex* out) {
    if (file.size() < 1024) return false;
    out->key_length = static_cast<int>(U16(file, 14));
    out->decimals = static_cast<int>(U16(file, 16));
    uint32_t item_size = U16(file, 12);
    uint32_t maximum = U16(file, 18);
    size_t end = file.find('\0', 22);
    if (end == std::string::npos || end > 22 + 255) return false;
    out->expression = file.substr(22, end - 22);
    if (out->key_length < 1 || item_size != static_cast<uint32_t>(out->key_length) + 8)
        return false;

    std::vector<uint32_t> pending{U32(file, 4)};
    std::set<uint32_t> seen;
    while (!pending.empty()) {
        uint32_t page = pending.back();
        pending.pop_back();
        if (page % 1024 != 0 || page == 0 || page + 1024 > file.size()) return false;
        if (!seen.insert(page).second) return false;
        uint32_t count = U16(file, page);
        if (count > maximum || 2 + 2 * (maximum + 1) > 1024) return false;
        for (uint32_t i = 0; i <= count; ++i) {
            uint32_t at = U16(file, page + 2 + 2 * i);
            if (at + item_size > 1024) return false;
            uint32_t child = U32(file, page + at);
            if (child != 0) pending.push_back(child);
            if (i < count)
                out->items.push_back(
                    {U32(file, page + at + 4),
                     file.substr(page + at + 8, static_cast<size_t>(out->key_length))});
        }
    }
    return true;
}

// A number as an index keeps it: formatted to the key's width and
// decimals, leading blanks and minus signs made '0', and a negative number
// complemented byte by byte (92 - c) so that it sorts before the positives.
std::string NumericKey(double value, int length, int decimals) {
    std::string key(static_cast<size_t>(length), ' ');
    n4number_text(value, length, decimals, key.data());
    bool negative = false;
    for (char& c : key) {
        if (c == '-')
            negative = true;
        else if (c != ' ')
            break;
        c = '0';
    }
    if (negative)
        for (char& c : key) c = static_cast<char>(92 - c);
    return key;
}

std::string KeyOfResult(const char* result, int length, int decimals) {
    if (e4result_type() == 'N') {
        double v;
        std::memcpy(&v, result, 8);
        return NumericKey(v, length, decimals);
    }
    return std::string(result, static_cast<size_t>(e4result_length()));
}

int LineCount(const std::filesystem::path& path) {
    std::ifstream f(path);
    int n = 0;
    for (std::string line; std::getline(f, line);)
        if (!line.empty()) ++n;
    return n;
}

class PeerKeys : public ExprTest {
  protected:
    void CheckIndex(const std::string& index, const std::string& table) {
        SCOPED_TRACE(index);
        const std::filesystem::path peer = std::filesystem::path(FIXTURES_DIR) / "peer";
        RawIndex raw;
        ASSERT_TRUE(ReadIndex(ReadAll(peer / (index + ".NTX")), &raw));
        EXPECT_EQ(static_cast<int>(raw.items.size()), LineCount(peer / (index + ".ORD")));

        std::filesystem::copy_file(peer / (table + ".DBF"), table + ".DBF");
        std::filesystem::permissions(table + ".DBF", std::filesystem::perms::owner_write,
                                     std::filesystem::perm_options::add);
        int t = d4open_table(table.c_str());
        ASSERT_GE(t, 0);
        d4select_table(t);
        char* program = Compile(raw.expression);
        ASSERT_NE(program, nullptr) << raw.expression;
        EXPECT_EQ(d4select_table(-1), t);

        // On a blank record (as an index is opened) the key has its length.
        ASSERT_EQ(d4goto_record(0), 1);
        char* blank = e4evaluate(program);
        ASSERT_NE(blank, nullptr);
        if (e4result_type() != 'N') {
            EXPECT_EQ(e4result_length(), raw.key_length);
        }

        int records = d4record_count();
        int mismatches = 0;
        for (const IndexItem& item : raw.items) {
            ASSERT_GE(static_cast<int>(item.record), 1);
            ASSERT_LE(static_cast<int>(item.record), records);
            ASSERT_EQ(d4goto_record(static_cast<int>(item.record)), 0);
            char* r = e4evaluate(program);
            ASSERT_NE(r, nullptr);
            std::string key = KeyOfResult(r, raw.key_length, raw.decimals);
            if (key != item.key && ++mismatches <= 5)
                ADD_FAILURE() << "record " << item.record << ": evaluated [" << key << "], stored ["
                              << item.key << "]";
        }
        EXPECT_EQ(mismatches, 0);
        d4select_table(t);
        EXPECT_EQ(d4close_table(), 0);
    }
};

TEST_F(PeerKeys, CharacterKey) {
    CheckIndex("PESNOME", "PESSOA");
}
TEST_F(PeerKeys, NumericKeyWithNegatives) {
    CheckIndex("PESQTD", "PESSOA");
}
TEST_F(PeerKeys, DateKeyWithBlankDates) {
    CheckIndex("PESNASC", "PESSOA");
}
TEST_F(PeerKeys, UpperAndDtosJoined) {
    CheckIndex("PESCOMP", "PESSOA");
}
TEST_F(PeerKeys, UniqueSubstrKey) {
    CheckIndex("PESUNIQ", "PESSOA");
}
TEST_F(PeerKeys, DeepCharacterIndex) {
    CheckIndex("ITCOD", "ITENS");
}
TEST_F(PeerKeys, DeepNumericIndex) {
    CheckIndex("ITVAL", "ITENS");
}
TEST_F(PeerKeys, DeepDateAndCodeIndex) {
    CheckIndex("ITDATA", "ITENS");
}

} // namespace
} // namespace exprtest
