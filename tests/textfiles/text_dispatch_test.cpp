// The text-file requests through the dispatcher, without a line: text files
// opened as start-up opens them, the link calls replaced by a recorder of
// answer frames. Covers what a line cannot stage: reads and writes that the
// system refuses (their error number becomes the status and the position
// stays), answers that must not carry what an earlier answer left in the
// buffer, and requests of arbitrary bytes.
#include "manager/config.h"
#include "manager/link.h"
#include "manager/requests/dispatch.h"
#include "manager/requests/text_requests.h"
#include "manager/runtime.h"
#include "platform/files.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct Sent {
    std::uint8_t code;
    std::vector<std::uint8_t> data;
};
std::vector<Sent> sent;

std::uint32_t Record(std::uint16_t, const std::uint8_t* data, std::uint8_t code,
                     std::int16_t length) {
    Sent s{code, {}};
    if (data != nullptr && length > 0) s.data.assign(data, data + length);
    sent.push_back(s);
    return 0;
}

class TextDispatch : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/textdisp.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        ResetRuntimeTables();
        for (int s = 0; s < kSlots; ++s) TerminalFile[static_cast<std::size_t>(s)] = -1;
        std::memset(&Config, 0, sizeof Config);
        saved_link_ = Link;
        Link.write = Record;
        sent.clear();
    }
    void TearDown() override {
        for (int fd : opened_) ::close(fd);
        Link = saved_link_;
        ResetRuntimeTables();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }

    // Entry j as start-up leaves a text file: its handle and lock table.
    int Entry(int j, const std::string& name, int fd) {
        std::snprintf(Config.DataFileName[j], kConfigNameSize, "%s", name.c_str());
        Config.DataFileKind[j] = 'A';
        DataFileHandle[static_cast<std::size_t>(j)] = fd;
        DataFileLocks[static_cast<std::size_t>(j)] = AllocateLockTable(j);
        opened_.push_back(fd);
        return fd;
    }
    int TextEntry(int j, const std::string& name, const std::string& contents) {
        {
            std::ofstream f(Path(name), std::ios::binary);
            f << contents;
        }
        return Entry(j, name, ::open(Path(name).c_str(), O_RDWR));
    }
    std::string Contents(const std::string& name) {
        std::ifstream f(Path(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), {});
    }

    // One request through the dispatcher, over a buffer an earlier answer
    // filled; the one answer it gave.
    Sent Ask(std::uint8_t code, const std::vector<std::uint8_t>& data, int slot = 0) {
        sent.clear();
        std::memset(FrameBuffer, 0xA5, sizeof FrameBuffer);
        if (!data.empty()) std::memcpy(FrameBuffer, data.data(), data.size());
        EXPECT_EQ(DispatchRequest(1, FrameBuffer, code, static_cast<int>(data.size()), slot), 1);
        EXPECT_EQ(sent.size(), 1u) << "code " << int(code);
        return sent.empty() ? Sent{} : sent.back();
    }
    static std::vector<std::uint8_t> Req(const std::vector<std::string>& texts) {
        std::vector<std::uint8_t> v{0, 0};
        for (const std::string& t : texts) {
            v.insert(v.end(), t.begin(), t.end());
            v.push_back(0);
        }
        return v;
    }
    std::string Status(int slot = 0) {
        const Sent s = Ask(35, {0, 0}, slot);
        return s.data.empty() ? "<none>"
                              : std::string(reinterpret_cast<const char*>(s.data.data()));
    }
    std::string Open(const std::string& name, int slot = 0) {
        const Sent s = Ask(29, Req({name}), slot);
        return s.data.empty() ? "<none>"
                              : std::string(reinterpret_cast<const char*>(s.data.data()));
    }

    std::string dir_;
    std::vector<int> opened_;
    LinkCalls saved_link_{};
};

TEST_F(TextDispatch, RefusedWritesAndReadsReportTheErrorAndKeepThePosition) {
    // A device that refuses every write for want of space.
    const int full = ::open("/dev/full", O_RDWR);
    if (full < 0) GTEST_SKIP() << "no /dev/full";
    Entry(0, "FULL.TXT", full);
    const std::string h = Open("FULL.TXT");
    ASSERT_EQ(h, std::to_string(full));
    std::vector<std::uint8_t> w = Req({h, "3"});
    w.insert(w.end(), {'a', '\n', 'b'});
    const Sent a = Ask(34, w);
    ASSERT_EQ(a.data.size(), 5u);
    EXPECT_STREQ(reinterpret_cast<const char*>(a.data.data()), "3");
    EXPECT_EQ(Status(), "112");
    EXPECT_EQ(TerminalFilePos[0], 0) << "nothing was written";

    // A handle the system cannot read from (a directory): count 000.
    const int dirfd = ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dirfd, 0);
    Entry(1, "DIR.TXT", dirfd);
    ASSERT_EQ(Open("DIR.TXT"), std::to_string(dirfd));
    TerminalFilePos[0] = 0;
    const Sent r = Ask(31, Req({std::to_string(dirfd), "10"}));
    EXPECT_EQ(r.data, std::vector<std::uint8_t>({'0', '0', '0', 0, 0}));
    const std::string st = Status();
    EXPECT_NE(st, "0");
    EXPECT_NE(st, "6");
    EXPECT_EQ(TerminalFilePos[0], 0);
}

TEST_F(TextDispatch, AnswersCarryNothingAnEarlierAnswerLeft) {
    TextEntry(0, "A.TXT", "abc");
    // Write without a file: 5 bytes, all zero (the buffer held 0xA5).
    const Sent none = Ask(34, {0, 0});
    EXPECT_EQ(none.code, 34);
    EXPECT_EQ(none.data, std::vector<std::uint8_t>(5, 0));
    const Sent read_none = Ask(31, {});
    EXPECT_EQ(read_none.data, std::vector<std::uint8_t>({'0', '0', '0', 0, 0}));
    EXPECT_EQ(Status(), "6");

    const std::string h = Open("a.txt");
    ASSERT_NE(h, "-1");
    std::vector<std::uint8_t> w = Req({h, "1"});
    w.push_back('z');
    EXPECT_EQ(Ask(34, w).data, std::vector<std::uint8_t>({'1', 0, 0, 0, 0}));
    EXPECT_EQ(Ask(34, Req({"999", "1", "q"})).data, std::vector<std::uint8_t>(5, 0));
    EXPECT_EQ(Contents("A.TXT"), "zbc");
    // The open answer is the handle and its NUL, nothing more.
    EXPECT_EQ(Ask(29, Req({"A.TXT"})).data.size(), h.size() + 1);
    EXPECT_EQ(Ask(29, Req({"B.TXT"})).data, std::vector<std::uint8_t>({'-', '1', 0}));
}

TEST_F(TextDispatch, NoMoveOrWriteGoesBeyondTheEndOfTheFile) {
    TextEntry(0, "A.TXT", "abc");
    const std::string h = Open("A.TXT");
    // A move past the end is refused and the position stays; to the end is allowed.
    for (const char* far : {"2147483647", "4"}) {
        Ask(33, Req({h, far, "0"}));
        EXPECT_EQ(Status(), "87") << far;
        EXPECT_EQ(TerminalFilePos[0], 0) << far;
    }
    Ask(33, Req({h, "0", "2"}));
    EXPECT_EQ(Status(), "0");
    EXPECT_EQ(TerminalFilePos[0], 3);
    // A position beyond the end (the file cut by another program since, or
    // the last one a terminal can hold) takes no write and no transfer that
    // could end past what the position holds.
    std::vector<std::uint8_t> w = Req({h, "2"});
    w.insert(w.end(), {'\n', '\n'});
    for (const std::int32_t pos : {10, 2147483647}) {
        TerminalFilePos[0] = pos;
        Ask(34, w);
        EXPECT_EQ(Status(), "87") << pos;
        EXPECT_EQ(TerminalFilePos[0], pos);
        EXPECT_EQ(Contents("A.TXT"), "abc");
    }
    EXPECT_EQ(Ask(31, Req({h, "5"})).data.size(), 5u);
    EXPECT_EQ(Status(), "87");
}

TEST_F(TextDispatch, ArbitraryRequestsNeverReachBeyondTheirBytes) {
    TextEntry(0, "A.TXT", "first\r\nsecond\r\n\x1athird");
    TextEntry(1, "B.TXT", "");
    std::mt19937 rng(2026);
    const std::string digits = "0123456789-\n ";
    const std::uint8_t codes[] = {29, 30, 31, 33, 34, 35};
    for (int i = 0; i < 4000; ++i) {
        const std::uint8_t code = codes[rng() % 6];
        const int slot = static_cast<int>(rng() % 3);
        std::vector<std::uint8_t> data(rng() % 40);
        for (auto& b : data) {
            const unsigned pick = rng() % 4;
            b = pick == 0   ? 0
                : pick == 1 ? static_cast<std::uint8_t>(rng())
                : pick == 2 ? static_cast<std::uint8_t>(digits[rng() % digits.size()])
                            : static_cast<std::uint8_t>('A' + rng() % 2);
        }
        if (code != 29 && code != 30 && code != 35 && data.size() >= 3 && rng() % 2) {
            const std::string h = std::to_string(TerminalFile[static_cast<std::size_t>(slot)]);
            for (std::size_t k = 0; k < h.size() && 2 + k < data.size(); ++k) data[2 + k] = h[k];
        }
        const Sent s = Ask(code, data, slot);
        switch (code) {
        case 31: {
            ASSERT_GE(s.data.size(), 5u);
            const int c = std::atoi(reinterpret_cast<const char*>(s.data.data()));
            ASSERT_EQ(s.data.size(), static_cast<std::size_t>(c) + 5);
            break;
        }
        case 34: ASSERT_EQ(s.data.size(), 5u); break;
        case 30:
        case 33: ASSERT_TRUE(s.data.empty()); break;
        default: ASSERT_FALSE(s.data.empty()); ASSERT_EQ(s.data.back(), 0);
        }
        const std::int32_t pos = TerminalFilePos[static_cast<std::size_t>(slot)];
        ASSERT_GE(pos, 0);
    }
    // Writes are bounded by the bytes the requests carried (a seek past the
    // end may leave a gap of zeros, but never more than a position holds).
    std::error_code ec;
    EXPECT_LE(std::filesystem::file_size(Path("B.TXT"), ec), 2147483647u + 2 * 254u);
}

} // namespace
