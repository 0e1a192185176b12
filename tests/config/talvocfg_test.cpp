// talvocfg: the description compiles to the right bytes, dump and build give
// back the same bytes, every fault is named with its line, and a failed
// build writes nothing.
#include "manager/config.h"
#include "tests/platform/scratch_dir.h"
#include "tools/talvocfg/source.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace fs = std::filesystem;
using talvocfg::BuildRecord;
using talvocfg::DumpRecord;
using talvocfg::SourceError;

namespace {

const char* kExample = R"(# The shop floor
terminal 0 address 5 application TERM.BIN
terminal 1 address 0x0010 application "C:\TALVO\CATRACA 2.BIN"
terminal 31 address 65535
port COM1 base 0x3F8 disabled
port COM2 base 0x2F8
file text DADOS.TXT
file index CLIENTES.NTX of clientes.dbf   # forward reference
file table CLIENTES.DBF
file index-c CODIGO.NTX of CLIENTES.DBF
output LPT1
output COM3
default LPT1
commit yes
)";

std::string Bytes(const ConfigRecord& r) {
    return std::string(reinterpret_cast<const char*>(&r), sizeof r);
}

TEST(TalvocfgSource, TheExampleCompilesToTheLayout) {
    ConfigRecord r;
    SourceError err;
    ASSERT_TRUE(BuildRecord(kExample, &r, &err)) << err.line << ": " << err.reason;
    EXPECT_EQ(r.TerminalsDeclared, 1);
    EXPECT_EQ(+r.TerminalAddress[0], 5);
    EXPECT_EQ(+r.TerminalAddress[1], 16);
    EXPECT_EQ(+r.TerminalAddress[31], 65535);
    EXPECT_STREQ(r.TerminalApplication[1], "C:\\TALVO\\CATRACA 2.BIN");
    EXPECT_STREQ(r.TerminalApplication[31], "");
    EXPECT_EQ(r.PortEnabled[0], 0);
    EXPECT_EQ(r.PortEnabled[1], 1);
    EXPECT_EQ(+r.PortBaseAddress[0], 0x3F8);
    EXPECT_EQ(+r.PortBaseAddress[1], 0x2F8);
    EXPECT_STREQ(r.DataFileName[0], "DADOS.TXT");
    EXPECT_EQ(r.DataFileKind[0], 'A');
    EXPECT_EQ(r.DataFileKind[1], 'I');
    EXPECT_EQ(r.DataFileTable[1], 3); // entry 2, counted from 1
    EXPECT_EQ(r.DataFileKind[2], 'D');
    EXPECT_EQ(r.DataFileTable[2], 0);
    EXPECT_EQ(r.DataFileKind[3], 'C');
    EXPECT_EQ(r.DataFileTable[3], 3);
    EXPECT_EQ(r.DataFileKind[4], 0);
    EXPECT_EQ(r.OutputEnabled[4], 1);
    EXPECT_EQ(r.OutputEnabled[2], 1);
    EXPECT_EQ(r.DefaultOutput, 5);
    EXPECT_EQ(r.CommitAfterWrite, 1);
    std::string b = Bytes(r);
    EXPECT_EQ(b.substr(4111, 2), std::string("\xF8\x02", 2)); // COM2's base, odd offset
    // Nothing else is set: the reserved bytes and unused fields stay zero.
    EXPECT_EQ(b.substr(69, 4), std::string(4, '\0'));
    EXPECT_EQ(b.substr(4117, 8), std::string(8, '\0'));
    EXPECT_EQ(b.substr(73 + 9, 64 - 9), std::string(55, '\0'));
}

TEST(TalvocfgSource, DumpThenBuildGivesTheSameBytes) {
    ConfigRecord first, second;
    SourceError err;
    ASSERT_TRUE(BuildRecord(kExample, &first, &err));
    std::string text = DumpRecord(first);
    ASSERT_TRUE(BuildRecord(text, &second, &err)) << err.line << ": " << err.reason << "\n" << text;
    EXPECT_EQ(Bytes(first), Bytes(second));
    EXPECT_EQ(DumpRecord(second), text);

    ConfigRecord empty;
    ASSERT_TRUE(BuildRecord("", &empty, &err));
    EXPECT_EQ(Bytes(empty), std::string(sizeof empty, '\0'));
    ASSERT_TRUE(BuildRecord(DumpRecord(empty), &second, &err));
    EXPECT_EQ(Bytes(second), Bytes(empty));
}

// Random descriptions of every feature: whatever build makes, dump and build
// make again.
TEST(TalvocfgSource, RoundTripOfRandomDescriptions) {
    std::mt19937 rng(20260101);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    const char* devices[] = {"COM1", "COM2", "COM3", "COM4", "LPT1", "LPT2"};
    const std::string nameChars = "ABCXYZ0189._-\\: #\xE7\xC3";
    auto name = [&](int maxLen) {
        std::string s;
        int len = 1 + pick(maxLen);
        for (int i = 0; i < len; ++i)
            s += nameChars[static_cast<std::size_t>(pick(static_cast<int>(nameChars.size())))];
        return s;
    };
    for (int round = 0; round < 300; ++round) {
        std::string src;
        if (pick(2)) src += "declared " + std::to_string(pick(256)) + "\n";
        for (int s = 0; s < 32; ++s) {
            if (pick(3)) continue;
            src += "terminal " + std::to_string(s) + " address " +
                   std::to_string(1000 + s * 7 + pick(5) * 256);
            if (pick(2)) src += " application \"" + name(63) + "\"";
            src += "\n";
        }
        for (int p = 0; p < 4; ++p) {
            if (pick(2)) continue;
            src += "port COM" + std::to_string(p + 1);
            if (pick(2)) src += " base " + std::to_string(pick(65536));
            if (pick(3) == 0) src += " disabled";
            src += "\n";
        }
        int files = pick(31);
        std::vector<int> tables;
        for (int j = 0; j < files; ++j) {
            std::string n = "F" + std::to_string(j) + "_" + name(50);
            int kind = pick(4);
            if (kind >= 2 && tables.empty()) kind = 1;
            if (kind == 0) src += "file text \"" + n + "\"\n";
            if (kind == 1) {
                src += "file table \"" + n + "\"\n";
                tables.push_back(j);
            }
            if (kind >= 2) {
                int t = tables[static_cast<std::size_t>(pick(static_cast<int>(tables.size())))];
                src += std::string(kind == 2 ? "file index \"" : "file index-c \"") + n +
                       "\" of \"" + "T" + std::to_string(t) + "\"\n";
            }
        }
        for (int d = 0; d < 6; ++d)
            if (pick(2)) src += std::string("output ") + devices[d] + "\n";
        int def = pick(8);
        if (def < 6) src += std::string("default ") + devices[def] + "\n";
        if (def == 6) src += "default none\n";
        if (pick(2)) src += pick(2) ? "commit yes\n" : "commit no\n";

        // Table references use the table's name: patch them in.
        std::string fixed;
        std::size_t pos = 0;
        while (true) {
            std::size_t at = src.find("\" of \"T", pos);
            if (at == std::string::npos) break;
            std::size_t numStart = at + 7, numEnd = src.find('"', numStart);
            int t = std::stoi(src.substr(numStart, numEnd - numStart));
            std::string key = "\nfile table \"F" + std::to_string(t) + "_";
            std::size_t def_at = src.find(key);
            ASSERT_NE(def_at, std::string::npos);
            std::size_t nameStart = def_at + 13, nameEnd = src.find('"', nameStart);
            fixed += src.substr(pos, at + 6 - pos) + src.substr(nameStart, nameEnd - nameStart);
            pos = numEnd;
        }
        fixed += src.substr(pos);
        ConfigRecord first, second;
        SourceError err;
        ASSERT_TRUE(BuildRecord(fixed, &first, &err))
            << "round " << round << " line " << err.line << ": " << err.reason << "\n"
            << fixed;
        std::string text = DumpRecord(first);
        ASSERT_TRUE(BuildRecord(text, &second, &err))
            << "round " << round << " line " << err.line << ": " << err.reason << "\n"
            << text;
        ASSERT_EQ(Bytes(first), Bytes(second)) << text;
    }
}

struct BadCase {
    const char* source;
    int line;
    const char* reasonPart;
};

TEST(TalvocfgSource, FaultsAreNamedWithTheirLine) {
    const std::string name63(63, 'N'), name64(64, 'N');
    std::string thirtyOne;
    for (int j = 0; j < 31; ++j) thirtyOne += "file text T" + std::to_string(j) + ".TXT\n";
    const std::string longApp = "terminal 0 address 2 application " + name64 + "\n";
    const std::string longFile = "\nfile table " + name64 + "\n";
    const BadCase cases[] = {
        {"# ok\ncolour blue\n", 2, "unknown key 'colour'"},
        {"terminal 32 address 5\n", 1, "slot '32' is not 0..31"},
        {"terminal -1 address 5\n", 1, "slot"},
        {"terminal 0 address 0\n", 1, "address '0' is not 2..65535"},
        {"terminal 0 address 1\n", 1, "address 1 is the PC's own address"},
        {"terminal 0 address 65536\n", 1, "address '65536'"},
        {"terminal 0 address 99999999999999\n", 1, "address"},
        {"terminal 0 address 5\nterminal 0 address 6\n", 2, "slot 0 given twice"},
        {"terminal 0 address 5\nterminal 1 address 5\n", 2, "already used by slot 0"},
        {"terminal 0 address 5 application\n", 1, "needs a name"},
        {"terminal 0 adress 5\n", 1, "expected 'address'"},
        {longApp.c_str(), 1, "64 characters or more"},
        {longFile.c_str(), 2, "64 characters or more"},
        {thirtyOne.c_str(), 31, "more than 30 data files"},
        {"file text A.TXT\nfile index A.NTX of A.TXT\n", 2, "'A.TXT' is not a table"},
        {"file index A.NTX of NADA.DBF\n", 1, "no data file named 'NADA.DBF'"},
        {"file index A.NTX\n", 1, "needs 'of TABLE'"},
        {"file memo A.DBT\n", 1, "unknown file kind 'memo'"},
        {"file table A.DBF\nfile table a.dbf\n", 2, "given twice"},
        {"default LPT3\n", 1, "default device 'LPT3'"},
        {"default 5\n", 1, "default device '5'"},
        {"output PRN\n", 1, "'PRN' is not one of"},
        {"port LPT1 base 5\n", 1, "not a port COM1..COM4"},
        {"port COM1 base 70000\n", 1, "base address '70000'"},
        {"port COM1 speed 9600\n", 1, "unexpected 'speed'"},
        {"commit maybe\n", 1, "yes or no"},
        {"terminal 0 address 5 application \"OPEN.BIN\n", 1, "missing closing quote"},
        {"terminal 0 address 5 application \"\"\n", 1, "empty application name"},
        {"declared 256\n", 1, "0..255"},
        {"\n\n\nterminal 0 address 5 extra\n", 4, "unexpected 'extra'"},
    };
    for (const BadCase& c : cases) {
        ConfigRecord r;
        SourceError err;
        EXPECT_FALSE(BuildRecord(c.source, &r, &err)) << c.source;
        EXPECT_EQ(err.line, c.line) << c.source;
        EXPECT_NE(err.reason.find(c.reasonPart), std::string::npos)
            << c.source << " gave: " << err.reason;
    }
    // The limits themselves are fine.
    ConfigRecord r;
    SourceError err;
    std::string thirty = thirtyOne.substr(0, thirtyOne.rfind("file text"));
    EXPECT_TRUE(BuildRecord(thirty, &r, &err)) << err.reason;
    EXPECT_TRUE(BuildRecord("terminal 31 address 65535 application " + name63 + "\n", &r, &err))
        << err.reason;
    EXPECT_EQ(ConfigTextLength(r.TerminalApplication[31]), 63u);
    EXPECT_TRUE(BuildRecord("default none\r\ncommit no\r\n", &r, &err)) << err.reason;
}

TEST(TalvocfgSource, EveryMistakeIsReportedInLineOrder) {
    ConfigRecord r;
    SourceError first;
    std::vector<SourceError> all;
    EXPECT_FALSE(BuildRecord("file index X.NTX of NADA.DBF\nterminal 0 address 5\n"
                             "terminal 1 address 5\nfile text A\nfile text a\ncolour blue\n",
                             &r, &first, &all));
    std::string seen;
    for (const SourceError& e : all) seen += std::to_string(e.line) + " " + e.reason + "\n";
    EXPECT_EQ(seen, "1 no data file named 'NADA.DBF'\n3 address 5 already used by slot 0\n"
                    "5 data file 'a' given twice\n6 unknown key 'colour'\n");
    EXPECT_EQ(first.line, 1);
}

TEST(TalvocfgSource, DumpSaysWhatItCannotWrite) {
    ConfigRecord r;
    std::memset(&r, 0, sizeof r);
    std::memset(r.DataFileName[0], 'X', 64); // no zero inside the field
    std::strcpy(r.DataFileName[1], "IDX.NTX");
    r.DataFileKind[1] = 'I';
    r.DataFileTable[1] = 200; // not an entry
    r.DefaultOutput = 9;
    std::strcpy(r.TerminalApplication[4], "SOZINHO.BIN");
    std::string text = DumpRecord(r);
    EXPECT_NE(text.find("# data file 0: name not representable"), std::string::npos);
    EXPECT_NE(text.find("table entry 200 is not a table"), std::string::npos);
    EXPECT_NE(text.find("outside 1..6"), std::string::npos);
    EXPECT_NE(text.find("# slot 4 has no address"), std::string::npos);
}

class TalvocfgProgram : public testing_support::ScratchDir {
  protected:
    static int Run(const std::string& args, std::string* out = nullptr) {
        std::string cmd = std::string(TALVOCFG_PROGRAM) + " " + args + " 2>&1";
        FILE* p = ::popen(cmd.c_str(), "r");
        if (p == nullptr) return -1;
        std::string text;
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
        int status = ::pclose(p);
        if (out) *out = text;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

TEST_F(TalvocfgProgram, BuildDumpBuildIsByteIdenticalAndTheManagerAcceptsIt) {
    WriteFile("example.txt", kExample);
    ASSERT_EQ(Run("build example.txt talvo.cfg"), 0);
    std::string bytes = ReadFile("talvo.cfg");
    ASSERT_EQ(bytes.size(), 4125u);
    std::string dumped;
    ASSERT_EQ(Run("dump talvo.cfg", &dumped), 0);
    WriteFile("again.txt", dumped);
    ASSERT_EQ(Run("build again.txt again.cfg"), 0);
    EXPECT_EQ(ReadFile("again.cfg"), bytes);
    char message[100] = "";
    EXPECT_TRUE(ReadConfiguration(message, sizeof message)) << message;
    EXPECT_EQ(+Config.TerminalAddress[1], 16);
    for (const auto& e : fs::directory_iterator(dir_))
        EXPECT_EQ(e.path().string().find(".tmp"), std::string::npos); // no leftovers
}

TEST_F(TalvocfgProgram, AFailedBuildWritesNothing) {
    WriteFile("bad.txt", "terminal 0 address 5 application TERM.BIN\ncommit yes\nport COM5\n");
    std::string out;
    EXPECT_EQ(Run("build bad.txt talvo.cfg", &out), 1);
    EXPECT_NE(out.find("bad.txt:3:"), std::string::npos) << out;
    EXPECT_FALSE(fs::exists("talvo.cfg"));
    // An existing file stays as it was.
    WriteFile("talvo.cfg", "previous");
    EXPECT_EQ(Run("build bad.txt talvo.cfg"), 1);
    EXPECT_EQ(ReadFile("talvo.cfg"), "previous");
    EXPECT_EQ(Run("build missing.txt talvo.cfg", &out), 1);
    EXPECT_EQ(ReadFile("talvo.cfg"), "previous");
    int files = 0;
    for (const auto& e : fs::directory_iterator(dir_)) files += e.is_regular_file();
    EXPECT_EQ(files, 2); // bad.txt and talvo.cfg only
}

TEST_F(TalvocfgProgram, WarnsOfWhatTheManagerWouldRefuseAndSkipsAByteOrderMark) {
    WriteFile("bom.txt", "\xEF\xBB\xBFterminal 0 address 5 application ABIN\n");
    std::string out;
    ASSERT_EQ(Run("build bom.txt talvo.cfg", &out), 0);
    EXPECT_NE(out.find("warning: the manager will refuse talvo.cfg: \"Nenhum Aplicativo Foi "
                       "Declarado Para Um Terminal!\""),
              std::string::npos)
        << out;
    EXPECT_EQ(ReadFile("talvo.cfg").size(), 4125u);
    WriteFile("ok.txt", "terminal 0 address 5 application AB.BIN\n");
    ASSERT_EQ(Run("build ok.txt talvo.cfg", &out), 0);
    EXPECT_EQ(out, "");
    WriteFile("none.txt", "declared 0\nterminal 0 address 5 application AB.BIN\n");
    ASSERT_EQ(Run("build none.txt talvo.cfg", &out), 0);
    EXPECT_NE(out.find("Nenhum Terminal Foi Declarado!"), std::string::npos) << out;
}

TEST_F(TalvocfgProgram, DumpRefusesShortFilesAndNotesLongOnes) {
    WriteFile("short.cfg", std::string(4124, '\0'));
    std::string out;
    EXPECT_EQ(Run("dump short.cfg", &out), 1);
    EXPECT_NE(out.find("4124 bytes"), std::string::npos);
    WriteFile("long.cfg", std::string(5000, '\0'));
    EXPECT_EQ(Run("dump long.cfg", &out), 0);
    EXPECT_NE(out.find("only the first 4125"), std::string::npos);
    EXPECT_EQ(Run("", &out), 2);
    EXPECT_EQ(Run("dump", &out), 2);
    EXPECT_EQ(Run("build a", &out), 2);
    EXPECT_EQ(Run("dump nothere.cfg", &out), 1);
    // Bytes that are no configuration: refused unless forced.
    std::mt19937 rng(7);
    std::string noise(4125, '\0');
    for (char& c : noise) c = static_cast<char>(rng());
    WriteFile("noise.cfg", noise);
    EXPECT_EQ(Run("dump noise.cfg", &out), 1);
    EXPECT_NE(out.find("noise.cfg: not a configuration: "), std::string::npos) << out;
    EXPECT_EQ(Run("dump --force noise.cfg", &out), 0);
}

TEST_F(TalvocfgProgram, BuildReadsStandardInputAndNamesEveryMistake) {
    std::string out;
    EXPECT_EQ(Run("build - talvo.cfg < /dev/null", &out), 0) << out;
    WriteFile("two.txt", "terminal 0 address 1 application A.BIN\nport COM9\n");
    EXPECT_EQ(Run("build - talvo.cfg < two.txt", &out), 1);
    EXPECT_EQ(out, "talvocfg: (standard input):1: address 1 is the PC's own address on the line; "
                   "terminals use 2..65535\n"
                   "talvocfg: (standard input):2: 'COM9' is not a port COM1..COM4\n");
}

} // namespace
