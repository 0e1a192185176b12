// The configuration file talvo.cfg: one packed record of 4125 bytes that
// declares the terminals, the serial port, the data files and the local
// output devices. The manager reads it once at start-up and never writes it;
// tools/talvocfg writes it from a readable description.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

inline constexpr int kConfigSlots = 32;     // terminal slots 0..31
inline constexpr int kConfigDataFiles = 30; // data-file entries 0..29
inline constexpr int kConfigPorts = 4;      // COM1..COM4
inline constexpr int kConfigOutputs = 6;    // COM1..COM4, LPT1, LPT2
inline constexpr std::size_t kConfigNameSize = 64;
inline constexpr std::size_t kConfigRecordSize = 4125;

// Data-file kinds.
inline constexpr char kConfigKindText = 'A';
inline constexpr char kConfigKindTable = 'D';
inline constexpr char kConfigKindIndex = 'I';
inline constexpr char kConfigKindIndexC = 'C';

// The file's layout, byte for byte (offsets in the comments). Integers are
// little-endian in the file; ReadConfiguration leaves them in the host's
// order. Text fields end with a zero byte inside the field. The record has
// alignment 1: read its 16-bit fields by value, never through a reference
// or pointer (that would be a misaligned access).
#pragma pack(push, 1)
struct ConfigRecord {
    std::uint16_t TerminalAddress[kConfigSlots];          // 0: 0 = slot empty
    std::uint8_t TerminalsDeclared;                       // 64: must be nonzero
    std::uint8_t PortEnabled[kConfigPorts];               // 65: COM1..COM4
    std::uint8_t Reserved1[4];                            // 69
    char DataFileName[kConfigDataFiles][kConfigNameSize]; // 73: used when it starts with a letter
    char DataFileKind[kConfigDataFiles];                  // 1993: 'A', 'D', 'I', 'C'
    std::uint8_t DataFileTable[kConfigDataFiles];         // 2023: 'I'/'C': table entry + 1
    char TerminalApplication[kConfigSlots][kConfigNameSize]; // 2053: image file of slot i
    std::uint8_t OutputEnabled[kConfigOutputs];              // 4101
    std::uint8_t DefaultOutput;                              // 4107: 1..6, 0 = none
    std::uint8_t CommitAfterWrite;                           // 4108
    std::uint16_t PortBaseAddress[kConfigPorts];             // 4109: COM1..COM4
    std::uint8_t Reserved2[8];                               // 4117
};
#pragma pack(pop)

static_assert(sizeof(ConfigRecord) == kConfigRecordSize);
static_assert(offsetof(ConfigRecord, TerminalsDeclared) == 64);
static_assert(offsetof(ConfigRecord, PortEnabled) == 65);
static_assert(offsetof(ConfigRecord, DataFileName) == 73);
static_assert(offsetof(ConfigRecord, DataFileKind) == 1993);
static_assert(offsetof(ConfigRecord, DataFileTable) == 2023);
static_assert(offsetof(ConfigRecord, TerminalApplication) == 2053);
static_assert(offsetof(ConfigRecord, OutputEnabled) == 4101);
static_assert(offsetof(ConfigRecord, DefaultOutput) == 4107);
static_assert(offsetof(ConfigRecord, CommitAfterWrite) == 4108);
static_assert(offsetof(ConfigRecord, PortBaseAddress) == 4109);
static_assert(offsetof(ConfigRecord, Reserved2) == 4117);

// The configuration of the running manager, filled by ReadConfiguration.
extern ConfigRecord Config;

// The texts of ReadConfiguration's refusals.
inline constexpr const char* kConfigMissingMessage =
    "Nao Existe o Arquivo de Configuracao 'TALVO.CFG'!";
inline constexpr const char* kConfigShortMessage = "Erro ao Ler Arquivo de Configuracao!";
inline constexpr const char* kConfigNoTerminalsMessage = "Nenhum Terminal Foi Declarado!";
inline constexpr const char* kConfigNoApplicationMessage =
    "Nenhum Aplicativo Foi Declarado Para Um Terminal!";

// Reads talvo.cfg from the working directory into Config. It must open for
// reading and writing (a read-only file counts as missing) and hold at least
// 4125 bytes (only those are used); TerminalsDeclared must be nonzero and
// some slot must have both an address and an application name of more than
// 4 characters. On failure the message is copied into message (messageSize
// bytes, cut and zero-terminated) and the result is false.
//
// The record is made safe to use before it is returned: every text field's
// last byte becomes zero (a name that fills its field is cut to 63
// characters instead of running into the next field), and a DefaultOutput
// above 6 becomes 0, none, so that no device number outside the six is ever
// derived from it.
bool ReadConfiguration(char* message, std::size_t messageSize = 100);

// Applies the two safety rules above to a record (ReadConfiguration calls it).
void MendConfiguration(ConfigRecord* record);

// Length of the text in a field of size bytes, never past the field.
inline std::size_t ConfigTextLength(const char* field, std::size_t size = kConfigNameSize) {
    std::size_t n = 0;
    while (n < size && field[n] != '\0') ++n;
    return n;
}

// Converts the record's integers between the file's little-endian order and
// the host's (nothing to do on a little-endian host).
inline void SwapConfigurationOrder(ConfigRecord* record) {
    if constexpr (std::endian::native == std::endian::big) {
        auto swap = [](std::uint16_t v) { return static_cast<std::uint16_t>((v >> 8) | (v << 8)); };
        for (auto& a : record->TerminalAddress) a = swap(a);
        for (auto& b : record->PortBaseAddress) b = swap(b);
    } else {
        (void)record;
    }
}

// The port to open: the last of COM1..COM4 whose PortEnabled is nonzero
// (0..3), or -1 when none is.
inline int ConfigChosenPort(const ConfigRecord& record) {
    int port = -1;
    for (int p = 0; p < kConfigPorts; ++p) {
        if (record.PortEnabled[p] != 0) port = p;
    }
    return port;
}

// Whether local output device d (0..5) is available to terminals: enabled,
// or named as the default device.
inline bool ConfigOutputAvailable(const ConfigRecord& record, int d) {
    if (d < 0 || d >= kConfigOutputs) return false;
    return record.OutputEnabled[d] != 0 || record.DefaultOutput == d + 1;
}
