// Start-up pieces: the command line, Initialise with its data files and its
// failure texts, the port choice and the compacted polled list, Shutdown.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "manager/cmdline.h"
#include "manager/runtime.h"
#include "manager/startup.h"
#include "manager/tablestore/indexes.h"
#include "manager/tablestore/store.h"
#include "manager/tablestore/tables.h"
#include "platform/clock.h"
#include "platform/locks.h"
#include "tests/manager/support.h"

namespace {

TEST(CommandLine, OptionsAndRefusals) {
    struct Case {
        std::vector<const char*> args;
        int status;
        bool minusOne, help, version, headless, statusAsked, json;
        const char* directory;
    };
    const Case cases[] = {
        {{}, 0, false, false, false, false, false, false, nullptr},
        {{"-1"}, 0, true, false, false, false, false, false, nullptr},
        {{"--help"}, 0, false, true, false, false, false, false, nullptr},
        {{"-h"}, 0, false, true, false, false, false, false, nullptr},
        {{"--version"}, 0, false, false, true, false, false, false, nullptr},
        {{"-1", "--headless", "-C", "/srv"}, 0, true, false, false, true, false, false, "/srv"},
        {{"--status", "--json", "--directory=/d"}, 0, false, false, false, false, true, true, "/d"},
        {{"-C/d", "--status"}, 0, false, false, false, false, true, false, "/d"},
        // Anything else is refused, also what once ran as if nothing had been given.
        {{" -1"}, 2, false, false, false, false, false, false, nullptr},
        {{"-1", "x"}, 2, true, false, false, false, false, false, nullptr},
        {{"-10"}, 2, true, false, false, false, false, false, nullptr},
        {{"-1 "}, 2, true, false, false, false, false, false, nullptr},
        {{"/srv/dados"}, 2, false, false, false, false, false, false, nullptr},
        {{"-x"}, 2, false, false, false, false, false, false, nullptr},
        {{"--bogus"}, 2, false, false, false, false, false, false, nullptr},
        {{"-C"}, 2, false, false, false, false, false, false, nullptr},
        {{"--json"}, 2, false, false, false, false, false, true, nullptr},
        {{"--stop", "--status"}, 2, false, false, false, false, true, false, nullptr},
        {{"--monitor", "--check"}, 2, false, false, false, false, false, false, nullptr},
        {{"--stop", "--monitor"}, 2, false, false, false, false, false, false, nullptr},
    };
    for (const Case& c : cases) {
        std::vector<const char*> argv{"/usr/bin/wtalvoc"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        std::string shown;
        for (const char* a : c.args) shown += std::string("[") + a + "]";
        CommandLine line;
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(ParseCommandLine(static_cast<int>(argv.size()), argv.data(), &line), c.status)
            << shown;
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(err.empty(), c.status == 0) << shown << err;
        if (c.status != 0) {
            EXPECT_EQ(err.rfind("wtalvoc: ", 0), 0u) << err;
            continue;
        }
        EXPECT_EQ(line.minusOne, c.minusOne) << shown;
        EXPECT_EQ(line.help, c.help) << shown;
        EXPECT_EQ(line.version, c.version) << shown;
        EXPECT_EQ(line.headless, c.headless) << shown;
        EXPECT_EQ(line.status, c.statusAsked) << shown;
        EXPECT_EQ(line.json, c.json) << shown;
        EXPECT_STREQ(line.directory ? line.directory : "", c.directory ? c.directory : "") << shown;
    }
    // The operator's commands, each alone with its directory.
    for (const char* command : {"--stop", "--monitor", "--check"}) {
        const char* argv[] = {"wtalvoc", command, "-C", "/d"};
        CommandLine line;
        ASSERT_EQ(ParseCommandLine(4, argv, &line), 0) << command;
        EXPECT_EQ(int(line.stop) + 2 * int(line.monitor) + 4 * int(line.check),
                  command[2] == 's'   ? 1
                  : command[2] == 'm' ? 2
                                      : 4);
        EXPECT_STREQ(line.directory, "/d");
    }
}

class StartupTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetRuntimeTables(); }
    void TearDown() override {
        d4close_all_tables();
        d4reset_store();
        ResetRuntimeTables();
        plat::ClearTestLocalTime();
    }
    bool Start(const ConfigRecord& r) {
        mtest::WriteConfig(dir.path(), r);
        return Initialise();
    }
    void Table(const std::string& name) {
        mtest::WriteTable(dir.file(name), {{"CODE", 4}, {"NAME", 8}}, {"0001ANA", "0002BIA"});
    }
    void Index(const std::string& name) {
        mtest::WriteIndex(dir.file(name), "CODE", {"0001", "0002"});
    }
    mtest::ScratchDir dir;
};

TEST_F(StartupTest, OpensTablesIndexesAndTextFilesAndSkipsEntriesNotStartingWithALetter) {
    Table("CLI.DBF");
    Index("CLICOD.NTX");
    mtest::WriteFile(dir.file("NOTES.TXT"), "a\r\n");
    // The index is listed before its table; names of missing files that
    // start with a digit or a blank or a separator are never opened.
    const ConfigRecord r = mtest::MakeConfig({5}, {{"CLICOD.NTX", 'I', 2},
                                                   {"CLI.DBF", 'D'},
                                                   {"NOTES.TXT", 'A'},
                                                   {"1MISSING.DBF", 'D'},
                                                   {" MISSING.TXT", 'A'},
                                                   {"\\MISSING.DBF", 'D'},
                                                   {"OTHER.NTX", 'I', 9},
                                                   {"STRAY.NTX", 'X'}});
    ASSERT_TRUE(Start(r)) << MessageBuffer;
    EXPECT_GE(DataFileHandle[0], 0);
    EXPECT_GE(DataFileHandle[1], 0);
    EXPECT_GE(DataFileHandle[2], 0);
    for (int j = 3; j < 30; ++j) EXPECT_EQ(DataFileHandle[j], -1) << j;
    const IndexHandle* ix = i4index(DataFileHandle[0]);
    ASSERT_NE(ix, nullptr);
    EXPECT_EQ(ix->table, DataFileHandle[1]);
    // Lock tables for the table and the text file only.
    EXPECT_EQ(DataFileLocks[0], nullptr);
    ASSERT_NE(DataFileLocks[1], nullptr);
    ASSERT_NE(DataFileLocks[2], nullptr);
    EXPECT_EQ(DataFileLocks[1]->holder, kNoHolder);
    EXPECT_EQ(DataFileLocks[1]->record[31], 0u);
}

TEST_F(StartupTest, FailureTexts) {
    EXPECT_FALSE(Initialise());
    EXPECT_STREQ(MessageBuffer, "Nao Existe o Arquivo de Configuracao 'TALVO.CFG'!");
    ResetRuntimeTables();
    EXPECT_FALSE(Start(mtest::MakeConfig({5}, {{"ABSENT.TXT", 'A'}})));
    EXPECT_STREQ(MessageBuffer, "Erro ao Abrir Arquivo Texto ABSENT.TXT");
}

TEST_F(StartupTest, MissingTableFails) {
    EXPECT_FALSE(Start(mtest::MakeConfig({5}, {{"ABSENT.DBF", 'D'}})));
    EXPECT_STREQ(MessageBuffer, "Erro ao Abrir Arquivo ABSENT.DBF");
}

TEST_F(StartupTest, MissingIndexFails) {
    Table("CLI.DBF");
    EXPECT_FALSE(Start(mtest::MakeConfig({5}, {{"CLI.DBF", 'D'}, {"NOPE.NTX", 'C', 1}})));
    EXPECT_STREQ(MessageBuffer, "Erro ao Abrir Arquivo NOPE.NTX");
}

TEST_F(StartupTest, LongestNameStillFitsTheMessage) {
    const std::string name(63, 'Q');
    EXPECT_FALSE(Start(mtest::MakeConfig({5}, {{name, 'A'}})));
    EXPECT_EQ(std::string(MessageBuffer), "Erro ao Abrir Arquivo Texto " + name);
}

TEST_F(StartupTest, OutputRecordsForEnabledDevicesAndTheDefault) {
    ConfigRecord r = mtest::MakeConfig({5}, {});
    r.OutputEnabled[1] = 1;
    r.DefaultOutput = 5; // LPT1 even though not enabled
    ASSERT_TRUE(Start(r)) << MessageBuffer;
    EXPECT_EQ(OutputBuffer[0], nullptr);
    ASSERT_NE(OutputBuffer[1], nullptr);
    ASSERT_NE(OutputBuffer[4], nullptr);
    EXPECT_EQ(OutputBuffer[4]->owner, kNoSlot);
    EXPECT_EQ(OutputBuffer[4]->reserved[523], 0);
    EXPECT_EQ(OutputBuffer[5], nullptr);
}

TEST_F(StartupTest, LastEnabledPortWins) {
    ConfigRecord r = mtest::MakeConfig({5}, {});
    r.PortEnabled[0] = 1;
    r.PortEnabled[2] = 1;
    r.PortBaseAddress[0] = 0x3F8;
    r.PortBaseAddress[2] = 0x3E8;
    ASSERT_TRUE(Start(r));
    ChoosePort();
    EXPECT_STREQ(PortName, "COM3");
    EXPECT_EQ(PortBase, 0x3E8);
}

TEST_F(StartupTest, NoPortEnabledLeavesTheNameEmpty) {
    ConfigRecord r = mtest::MakeConfig({5}, {});
    r.PortEnabled[0] = 0;
    ASSERT_TRUE(Start(r));
    ChoosePort();
    EXPECT_STREQ(PortName, "");
}

TEST_F(StartupTest, PolledListIsCompactedInSlotOrder) {
    std::vector<std::uint16_t> addresses(32, 0);
    addresses[3] = 300;
    addresses[7] = 0x0710;
    addresses[20] = 2000;
    ASSERT_TRUE(Start(mtest::MakeConfig(addresses, {})));
    TerminalFile[9] = 4;
    TerminalIndex[9] = 2;
    BuildPolledList();
    EXPECT_EQ(PolledCount, 3);
    EXPECT_EQ(PolledAddress[0], 300);
    EXPECT_EQ(PolledAddress[1], 0x0710);
    EXPECT_EQ(PolledAddress[2], 2000);
    EXPECT_EQ(SlotOfAddress(0x0710), 7);
    EXPECT_EQ(SlotOfAddress(2000), 20);
    EXPECT_EQ(TerminalFile[9], -1);
    EXPECT_EQ(TerminalIndex[9], -1);
}

TEST_F(StartupTest, SameAddressTwiceDispatchesWithTheLaterSlot) {
    std::vector<std::uint16_t> addresses(32, 0);
    addresses[2] = 44;
    addresses[11] = 44;
    ASSERT_TRUE(Start(mtest::MakeConfig(addresses, {})));
    BuildPolledList();
    EXPECT_EQ(PolledCount, 2);
    EXPECT_EQ(SlotOfAddress(44), 11);
}

TEST_F(StartupTest, ShutdownReleasesLocksAndStampsTheTables) {
    Table("CLI.DBF");
    ASSERT_TRUE(Start(mtest::MakeConfig({5}, {{"CLI.DBF", 'D'}})));
    plat::SetTestLocalTime({2031, 5, 1, 17, 1, 2, 3, 0});
    TerminalFile[0] = DataFileHandle[0];
    TerminalFileKind[0] = kKindTable;
    TerminalLocks[0] = DataFileLocks[0];
    DataFileLocks[0]->holder = 0;
    const TableHandle* t = d4table(DataFileHandle[0]);
    ASSERT_NE(t, nullptr);
    ASSERT_EQ(plat::LockRegion(t->file, 1000000000, 1000000000), 0u);
    Shutdown();
    EXPECT_EQ(d4table(0), nullptr);
    const std::string bytes = mtest::ReadFile(dir.file("CLI.DBF"));
    EXPECT_EQ(static_cast<unsigned char>(bytes[1]), 131);
    EXPECT_EQ(static_cast<unsigned char>(bytes[2]), 5);
    EXPECT_EQ(static_cast<unsigned char>(bytes[3]), 17);
    EXPECT_EQ(static_cast<unsigned char>(bytes[4]), 2);
    EXPECT_EQ(DataFileLocks[0], nullptr);
}

} // namespace
