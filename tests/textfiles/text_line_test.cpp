// The text-file requests over the line, with simulated terminals and the real
// manager: finding the configured files by name, reading over CR LF and a
// Ctrl-Z, writing LF as CR LF, moving from each origin, two terminals each at
// its own position in one file, the answers without a file or with a handle
// that is not the terminal's, counts and names from the terminal that do not
// fit, and the locks and contexts, table or text, that opening and closing end.
#include "tests/requests/table_line_common.h"

#include <filesystem>
#include <fstream>
#include <iterator>

namespace linetest {
namespace {

constexpr std::uint16_t kA = 5;
constexpr std::uint16_t kB = 6;

std::string Contents(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

void Put(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << bytes;
}

// A request: the two parameter bytes, then each text with its NUL.
std::vector<std::uint8_t> Req(const std::vector<std::string>& texts) {
    std::vector<std::uint8_t> v{0, 0};
    for (const std::string& t : texts) {
        v.insert(v.end(), t.begin(), t.end());
        v.push_back(0);
    }
    return v;
}

// A code 34 request: handle, count and then the bytes exactly as given.
std::vector<std::uint8_t> WriteReq(const std::string& handle, const std::string& count,
                                   const std::string& bytes) {
    std::vector<std::uint8_t> v = Req({handle, count});
    v.insert(v.end(), bytes.begin(), bytes.end());
    return v;
}

// What a code 31 answer delivered, or a note saying why its layout is wrong.
std::string Delivered(const Answer& a) {
    if (!a.ok) return "<no answer: " + a.note + ">";
    if (a.code != 31) return "<code " + std::to_string(a.code) + ">";
    if (a.data.size() < 5 || a.data[3] != 0) return "<short>";
    const std::string digits(a.data.begin(), a.data.begin() + 3);
    const std::size_t c = std::stoul(digits);
    if (a.data.size() != c + 5 || a.data[4 + c] != 0) return "<count " + digits + " does not fit>";
    return std::string(a.data.begin() + 4, a.data.begin() + 4 + static_cast<long>(c));
}

class TextLine : public TableLine {
  protected:
    void SetUp() override {
        Put(line.path("NOTES.TXT"), "line one\r\nline two\r\nAB\x1a"
                                    "CD");
        Put(line.path("LOG.TXT"), "");
        Put(line.path("HUNDRED.TXT"), std::string(100, 'h'));
        WriteTable(line.path("NAMES.DBF"), {{"NAME", 'C', 10}}, {"MARIA", "JOSE"});
        // Entry 1 does not start with a letter, so the manager never opens it.
        started_ = Start({kA, kB}, {{"1SKIPPED.TXT", 'A'},
                                    {"NOTES.TXT", 'A'},
                                    {"LOG.TXT", 'A'},
                                    {"HUNDRED.TXT", 'A'},
                                    {"NAMES.DBF", 'D'}});
    }
    // Opens name for the terminal; its handle text ("" when refused).
    std::string Open(std::uint16_t t, const std::string& name) {
        const Answer a = line.ask(t, 29, Args(0, 0, name));
        EXPECT_TRUE(a.ok) << a.note;
        EXPECT_EQ(a.code, 29);
        const std::string h = Text(a);
        return h == "-1" ? "" : h;
    }
    std::string Status(std::uint16_t t) {
        const Answer a = line.ask(t, 35, std::vector<std::uint8_t>{0, 0});
        EXPECT_EQ(a.code, 35);
        return Text(a);
    }
    std::string Read(std::uint16_t t, const std::string& h, const std::string& n) {
        return Delivered(line.ask(t, 31, Req({h, n})));
    }
    void Seek(std::uint16_t t, const std::string& h, const std::string& offset,
              const std::string& origin) {
        const Answer a = line.ask(t, 33, Req({h, offset, origin}));
        EXPECT_TRUE(a.ok) << a.note;
        EXPECT_EQ(a.code, 33);
        EXPECT_TRUE(a.data.empty());
    }
    // The count text of a code 34 answer (its 5 bytes checked).
    std::string Write(std::uint16_t t, const std::vector<std::uint8_t>& req) {
        const Answer a = line.ask(t, 34, req);
        EXPECT_TRUE(a.ok) << a.note;
        EXPECT_EQ(a.code, 34);
        if (a.data.size() != 5) return "<" + std::to_string(a.data.size()) + " bytes>";
        return std::string(reinterpret_cast<const char*>(a.data.data()));
    }
    bool started_ = false;
};

TEST_F(TextLine, NamesAreFoundUpperCasedByPrefixOrExactlyWithTheirNul) {
    ASSERT_TRUE(started_);
    const std::string notes = Open(kA, "notes.txt");
    ASSERT_FALSE(notes.empty()) << "a lower-case name finds the upper-case entry";
    EXPECT_GT(std::stoi(notes), 0);
    EXPECT_EQ(Status(kA), "0");
    EXPECT_EQ(Read(kA, notes, "4"), "line");

    // Without the NUL any configured name that begins with the text matches.
    EXPECT_EQ(line.ask(kA, 29, Args(0, 0, "LO", false)).data.size(), notes.size() + 1);
    EXPECT_NE(Text(line.ask(kA, 29, Args(0, 0, "LO", false))), "-1");
    // With it the name must be exact.
    EXPECT_EQ(Text(line.ask(kA, 29, Args(0, 0, "LO"))), "-1");
    EXPECT_EQ(Status(kA), "2");
    // Only the text files are searched, and only those the manager opened.
    EXPECT_EQ(Text(line.ask(kA, 29, Args(0, 0, "NAMES.DBF"))), "-1");
    EXPECT_EQ(Text(line.ask(kA, 29, Args(0, 0, "1SKIPPED.TXT"))), "-1");
    EXPECT_EQ(Text(line.ask(kA, 29, Args(0, 0, "OTHER.TXT"))), "-1");
    EXPECT_EQ(Status(kA), "2");
    EXPECT_EQ(Read(kA, notes, "4"), "") << "a failed open leaves no current file";
    EXPECT_EQ(Status(kA), "6");

    // Two bytes, no name: the first text file the manager has open.
    const Answer first = line.ask(kA, 29, std::vector<std::uint8_t>{0, 0});
    ASSERT_TRUE(first.ok) << first.note;
    EXPECT_EQ(Text(first), notes) << "entry 1 has no handle; NOTES.TXT comes next";
    EXPECT_EQ(Read(kA, notes, "8"), "line one") << "and its position starts at 0";
    // Fewer than two bytes: nothing matches.
    EXPECT_EQ(Text(line.ask(kA, 29, std::vector<std::uint8_t>{0})), "-1");
    // A name far longer than any configured one.
    EXPECT_EQ(Text(line.ask(kA, 29, Args(0, 0, "NOTES.TXT" + std::string(280, 'X')))), "-1");
    EXPECT_EQ(Text(line.ask(kA, 29, Args(0, 0, std::string(290, 'N'), false))), "-1");
}

TEST_F(TextLine, ReadsDeliverCrLfAsLfAndStopAtCtrlZ) {
    ASSERT_TRUE(started_);
    const std::string h = Open(kA, "NOTES.TXT");
    ASSERT_FALSE(h.empty());
    EXPECT_EQ(Read(kA, h, "9"), "line one\n");
    // The position moved over both bytes of the CR LF: the next byte is 'l'.
    EXPECT_EQ(Read(kA, h, "1"), "l");
    EXPECT_EQ(Read(kA, h, "0"), "");
    EXPECT_EQ(Read(kA, h, "300"), "ine two\nAB") << "a Ctrl-Z ends the file";
    EXPECT_EQ(Status(kA), "0");
    EXPECT_EQ(Read(kA, h, "10"), "") << "and every read after it meets it again";
    EXPECT_EQ(Status(kA), "0");
    // Past the Ctrl-Z by moving: positions are bytes of the file.
    Seek(kA, h, "23", "0");
    EXPECT_EQ(Read(kA, h, "10"), "CD");
    // A CR LF that the asked count splits: the LF is the one byte delivered.
    Seek(kA, h, "8", "0");
    EXPECT_EQ(Read(kA, h, "1"), "\n");
    EXPECT_EQ(Read(kA, h, "4"), "line");
    // A count that is no number, or negative, reads nothing.
    EXPECT_EQ(Read(kA, h, "x"), "");
    EXPECT_EQ(Read(kA, h, "-5"), "");
    EXPECT_EQ(Read(kA, h, " 2"), " t") << "leading blanks are skipped as atol does";
}

TEST_F(TextLine, ReadsAreCutTo254AndAnswer000AtTheEnd) {
    ASSERT_TRUE(started_);
    const std::string h = Open(kA, "HUNDRED.TXT");
    ASSERT_FALSE(h.empty());
    const Answer a = line.ask(kA, 31, Req({h, "300"}));
    EXPECT_EQ(a.data.size(), 105u);
    EXPECT_EQ(Delivered(a), std::string(100, 'h'));
    const Answer end = line.ask(kA, 31, Req({h, "300"}));
    EXPECT_EQ(end.data, std::vector<std::uint8_t>({'0', '0', '0', 0, 0}));
    EXPECT_EQ(Status(kA), "0");

    // A file longer than one answer can carry gives 254 bytes at a time.
    const std::string log = Open(kA, "LOG.TXT");
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(Write(kA, WriteReq(log, "254", std::string(254, 'a'))), "254");
    EXPECT_EQ(Write(kA, WriteReq(log, "254", std::string(40, 'b'))), "40");
    Seek(kA, log, "0", "0");
    EXPECT_EQ(Read(kA, log, "99999"), std::string(254, 'a'));
    EXPECT_EQ(Read(kA, log, "254"), std::string(40, 'b'));
}

TEST_F(TextLine, WritesPutLfAsCrLfAndAppendAfterAMoveToTheEnd) {
    ASSERT_TRUE(started_);
    const std::string h = Open(kA, "NOTES.TXT");
    ASSERT_FALSE(h.empty());
    const std::string before = Contents(line.path("NOTES.TXT"));
    Seek(kA, h, "0", "2");
    EXPECT_EQ(Write(kA, WriteReq(h, "6", "X\nY\nZ\n")), "6");
    EXPECT_EQ(Status(kA), "0");
    EXPECT_EQ(Contents(line.path("NOTES.TXT")), before + "X\r\nY\r\nZ\r\n");
    // The position is after the 9 bytes written: a move back by 3 reads "\n".
    Seek(kA, h, "-3", "1");
    EXPECT_EQ(Read(kA, h, "5"), "Z\n");

    // Overwriting in the middle keeps the length.
    Seek(kA, h, "5", "0");
    EXPECT_EQ(Write(kA, WriteReq(h, "3", "ONE")), "3");
    const std::string after = Contents(line.path("NOTES.TXT"));
    EXPECT_EQ(after.substr(0, 10), "line ONE\r\n");
    EXPECT_EQ(after.size(), before.size() + 9);
    // Bytes that are not LF go out as they are, NULs and CRs included.
    const std::string odd("a\0b\rc", 5);
    Seek(kA, h, "0", "2");
    EXPECT_EQ(Write(kA, WriteReq(h, "5", odd)), "5");
    EXPECT_EQ(Contents(line.path("NOTES.TXT")), after + odd);
}

TEST_F(TextLine, WriteCountsFromTheTerminalAreBoundedByWhatItSent) {
    ASSERT_TRUE(started_);
    const std::string h = Open(kA, "LOG.TXT");
    ASSERT_FALSE(h.empty());
    // More bytes announced than carried: only those carried are written.
    EXPECT_EQ(Write(kA, WriteReq(h, "200", "short")), "5");
    EXPECT_EQ(Contents(line.path("LOG.TXT")), "short");
    // More than 254: cut to 254.
    EXPECT_EQ(Write(kA, WriteReq(h, "280", std::string(280, 'w'))), "254");
    EXPECT_EQ(Contents(line.path("LOG.TXT")), "short" + std::string(254, 'w'));
    // Negative, missing or not a number: nothing is written.
    EXPECT_EQ(Write(kA, WriteReq(h, "-7", "gone")), "0");
    EXPECT_EQ(Write(kA, WriteReq(h, "junk", "gone")), "0");
    std::vector<std::uint8_t> no_count = Req({h});
    EXPECT_EQ(Write(kA, no_count), "0");
    std::vector<std::uint8_t> no_nul = Req({h});
    no_nul.push_back('3'); // the count runs to the end of the request
    EXPECT_EQ(Write(kA, no_nul), "0");
    EXPECT_EQ(Status(kA), "0");
    EXPECT_EQ(Contents(line.path("LOG.TXT")).size(), 259u);
}

TEST_F(TextLine, TwoTerminalsEachWorkAtTheirOwnPosition) {
    ASSERT_TRUE(started_);
    const std::string ha = Open(kA, "NOTES.TXT");
    const std::string hb = Open(kB, "NOTES.TXT");
    ASSERT_FALSE(ha.empty());
    ASSERT_EQ(ha, hb);
    EXPECT_EQ(Read(kA, ha, "5"), "line ");
    EXPECT_EQ(Read(kB, hb, "2"), "li");
    EXPECT_EQ(Read(kA, ha, "3"), "one");
    EXPECT_EQ(Read(kB, hb, "3"), "ne ");
    // B moves and writes; A's position is not disturbed.
    Seek(kB, hb, "10", "0");
    EXPECT_EQ(Write(kB, WriteReq(hb, "4", "LINE")), "4");
    EXPECT_EQ(Read(kA, ha, "8"), "\nLINE tw");
    EXPECT_EQ(Read(kB, hb, "4"), " two");
    // B reopening starts it at 0 again and leaves A where it is.
    EXPECT_EQ(Open(kB, "NOTES.TXT"), hb);
    EXPECT_EQ(Read(kB, hb, "4"), "line");
    EXPECT_EQ(Read(kA, ha, "2"), "o\n");
    // One terminal's close leaves the file open for the other.
    EXPECT_TRUE(line.ask(kB, 30, std::vector<std::uint8_t>{0, 0}).ok);
    EXPECT_EQ(Read(kA, ha, "2"), "AB");
    EXPECT_EQ(Read(kB, hb, "2"), "");
    EXPECT_EQ(Status(kB), "6");
    EXPECT_EQ(Status(kA), "0");
}

TEST_F(TextLine, SeeksFromEachOriginAndRefusedMovesKeepThePosition) {
    ASSERT_TRUE(started_);
    const std::string h = Open(kA, "HUNDRED.TXT");
    ASSERT_FALSE(h.empty());
    Put(line.path("HUNDRED.TXT"), std::string(50, 'h') + "0123456789" + std::string(40, 'h'));
    Seek(kA, h, "50", "0");
    EXPECT_EQ(Read(kA, h, "2"), "01");
    Seek(kA, h, "3", "1");
    EXPECT_EQ(Read(kA, h, "1"), "5");
    Seek(kA, h, "-44", "2");
    EXPECT_EQ(Read(kA, h, "1"), "6");
    EXPECT_EQ(Status(kA), "0");
    // Before the start, an unknown origin, or beyond what a position holds:
    // refused with 87 and the position stays.
    Seek(kA, h, "-1", "0");
    EXPECT_EQ(Status(kA), "87");
    Seek(kA, h, "-200", "1");
    EXPECT_EQ(Status(kA), "87");
    Seek(kA, h, "0", "7");
    EXPECT_EQ(Status(kA), "87");
    Seek(kA, h, "2147483647", "1");
    EXPECT_EQ(Status(kA), "87");
    Seek(kA, h, "99999999999999999999", "2");
    EXPECT_EQ(Status(kA), "87");
    EXPECT_EQ(Read(kA, h, "1"), "7");
    EXPECT_EQ(Status(kA), "0");
    // A move past the end is refused (a far one and a few bytes written
    // there would make a file of gigabytes); to the end, reading finds it.
    for (const char* far : {"500", "2147483000"}) {
        Seek(kA, h, far, "0");
        EXPECT_EQ(Status(kA), "87") << far;
    }
    EXPECT_EQ(Write(kA, WriteReq(h, "5", "12345")), "5");
    EXPECT_EQ(std::filesystem::file_size(line.path("HUNDRED.TXT")), 100u);
    Seek(kA, h, "0", "2");
    EXPECT_EQ(Read(kA, h, "5"), "");
    EXPECT_EQ(Status(kA), "0");
}

TEST_F(TextLine, WithoutAFileOrWithAnotherHandleNothingIsDone) {
    ASSERT_TRUE(started_);
    // Never opened anything.
    const Answer r = line.ask(kA, 31, Req({"3", "10"}));
    EXPECT_EQ(r.data, std::vector<std::uint8_t>({'0', '0', '0', 0, 0}));
    EXPECT_EQ(Status(kA), "6");
    EXPECT_EQ(Status(kA), "6") << "asking the status changes nothing";
    EXPECT_EQ(Write(kA, WriteReq("3", "2", "no")), "");
    EXPECT_EQ(Status(kA), "6");
    Seek(kA, "3", "0", "0");
    EXPECT_EQ(Status(kA), "6");

    const std::string h = Open(kA, "LOG.TXT");
    ASSERT_FALSE(h.empty());
    const std::string other = std::to_string(std::stoi(h) + 100);
    EXPECT_EQ(Write(kA, WriteReq(other, "4", "lost")), "");
    EXPECT_EQ(Status(kA), "0");
    EXPECT_EQ(Contents(line.path("LOG.TXT")), "");
    EXPECT_EQ(Write(kA, WriteReq(h, "4", "kept")), "4");
    Seek(kA, other, "0", "0");
    EXPECT_EQ(Status(kA), "0");
    EXPECT_EQ(Read(kA, h, "4"), "") << "the move with the wrong handle was not made";
    Seek(kA, h, "0", "0");
    EXPECT_EQ(Read(kA, other, "4"), "");
    EXPECT_EQ(Status(kA), "0");
    EXPECT_EQ(Read(kA, h, "4"), "kept");
    // A request cut before its handle's NUL.
    EXPECT_EQ(Delivered(line.ask(kA, 31, std::vector<std::uint8_t>{0, 0})), "");
    EXPECT_EQ(Delivered(line.ask(kA, 31, std::vector<std::uint8_t>{0})), "");

    // After a close: no file again, and the status of the close is 0.
    EXPECT_TRUE(line.ask(kA, 30, std::vector<std::uint8_t>{0, 0}).ok);
    EXPECT_EQ(Status(kA), "0");
    EXPECT_EQ(Read(kA, h, "4"), "");
    EXPECT_EQ(Status(kA), "6");
    // A close without a file is answered all the same.
    const Answer c = line.ask(kA, 30, std::vector<std::uint8_t>{0, 0});
    EXPECT_TRUE(c.ok) << c.note;
    EXPECT_EQ(c.code, 30);
    EXPECT_TRUE(c.data.empty());
}

TEST_F(TextLine, ATableIsNoTextFileAndATextCloseEndsItsContext) {
    ASSERT_TRUE(started_);
    const Answer t = line.ask(kA, 16, Args(0, 0, "NAMES"));
    ASSERT_EQ(t.code, 16);
    const std::string table_before = Contents(line.path("NAMES.DBF"));
    // Whatever number the table has, it is no text-file handle.
    for (int n = 0; n < 8; ++n) {
        const std::string h = std::to_string(n);
        EXPECT_EQ(Read(kA, h, "10"), "");
        EXPECT_EQ(Status(kA), "6");
        EXPECT_EQ(Write(kA, WriteReq(h, "3", "bad")), "");
        Seek(kA, h, "0", "2");
    }
    // A text close ends a table context too: A's record lock goes to B,
    // A's table requests are refused, and the table file is left as it was.
    const std::vector<std::uint8_t> none{0, 0};
    ASSERT_EQ(line.ask(kA, 24, none).code, 24);
    ASSERT_EQ(line.ask(kA, 36, none).data, (std::vector<std::uint8_t>{'T', 0}));
    ASSERT_EQ(line.ask(kB, 16, Args(0, 0, "NAMES")).code, 16);
    ASSERT_EQ(line.ask(kB, 24, none).code, 24);
    EXPECT_EQ(line.ask(kB, 36, none).data, (std::vector<std::uint8_t>{'F', 0}));
    const Answer closed = line.ask(kA, 30, none);
    EXPECT_EQ(closed.code, 30);
    EXPECT_TRUE(closed.data.empty());
    EXPECT_TRUE(RecordLockFree(line.path("NAMES.DBF"), 1));
    EXPECT_EQ(line.ask(kB, 36, none).data, (std::vector<std::uint8_t>{'T', 0}));
    for (const int code : {22, 39, 40, 36})
        EXPECT_EQ(line.ask(kA, static_cast<std::uint8_t>(code), Args(0, 0, "1")).code, 14) << code;
    EXPECT_EQ(Status(kA), "0");
    EXPECT_EQ(Contents(line.path("NAMES.DBF")), table_before);

    // And a text context is refused by the table requests.
    ASSERT_FALSE(Open(kA, "NOTES.TXT").empty());
    EXPECT_EQ(line.ask(kA, 39, std::vector<std::uint8_t>{0, 0}).code, 14);
}

TEST_F(TextLine, OpeningAndClosingGiveUpTheTerminalsLocks) {
    ASSERT_TRUE(started_);
    // A record lock in the table ends with the open of a text file.
    ASSERT_EQ(line.ask(kA, 16, Args(0, 0, "NAMES")).code, 16);
    ASSERT_EQ(line.ask(kA, 24, std::vector<std::uint8_t>{0, 0}).code, 24);
    const Answer locked = line.ask(kA, 36, std::vector<std::uint8_t>{0, 0});
    ASSERT_EQ(locked.data.size(), 2u);
    ASSERT_EQ(locked.data[0], 'T');
    EXPECT_FALSE(RecordLockFree(line.path("NAMES.DBF"), 1));
    const std::string h = Open(kA, "NOTES.TXT");
    ASSERT_FALSE(h.empty());
    EXPECT_TRUE(RecordLockFree(line.path("NAMES.DBF"), 1));

    // The whole-file lock of a text file: A takes it, B is refused, A's
    // close frees it, then B holds it and A's open and close do not free it.
    ASSERT_EQ(Open(kB, "NOTES.TXT"), h);
    EXPECT_EQ(line.ask(kA, 37, std::vector<std::uint8_t>{0, 0}).data[0], 'T');
    EXPECT_EQ(line.ask(kB, 37, std::vector<std::uint8_t>{0, 0}).data[0], 'F');
    EXPECT_EQ(line.ask(kA, 30, std::vector<std::uint8_t>{0, 0}).code, 30);
    EXPECT_EQ(line.ask(kB, 37, std::vector<std::uint8_t>{0, 0}).data[0], 'T');
    ASSERT_EQ(Open(kA, "NOTES.TXT"), h);
    EXPECT_EQ(line.ask(kA, 30, std::vector<std::uint8_t>{0, 0}).code, 30);
    ASSERT_EQ(Open(kA, "NOTES.TXT"), h);
    EXPECT_EQ(line.ask(kA, 37, std::vector<std::uint8_t>{0, 0}).data[0], 'F')
        << "B's lock is still recorded as B's";
    // B opening again ends its own lock.
    ASSERT_EQ(Open(kB, "NOTES.TXT"), h);
    EXPECT_EQ(line.ask(kA, 37, std::vector<std::uint8_t>{0, 0}).data[0], 'T');
}

} // namespace
} // namespace linetest
