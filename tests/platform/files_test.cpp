// Binary files: exact counts, 64-bit sizes, error numbers, and the mapping of
// PC-style names (separators, letter case, drive prefixes).
#include "platform/errors.h"
#include "platform/files.h"
#include "tests/platform/scratch_dir.h"

#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <thread>

namespace fs = std::filesystem;
using namespace plat;

namespace {

class Files : public testing_support::ScratchDir {};

TEST_F(Files, CreateWriteReadSeekAndExactCounts) {
    FileHandle h;
    ASSERT_EQ(FileOpen("DATA.BIN", kAccessReadWrite, FileCreate::kCreateNew, &h), 0u);
    std::uint32_t done = 99;
    ASSERT_EQ(FileWrite(h, "hello\nworld", 11, &done), 0u);
    EXPECT_EQ(done, 11u);
    std::int64_t pos = -1;
    ASSERT_EQ(FileSeek(h, -5, SeekFrom::kEnd, &pos), 0u);
    EXPECT_EQ(pos, 6);
    char buf[16] = {};
    // Asking for more than is there reports the exact count and succeeds.
    ASSERT_EQ(FileRead(h, buf, sizeof buf, &done), 0u);
    EXPECT_EQ(done, 5u);
    EXPECT_EQ(std::string(buf, done), "world");
    ASSERT_EQ(FileRead(h, buf, sizeof buf, &done), 0u);
    EXPECT_EQ(done, 0u);
    ASSERT_EQ(FileReadAt(h, 2, buf, 3, &done), 0u);
    EXPECT_EQ(std::string(buf, done), "llo");
    ASSERT_EQ(FileSeek(h, 0, SeekFrom::kCurrent, &pos), 0u);
    EXPECT_EQ(pos, 11); // a positioned read leaves the position alone
    ASSERT_EQ(FileWriteAt(h, 0, "J", 1, &done), 0u);
    std::int64_t size = 0;
    ASSERT_EQ(FileSize(h, &size), 0u);
    EXPECT_EQ(size, 11);
    EXPECT_EQ(FileCommit(h), 0u);
    EXPECT_EQ(FileClose(h), 0u);
    EXPECT_EQ(ReadFile("DATA.BIN"), "Jello\nworld");
}

TEST_F(Files, SizesBeyondFourGigabytesAndSeekBeforeStart) {
    FileHandle h;
    ASSERT_EQ(FileOpen("BIG.BIN", kAccessReadWrite, FileCreate::kCreateAlways, &h), 0u);
    const std::int64_t far = 5'000'000'000LL;
    std::uint32_t done = 0;
    ASSERT_EQ(FileWriteAt(h, far, "x", 1, &done), 0u); // a sparse file
    std::int64_t size = 0;
    ASSERT_EQ(FileSize(h, &size), 0u);
    EXPECT_EQ(size, far + 1);
    EXPECT_EQ(FileSeek(h, -1, SeekFrom::kBegin, nullptr), kErrInvalidParameter);
    EXPECT_EQ(LastError(), kErrInvalidParameter);
    ASSERT_EQ(FileTruncate(h, 3), 0u);
    ASSERT_EQ(FileSize(h, &size), 0u);
    EXPECT_EQ(size, 3);
    FileClose(h);
}

TEST_F(Files, CreationModes) {
    FileHandle h;
    EXPECT_EQ(FileOpen("NONE.DBF", kAccessReadWrite, FileCreate::kOpenExisting, &h),
              kErrFileNotFound);
    EXPECT_EQ(h, kNoFile);
    EXPECT_EQ(LastError(), kErrFileNotFound);

    WriteFile("OLD.DBF", "abc");
    EXPECT_EQ(FileOpen("OLD.DBF", kAccessReadWrite, FileCreate::kCreateNew, &h), kErrFileExists);
    EXPECT_EQ(ReadFile("OLD.DBF"), "abc");
    ASSERT_EQ(FileOpen("OLD.DBF", kAccessRead, FileCreate::kOpenAlways, &h), 0u);
    FileClose(h);
    EXPECT_EQ(ReadFile("OLD.DBF"), "abc");
    ASSERT_EQ(FileOpen("OLD.DBF", kAccessReadWrite, FileCreate::kCreateAlways, &h), 0u);
    FileClose(h);
    EXPECT_EQ(ReadFile("OLD.DBF"), "");
    ASSERT_EQ(FileOpen("NEW.DBF", kAccessWrite, FileCreate::kOpenAlways, &h), 0u);
    FileClose(h);
    EXPECT_TRUE(fs::exists("NEW.DBF"));

    EXPECT_EQ(FileDelete("NEW.DBF"), 0u);
    EXPECT_FALSE(fs::exists("NEW.DBF"));
    EXPECT_EQ(FileDelete("NEW.DBF"), kErrFileNotFound);
}

TEST_F(Files, ErrorNumbers) {
    FileHandle h;
    EXPECT_EQ(FileOpen("NODIR\\X.DBF", kAccessRead, FileCreate::kOpenExisting, &h),
              kErrPathNotFound);
    EXPECT_EQ(FileOpen("NODIR/X.DBF", kAccessReadWrite, FileCreate::kCreateAlways, &h),
              kErrPathNotFound);
    fs::create_directory("SUB");
    EXPECT_EQ(FileOpen("SUB", kAccessRead, FileCreate::kOpenExisting, &h), kErrAccessDenied);
    EXPECT_EQ(FileOpen("SUB", kAccessReadWrite, FileCreate::kOpenExisting, &h), kErrAccessDenied);
    EXPECT_EQ(FileOpen("", kAccessRead, FileCreate::kOpenExisting, &h), kErrInvalidParameter);
    EXPECT_EQ(FileOpen("X", 0, FileCreate::kOpenExisting, &h), kErrInvalidParameter);

    if (::geteuid() != 0) { // root reads everything
        WriteFile("RO.CFG", "x");
        ::chmod("RO.CFG", 0444);
        EXPECT_EQ(FileOpen("RO.CFG", kAccessReadWrite, FileCreate::kOpenExisting, &h),
                  kErrAccessDenied);
    }

    char buf[4];
    std::uint32_t done = 7;
    EXPECT_EQ(FileRead(kNoFile, buf, 4, &done), kErrInvalidHandle);
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(FileClose(kNoFile), kErrInvalidHandle);
    EXPECT_EQ(FileClose(987654), kErrInvalidHandle);
    EXPECT_EQ(FileCommit(-3), kErrInvalidHandle);

    // Writing through a read-only handle is refused.
    WriteFile("R.BIN", "abc");
    ASSERT_EQ(FileOpen("R.BIN", kAccessRead, FileCreate::kOpenExisting, &h), 0u);
    EXPECT_EQ(FileWrite(h, "z", 1, &done), kErrAccessDenied);
    EXPECT_EQ(done, 0u);
    FileClose(h);
}

// A commit flushes only a handle written to since its last commit; the
// positioned calls leave the file position alone; every call is counted.
TEST_F(Files, CommitOnlyWhatWasWrittenAndCountCalls) {
    FileOwner a, b;
    ASSERT_EQ(FileOpen("A.BIN", kAccessReadWrite, FileCreate::kCreateNew, &a.handle), 0u);
    ASSERT_EQ(FileOpen("B.BIN", kAccessReadWrite, FileCreate::kCreateNew, &b.handle), 0u);
    const long syncs = FileSyncCount();
    EXPECT_EQ(FileCommit(a.handle), 0u);
    EXPECT_EQ(FileSyncCount(), syncs) << "nothing written, nothing to flush";

    std::uint32_t done = 0;
    const long calls = FileCallCount();
    ASSERT_EQ(FileWriteAt(a.handle, 4, "abcd", 4, &done), 0u);
    EXPECT_EQ(FileCallCount(), calls + 1) << "one positioned write, no seek";
    char buf[8] = {};
    ASSERT_EQ(FileReadAt(a.handle, 2, buf, 8, &done), 0u);
    EXPECT_EQ(done, 6u);
    EXPECT_EQ(std::string(buf + 2, 4), "abcd");
    std::int64_t pos = -1;
    ASSERT_EQ(FileSeek(a.handle, 0, SeekFrom::kCurrent, &pos), 0u);
    EXPECT_EQ(pos, 0);
    EXPECT_TRUE(FileWritten(a.handle));
    EXPECT_FALSE(FileWritten(b.handle));
    EXPECT_EQ(FileCommit(a.handle), 0u);
    EXPECT_EQ(FileCommit(a.handle), 0u);
    EXPECT_EQ(FileSyncCount(), syncs + 1);
    EXPECT_FALSE(FileWritten(a.handle));

    // A truncation is a write; the orderly stop flushes every written handle.
    ASSERT_EQ(FileTruncate(b.handle, 100), 0u);
    ASSERT_EQ(FileWrite(a.handle, "x", 1, &done), 0u);
    EXPECT_EQ(FileCommitAll(), 0u);
    EXPECT_EQ(FileSyncCount(), syncs + 3);
    EXPECT_EQ(FileCommitAll(), 0u);
    EXPECT_EQ(FileSyncCount(), syncs + 3);
    EXPECT_NE(FileReadAt(a.handle, -1, buf, 1, &done), 0u);
}

TEST(ErrorMapping, ErrnoValuesAndThreadLocality) {
    EXPECT_EQ(ErrorFromErrno(ENOENT), 2u);
    EXPECT_EQ(ErrorFromErrno(ENOTDIR), 3u);
    EXPECT_EQ(ErrorFromErrno(EACCES), 5u);
    EXPECT_EQ(ErrorFromErrno(EROFS), 5u);
    EXPECT_EQ(ErrorFromErrno(EBADF), 6u);
    EXPECT_EQ(ErrorFromErrno(ENOMEM), 8u);
    EXPECT_EQ(ErrorFromErrno(EINVAL), 87u);
    EXPECT_EQ(ErrorFromErrno(EBUSY), 170u);
    EXPECT_EQ(ErrorFromErrno(EAGAIN), 170u);
    EXPECT_EQ(ErrorFromErrno(EIO), 31u);
    EXPECT_EQ(ErrorFromErrno(EPIPE), 31u);
    EXPECT_EQ(ErrorFromErrno(0), 0u);

    SetLastError(5);
    std::uint32_t other = 1;
    std::thread t([&] {
        other = LastError();
        SetLastError(170);
    });
    t.join();
    EXPECT_EQ(other, 0u);       // a new thread starts clean
    EXPECT_EQ(LastError(), 5u); // and does not disturb ours
}

TEST_F(Files, NamesAreMatchedWithoutLetterCase) {
    fs::create_directories("Dados/sub");
    WriteFile("Dados/sub/clientes.dbf", "C");
    char out[kMaxPath];
    ASSERT_EQ(ResolveName("DADOS\\SUB\\CLIENTES.DBF", out, sizeof out), 0u);
    EXPECT_STREQ(out, "Dados/sub/clientes.dbf");
    FileHandle h;
    ASSERT_EQ(FileOpen("dados/SUB/Clientes.Dbf", kAccessRead, FileCreate::kOpenExisting, &h), 0u);
    FileClose(h);

    // The exact name wins over another spelling.
    WriteFile("Dados/sub/CLIENTES.DBF", "U");
    ASSERT_EQ(ResolveName("DADOS\\SUB\\CLIENTES.DBF", out, sizeof out), 0u);
    EXPECT_STREQ(out, "Dados/sub/CLIENTES.DBF");
    // Among several spellings, none exact, the choice does not depend on
    // the directory's order.
    ASSERT_EQ(ResolveName("dados/sub/Clientes.dbf", out, sizeof out), 0u);
    EXPECT_STREQ(out, "Dados/sub/CLIENTES.DBF");

    // A new file goes into the existing directory, named as written.
    ASSERT_EQ(FileOpen("DADOS\\NOVO.TXT", kAccessWrite, FileCreate::kCreateNew, &h), 0u);
    FileClose(h);
    EXPECT_TRUE(fs::exists("Dados/NOVO.TXT"));

    // Repeated and trailing separators, dot components.
    ASSERT_EQ(ResolveName(".\\\\dados//./SUB\\clientes.DBF", out, sizeof out), 0u);
    EXPECT_TRUE(fs::exists(out));
    EXPECT_EQ(FileExists("DADOS\\SUB"), 0u);
    EXPECT_EQ(FileExists("DADOS\\NADA"), kErrFileNotFound);
    EXPECT_EQ(FileExists("NADA\\NADA"), kErrPathNotFound);

    // Absolute names keep their root.
    std::string abs = (dir_ / "dados" / "sub" / "CLIENTES.dbf").string();
    ASSERT_EQ(ResolveName(abs.c_str(), out, sizeof out), 0u);
    EXPECT_EQ(std::string(out), (dir_ / "Dados" / "sub" / "CLIENTES.DBF").string());
}

TEST_F(Files, DrivePrefixGoesThroughTheEntryOfThatName) {
    fs::create_directories("srv/dados");
    WriteFile("srv/dados/TABELA.DBF", "T");
    char out[kMaxPath];
    EXPECT_EQ(ResolveName("C:\\DADOS\\TABELA.DBF", out, sizeof out), kErrPathNotFound);
    FileHandle h;
    EXPECT_EQ(FileOpen("C:\\TABELA.DBF", kAccessRead, FileCreate::kOpenExisting, &h),
              kErrPathNotFound);

    fs::create_directory_symlink(dir_ / "srv", "C:");
    ASSERT_EQ(FileOpen("C:\\DADOS\\TABELA.DBF", kAccessRead, FileCreate::kOpenExisting, &h), 0u);
    FileClose(h);
    ASSERT_EQ(FileOpen("c:\\dados\\tabela.dbf", kAccessRead, FileCreate::kOpenExisting, &h), 0u);
    FileClose(h);
    // Drive-relative form "C:name".
    ASSERT_EQ(ResolveName("C:DADOS\\TABELA.DBF", out, sizeof out), 0u);
    EXPECT_STREQ(out, "C:/dados/TABELA.DBF");
}

TEST_F(Files, OverlongNamesAreRefusedNotOverrun) {
    std::string longName(kMaxPath + 100, 'A');
    char out[kMaxPath];
    EXPECT_EQ(ResolveName(longName.c_str(), out, sizeof out), kErrPathNotFound);
    char small[8];
    EXPECT_EQ(ResolveName("ABCDEFGHIJ.DBF", small, sizeof small), kErrPathNotFound);
    fs::create_directory("abcd");
    EXPECT_EQ(ResolveName("ABCD\\EFGH", small, sizeof small), kErrPathNotFound);
}

} // namespace
