// The free-page list as other programs link it (item 0's child pointer):
// the peer-made ITFREE.NTX is read and checked, its free pages are used by
// appends before the file grows, and a damaged link is refused, reported
// once, and leaves a sound index that grows at its end instead.
#include <cstring>
#include <fstream>
#include <sstream>

#include "tests/indexes/index_support.h"

namespace {

using namespace itest;

int g_reports = 0;
void count_report(int code, const char*) {
    if (code == err4index_file) ++g_reports;
}

// The free pages FREE.TXT lists, in order.
std::vector<std::uint32_t> listed_free_pages() {
    std::ifstream in(peer("FREE.TXT"));
    std::vector<std::uint32_t> out;
    for (std::string line; std::getline(in, line);) {
        std::uint32_t at = 0;
        if (std::sscanf(line.c_str(), "free page %u:", &at) == 1) out.push_back(at);
    }
    return out;
}

// The list as the store's own reading of a page's link walks it on disk.
std::vector<std::uint32_t> walk_free_list(const std::vector<char>& file) {
    std::vector<std::uint32_t> out;
    auto bytes = reinterpret_cast<const std::uint8_t*>(file.data());
    for (std::uint32_t at = b4get32(bytes + i4h_free); at != 0 && out.size() < 1000;) {
        std::uint32_t next = 0;
        if (!b4page_in_file(at, static_cast<std::int64_t>(file.size())) ||
            !b4free_link(bytes + at, &next))
            break;
        out.push_back(at);
        at = next;
    }
    return out;
}

struct FreeList : StoreTest {
    std::string table, ntx;
    int index = -1;
    void open() {
        e4set_report_hook(count_report);
        g_reports = 0;
        d4select_table(d4open_table(table.c_str()));
        index = i4open_index(ntx.c_str());
        ASSERT_GE(index, 0);
    }
    void SetUp() override {
        StoreTest::SetUp();
        table = dir.copy_peer("ITFREE.DBF");
        ntx = dir.copy_peer("ITFREE.NTX");
    }
    void TearDown() override {
        e4set_report_hook(nullptr);
        StoreTest::TearDown();
    }
    // Appends keys spread over the tree until the index's free list is used
    // up (at most `most`); returns how many.
    int append_until_no_free(int most) {
        int n = 0;
        while (n < most && i4free_head(i4index(index)) != 0) {
            char key[16];
            std::snprintf(key, sizeof key, "A%05dB%03d", (n * 37) % 3000 + 1, n % 1000);
            EXPECT_EQ(append({key, "1"}), 0);
            ++n;
        }
        return n;
    }
    long size_on_disk() { return static_cast<long>(read_file(ntx).size()); }
    void expect_sound(int entries) {
        ASSERT_EQ(d4unlock_all(), 0);
        int notes = 0;
        std::string text;
        EXPECT_EQ(check_faults_lenient(index, &notes, &text), 0) << text;
        EXPECT_EQ(static_cast<int>(walk_forward().size()), entries);
    }
};

TEST_F(FreeList, PeerListIsReadCheckedAndUsedUpBeforeTheFileGrows) {
    const std::vector<std::uint32_t> listed = listed_free_pages();
    ASSERT_EQ(listed.size(), 30u);
    EXPECT_EQ(walk_free_list(read_file(ntx)), listed);
    open();
    expect_sound(1541);
    const long size = size_on_disk();
    const int appended = append_until_no_free(5000);
    ASSERT_EQ(d4unlock_all(), 0);
    EXPECT_GT(appended, 30);
    EXPECT_EQ(size_on_disk(), size) << "free pages come before new ones";
    for (int i = 0; i < 200; ++i) {
        char key[16];
        std::snprintf(key, sizeof key, "C%05d", i);
        ASSERT_EQ(append({key, "2"}), 0);
    }
    expect_sound(1541 + appended + 200);
    EXPECT_GT(size_on_disk(), size);
    EXPECT_EQ(g_reports, 0);
}

TEST_F(FreeList, RemovedLeavesJoinTheListInThePeerFormat) {
    open();
    // Every "A0...." record takes the unique key Z00000: their leaves empty.
    for (int r = 1501; r <= 2500; ++r) {
        ASSERT_EQ(d4goto_record(r), 0);
        f4put_text(f4ref("CODIGO"), "Z00000");
        ASSERT_EQ(d4write_record(r), 0);
    }
    expect_sound(541);
    EXPECT_GT(walk_free_list(read_file(ntx)).size(), 30u);
    EXPECT_EQ(g_reports, 0);
}

// A damaged link: at the head, or further down the list.
struct BadLink {
    const char* what;
    std::uint32_t page; // 0: the header's free field, else a free page's link
    std::uint32_t link;
};

TEST_F(FreeList, BadLinksAreNeverFollowedAndReportedOnce) {
    const std::vector<BadLink> cases = {
        {"first four bytes read as a link", 0, 36306944},
        {"not a page boundary", 0, 29696 + 100},
        {"inside the header page", 28672, 512},
        {"at the end of the file", 28672, 64512},
        {"far past the end", 27648, 1u << 30},
    };
    for (const BadLink& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        std::vector<char> file = read_file(ntx);
        auto bytes = reinterpret_cast<std::uint8_t*>(file.data());
        if (c.page == 0)
            b4put32(bytes + i4h_free, c.link);
        else
            b4put32(bytes + c.page + b4offset_entry(bytes + c.page, 0), c.link);
        write_file(ntx, file);
        open();
        const long size = size_on_disk();
        for (int i = 0; i < 400; ++i) {
            char key[16];
            std::snprintf(key, sizeof key, "A%05dB", (i * 37) % 3000 + 1);
            ASSERT_EQ(append({key, "3"}), 0);
        }
        EXPECT_EQ(g_reports, 1);
        EXPECT_EQ(i4free_head(i4index(index)), 0u);
        expect_sound(1541 + 400);
        EXPECT_GT(size_on_disk(), size);
        EXPECT_EQ(walk_free_list(read_file(ntx)).size(), 0u);
    }
}

} // namespace
