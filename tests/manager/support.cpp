// Test support for the manager (see support.h).
#include "tests/manager/support.h"

#include "manager/tablestore/indexes.h"
#include "manager/tablestore/pages.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace mtest {

namespace {

FakeLink* current = nullptr;
std::deque<FakeLink::Request> requests;
std::deque<bool> errors;

std::uint32_t FakeBase(std::uint16_t base) {
    current->base = base;
    return base;
}
std::uint32_t FakeOpen(const char* name, std::uint16_t count, const std::uint16_t* addresses) {
    ++current->opens;
    current->opened_port = name;
    current->opened_addresses.assign(addresses, addresses + count);
    return current->open_result;
}
std::uint32_t FakeClose() {
    ++current->closes;
    return current->close_result;
}
std::uint32_t FakeCommError() {
    ++current->comm_error_calls;
    if (errors.empty()) return 0;
    const bool e = errors.front();
    errors.pop_front();
    return e ? 1 : 0;
}
std::uint32_t FakeWrite(std::uint16_t address, const std::uint8_t* data, std::uint8_t code,
                        std::int16_t length) {
    Sent s{address, code, {}};
    if (length > 0 && data != nullptr) s.data.assign(data, data + length);
    current->sent.push_back(s);
    return 0;
}
std::uint32_t FakeRead(std::uint16_t* address, std::uint8_t* data, std::uint8_t* code,
                       std::int16_t* length, std::uint32_t) {
    if (requests.empty()) return current->idle_read_result;
    const FakeLink::Request r = requests.front();
    requests.pop_front();
    *address = r.address;
    *code = r.code;
    *length = static_cast<std::int16_t>(r.data.size());
    if (!r.data.empty()) std::memcpy(data, r.data.data(), r.data.size());
    return 0;
}

} // namespace

ScratchDir::ScratchDir(bool enter) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/wtalvoc-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp");
    path_ = buf.data();
    if (enter) {
        char cwd[4096];
        if (::getcwd(cwd, sizeof cwd) != nullptr) previous_ = cwd;
        if (::chdir(path_.c_str()) != 0) throw std::runtime_error("chdir");
    }
}

ScratchDir::~ScratchDir() {
    if (!previous_.empty() && ::chdir(previous_.c_str()) != 0) std::perror("chdir");
    const std::string cmd = "rm -rf '" + path_ + "'";
    if (std::system(cmd.c_str()) != 0) std::perror("rm");
}

ConfigRecord MakeConfig(const std::vector<std::uint16_t>& addresses,
                        const std::vector<Entry>& entries) {
    ConfigRecord r;
    std::memset(&r, 0, sizeof r);
    r.TerminalsDeclared = 1;
    for (std::size_t i = 0; i < addresses.size() && i < 32; ++i) {
        r.TerminalAddress[i] = addresses[i];
        if (addresses[i] != 0)
            std::snprintf(r.TerminalApplication[i], kConfigNameSize, "APP%02zu.BIN", i);
    }
    r.PortEnabled[0] = 1;
    r.PortBaseAddress[0] = 0x3F8;
    for (std::size_t j = 0; j < entries.size() && j < 30; ++j) {
        std::snprintf(r.DataFileName[j], kConfigNameSize, "%s", entries[j].name.c_str());
        r.DataFileKind[j] = entries[j].kind;
        r.DataFileTable[j] = static_cast<std::uint8_t>(entries[j].table);
    }
    r.CommitAfterWrite = 1;
    return r;
}

void WriteConfig(const std::string& dir, const ConfigRecord& record) {
    ConfigRecord r = record;
    SwapConfigurationOrder(&r); // host order to the file's
    WriteFile(dir + "/talvo.cfg", std::string(reinterpret_cast<const char*>(&r), sizeof r));
}

void WriteTable(const std::string& path, const std::vector<Field>& fields,
                const std::vector<std::string>& records) {
    int width = 1;
    for (const Field& f : fields) width += f.width;
    const int header = 32 + 32 * static_cast<int>(fields.size()) + 1;
    std::string out(static_cast<std::size_t>(header), '\0');
    out[0] = 3;
    out[1] = 100;
    out[2] = 1;
    out[3] = 1;
    const auto count = static_cast<std::uint32_t>(records.size());
    for (int i = 0; i < 4; ++i)
        out[static_cast<std::size_t>(4 + i)] = static_cast<char>(count >> (8 * i));
    out[8] = static_cast<char>(header & 0xFF);
    out[9] = static_cast<char>(header >> 8);
    out[10] = static_cast<char>(width & 0xFF);
    out[11] = static_cast<char>(width >> 8);
    for (std::size_t k = 0; k < fields.size(); ++k) {
        char* d = &out[32 + 32 * k];
        std::snprintf(d, 11, "%s", fields[k].name.c_str());
        d[11] = 'C';
        d[16] = static_cast<char>(fields[k].width);
    }
    out[static_cast<std::size_t>(header - 1)] = 0x0D;
    for (const std::string& rec : records) {
        std::string body = " " + rec;
        body.resize(static_cast<std::size_t>(width), ' ');
        out += body;
    }
    out += '\x1A';
    WriteFile(path, out);
}

const std::vector<SmallTable>& SmallTables() {
    static const std::vector<Field> three = {{"CODIGO", 4}, {"NOME", 20}, {"SALDO", 8}};
    static const std::vector<SmallTable> tables = {
        {"UM", {{"CODIGO", 4}}, {}},
        {"TRES", three, {}},
        {"SETE",
         {{"CODIGO", 4},
          {"NOME", 20},
          {"SALDO", 8},
          {"DATA", 8},
          {"HORA", 6},
          {"PORTA", 2},
          {"SENTIDO", 1}},
         {}},
        {"POUCOS", three, {"B002ANA", "A001BETO", "C003CAIO", "A000DINA"}},
        // Exactly 280 bytes: a header of 257, one record of 22, the end mark.
        {"EXATO",
         {{"CODIGO", 4}, {"LOTE", 4}, {"CAIXA", 4}, {"DOCA", 4}, {"TURNO", 2}, {"PORTA", 2},
          {"SENTIDO", 1}},
         {"B001"}},
    };
    return tables;
}

void WriteIndex(const std::string& path, const std::string& expression,
                const std::vector<std::string>& keys) {
    const PageGeometry g = b4geometry_for(4);
    std::uint8_t h[b4page_size] = {};
    b4put16(h + i4h_signature, 6);
    b4put32(h + i4h_root, b4page_size);
    b4put16(h + i4h_item_size, static_cast<std::uint32_t>(g.item_size));
    b4put16(h + i4h_key_length, 4);
    b4put16(h + i4h_max_keys, static_cast<std::uint32_t>(g.max_keys));
    b4put16(h + i4h_half, static_cast<std::uint32_t>(g.half));
    std::snprintf(reinterpret_cast<char*>(h + i4h_expression), 256, "%s", expression.c_str());
    std::uint8_t page[b4page_size];
    b4fresh_page(page, g);
    b4set_key_count(page, static_cast<int>(keys.size()));
    for (std::size_t k = 0; k < keys.size(); ++k) {
        std::uint8_t* item = b4item(page, static_cast<int>(k));
        b4put32(item + 4, static_cast<std::uint32_t>(k + 1));
        std::memcpy(item + 8, keys[k].data(), 4);
    }
    WriteFile(path, std::string(reinterpret_cast<char*>(h), b4page_size) +
                        std::string(reinterpret_cast<char*>(page), b4page_size));
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

FakeLink::FakeLink() : saved_(Link) {
    current = this;
    requests.clear();
    errors.clear();
    Link = LinkCalls{FakeBase, FakeOpen, FakeClose, FakeCommError, FakeWrite, FakeRead};
}

FakeLink::~FakeLink() {
    Link = saved_;
    current = nullptr;
    requests.clear();
    errors.clear();
}

void FakeLink::queue_request(const Request& r) {
    requests.push_back(r);
}

void FakeLink::queue_errors(std::vector<bool> e) {
    for (bool b : e) errors.push_back(b);
}

} // namespace mtest
