// ReadConfiguration: the four refusals byte for byte, the sizes, the tests it
// makes and the ones it does not, and the mends of bad records.
#include "manager/config.h"
#include "tests/platform/scratch_dir.h"

#include <cstring>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class ReadConfig : public testing_support::ScratchDir {
  protected:
    // A record that ReadConfiguration accepts: slot 3 at address 12 with the
    // application TERM.BIN.
    static ConfigRecord Valid() {
        ConfigRecord r;
        std::memset(&r, 0, sizeof r);
        r.TerminalsDeclared = 1;
        r.TerminalAddress[3] = 12;
        std::strcpy(r.TerminalApplication[3], "TERM.BIN");
        return r;
    }
    static void Write(const ConfigRecord& r, std::size_t size = sizeof(ConfigRecord),
                      const char* name = "talvo.cfg") {
        std::string bytes(reinterpret_cast<const char*>(&r), sizeof r);
        bytes.resize(size, '\x5A');
        WriteFile(name, bytes);
    }
    // Runs ReadConfiguration; returns "" on success, else the message.
    static std::string Read() {
        char message[100];
        std::memset(message, '#', sizeof message);
        if (ReadConfiguration(message, sizeof message)) return "";
        return message;
    }
};

TEST_F(ReadConfig, MissingShortExactAndLongFiles) {
    EXPECT_EQ(Read(), "Nao Existe o Arquivo de Configuracao 'TALVO.CFG'!");
    Write(Valid(), 4124);
    EXPECT_EQ(Read(), "Erro ao Ler Arquivo de Configuracao!");
    Write(Valid(), 0);
    EXPECT_EQ(Read(), "Erro ao Ler Arquivo de Configuracao!");
    Write(Valid(), 4125);
    EXPECT_EQ(Read(), "");
    Write(Valid(), 5000);
    EXPECT_EQ(Read(), "");
    EXPECT_EQ(+Config.TerminalAddress[3], 12);
    EXPECT_EQ(Config.Reserved2[7], 0); // the tail is not part of the record
}

TEST_F(ReadConfig, TheNameIsFoundInAnyLetterCase) {
    Write(Valid(), sizeof(ConfigRecord), "TALVO.CFG");
    EXPECT_EQ(Read(), "");
}

TEST_F(ReadConfig, AReadOnlyFileCountsAsMissing) {
    Write(Valid());
    ::chmod("talvo.cfg", 0444);
    if (::geteuid() != 0) {
        EXPECT_EQ(Read(), "Nao Existe o Arquivo de Configuracao 'TALVO.CFG'!");
        return;
    }
    // Root opens everything: look as an ordinary user instead.
    ::chmod(dir_.c_str(), 0755);
    pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
        ::_exit(Read() == "Nao Existe o Arquivo de Configuracao 'TALVO.CFG'!" ? 0 : 1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(ReadConfig, TerminalsAndApplications) {
    ConfigRecord r = Valid();
    r.TerminalsDeclared = 0;
    Write(r);
    EXPECT_EQ(Read(), "Nenhum Terminal Foi Declarado!");

    r = Valid();
    r.TerminalAddress[3] = 0; // declared, but no address anywhere
    Write(r);
    EXPECT_EQ(Read(), "Nenhum Aplicativo Foi Declarado Para Um Terminal!");

    // Four characters are not an application; five are.
    r = Valid();
    std::strcpy(r.TerminalApplication[3], "T.BN");
    Write(r);
    EXPECT_EQ(Read(), "Nenhum Aplicativo Foi Declarado Para Um Terminal!");
    std::strcpy(r.TerminalApplication[3], "T.BIN");
    Write(r);
    EXPECT_EQ(Read(), "");

    // An application in a slot without an address does not count; a later
    // slot with both does, whatever TerminalsDeclared says.
    r = Valid();
    r.TerminalAddress[3] = 0;
    r.TerminalsDeclared = 7;
    Write(r);
    EXPECT_EQ(Read(), "Nenhum Aplicativo Foi Declarado Para Um Terminal!");
    r.TerminalAddress[31] = 65535;
    std::strcpy(r.TerminalApplication[31], "ULTIMO.BIN");
    Write(r);
    EXPECT_EQ(Read(), "");
}

TEST_F(ReadConfig, FieldsAtTheirOffsetsLittleEndian) {
    ConfigRecord r = Valid();
    r.PortEnabled[0] = 1;
    r.PortEnabled[2] = 1;
    r.PortBaseAddress[0] = 0x03F8;
    r.PortBaseAddress[2] = 0x03E8;
    r.DataFileKind[1] = 'D';
    std::strcpy(r.DataFileName[1], "CLIENTES.DBF");
    r.CommitAfterWrite = 1;
    std::string bytes(reinterpret_cast<const char*>(&r), sizeof r);
    // The odd-offset words, byte for byte.
    EXPECT_EQ(static_cast<unsigned char>(bytes[4109]), 0xF8);
    EXPECT_EQ(static_cast<unsigned char>(bytes[4110]), 0x03);
    EXPECT_EQ(static_cast<unsigned char>(bytes[4113]), 0xE8);
    EXPECT_EQ(static_cast<unsigned char>(bytes[6]), 12); // slot 3's address
    EXPECT_EQ(bytes.substr(73 + 64, 12), "CLIENTES.DBF");
    EXPECT_EQ(bytes[1994], 'D');
    EXPECT_EQ(bytes.substr(2053 + 3 * 64, 8), "TERM.BIN");
    EXPECT_EQ(bytes[4108], 1);
    WriteFile("talvo.cfg", bytes);
    ASSERT_EQ(Read(), "");
    // Ports 1, 0, 1, 0: COM3 is the one opened, with its own base address.
    EXPECT_EQ(ConfigChosenPort(Config), 2);
    EXPECT_EQ(+Config.PortBaseAddress[ConfigChosenPort(Config)], 0x03E8);
    ConfigRecord none = Valid();
    EXPECT_EQ(ConfigChosenPort(none), -1);
}

TEST_F(ReadConfig, DefaultOutputMakesItsDeviceAvailable) {
    ConfigRecord r = Valid();
    r.DefaultOutput = 5;
    r.OutputEnabled[1] = 1;
    Write(r);
    ASSERT_EQ(Read(), "");
    EXPECT_TRUE(ConfigOutputAvailable(Config, 4)); // LPT1, though not enabled
    EXPECT_TRUE(ConfigOutputAvailable(Config, 1));
    EXPECT_FALSE(ConfigOutputAvailable(Config, 5));
    EXPECT_FALSE(ConfigOutputAvailable(Config, 6));
    EXPECT_FALSE(ConfigOutputAvailable(Config, -1));
}

TEST_F(ReadConfig, DefaultOutputAboveSixIsNoneAndTouchesNothingElse) {
    ConfigRecord r = Valid();
    std::memset(r.OutputEnabled, 0, sizeof r.OutputEnabled);
    r.CommitAfterWrite = 0;
    r.PortBaseAddress[0] = 0x1234;
    for (std::uint8_t bad : {7, 8, 200, 255}) {
        r.DefaultOutput = bad;
        Write(r);
        ASSERT_EQ(Read(), "");
        EXPECT_EQ(Config.DefaultOutput, 0);
        EXPECT_EQ(Config.CommitAfterWrite, 0);
        EXPECT_EQ(+Config.PortBaseAddress[0], 0x1234);
        for (int d = 0; d < kConfigOutputs; ++d) EXPECT_FALSE(ConfigOutputAvailable(Config, d));
    }
    r.DefaultOutput = 6;
    Write(r);
    ASSERT_EQ(Read(), "");
    EXPECT_EQ(Config.DefaultOutput, 6);
    EXPECT_TRUE(ConfigOutputAvailable(Config, 5));
}

TEST_F(ReadConfig, TextFieldsWithoutTheirZeroEndInsideTheField) {
    ConfigRecord r = Valid();
    std::memset(r.DataFileName[0], 'A', kConfigNameSize); // no zero at all
    std::strcpy(r.DataFileName[1], "SEGUNDO.DBF");
    std::memset(r.TerminalApplication[3], 'B', kConfigNameSize);
    std::memset(r.TerminalApplication[31], 'C', kConfigNameSize);
    Write(r);
    ASSERT_EQ(Read(), "");
    EXPECT_EQ(std::strlen(Config.DataFileName[0]), kConfigNameSize - 1);
    EXPECT_STREQ(Config.DataFileName[1], "SEGUNDO.DBF");
    EXPECT_EQ(std::strlen(Config.TerminalApplication[3]), kConfigNameSize - 1);
    // The last field of its kind ends before OutputEnabled.
    EXPECT_EQ(std::strlen(Config.TerminalApplication[31]), kConfigNameSize - 1);
    EXPECT_EQ(ConfigTextLength(r.DataFileName[0]), kConfigNameSize);
}

TEST_F(ReadConfig, ShortFileLeavesThePreviousRecordAndMessagesAreCut) {
    Write(Valid());
    ASSERT_EQ(Read(), "");
    Write(Valid(), 100);
    EXPECT_EQ(Read(), "Erro ao Ler Arquivo de Configuracao!");
    EXPECT_EQ(+Config.TerminalAddress[3], 12);
    char small[8];
    EXPECT_FALSE(ReadConfiguration(small, sizeof small));
    EXPECT_STREQ(small, "Erro ao");
    EXPECT_FALSE(ReadConfiguration(nullptr, 0)); // no buffer: no crash
}

} // namespace
