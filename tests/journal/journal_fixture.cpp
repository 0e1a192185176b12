// The journal tests' data directory, in-process manager and checks.
#include "tests/journal/journal_fixture.h"

#include <cstdio>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

#include "manager/config.h"
#include "manager/requests/dispatch.h"
#include "manager/runtime.h"
#include "manager/startup.h"
#include "manager/tablestore/fields.h"
#include "manager/tablestore/store.h"
#include "manager/tablestore/tables.h"
#include "tools/dbftool/dbftool.h"

namespace jtest {

namespace {

const std::vector<std::string> kFiles = {"ITEM.DBF", "ITNOME.NTX", "ITQTD.NTX", "ITCOD.NTX"};
constexpr std::uint16_t kAddress = 5;

// What a command of dbftool prints, run in this process.
std::string RunTool(int (*command)(int, char**, std::FILE*, std::FILE*),
                    std::vector<std::string> args, int* status) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    *status = command(static_cast<int>(argv.size()), argv.data(), out, err);
    std::string text;
    for (std::FILE* f : {out, err}) {
        std::rewind(f);
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
        std::fclose(f);
    }
    return text;
}

} // namespace

std::vector<std::uint8_t> Pairs(std::vector<std::uint8_t> head,
                                const std::vector<std::pair<std::string, std::string>>& pairs) {
    for (const auto& [name, value] : pairs) {
        head.insert(head.end(), name.begin(), name.end());
        head.push_back(0);
        head.insert(head.end(), value.begin(), value.end());
        head.push_back(0);
    }
    return head;
}

int InChild(const std::function<int()>& fn) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int r = fn();
        std::fflush(nullptr);
        ::_exit(r);
    }
    int st = 0;
    if (pid < 0 || ::waitpid(pid, &st, 0) != pid) return -1;
    if (WIFSIGNALED(st)) return 128 + WTERMSIG(st);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

void JournalDir::SetUp() {
    ASSERT_EQ(InChild([] {
                  std::FILE* err = stderr;
                  FieldSpec nome{"NOME", 'C', 10, 0}, qtd{"QTD", 'N', 5, 0}, cod{"COD", 'C', 6, 0};
                  if (dbf_create_table("ITEM.DBF", {nome, qtd, cod}, err) != 0) return 1;
                  if (d4initialize(1, 1, 25, 256, 0) != 0 || d4open_table("ITEM.DBF") < 0) return 2;
                  char text[16];
                  for (int i = 1; i <= 120; ++i) {
                      if (d4append_blank_record() != 0) return 3;
                      std::snprintf(text, sizeof text, "N%03d", (i * 37) % 120);
                      f4put_text(f4ref("NOME"), text);
                      f4put_number(f4ref("QTD"), i % 17);
                      std::snprintf(text, sizeof text, "C%05d", i);
                      f4put_text(f4ref("COD"), text);
                  }
                  if (d4close_all_tables() != 0 || d4open_table("ITEM.DBF") < 0) return 4;
                  if (dbf_build_index("ITEM.DBF", "ITNOME.NTX", "NOME", false, err) != 0 ||
                      dbf_build_index("ITEM.DBF", "ITQTD.NTX", "QTD", false, err) != 0 ||
                      dbf_build_index("ITEM.DBF", "ITCOD.NTX", "COD", true, err) != 0)
                      return 5;
                  return d4close_all_tables() == 0 ? 0 : 6;
              }),
              0);
    for (const std::string& f : kFiles) pristine.emplace_back(f, mtest::ReadFile(dir.file(f)));
    Configure(true);
}

void JournalDir::Configure(bool commit) {
    ConfigRecord r = mtest::MakeConfig(
        {kAddress},
        {{"ITEM.DBF", 'D'}, {"ITNOME.NTX", 'I', 1}, {"ITQTD.NTX", 'I', 1}, {"ITCOD.NTX", 'I', 1}});
    r.CommitAfterWrite = commit ? 1 : 0;
    mtest::WriteConfig(dir.path(), r);
}

void JournalDir::Reset() {
    for (const auto& [name, bytes] : pristine) mtest::WriteFile(dir.file(name), bytes);
    std::remove(dir.file("talvo.jnl").c_str());
    std::remove(dir.file("TableErrors.txt").c_str());
}

namespace {

mtest::FakeLink* link = nullptr;

} // namespace

JournalDir::Answer JournalDir::Ask(std::uint8_t code, const std::vector<std::uint8_t>& data) {
    std::memcpy(FrameBuffer, data.data(), data.size());
    link->sent.clear();
    DispatchRequest(kAddress, reinterpret_cast<std::uint8_t*>(FrameBuffer), code,
                    static_cast<int>(data.size()), 0);
    Answer a{0, -1};
    if (!link->sent.empty()) {
        a.code = link->sent.back().code;
        if (link->sent.back().data.size() > 3) a.status = link->sent.back().data[3];
    }
    return a;
}

bool JournalDir::Serve(const std::vector<Request>& requests, std::vector<Answer>* answers,
                       bool stop, const std::function<void()>& before) {
    ResetRuntimeTables();
    if (link == nullptr) link = new mtest::FakeLink();
    if (!Initialise()) return false;
    BuildPolledList();
    const std::string open = std::string("\0\0ITEM.DBF\0ITNOME.NTX", 21);
    Ask(42, std::vector<std::uint8_t>(open.begin(), open.end()));
    Ask(22, {0, 0, '5'});
    if (before) before();
    for (const Request& r : requests) {
        const Answer a = Ask(r.code, r.data);
        if (answers != nullptr) answers->push_back(a);
    }
    if (stop) Shutdown();
    return true;
}

std::string JournalDir::State() {
    std::string state = mtest::ReadFile(dir.file("ITEM.DBF"));
    state = state.size() > 4 ? state.substr(4) : "";
    // The dumps run in a child, so this process's store stays untouched.
    const std::string file = dir.file("state.txt");
    InChild([&] {
        std::string all;
        int status = 0;
        for (const char* index : {"ITNOME.NTX", "ITQTD.NTX", "ITCOD.NTX"})
            all += RunTool(dbf_command_dump, {"ITEM.DBF", "--index", index, "--deleted"}, &status);
        mtest::WriteFile(file, all);
        return 0;
    });
    state += mtest::ReadFile(file);
    std::remove(file.c_str());
    return state;
}

int JournalDir::Check() {
    return InChild([] {
        int status = 0;
        const std::string out = RunTool(
            dbf_command_check, {"ITEM.DBF", "ITNOME.NTX", "ITQTD.NTX", "ITCOD.NTX"}, &status);
        if (status != 0) std::fprintf(stderr, "%s", out.c_str());
        return status;
    });
}

int JournalDir::Restart() {
    return InChild([] { return Serve({}, nullptr) ? 0 : 1; });
}

std::string JournalDir::StartUp() {
    const std::string file = dir.file("message.txt");
    InChild([&] {
        const bool ok = Serve({}, nullptr);
        mtest::WriteFile(file, ok ? "" : MessageBuffer);
        return 0;
    });
    return mtest::ReadFile(file);
}

} // namespace jtest
