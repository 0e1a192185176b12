// Sharing the table with other programs: two copies of `dbftool load`
// append and change keys in ITEM.DBF and both its indexes while two
// terminals do the same through the real manager over the line. Afterwards
// every append and change reported done is in the table exactly once, no
// record is blank or torn, both indexes pass dbftool's check and a walk in
// key order meets every record once. A terminal's record lock is seen by
// other processes through both kinds of lock query.
#include "tests/records/record_line_common.h"

#include <chrono>
#include <map>
#include <set>
#include <sstream>

namespace recordtest {
namespace {

// What a writer reported done: record -> the last value it wrote there.
using Done = std::map<int, std::string>;

void ParseLoad(const std::string& out, Done* done, int* appends) {
    std::istringstream in(out);
    for (std::string word; in >> word;) {
        if (word == "append" || word == "change") {
            int n = 0;
            std::string value;
            in >> n >> value;
            (*done)[n] = value;
            if (word == "append") ++*appends;
        }
    }
}

std::string Trim(std::string s) {
    s.erase(s.find_last_not_of(' ') + 1);
    return s;
}

// Where another process's query finds a lock on [offset, offset + 1).
short LockSeen(const std::string& path, long offset, int cmd) {
    const int fd = ::open(path.c_str(), O_RDWR);
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = offset;
    fl.l_len = 1;
    const int r = ::fcntl(fd, cmd, &fl);
    ::close(fd);
    return r == 0 ? fl.l_type : -1;
}

class SharedTable : public RecordLine {
  protected:
    // A record-changing request whose answer may go missing on a loaded line.
    Image Quiet(std::uint16_t t, std::uint8_t code, const std::vector<std::uint8_t>& data) {
        const Answer a = line.ask(t, code, data);
        return a.code == code ? ReadImage(a, kWidths) : Image{};
    }
};

TEST_F(SharedTable, ManagerAndOtherWritersLoseNothing) {
    ASSERT_TRUE(started_);
    const std::string files =
        line.path("ITEM.DBF") + " " + line.path("ITNOME.NTX") + " " + line.path("ITQTD.NTX");
    struct Load {
        FILE* pipe;
        std::string out;
    };
    std::vector<Load> loads;
    for (const char* tag : {"L1", "L2"}) {
        const std::string command = std::string(DBFTOOL_PATH) + " load " + files +
                                    " --appends 120 --changes 60 --tag " + tag + " 2>&1";
        loads.push_back({::popen(command.c_str(), "r"), {}});
        ASSERT_NE(loads.back().pipe, nullptr);
    }

    Done done;
    int appends = 0, lost = 0;
    Open(kA, true);
    Open(kB);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    for (int i = 1; i <= 40 && std::chrono::steady_clock::now() < until; ++i) {
        for (std::uint16_t t : {kA, kB}) {
            const std::string tag = "T" + std::to_string(t);
            char value[16];
            std::snprintf(value, sizeof value, "%s-A%05d", tag.c_str(), i);
            const Image im = Quiet(t, 43, Pairs({0, 0}, {{"NOME", value}, {"QTD", "7"}}));
            if (!im.ok) ++lost; // done or not: the answer went missing on the line
            if (!im.ok || im.status != 0) continue; // refused: not done
            ++appends;
            const std::string number = Number(t);
            if (number.empty() || number[0] < '0' || number[0] > '9') continue;
            const int n = std::stoi(number);
            done[n] = value;
            if (i % 2 == 0) {
                std::snprintf(value, sizeof value, "%s-C%05d", tag.c_str(), i);
                const Image c = Quiet(t, 19, Pairs({0, 0}, {{"NOME", value}}));
                if (!c.ok) {
                    ++lost;
                    done.erase(n); // changed or not: unknown
                } else if (c.status == 0) {
                    done[n] = value;
                }
            }
        }
    }
    for (Load& l : loads) {
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, l.pipe)) > 0) l.out.append(buf, n);
        EXPECT_EQ(::pclose(l.pipe), 0) << l.out;
        ParseLoad(l.out, &done, &appends);
        EXPECT_NE(l.out.find("done appends"), std::string::npos) << l.out;
    }
    // Read while the manager runs: it holds nothing between requests.
    const TableFile disk = Disk();
    const int count =
        static_cast<int>((disk.bytes.size() - disk.header) / disk.width); // the 0x1A is left out
    EXPECT_GE(count, 3 + appends) << "every append has its own record";
    EXPECT_LE(count, 3 + appends + lost);
    EXPECT_EQ(HeaderCount(disk), static_cast<std::uint32_t>(count));
    std::multiset<std::string> names;
    for (int r = 1; r <= count; ++r) {
        const std::size_t at = disk.header + static_cast<std::size_t>(r - 1) * disk.width;
        EXPECT_NE(disk.bytes[at], 0x1A) << "torn record " << r;
        const std::string nome = Trim(disk.values(r)[kNome]);
        EXPECT_NE(nome.find_first_not_of(' '), std::string::npos) << "blank record " << r;
        names.insert(nome);
    }
    for (const auto& [r, value] : done) {
        ASSERT_LE(r, count);
        EXPECT_EQ(Trim(disk.values(r)[kNome]), value) << "record " << r;
        EXPECT_EQ(names.count(value), 1u) << value;
    }
    const ToolRun check = Check();
    EXPECT_EQ(check.status, 0) << check.out;
    const ToolRun walk = Dbftool("dump " + line.path("ITEM.DBF") + " --index " +
                                 line.path("ITNOME.NTX") + " --deleted");
    std::set<int> seen;
    std::istringstream in(walk.out);
    int lines = 0;
    for (std::string l; std::getline(in, l); ++lines) seen.insert(std::atoi(l.c_str()));
    EXPECT_EQ(lines, count);
    EXPECT_EQ(static_cast<int>(seen.size()), count);
}

TEST_F(SharedTable, TerminalRecordLockIsSeenByOtherProcesses) {
    ASSERT_TRUE(started_);
    Open(kA);
    Go(kA, 2);
    ASSERT_EQ(line.ask(kA, 36, "").data.at(0), 'T');
    const std::string dbf = line.path("ITEM.DBF");
    EXPECT_EQ(LockSeen(dbf, 1000000002L, F_GETLK), F_WRLCK);
    EXPECT_EQ(LockSeen(dbf, 1000000002L, F_OFD_GETLK), F_WRLCK);
    EXPECT_EQ(LockSeen(dbf, 1000000001L, F_GETLK), F_UNLCK);
    // The terminal's own change of its record passes its own lock.
    EXPECT_EQ(Change(kA, 19, Pairs({0, 0}, {{"NOME", "DORA"}})).status, 0);
    EXPECT_EQ(Trim(Disk().values(2)[kNome]), "DORA");
    EXPECT_EQ(line.ask(kA, 38, "").code, 15);
    EXPECT_EQ(LockSeen(dbf, 1000000002L, F_OFD_GETLK), F_UNLCK);
    // No lock of the store outlives a request.
    for (long at : {1000000000L, 1000000002L}) EXPECT_EQ(LockSeen(dbf, at, F_GETLK), F_UNLCK) << at;
    EXPECT_EQ(LockSeen(line.path("ITNOME.NTX"), 1000000000L, F_GETLK), F_UNLCK);
}

} // namespace
} // namespace recordtest
