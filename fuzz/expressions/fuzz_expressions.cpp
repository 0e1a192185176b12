// Fuzz target: random texts compiled as key expressions against a small
// table and, when they compile, evaluated on a few records. No text may
// crash the store, write outside the work buffer (a heap block the
// address sanitizer watches) or leave another table selected.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

#include "manager/tablestore/expressions.h"
#include "manager/tablestore/pools.h"
#include "manager/tablestore/store.h"
#include "manager/tablestore/store_errors.h"
#include "manager/tablestore/tables.h"

namespace {

void Write(const char* name, const std::string& bytes) {
    std::ofstream f(name, std::ios::binary);
    f << bytes;
}

// A dBASE III table with fields NAME C 12, BIRTH D 8, AMOUNT N 8.2,
// FLAG L 1 and three records (one deleted, one with a blank date).
std::string People() {
    struct F {
        const char* name;
        char type;
        int width, decimals;
    } fields[] = {
        {"NAME", 'C', 12, 0}, {"BIRTH", 'D', 8, 0}, {"AMOUNT", 'N', 8, 2}, {"FLAG", 'L', 1, 0}};
    const char* records[] = {" ANA         19850315  123.45T", " bruno       20000101   -5.25f",
                             "*CARLA               99999.99N"};
    int width = 1 + 12 + 8 + 8 + 1;
    int header = 32 + 32 * 4 + 1;
    std::string out(32, '\0');
    out[0] = 3;
    out[4] = 3;
    out[8] = static_cast<char>(header);
    out[9] = static_cast<char>(header >> 8);
    out[10] = static_cast<char>(width);
    for (const F& f : fields) {
        std::string d(32, '\0');
        std::memcpy(&d[0], f.name, std::strlen(f.name));
        d[11] = f.type;
        d[16] = static_cast<char>(f.width);
        d[17] = static_cast<char>(f.decimals);
        out += d;
    }
    out += '\x0D';
    for (const char* r : records) out += r;
    out += '\x1A';
    return out;
}

int people = -1;
char scratch[] = "/tmp/fuzz-expr-XXXXXX";

void RemoveScratch() {
    std::error_code ec;
    std::filesystem::remove_all(scratch, ec);
}

void Start() {
    // The tables are made and opened in a scratch directory; the fuzzer's
    // own working directory is given back at once (it reads its corpus
    // from there).
    char home[4096];
    if (::getcwd(home, sizeof home) == nullptr) std::abort();
    if (::mkdtemp(scratch) == nullptr || ::chdir(scratch) != 0) std::abort();
    std::atexit(RemoveScratch);
    if (d4initialize(4, 4, 12, 256, 0) != 0) std::abort();
    Write("PEOPLE.DBF", People());
    Write("OTHER.DBF", std::string("\x03\0\0\0\1\0\0\0\x41\0\6\0", 12) + std::string(20, '\0') +
                           std::string("TITLE\0\0\0\0\0\0C\0\0\0\0\5", 17) + std::string(15, '\0') +
                           "\x0D boss \x1A");
    if (d4open_table("OTHER") < 0 || d4goto_record(1) != 0) std::abort();
    people = d4open_table("PEOPLE");
    if (people < 0 || ::chdir(home) != 0) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (people < 0) Start();
    std::string text(reinterpret_cast<const char*>(data), size);
    text = text.substr(0, text.find('\0'));

    d4select_table(people);
    char* program = nullptr;
    int length = e4compile(text.c_str(), &program);
    if (d4select_table(-1) != people) std::abort();
    if (length < 0) {
        if (program != nullptr) std::abort();
        return 0;
    }
    for (int record = 0; record <= 3; ++record) {
        d4goto_record(record);
        char* r = (record & 1) ? e4vary(program) : e4evaluate(program);
        if (d4select_table(-1) != people) std::abort();
        if (r == nullptr) continue;
        if (r != e4work_buffer() || e4result_length() < 0 ||
            e4result_length() >= e4work_buffer_size() || r[e4result_length()] != 0)
            std::abort();
    }
    h4release_memory(program);
    return 0;
}
