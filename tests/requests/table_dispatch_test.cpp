// The table requests through the dispatcher, without a line: tables opened in
// the store as the manager opens them at start, the link calls replaced by a
// recorder of answer frames. Covers what is awkward to stage on a line:
// requests cut short or without their NULs, the table store refusing, the
// close that must not write, and the seek outcomes table.
#include "manager/config.h"
#include "manager/link.h"
#include "manager/requests/dispatch.h"
#include "manager/requests/table_requests.h"
#include "manager/runtime.h"
#include "manager/tablestore/index_verify.h"
#include "manager/tablestore/indexes.h"
#include "manager/tablestore/pages.h"
#include "manager/tablestore/store.h"
#include "manager/tablestore/tables.h"
#include "platform/files.h"
#include "tests/requests/table_files.h"

#include <gtest/gtest.h>

#include <random>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#ifndef FIXTURES_PATH
#define FIXTURES_PATH ""
#endif

namespace {

struct Sent {
    std::uint16_t address;
    std::uint8_t code;
    std::vector<std::uint8_t> data;
};
std::vector<Sent> sent;

std::uint32_t Record(std::uint16_t address, const std::uint8_t* data, std::uint8_t code,
                     std::int16_t length) {
    Sent s{address, code, {}};
    if (data != nullptr && length > 0) s.data.assign(data, data + length);
    sent.push_back(s);
    return 0;
}

constexpr std::uint16_t kAddress = 0x21;

class TableDispatch : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tabledisp.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        ResetRuntimeTables();
        std::memset(&Config, 0, sizeof Config);
        saved_link_ = Link;
        Link.write = Record;
        sent.clear();
        ASSERT_EQ(d4initialize(1, 1, 25, 256, 0), 0);
    }
    void TearDown() override {
        d4close_all_tables();
        d4reset_store();
        Link = saved_link_;
        ResetRuntimeTables();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }

    // Opens a table as start-up does: entry j gets its number and lock table.
    int OpenEntry(int j, const std::string& name) {
        const int t = d4open_table(Path(name).c_str());
        Config.DataFileKind[j] = 'D';
        DataFileHandle[static_cast<std::size_t>(j)] = t;
        DataFileLocks[static_cast<std::size_t>(j)] = AllocateLockTable(j);
        return t;
    }
    int OpenIndexEntry(int j, const std::string& name) {
        const int i = i4open_index(Path(name).c_str());
        Config.DataFileKind[j] = 'I';
        DataFileHandle[static_cast<std::size_t>(j)] = i;
        return i;
    }
    bool CopyFixture(const std::string& name) {
        std::error_code ec;
        std::filesystem::copy_file(std::string(FIXTURES_PATH) + "/peer/" + name, Path(name), ec);
        return !ec;
    }
    // One request through the dispatcher; the one answer it gave.
    Sent Ask(std::uint8_t code, std::vector<std::uint8_t> data, int slot = 0) {
        sent.clear();
        std::memset(FrameBuffer, 0xA5, sizeof FrameBuffer); // what an earlier answer left
        if (!data.empty()) std::memcpy(FrameBuffer, data.data(), data.size());
        EXPECT_EQ(DispatchRequest(kAddress, FrameBuffer, code, static_cast<int>(data.size()), slot),
                  1);
        EXPECT_EQ(sent.size(), 1u) << "code " << int(code);
        return sent.empty() ? Sent{} : sent.back();
    }
    std::vector<std::uint8_t> Name(const std::string& full) {
        std::vector<std::uint8_t> v{0, 0};
        v.insert(v.end(), full.begin(), full.end());
        v.push_back(0);
        return v;
    }

    std::string dir_;
    LinkCalls saved_link_{};
};

TEST_F(TableDispatch, OpenReplyAndContext) {
    linetest::WriteTable(Path("NAMES.DBF"), {{"NAME", 'C', 10}, {"VALUE", 'N', 8, 2}},
                         {"MARIA        12.50", "JOSE        -3.00"});
    const int t = OpenEntry(0, "NAMES.DBF");
    ASSERT_GE(t, 0);
    const Sent s = Ask(16, Name(Path("names")));
    EXPECT_EQ(s.address, kAddress);
    EXPECT_EQ(s.code, 16);
    ASSERT_EQ(s.data.size(), 58u);
    EXPECT_EQ(s.data[12 + 6], 0x26);
    EXPECT_EQ(s.data[13 + 6], 0x12);
    EXPECT_EQ(TerminalFile[0], t);
    EXPECT_EQ(TerminalFileKind[0], 'D');
    EXPECT_EQ(TerminalIndex[0], -1);
    EXPECT_EQ(TerminalLocks[0], DataFileLocks[0]);
    EXPECT_EQ(TerminalRecord[0], 1);
    EXPECT_EQ(TerminalHighBase[0], 0);

    // Code 11 sets the high base before it opens, even when it fails.
    const Sent e = Ask(11, Name(Path("NAMES")));
    EXPECT_EQ(e.code, 14);
    ASSERT_EQ(e.data.size(), 6u);
    EXPECT_EQ(TerminalHighBase[0], 1);
    EXPECT_EQ(TerminalFile[0], -1);
}

TEST_F(TableDispatch, ShortAndUnendedRequests) {
    linetest::WriteTable(Path("T.DBF"), {{"CODE", 'C', 4}}, {"AAAA", "BBBB", "CCCC"});
    ASSERT_GE(OpenEntry(0, "T.DBF"), 0);
    ASSERT_EQ(Ask(16, Name(Path("T"))).code, 16);

    // Code 22 without any data: number 0, before the first record.
    Sent s = Ask(22, {});
    ASSERT_EQ(s.code, 22);
    ASSERT_EQ(s.data.size(), 5u + 5u);
    EXPECT_EQ(s.data[0], 1);
    // Code 22 whose number is not ended inside the request: the byte after
    // the request (left over in the buffer) is not part of it.
    s = Ask(22, {0, 0, '2'});
    EXPECT_EQ(s.data[0], 0);
    EXPECT_EQ(std::string(s.data.begin() + 5, s.data.begin() + 9), "BBBB");
    // Code 25 with only byte 0: count 0, deleted records not passed over.
    s = Ask(25, {1});
    EXPECT_EQ(std::string(s.data.begin() + 5, s.data.begin() + 9), "BBBB");
    // A length the buffer cannot hold is cut, never read past.
    sent.clear();
    std::memset(FrameBuffer, '7', sizeof FrameBuffer);
    FrameBuffer[0] = FrameBuffer[1] = 0;
    EXPECT_EQ(DispatchRequest(kAddress, FrameBuffer, 22, 30000, 0), 1);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].data[1], 1) << "a huge number is past the end";

    // Code 26 with no index, with nothing after it: 14 and six bytes.
    s = Ask(26, {});
    EXPECT_EQ(s.code, 14);
    EXPECT_EQ(s.data.size(), 6u);
    // 39 and 40.
    EXPECT_EQ(Ask(39, {}).data, (std::vector<std::uint8_t>{'3', 0}));
    Ask(22, {0, 0, '9', 0});
    EXPECT_EQ(Ask(40, {}).data, (std::vector<std::uint8_t>{'4', 0}));
}

TEST_F(TableDispatch, CloseWritesNothingWhenNothingChanged) {
    linetest::WriteTable(Path("E.DBF"), {{"CODE", 'C', 4}}, {});
    linetest::WriteTable(Path("T.DBF"), {{"CODE", 'C', 4}}, {"AAAA", "BBBB"});
    ASSERT_GE(OpenEntry(0, "E.DBF"), 0);
    ASSERT_GE(OpenEntry(1, "T.DBF"), 0);
    const auto emptySize = std::filesystem::file_size(Path("E.DBF"));
    ASSERT_EQ(Ask(16, Name(Path("E"))).code, 16);
    Sent s = Ask(41, {});
    EXPECT_EQ(s.code, 41);
    EXPECT_EQ(s.data, std::vector<std::uint8_t>(6, 0));
    EXPECT_EQ(std::filesystem::file_size(Path("E.DBF")), emptySize);
    EXPECT_EQ(TerminalFile[0], -1);
    EXPECT_EQ(TerminalFileKind[0], ' ');

    // Another program rewrites record 2 while the terminal stands on it; the
    // close must not put the old copy back.
    ASSERT_EQ(Ask(16, Name(Path("T"))).code, 16);
    ASSERT_EQ(Ask(22, {0, 0, '2', 0}).code, 22);
    {
        std::fstream f(Path("T.DBF"), std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(32 + 32 + 1 + 5 + 1);
        f.write("ZZZZ", 4);
    }
    ASSERT_EQ(Ask(41, {}).code, 41);
    std::ifstream f(Path("T.DBF"), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(f)), {});
    EXPECT_EQ(bytes.substr(32 + 32 + 1 + 5 + 1, 4), "ZZZZ");
    EXPECT_EQ(bytes.size(), 32u + 32 + 1 + 10 + 1) << "nothing appended";

    // Code 41 from a terminal whose file is a text file whose handle has
    // the same number as a table: no table is touched.
    TerminalFile[0] = DataFileHandle[0];
    TerminalFileKind[0] = 'A';
    TerminalLocks[0] = AllocateLockTable(2);
    TerminalRecord[0] = 77;
    EXPECT_EQ(Ask(41, {}).code, 41);
    EXPECT_EQ(TerminalRecord[0], 77) << "the table's position was taken";
    EXPECT_EQ(TerminalFile[0], -1);
    EXPECT_EQ(TerminalFileKind[0], ' ');
}

TEST_F(TableDispatch, SeekOutcomesOnAPeerTextIndex) {
    if (!CopyFixture("PESSOA.DBF") || !CopyFixture("PESNOME.NTX") || !CopyFixture("PESQTD.NTX"))
        GTEST_SKIP() << "peer fixtures missing";
    const int t = OpenEntry(0, "PESSOA.DBF");
    ASSERT_GE(t, 0);
    const int nome = OpenIndexEntry(1, "PESNOME.NTX");
    ASSERT_GE(nome, 0) << "the index files cannot be opened yet";
    ASSERT_GE(OpenIndexEntry(2, "PESQTD.NTX"), 0);
    std::vector<std::uint8_t> open = Name(Path("PESSOA"));
    const std::string idx = Path("PESNOME");
    open.insert(open.end(), idx.begin(), idx.end());
    open.push_back(0);
    ASSERT_EQ(Ask(42, open).code, 42);
    EXPECT_EQ(TerminalIndex[0], nome);

    const auto seek = [&](std::uint8_t stay, std::uint8_t pass, const std::string& key) {
        std::vector<std::uint8_t> d{stay, pass};
        d.insert(d.end(), key.begin(), key.end());
        return Ask(26, d); // the key without its NUL
    };
    // Prefix: found, on the first key that starts so (BRUNO is record 1).
    Sent s = seek(0, 0, "BRU");
    EXPECT_EQ(s.data[2], 1);
    EXPECT_EQ(s.data[3], 0);
    EXPECT_EQ(std::string(s.data.begin() + 5, s.data.begin() + 10), "BRUNO");
    // Greater key without byte 0: end of file; with it: on that record.
    s = seek(0, 0, "CARLA21");
    EXPECT_EQ(s.data[2], 0);
    EXPECT_EQ(s.data[1], 1);
    EXPECT_EQ(TerminalRecord[0], 61);
    s = seek(1, 0, "CARLA21");
    EXPECT_EQ(s.data[1], 0);
    EXPECT_EQ(TerminalRecord[0], 22);
    // Past every key.
    s = seek(1, 0, "ZZZ");
    EXPECT_EQ(s.data[1], 1);
    EXPECT_EQ(s.data[2], 0);
    // Deleted records passed over: record 14 (a multiple of 7) is "ELISA14".
    s = seek(1, 0, "ELISA14");
    EXPECT_EQ(s.data[2], 1);
    EXPECT_EQ(s.data[4], 1);
    s = seek(1, 1, "ELISA14");
    EXPECT_EQ(s.data[2], 0);
    EXPECT_EQ(s.data[4], 0);

    // An index of this table chosen while the terminal has another order;
    // an index name that is not open.
    EXPECT_EQ(Ask(17, Name(Path("PESQTD"))).code, 17);
    EXPECT_NE(TerminalIndex[0], nome);
    EXPECT_EQ(Ask(17, Name("NOSUCH")).code, 14);
    EXPECT_EQ(TerminalIndex[0], -1);
}

// A request that changes nothing flushes nothing; a field update is flushed
// before its answer only with the commit flag on, and always reaches the file.
TEST_F(TableDispatch, FlushesFollowTheCommitFlag) {
    linetest::WriteTable(Path("T.DBF"), {{"CODE", 'C', 4}}, {"AAAA", "BBBB"});
    const int t = OpenEntry(0, "T.DBF");
    ASSERT_GE(t, 0);
    ASSERT_EQ(Ask(16, Name(Path("T"))).code, 16);
    const int file = d4table(t)->file;
    const auto update = [&](const std::string& value) {
        std::vector<std::uint8_t> d{0, 0, 'C', 'O', 'D', 'E', 0};
        d.insert(d.end(), value.begin(), value.end());
        d.push_back(0);
        return Ask(19, d).code;
    };
    for (const std::uint8_t flag : {0, 1}) {
        CommitAfterWrite = flag;
        plat::FileCommitAll();
        const long syncs = plat::FileSyncCount();
        ASSERT_EQ(Ask(22, {0, 0, '2', 0}).code, 22);
        EXPECT_EQ(plat::FileSyncCount(), syncs) << "a goto flushed, flag " << int(flag);
        ASSERT_EQ(update(flag ? "DDDD" : "CCCC"), 19);
        EXPECT_EQ(plat::FileSyncCount() - syncs, flag ? 1 : 0);
        EXPECT_EQ(plat::FileWritten(file), flag == 0);
        std::ifstream f(Path("T.DBF"), std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(f)), {});
        EXPECT_EQ(bytes.substr(32 + 32 + 1 + 5 + 1, 4), flag ? "DDDD" : "CCCC");
    }
}

// Index pages stay cached from one request to the next while nobody
// changes the index; a version counter moved by another program drops them.
TEST_F(TableDispatch, PagesKeptAcrossRequestsUntilTheIndexChanges) {
    if (!CopyFixture("PESSOA.DBF") || !CopyFixture("PESNOME.NTX"))
        GTEST_SKIP() << "peer fixtures missing";
    ASSERT_GE(OpenEntry(0, "PESSOA.DBF"), 0);
    ASSERT_GE(OpenIndexEntry(1, "PESNOME.NTX"), 0);
    std::vector<std::uint8_t> open = Name(Path("PESSOA"));
    const std::string idx = Path("PESNOME");
    open.insert(open.end(), idx.begin(), idx.end());
    open.push_back(0);
    ASSERT_EQ(Ask(42, open).code, 42);
    const auto seek = [&] {
        const std::int64_t before = b4pages_read();
        EXPECT_EQ(Ask(26, {1, 0, 'B', 'R', 'U', 'N', 'O'}).data[2], 1);
        return b4pages_read() - before;
    };
    seek();
    EXPECT_EQ(seek(), 0) << "the same path read again";
    {
        std::fstream f(Path("PESNOME.NTX"), std::ios::in | std::ios::out | std::ios::binary);
        f.seekg(2);
        const int low = f.get();
        f.seekp(2);
        f.put(static_cast<char>(low + 1));
    }
    EXPECT_GT(seek(), 0) << "another program's change kept stale pages";
    EXPECT_EQ(seek(), 0);
}

// An append with values (43, and 48 with its sequence byte) builds the
// record and appends it once: the same bytes on disk as a blank append (18)
// whose fields are then stored (19), each index holding the record once
// under its final key, with fewer writes than the two requests.
TEST_F(TableDispatch, AnAppendWithValuesLeavesWhatABlankAppendAndAnUpdateLeave) {
    const char* names[] = {"PESSOA.DBF", "PESNOME.NTX", "PESQTD.NTX", "PESNASC.NTX"};
    for (const char* n : names)
        if (!CopyFixture(n)) GTEST_SKIP() << "peer fixtures missing";
    const int t = OpenEntry(0, names[0]);
    ASSERT_GE(t, 0);
    for (int j = 1; j < 4; ++j) ASSERT_GE(OpenIndexEntry(j, names[j]), 0);
    std::vector<std::uint8_t> open = Name(Path("PESSOA"));
    const std::string idx = Path("PESNOME");
    open.insert(open.end(), idx.begin(), idx.end());
    open.push_back(0);
    ASSERT_EQ(Ask(42, open).code, 42);
    const std::vector<std::pair<std::string, std::string>> values = {
        {"NOME", "ZECA"}, {"QTD", "-7.5"}, {"NASC", "19991231"}, {"ATIVO", "T"}};
    const auto pairs = [&](std::vector<std::uint8_t> head) {
        for (const auto& [name, value] : values) {
            head.insert(head.end(), name.begin(), name.end());
            head.push_back(0);
            head.insert(head.end(), value.begin(), value.end());
            head.push_back(0);
        }
        return head;
    };
    long writes = plat::FileWriteCount();
    ASSERT_EQ(Ask(43, pairs({0, 0})).code, 43);
    const long one_step = plat::FileWriteCount() - writes;
    ASSERT_EQ(Ask(48, pairs({7, 0, 0})).code, 48);
    writes = plat::FileWriteCount();
    ASSERT_EQ(Ask(18, {}).code, 18);
    ASSERT_EQ(Ask(19, pairs({0, 0})).code, 19);
    EXPECT_LT(one_step, plat::FileWriteCount() - writes);

    d4select_table(t);
    ASSERT_EQ(d4record_count(), 63);
    std::vector<std::string> records;
    for (int r = 61; r <= 63; ++r) {
        ASSERT_EQ(d4goto_record(r), 0);
        records.emplace_back(d4record_buffer(), static_cast<std::size_t>(d4record_width()));
    }
    EXPECT_EQ(records[0], records[2]);
    EXPECT_EQ(records[1], records[2]);
    EXPECT_EQ(records[0].substr(1, 10), "ZECA      ");
    for (int j = 1; j < 4; ++j) {
        char why[200] = "";
        EXPECT_EQ(i4verify(DataFileHandle[static_cast<std::size_t>(j)], 1, why, sizeof why), 0)
            << names[j] << ": " << why;
    }
}

// Random requests of every table code, with random parameter bytes, texts
// that may or may not end, and any length a frame can carry: each gets
// exactly one answer and the context stays consistent.
TEST_F(TableDispatch, RandomRequestsAlwaysGetOneAnswer) {
    if (!CopyFixture("PESSOA.DBF") || !CopyFixture("PESNOME.NTX") || !CopyFixture("PESQTD.NTX"))
        GTEST_SKIP() << "peer fixtures missing";
    linetest::WriteTable(Path("T.DBF"), {{"CODE", 'C', 4}}, {"AAAA", "BBBB"}, {false, true});
    const int pessoa = OpenEntry(0, "PESSOA.DBF");
    ASSERT_GE(pessoa, 0);
    ASSERT_GE(OpenIndexEntry(1, "PESNOME.NTX"), 0);
    ASSERT_GE(OpenIndexEntry(2, "PESQTD.NTX"), 0);
    const int t = OpenEntry(3, "T.DBF");
    ASSERT_GE(t, 0);
    // Moves are drawn more often than opens, which end the context.
    const std::uint8_t codes[] = {10, 11, 16, 17, 42, 41, 36, 37, 38, 39, 40, 22, 23, 24,
                                  25, 26, 22, 23, 24, 25, 26, 22, 25, 26, 25, 26, 25, 26};
    const std::string words[] = {
        Path("PESSOA"), Path("PESNOME"), Path("PESQTD"), Path("T"), "PESSOA", "", "-1", "7",
        "99999999999",  "ANA",           "12.5",         "1e400"};
    std::mt19937 rng(20261208);
    int moves = 0;
    for (int i = 0; i < 3000; ++i) {
        // Now and then a well-formed open, so that most requests find a table.
        if (rng() % 4 == 0) {
            const int slot = static_cast<int>(rng() % 3);
            std::vector<std::uint8_t> open = Name(rng() % 2 ? Path("PESSOA") : Path("T"));
            const std::string idx = rng() % 2 ? Path("PESNOME") : Path("PESQTD");
            open.insert(open.end(), idx.begin(), idx.end());
            open.push_back(0);
            Ask(rng() % 2 ? 42 : 16, open, slot);
        }
        const int slot = static_cast<int>(rng() % 3);
        const std::uint8_t code = codes[rng() % std::size(codes)];
        std::vector<std::uint8_t> d;
        const int form = static_cast<int>(rng() % 4);
        if (form == 0) {
            d.resize(rng() % 299);
            for (auto& b : d) b = static_cast<std::uint8_t>(rng());
        } else {
            d = {static_cast<std::uint8_t>(rng() % 3), static_cast<std::uint8_t>(rng() % 3)};
            for (int k = 0; k < form; ++k) {
                const std::string& w = words[rng() % std::size(words)];
                d.insert(d.end(), w.begin(), w.end());
                if (rng() % 4 != 0) d.push_back(0);
            }
            d.resize(std::min<std::size_t>(d.size(), rng() % 2 ? d.size() : rng() % 8));
        }
        const Sent s = Ask(code, d, slot);
        const auto u = static_cast<std::size_t>(slot);
        ASSERT_TRUE(TerminalFile[u] == -1 || TerminalFile[u] == pessoa || TerminalFile[u] == t)
            << "request " << i;
        if (TerminalIndex[u] != -1) {
            ASSERT_EQ(TerminalFile[u], pessoa) << "an index of another table, request " << i;
        }
        ASSERT_LE(s.data.size(), 1000u) << "request " << i;
        if (s.code >= 22 && s.code <= 26) ++moves;
    }
    EXPECT_GT(moves, 400) << "too few requests found a table";
}

} // namespace
