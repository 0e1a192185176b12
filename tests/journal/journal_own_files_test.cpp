// The journal writes only where it is told: a forged journal's records for
// files that are no configured table or index are refused, a journal that
// is a symbolic link is not followed, the journal and the log get their
// permissions whatever the umask, and files others can write stop the start.
#include "tests/journal/journal_fixture.h"

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "manager/runtime.h"

namespace jtest {
namespace {

std::uint32_t Fnv(const std::string& bytes) {
    std::uint32_t h = 2166136261u;
    for (const char c : bytes) h = (h ^ static_cast<std::uint8_t>(c)) * 16777619u;
    return h;
}
std::string Le(std::uint64_t v, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += static_cast<char>(v >> (8 * i) & 0xFF);
    return s;
}

// A journal left by a manager that was running, with one undo record per
// name putting "FORGED" at offset 0 of that file.
std::string ForgedJournal(const std::vector<std::string>& names) {
    std::string head = "WTJ1";
    head += '\1';
    head.resize(40, '\0');
    head += Le(Fnv(head), 4);
    head.resize(64, '\0');
    std::string all = head;
    for (const std::string& name : names) {
        std::string payload = name;
        payload.resize(64, '\0');
        payload += Le(0, 8) + Le(100, 8) + Le(6, 4) + "FORGED";
        const std::string rec = "U" + std::string(3, '\0') + Le(payload.size(), 4) + payload;
        all += rec + Le(Fnv(rec), 4);
    }
    return all;
}

class OwnFiles : public JournalDir {
  protected:
    std::string Log() { return mtest::ReadFile(dir.file("TableErrors.txt")); }
    mtest::ScratchDir outside{false};
};

TEST_F(OwnFiles, AForgedJournalWritesNoFileOutsideTheConfiguration) {
    const std::string precious = "precious bytes, nobody's journal may touch them";
    const std::string target = outside.file("outside.txt");
    mtest::WriteFile(target, precious);
    mtest::WriteFile(dir.file("NOTCFG.DBF"), precious);
    std::filesystem::create_symlink(target, dir.file("LINKED.DBF"));
    const std::string up = "../" + std::filesystem::path(outside.path()).filename().string();
    const std::vector<std::string> names = {target, up + "/outside.txt", "NOTCFG.DBF", "LINKED.DBF",
                                            "X/../ITEM.DBF"};
    Reset();
    mtest::WriteFile(dir.file("talvo.jnl"), ForgedJournal(names));
    EXPECT_EQ(StartUp(), "");
    EXPECT_EQ(mtest::ReadFile(target), precious);
    EXPECT_EQ(mtest::ReadFile(dir.file("NOTCFG.DBF")), precious);
    EXPECT_EQ(Check(), 0);
    for (const std::string& name : names)
        EXPECT_NE(Log().find(name + ", which is no table or index of talvo.cfg"), std::string::npos)
            << name << "\n"
            << Log();
}

TEST_F(OwnFiles, AJournalThatIsALinkIsRefusedAndItsTargetUntouched) {
    const std::string target = outside.file("target.txt");
    const std::string precious(500, 'p');
    mtest::WriteFile(target, precious);
    Reset();
    std::filesystem::create_symlink(target, dir.file("talvo.jnl"));
    EXPECT_EQ(StartUp(), "Erro ao Abrir Arquivo talvo.jnl");
    EXPECT_EQ(mtest::ReadFile(target), precious);
    EXPECT_NE(Log().find("talvo.jnl is a symbolic link; refused"), std::string::npos) << Log();
}

TEST_F(OwnFiles, PermissionsAreSetAndFilesOthersCanWriteStopTheStart) {
    const mode_t mask = ::umask(0);
    Reset();
    mtest::WriteFile(dir.file("talvo.jnl"), ForgedJournal({"NOTCFG.DBF"})); // for a log line
    ::chmod(dir.file("talvo.jnl").c_str(), 0600);
    EXPECT_EQ(StartUp(), "");
    struct stat st {};
    ASSERT_EQ(::stat(dir.file("TableErrors.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    std::remove(dir.file("talvo.jnl").c_str());
    EXPECT_EQ(StartUp(), "");
    ASSERT_EQ(::stat(dir.file("talvo.jnl").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ::umask(mask);
    for (const std::string name : {".", "talvo.cfg", "talvo.jnl"}) {
        const std::string path = name == "." ? dir.path() : dir.file(name);
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        ::chmod(path.c_str(), (st.st_mode & 0777) | 0002);
        EXPECT_NE(StartUp(), "") << name;
        EXPECT_NE(Log().find(path +
                             " can be written by other users; take their write permission "
                             "away (chmod o-w " +
                             path + ")"),
                  std::string::npos)
            << Log();
        ::chmod(path.c_str(), st.st_mode & 0777);
        EXPECT_EQ(StartUp(), "") << name;
    }
}

} // namespace
} // namespace jtest
