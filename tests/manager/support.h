// Test support for the manager: a scratch directory made the working
// directory for a test, talvo.cfg records, small dBASE III tables, and a
// stand-in for the link driver that records every answer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "manager/config.h"
#include "manager/link.h"

namespace mtest {

// A fresh directory under the system's temporary directory; with enter, the
// process's working directory while the object lives.
class ScratchDir {
  public:
    explicit ScratchDir(bool enter = true);
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
    std::string previous_;
};

// A data-file entry of the configuration.
struct Entry {
    std::string name;
    char kind;
    int table = 0; // 'I' / 'C': the 'D' entry's number, counted from 1
};

// A record with the terminals (slot i: addresses[i], 0 = empty; each with
// an application name), COM1 enabled at 0x3F8, and the entries.
ConfigRecord MakeConfig(const std::vector<std::uint16_t>& addresses,
                        const std::vector<Entry>& entries);

// Writes the record as talvo.cfg (little-endian, 4125 bytes) into dir.
void WriteConfig(const std::string& dir, const ConfigRecord& record);

// A 'C' field of a table.
struct Field {
    std::string name;
    int width;
};

// Writes a table of 'C' fields with the records (values laid side by side,
// blank-padded to the record's width), dated 1 January 2000.
void WriteTable(const std::string& path, const std::vector<Field>& fields,
                const std::vector<std::string>& records);

// Small tables, none over 280 bytes, as a new table of a few fields is:
// empty ones of 1, 3 and 7 'C' fields, one of 3 fields with a few records
// and one of exactly 280 bytes. Each has CODIGO (4 wide) as its first field.
struct SmallTable {
    const char* name; // also the file's name without ".DBF"
    std::vector<Field> fields;
    std::vector<std::string> records;
};
const std::vector<SmallTable>& SmallTables();

// Writes a one-page index of 4-byte keys over `expression`: key i of the
// list belongs to record i + 1 (the keys in ascending order).
void WriteIndex(const std::string& path, const std::string& expression,
                const std::vector<std::string>& keys);

// Bytes of a file ("" when it cannot be read).
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);

// One answer handed to the stand-in driver.
struct Sent {
    std::uint16_t address;
    std::uint8_t code;
    std::vector<std::uint8_t> data;
};

// The stand-in: replaces Link while it lives. Answers are recorded; reads
// deliver the queued requests, one per call, then report none; comm_error
// reports the errors queued, one per call.
class FakeLink {
  public:
    FakeLink();
    ~FakeLink();
    FakeLink(const FakeLink&) = delete;
    FakeLink& operator=(const FakeLink&) = delete;

    struct Request {
        std::uint16_t address;
        std::uint8_t code;
        std::vector<std::uint8_t> data;
    };
    void queue_request(const Request& r);
    void queue_errors(std::vector<bool> errors);

    std::vector<Sent> sent;
    int comm_error_calls = 0;
    int opens = 0;
    int closes = 0;
    std::uint32_t close_result = 0;
    std::uint32_t open_result = 0;
    std::uint32_t idle_read_result = 1; // a read with no request queued
    std::string opened_port;
    std::vector<std::uint16_t> opened_addresses;
    std::uint16_t base = 0;

  private:
    LinkCalls saved_;
};

} // namespace mtest
