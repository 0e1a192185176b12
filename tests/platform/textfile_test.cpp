// Text mode: CR LF in, LF out; Ctrl-Z ends the file; positions are bytes of
// the file.
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/textfile.h"
#include "tests/platform/scratch_dir.h"

using namespace plat;

namespace {

class TextFiles : public testing_support::ScratchDir {
  protected:
    FileHandle Open(const std::string& content) {
        WriteFile("TEXTO.TXT", content);
        FileHandle h = kNoFile;
        EXPECT_EQ(FileOpen("TEXTO.TXT", kAccessReadWrite, FileCreate::kOpenExisting, &h), 0u);
        return h;
    }
    static std::int64_t Pos(FileHandle h) {
        std::int64_t p = -1;
        FileSeek(h, 0, SeekFrom::kCurrent, &p);
        return p;
    }
    static std::string Read(FileHandle h, std::uint32_t n) {
        std::string out(n, '\0');
        std::uint32_t done = 0;
        EXPECT_EQ(TextRead(h, out.data(), n, &done), 0u);
        out.resize(done);
        return out;
    }
};

TEST_F(TextFiles, ReadingTurnsCrLfIntoLfAndCountsFileBytes) {
    FileHandle h = Open("AB\r\nCD\r\n");
    EXPECT_EQ(Read(h, 3), "AB\n");
    EXPECT_EQ(Pos(h), 4);
    EXPECT_EQ(Read(h, 300), "CD\n");
    EXPECT_EQ(Pos(h), 8);
    EXPECT_EQ(Read(h, 10), ""); // end of file
    // A read that stops between CR and LF does not split the pair.
    FileSeek(h, 0, SeekFrom::kBegin, nullptr);
    EXPECT_EQ(Read(h, 2), "AB");
    EXPECT_EQ(Pos(h), 2);
    EXPECT_EQ(Read(h, 1), "\n");
    EXPECT_EQ(Pos(h), 4);
    FileClose(h);
}

TEST_F(TextFiles, LoneCrAndPairsAcrossChunkBoundaries) {
    // The pair straddles the translation's internal chunk of 512 bytes.
    std::string content(511, 'a');
    content += "\r\nb\rc\r";
    FileHandle h = Open(content);
    std::string got = Read(h, 1000);
    EXPECT_EQ(got, std::string(511, 'a') + "\nb\rc\r");
    EXPECT_EQ(Pos(h), static_cast<std::int64_t>(content.size()));
    FileClose(h);

    // Many pairs in one long read.
    std::string lines;
    for (int i = 0; i < 400; ++i) lines += "x\r\n";
    h = Open(lines);
    got = Read(h, 2000);
    EXPECT_EQ(got.size(), 800u);
    EXPECT_EQ(got.find('\r'), std::string::npos);
    EXPECT_EQ(Pos(h), 1200);
    FileClose(h);
}

TEST_F(TextFiles, CtrlZEndsTheFile) {
    FileHandle h = Open(std::string("AB\r\nC") + char(26) + "HIDDEN");
    EXPECT_EQ(Read(h, 100), "AB\nC");
    EXPECT_EQ(Pos(h), 5); // stops at the Ctrl-Z
    EXPECT_EQ(Read(h, 100), "");
    EXPECT_EQ(Pos(h), 5);
    // Past it, by seeking, the rest reads again.
    FileSeek(h, 6, SeekFrom::kBegin, nullptr);
    EXPECT_EQ(Read(h, 100), "HIDDEN");
    FileClose(h);
}

TEST_F(TextFiles, WritingSendsLfAsCrLf) {
    FileHandle h = Open("");
    std::uint32_t done = 0;
    ASSERT_EQ(TextWrite(h, "linha 1\nlinha 2\n", 16, &done), 0u);
    EXPECT_EQ(done, 16u);
    EXPECT_EQ(Pos(h), 18);
    // Appending at the end after a seek to it.
    FileSeek(h, 0, SeekFrom::kEnd, nullptr);
    ASSERT_EQ(TextWrite(h, "\n", 1, &done), 0u);
    EXPECT_EQ(done, 1u);
    FileClose(h);
    EXPECT_EQ(ReadFile("TEXTO.TXT"), "linha 1\r\nlinha 2\r\n\r\n");

    // A long run of LFs goes through more than one chunk.
    h = Open("");
    std::string many(1500, '\n');
    ASSERT_EQ(TextWrite(h, many.data(), 1500, &done), 0u);
    EXPECT_EQ(done, 1500u);
    FileClose(h);
    std::string back = ReadFile("TEXTO.TXT");
    ASSERT_EQ(back.size(), 3000u);
    for (std::size_t i = 0; i < back.size(); i += 2) {
        ASSERT_EQ(back[i], '\r');
        ASSERT_EQ(back[i + 1], '\n');
    }
}

TEST_F(TextFiles, RoundTripAndFailures) {
    FileHandle h = Open("");
    std::uint32_t done;
    TextWrite(h, "a\nb\n", 4, &done);
    FileSeek(h, 0, SeekFrom::kBegin, nullptr);
    EXPECT_EQ(Read(h, 100), "a\nb\n");
    FileClose(h);

    char buf[4];
    EXPECT_EQ(TextRead(kNoFile, buf, 4, &done), kErrInvalidHandle);
    EXPECT_EQ(TextWrite(kNoFile, "x", 1, &done), kErrInvalidHandle);
    WriteFile("RO.TXT", "x");
    ASSERT_EQ(FileOpen("RO.TXT", kAccessRead, FileCreate::kOpenExisting, &h), 0u);
    EXPECT_EQ(TextWrite(h, "a\nb", 3, &done), kErrAccessDenied);
    EXPECT_EQ(done, 0u);
    FileClose(h);
}

} // namespace
