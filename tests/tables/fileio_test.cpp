// File access: name normalising and comparison, the open modes and their
// errors, exact reads and writes with their reports, the lock primitives.
#include <gtest/gtest.h>

#include <filesystem>

#include "manager/tablestore/fileio.h"
#include "tests/tables/table_files.h"

namespace {

std::string normal(const char* name, const char* extension = ".DBF") {
    char out[u4name_size];
    std::memset(out, '#', sizeof out);
    const int length = u4name_normalise(name, extension, out);
    EXPECT_EQ(static_cast<int>(std::strlen(out)), length);
    return out;
}

TEST(Names, Normalising) {
    EXPECT_EQ(normal("clientes"), "CLIENTES.DBF");
    EXPECT_EQ(normal("clientes.dbf   "), "CLIENTES.DBF");
    EXPECT_EQ(normal("dados\\Itens", ".NTX"), "DADOS\\ITENS.NTX");
    EXPECT_EQ(normal("c:\\dir.x\\tab"), "C:\\DIR.X\\TAB.DBF")
        << "a point before the last separator";
    EXPECT_EQ(normal("dir.x/tab.old"), "DIR.X/TAB.OLD");
    EXPECT_EQ(normal("a-z_09{}"), "A-Z_09{}.DBF");
    EXPECT_EQ(normal(""), ".DBF");
    EXPECT_EQ(normal(nullptr, nullptr), "");
    const std::string sixty(60, 'n');
    EXPECT_EQ(normal(sixty.c_str()), std::string(60, 'N') + ".DB") << "cut to 63 characters";
    const std::string hundred(100, 'x');
    EXPECT_EQ(normal(hundred.c_str()).size(), 63u);
    char text[] = "abc\xe9z[]";
    EXPECT_STREQ(text_upper(text), "ABC\xe9Z[]") << "only a to z";
    EXPECT_EQ(text_upper(nullptr), nullptr);
}

TEST(Names, Comparing) {
    EXPECT_TRUE(u4name_equal("A.DBF", "A.DBF"));
    EXPECT_FALSE(u4name_equal("A.DBF", "A.DBFX"));
    EXPECT_TRUE(u4name_equal("A.DBF", "A.DBF  ")) << "the stored name may end with a blank";
    EXPECT_FALSE(u4name_equal("A.DB", "A.DBF"));
    const std::string long_a(70, 'A');
    const std::string stored(63, 'A');
    EXPECT_TRUE(u4name_equal(long_a.c_str(), stored.c_str())) << "at most 63 characters compared";
}

struct Files : ::testing::Test {
    testfiles::TempDir dir;
    std::string report;
    int quietly(const std::string& name, int mode) {
        ::testing::internal::CaptureStderr();
        e4set_last_error(0);
        const int file = u4open_file(name.c_str(), mode);
        report = ::testing::internal::GetCapturedStderr();
        return file;
    }
};

TEST_F(Files, OpenModes) {
    const std::string name = dir.file("F.DAT");
    EXPECT_EQ(quietly(name, 0), -1);
    EXPECT_EQ(e4last_error(), 120);
    EXPECT_NE(report.find("Opening File\n" + name), std::string::npos);
    EXPECT_EQ(quietly(name, 4), -1);
    EXPECT_EQ(e4last_error(), 120);
    EXPECT_EQ(quietly(name, 0 + 8), -1);
    EXPECT_EQ(report, "") << "+8: no report";
    EXPECT_EQ(e4last_error(), 0);

    const int created = quietly(name, 1);
    ASSERT_GE(created, 0);
    ASSERT_EQ(u4write_exact(created, 0, "hello", 5, name.c_str()), 0);
    EXPECT_EQ(u4close_file(created), 0);
    EXPECT_EQ(quietly(name, 1), -1) << "mode 1 fails on a file that exists";
    EXPECT_EQ(e4last_error(), 100);
    EXPECT_NE(report.find("Creating File\n" + name), std::string::npos);
    EXPECT_EQ(testfiles::read_file(name).size(), 5u) << "and leaves it alone";

    const int again = quietly(name, 2);
    ASSERT_GE(again, 0);
    EXPECT_EQ(u4file_size(again), 0) << "mode 2 starts the file afresh";
    u4close_file(again);
    const int existing = quietly(name, 4);
    ASSERT_GE(existing, 0);
    u4close_file(existing);
    EXPECT_EQ(quietly(dir.file("NO/SUCH/DIR.DAT"), 2), -1);
    EXPECT_EQ(e4last_error(), 100);
    EXPECT_EQ(quietly(name, 3), -1) << "an unknown mode opens nothing";
}

TEST_F(Files, ExactReadsAndWrites) {
    const std::string name = dir.file("E.DAT");
    testfiles::write_file(name, testfiles::Bytes(10, 'x'));
    const int file = quietly(name, 0);
    ASSERT_GE(file, 0);
    char buffer[16] = {};
    EXPECT_EQ(u4read_exact(file, 2, buffer, 8, name.c_str()), 0);
    EXPECT_EQ(std::string(buffer), "xxxxxxxx");

    ::testing::internal::CaptureStderr();
    EXPECT_EQ(u4read_exact(file, 5, buffer, 8, name.c_str(), "Record: ", "7"), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "\nError Number: \n       140\n\nReading from File\n" + name +
                  "\nRecord: \n7\nPress a key ...");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(u4read_exact(file, -1, buffer, 1, name.c_str()), -1);
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("Seeking to File Position\n"),
              std::string::npos);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(u4write_exact(file, -5, buffer, 1, name.c_str()), -1);
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(e4last_error(), 150);
    EXPECT_EQ(u4read_at(file, 8, buffer, 8), 2) << "the quiet read tells how much it got";
    EXPECT_EQ(u4read_at(-1, 0, buffer, 1), -1);
    ASSERT_EQ(u4write_exact(file, 12, "ab", 2, name.c_str()), 0);
    EXPECT_EQ(u4file_size(file), 14);
    EXPECT_EQ(u4close_file(file), 0);
    EXPECT_EQ(u4file_size(file), -1);

    ::testing::internal::CaptureStderr();
    EXPECT_EQ(u4write_exact(file, 0, "z", 1, name.c_str()), -1) << "a closed handle";
    ::testing::internal::GetCapturedStderr();
    EXPECT_NE(e4last_error(), 0);
}

TEST_F(Files, ShortWriteOnAFullDiskIsReported) {
    // A short write must be reported, not taken for success; /dev/full plays
    // the full disk.
    const int full = quietly("/dev/full", 0);
    if (full < 0) GTEST_SKIP() << "no /dev/full here";
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(u4write_exact(full, 0, "data", 4, "/dev/full", "Record Number:", "3"), -1);
    const std::string written = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(written.find("Writing to File\n/dev/full\nRecord Number:\n3\n"), std::string::npos);
    EXPECT_EQ(e4last_error(), 160);
    u4close_file(full);
}

TEST(Locks, PrimitivesLockForRealAndChangeMode) {
    testfiles::TempDir dir;
    testfiles::write_file(dir.file("L.DBF"), testfiles::Bytes(64, ' '));
    const int file = u4open_file(dir.file("L.DBF").c_str(), u4open_existing);
    ASSERT_GE(file, 0);
    EXPECT_EQ(u4lock(-1, u4lock_base, 1, 0), u4refused);
    EXPECT_EQ(u4lock(file, u4lock_base + 5, 1, 0), u4locked);
    EXPECT_EQ(u4lock(file, u4lock_base, u4lock_base, 1), u4refused) << "overlaps record 5";
    EXPECT_EQ(u4unlock(file, u4lock_base + 5, 1), 0);
    EXPECT_EQ(u4unlock(file, u4lock_base + 5, 1), -1) << "not locked any more";
    // The index lock: shared, then the same region exclusive, then shared again.
    EXPECT_EQ(u4lock(file, u4lock_base, 1, 0, 1), u4locked);
    EXPECT_EQ(u4lock(file, u4lock_base, 1, 0), u4locked);
    EXPECT_EQ(u4lock(file, u4lock_base, 1, 0, 1), u4locked);
    EXPECT_EQ(u4unlock(file, u4lock_base, 1), 0);
    u4close_file(file);
}

} // namespace
