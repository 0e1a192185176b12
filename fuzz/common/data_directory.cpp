// The fuzz targets' data directory: made once, put back before each input.
#include "fuzz/common/data_directory.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "manager/config.h"
#include "manager/runtime.h"
#include "manager/tablestore/store.h"
#include "manager/tablestore/tables.h"
#include "platform/devices.h"
#include "platform/files.h"
#include "tools/dbftool/dbftool.h"

namespace fuzzdata {

namespace {

char g_dir[64];
char g_home[4096];
struct File {
    std::string name, bytes;
};
std::vector<File> g_files;

void Write(const std::string& name, const std::string& bytes) {
    std::ofstream f(name, std::ios::binary | std::ios::trunc);
    f << bytes;
    if (!f) std::abort();
}

std::string Read(const std::string& name) {
    std::ifstream f(name, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

void Put16(std::string& s, std::size_t at, unsigned v) {
    s[at] = char(v & 0xFF);
    s[at + 1] = char(v >> 8);
}

struct Field {
    const char* name;
    char type;
    int width, decimals;
};

std::string Table(std::initializer_list<Field> fields, std::initializer_list<const char*> records) {
    int width = 1;
    for (const Field& f : fields) width += f.width;
    const int header = 32 + 32 * int(fields.size()) + 1;
    std::string out(32, '\0');
    out[0] = 3;
    out[1] = 124;
    out[2] = 1;
    out[3] = 1;
    Put16(out, 4, unsigned(records.size()));
    Put16(out, 8, unsigned(header));
    Put16(out, 10, unsigned(width));
    for (const Field& f : fields) {
        std::string d(32, '\0');
        std::memcpy(&d[0], f.name, std::strlen(f.name));
        d[11] = f.type;
        d[16] = char(f.width);
        d[17] = char(f.decimals);
        out += d;
    }
    out += '\x0D';
    for (const char* r : records) out.append(r, std::size_t(width));
    out += '\x1A';
    return out;
}

void Name(char* field, const char* text) {
    std::snprintf(field, kConfigNameSize, "%s", text);
}

std::string Configuration() {
    ConfigRecord c;
    std::memset(&c, 0, sizeof c);
    c.TerminalAddress[0] = kAddresses[0];
    c.TerminalAddress[1] = kAddresses[1];
    c.TerminalsDeclared = 2;
    c.PortEnabled[0] = 1;
    c.PortBaseAddress[0] = 0x3F8;
    // A download of a real image paces its blocks in real time; these send
    // nothing.
    Name(c.TerminalApplication[0], "NOIMAGE.BIN");
    Name(c.TerminalApplication[1], "EMPTY.BIN");
    Name(c.DataFileName[0], "NOTES.TXT");
    c.DataFileKind[0] = 'A';
    Name(c.DataFileName[1], "PEOPLE.DBF");
    c.DataFileKind[1] = 'D';
    Name(c.DataFileName[2], "PEOPNAME.NTX");
    c.DataFileKind[2] = 'I';
    c.DataFileTable[2] = 2;
    Name(c.DataFileName[3], "PEOPAMT");
    c.DataFileKind[3] = 'C';
    c.DataFileTable[3] = 2;
    c.OutputEnabled[plat::kDeviceLpt1] = 1;
    c.DefaultOutput = plat::kDeviceLpt1 + 1;
    std::string bytes(sizeof c, '\0');
    std::memcpy(&bytes[0], &c, sizeof c);
    return bytes;
}

bool MakeTemporary(const char* parent) {
    std::snprintf(g_dir, sizeof g_dir, "%s/fuzz-data-XXXXXX", parent);
    return ::mkdtemp(g_dir) != nullptr;
}

} // namespace

void Make() {
    if (!g_files.empty()) return;
    if (::getcwd(g_home, sizeof g_home) == nullptr) std::abort();
    if (!MakeTemporary("/dev/shm") && !MakeTemporary("/tmp")) std::abort();
    if (::chdir(g_dir) != 0) std::abort();
    std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(g_dir, ec);
    });
    Write("PEOPLE.DBF",
          Table({{"NAME", 'C', 12, 0},
                 {"BIRTH", 'D', 8, 0},
                 {"AMOUNT", 'N', 8, 2},
                 {"FLAG", 'L', 1, 0}},
                {" ANA         19850315  123.45T", " BRUNO       20000101   -5.25F",
                 "*CARLA               99999.99N", " DANI        19991231    0.00?",
                 " EDU         20240229   10.10T", " ANA         19700101    1.00F",
                 " ZECA        19010101 -999.99T", " \x10\x10MARIA     20101010   42.00Y"}));
    Write("OTHER.DBF", Table({{"TITLE", 'C', 5, 0}}, {" boss ", "*gone "}));
    if (d4initialize(1, 1, 25, 256, 0) != 0) std::abort();
    if (dbf_build_index("PEOPLE", "PEOPNAME", "NAME", false, stderr) != 0) std::abort();
    if (dbf_build_index("PEOPLE", "PEOPAMT", "STR(AMOUNT,8,2)+DTOS(BIRTH)", false, stderr) != 0)
        std::abort();
    d4close_all_tables();
    d4reset_store();
    Write("NOTES.TXT", "first line\r\nsecond line\r\n\x1A");
    Write("EMPTY.BIN", "");
    Write("talvo.cfg", Configuration());
    for (const char* name : {"PEOPLE.DBF", "PEOPNAME.NTX", "PEOPAMT.NTX", "OTHER.DBF", "NOTES.TXT",
                             "EMPTY.BIN", "talvo.cfg"})
        g_files.push_back({name, Read(name)});
    g_files.push_back({"LPT1", ""});
    g_files.push_back({"TableErrors.txt", ""});
    Leave();
}

void Enter() {
    if (::chdir(g_dir) != 0) std::abort();
    for (const File& f : g_files) Write(f.name, f.bytes);
}

void Leave() {
    if (::chdir(g_home) != 0) std::abort();
}

void CloseManagerFiles() {
    for (int j = 0; j < kDataFiles; ++j)
        if (Config.DataFileKind[j] == 'A' && DataFileHandle[std::size_t(j)] >= 0)
            plat::FileClose(DataFileHandle[std::size_t(j)]);
    d4close_all_tables();
    d4reset_store();
    ResetRuntimeTables();
}

} // namespace fuzzdata
