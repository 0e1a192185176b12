// Shared pieces of the record-request line tests: a manager on a line over
// a small table ITEM.DBF with indexes on its NOME and QTD fields, requests that
// carry field lists, and dbftool run as another program would run it.
#pragma once

#include "tests/requests/table_line_common.h"

#include <cstdio>
#include <string>
#include <sys/wait.h>
#include <utility>
#include <vector>

namespace recordtest {

using namespace linetest;

constexpr std::uint16_t kA = 5;
constexpr std::uint16_t kB = 6;

// ITEM.DBF: NOME C 10, QTD N 5, NASC D 8, ATIVO L 1, VAL N 8.2.
const std::vector<int> kWidths = {10, 5, 8, 1, 8};
enum { kNome, kQtd, kNasc, kAtivo, kVal };

// A field list: the parameter bytes, then each name and value with its
// NUL; the last value's NUL is left out when last_nul is false (the
// manager ends the request itself).
inline std::vector<std::uint8_t>
Pairs(std::vector<std::uint8_t> head, const std::vector<std::pair<std::string, std::string>>& pairs,
      bool last_nul = true) {
    std::vector<std::uint8_t> v = std::move(head);
    for (const auto& [name, value] : pairs) {
        v.insert(v.end(), name.begin(), name.end());
        v.push_back(0);
        v.insert(v.end(), value.begin(), value.end());
        v.push_back(0);
    }
    if (!last_nul && !pairs.empty()) v.pop_back();
    return v;
}

// Runs dbftool with these arguments; its exit status and its output.
struct ToolRun {
    int status = -1;
    std::string out;
};
inline ToolRun Dbftool(const std::string& args) {
    ToolRun run;
    const std::string command = std::string(DBFTOOL_PATH) + " " + args + " 2>&1";
    FILE* p = ::popen(command.c_str(), "r");
    if (p == nullptr) return run;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) run.out.append(buf, n);
    const int st = ::pclose(p);
    run.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return run;
}

// The record count in bytes 4-7 of a table file's header.
inline std::uint32_t HeaderCount(const TableFile& t) {
    if (t.bytes.size() < 8) return 0;
    return static_cast<std::uint32_t>(t.bytes[4] | (t.bytes[5] << 8) | (t.bytes[6] << 16) |
                                      (t.bytes[7] << 24));
}

// One record of ITEM.DBF as WriteTable takes it: the values side by side,
// each blank-padded (text) to its width.
inline std::string Rec(const std::string& nome, const std::string& qtd, const std::string& nasc,
                       const std::string& ativo, const std::string& val) {
    auto pad = [](std::string s, std::size_t w) {
        s.resize(w, ' ');
        return s;
    };
    return pad(nome, 10) + pad(qtd, 5) + pad(nasc, 8) + pad(ativo, 1) + pad(val, 8);
}

class RecordLine : public TableLine {
  protected:
    void SetUp() override {
        WriteTable(line.path("ITEM.DBF"),
                   {{"NOME", 'C', 10},
                    {"QTD", 'N', 5},
                    {"NASC", 'D', 8},
                    {"ATIVO", 'L', 1},
                    {"VAL", 'N', 8, 2}},
                   {Rec("CARLA", "    1", "20260101", "T", "    1.50"),
                    Rec("ALICE", "    2", "20251231", "F", "    2.50"),
                    Rec("BRUNO", "    3", "        ", "?", "    3.50")});
        const ToolRun index =
            Dbftool("index " + line.path("ITEM.DBF") + " " + line.path("ITNOME.NTX") + " NOME");
        ASSERT_EQ(index.status, 0) << index.out;
        const ToolRun second =
            Dbftool("index " + line.path("ITEM.DBF") + " " + line.path("ITQTD.NTX") + " QTD");
        ASSERT_EQ(second.status, 0) << second.out;
        started_ =
            Start({kA, kB}, {{"ITEM.DBF", 'D'}, {"ITNOME.NTX", 'I', 1}, {"ITQTD.NTX", 'I', 1}});
    }
    // Opens ITEM for terminal t, with its index when indexed.
    void Open(std::uint16_t t, bool indexed = false) {
        const Answer a = indexed ? line.ask(t, 42, Args2("ITEM", "ITNOME"))
                                 : line.ask(t, 16, Args(0, 0, "ITEM"));
        EXPECT_EQ(a.code, indexed ? 42 : 16) << a.note;
    }
    void Go(std::uint16_t t, int r) {
        EXPECT_EQ(line.ask(t, 22, Args(0, 0, std::to_string(r))).code, 22);
    }
    // Sends a record-changing request and reads its record image.
    Image Change(std::uint16_t t, std::uint8_t code, const std::vector<std::uint8_t>& data) {
        const Answer a = line.ask(t, code, data);
        EXPECT_EQ(a.code, code) << a.note;
        return ReadImage(a, kWidths);
    }
    TableFile Disk() {
        TableFile f;
        EXPECT_TRUE(f.load(line.path("ITEM.DBF")));
        return f;
    }
    // dbftool's check of both indexes against the table.
    ToolRun Check() {
        return Dbftool("check " + line.path("ITEM.DBF") + " " + line.path("ITNOME.NTX") + " " +
                       line.path("ITQTD.NTX"));
    }
    std::string Number(std::uint16_t t) { return Text(line.ask(t, 40, "")); }
    std::string Count(std::uint16_t t) { return Text(line.ask(t, 39, "")); }
    bool started_ = false;
};

} // namespace recordtest
