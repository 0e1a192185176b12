// dbftool as users and demo scripts run it: create a table, fill it, build
// indexes, check them, look inside; and check must find the faults of
// damaged indexes, with page and item.
#include <sys/wait.h>

#include <algorithm>
#include <sstream>

#include "tests/indexes/index_support.h"

using namespace itest;

namespace {

struct ToolRun {
    int status;
    std::string out;
};

ToolRun dbftool(const std::string& args) {
    const std::string command = std::string(DBFTOOL) + " " + args + " 2>/dev/null";
    ToolRun r{-1, {}};
    std::FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) return r;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, p)) > 0;) r.out.append(buffer, n);
    const int status = pclose(p);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

struct DbftoolTest : StoreTest {
    std::string q(const std::string& name) { return "'" + (dir / name) + "'"; }

    // CLIENTES.DBF with 40 people: NOME, SALDO (negative too), NASC.
    void people() {
        ASSERT_EQ(
            dbftool("create " + q("CLIENTES.DBF") + " nome:C:12 SALDO:N:9:2 NASC:D ATIVO:L").status,
            0);
        const int t = d4open_table((dir / "CLIENTES.DBF").c_str());
        ASSERT_GE(t, 0);
        for (int n = 1; n <= 40; ++n) {
            d4blank_record();
            f4put_text(f4ref("NOME"), ("P" + std::to_string(n % 13)).c_str());
            f4put_number(f4ref("SALDO"), (n - 20) * 10.5);
            f4put_number(f4ref("NASC"), 2451545.0 + n * 100);
            f4put_char(f4ref("ATIVO"), n % 2 ? 'T' : 'F');
            ASSERT_EQ(d4append_record(), 0);
        }
        ASSERT_EQ(d4close_table(), 0);
    }
};

} // namespace

TEST_F(DbftoolTest, CreateWritesAnEmptyTableTheStoreOpens) {
    ASSERT_EQ(dbftool("create " + q("T.DBF") + " CODIGO:C:300 VALOR:N:10:2 DATA:D:8 OK:L:1 F:F:8:3")
                  .status,
              0);
    const int t = d4open_table((dir / "T.DBF").c_str());
    ASSERT_GE(t, 0);
    EXPECT_EQ(d4record_count(), 0);
    EXPECT_EQ(d4field_count(), 5);
    EXPECT_EQ(d4record_width(), 1 + 300 + 10 + 8 + 1 + 8);
    const FieldDescriptor* f = f4descriptor(f4ref("CODIGO"));
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->width, 300);
    f = f4descriptor(f4ref("VALOR"));
    EXPECT_EQ(f->type, 'N');
    EXPECT_EQ(f->decimals, 2);
    // The header and its end-of-file byte, nothing more.
    const std::vector<char> file = read_file(dir / "T.DBF");
    EXPECT_EQ(file.size(), 32u + 5 * 32 + 1 + 1);
    EXPECT_EQ(file[0], 3);
    EXPECT_EQ(file[32 + 5 * 32], 0x0D);
    EXPECT_EQ(file.back(), 0x1A);

    // Bad specifications are refused and write nothing.
    for (const char* bad : {"X", "NAME:Q:3", "TOOLONGNAME1:C:3", "N:N:30", "D:D:9", "C:C:0",
                            "A:C:3 A:C:4", "W:C:32767"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(dbftool("create " + q("BAD.DBF") + " " + bad).status, 2) << bad;
    }
    EXPECT_NE(dbftool("create " + q("BAD.DBF") + " A:C:20000 B:C:20000").status, 0);
    EXPECT_TRUE(read_file(dir / "BAD.DBF").empty());
}

TEST_F(DbftoolTest, IndexBuildsWhatCheckSeekDumpAndInfoAgreeOn) {
    people();
    ASSERT_EQ(dbftool("index " + q("CLIENTES.DBF") + " " + q("NOME.NTX") + " NOME").status, 0);
    ASSERT_EQ(dbftool("index " + q("CLIENTES.DBF") + " " + q("SALDO") + " SALDO").status, 0);
    ASSERT_EQ(
        dbftool("index " + q("CLIENTES") + " " + q("COMP") + " 'UPPER(NOME)+DTOS(NASC)'").status,
        0);
    ASSERT_EQ(dbftool("index " + q("CLIENTES") + " " + q("UNI") + " NOME --unique").status, 0);
    ToolRun r = dbftool("check " + q("CLIENTES.DBF") + " " + q("NOME.NTX") + " " + q("SALDO.NTX") +
                        " " + q("COMP.NTX") + " " + q("UNI.NTX"));
    EXPECT_EQ(r.status, 0) << r.out;

    r = dbftool("seek " + q("CLIENTES.DBF") + " " + q("SALDO.NTX") + " -94.5");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(0, 5), "0 11\n");
    r = dbftool("seek " + q("CLIENTES.DBF") + " " + q("NOME.NTX") + " P1");
    EXPECT_EQ(r.out.substr(0, 6), "1 1\n1\t");
    r = dbftool("seek " + q("CLIENTES.DBF") + " " + q("NOME.NTX") + " ZZ");
    EXPECT_EQ(r.out, "3 41\n");

    r = dbftool("dump " + q("CLIENTES.DBF") + " --index " + q("SALDO.NTX"));
    ASSERT_EQ(r.status, 0);
    std::istringstream lines(r.out);
    std::string line;
    int expected = 1;
    while (std::getline(lines, line)) EXPECT_EQ(std::stoi(line), expected++);
    EXPECT_EQ(expected, 41);

    r = dbftool("info " + q("CLIENTES.DBF") + " " + q("COMP.NTX") + " " + q("UNI.NTX"));
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("records 40"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("expression UPPER(NOME)+DTOS(NASC)"), std::string::npos);
    EXPECT_NE(r.out.find("key length 20"), std::string::npos);
    EXPECT_NE(r.out.find("unique yes"), std::string::npos);

    // The indexes open in the store as other programs' indexes do.
    d4select_table(d4open_table((dir / "CLIENTES.DBF").c_str()));
    const int u = i4open_index((dir / "UNI.NTX").c_str());
    ASSERT_GE(u, 0);
    EXPECT_EQ(walk_forward().size(), 13u);
    EXPECT_EQ(check_faults(u), 0);
}

TEST_F(DbftoolTest, DumpShowsDeletedRecordsOnlyWhenAsked) {
    people();
    d4select_table(d4open_table((dir / "CLIENTES.DBF").c_str()));
    ASSERT_EQ(d4mark_deleted(3), 0);
    ASSERT_EQ(d4close_table(), 0);
    ToolRun r = dbftool("dump " + q("CLIENTES.DBF"));
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 39);
    r = dbftool("dump " + q("CLIENTES.DBF") + " --deleted");
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 40);
    EXPECT_NE(r.out.find("3\t*\tP3"), std::string::npos);
}

TEST_F(DbftoolTest, CheckFindsEveryKindOfFaultWithItsPage) {
    people();
    ASSERT_EQ(dbftool("index " + q("CLIENTES.DBF") + " " + q("NOME.NTX") + " NOME").status, 0);
    const std::vector<char> good = read_file(dir / "NOME.NTX");
    auto check = [&](const std::vector<char>& image) {
        write_file(dir / "NOME.NTX", image);
        return dbftool("check " + q("CLIENTES.DBF") + " " + q("NOME.NTX"));
    };
    // The single root leaf: swap two keys' item offsets (out of order).
    std::vector<char> f = good;
    auto* page = reinterpret_cast<std::uint8_t*>(f.data() + 1024);
    const int e0 = b4offset_entry(page, 0);
    b4set_offset_entry(page, 0, b4offset_entry(page, 5));
    b4set_offset_entry(page, 5, e0);
    ToolRun r = check(f);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("page 1024 item"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("out of order"), std::string::npos) << r.out;

    // An entry naming a record past the table, and so one record without.
    f = good;
    page = reinterpret_cast<std::uint8_t*>(f.data() + 1024);
    b4put32(b4item(page, 3) + 4, 99);
    r = check(f);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("entry points past the table"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("has no entry"), std::string::npos) << r.out;

    // A key that is not the record's.
    f = good;
    page = reinterpret_cast<std::uint8_t*>(f.data() + 1024);
    b4item(page, 39)[8] = 'Q';
    r = check(f);
    EXPECT_NE(r.out.find("entry key differs"), std::string::npos) << r.out;

    // Offset entries that are no permutation; a key count over the maximum.
    f = good;
    page = reinterpret_cast<std::uint8_t*>(f.data() + 1024);
    b4set_offset_entry(page, 2, b4offset_entry(page, 1));
    r = check(f);
    EXPECT_NE(r.out.find("not a permutation"), std::string::npos) << r.out;
    f = good;
    b4set_key_count(reinterpret_cast<std::uint8_t*>(f.data() + 1024), 60);
    r = check(f);
    EXPECT_NE(r.out.find("above the maximum"), std::string::npos) << r.out;

    // A free list that loops, and one that leaves the file.
    f = good;
    // (A free page links through item 0's child pointer.)
    f.resize(3 * 1024, 0);
    auto* free_page = reinterpret_cast<std::uint8_t*>(f.data() + 2048);
    b4put32(reinterpret_cast<std::uint8_t*>(f.data() + i4h_free), 2048);
    r = check(f);
    EXPECT_NE(r.out.find("free page is not free"), std::string::npos) << r.out;
    b4set_offset_entry(free_page, 0, 100);
    b4put32(free_page + 100, 2048);
    r = check(f);
    EXPECT_NE(r.out.find("free list loops"), std::string::npos) << r.out;
    b4put32(free_page + 100, 99 * 1024);
    r = check(f);
    EXPECT_NE(r.out.find("free list leaves the file"), std::string::npos) << r.out;

    // The good index passes again.
    EXPECT_EQ(check(good).status, 0);
}

TEST_F(DbftoolTest, CheckFindsLeavesAtDifferentDepthsAndSharedPages) {
    // 200 records make a two-level tree of several leaves.
    ASSERT_EQ(dbftool("create " + q("T.DBF") + " K:C:10").status, 0);
    d4select_table(d4open_table((dir / "T.DBF").c_str()));
    for (int n = 0; n < 200; ++n) {
        d4blank_record();
        f4put_text(f4ref("K"), ("K" + std::to_string(1000 + n)).c_str());
        ASSERT_EQ(d4append_record(), 0);
    }
    ASSERT_EQ(d4close_table(), 0);
    ASSERT_EQ(dbftool("index " + q("T.DBF") + " " + q("T.NTX") + " K").status, 0);
    const std::vector<char> good = read_file(dir / "T.NTX");
    const std::uint32_t root = b4get32(reinterpret_cast<const std::uint8_t*>(good.data() + 4));
    std::vector<char> f = good;
    auto* r = reinterpret_cast<std::uint8_t*>(f.data() + root);
    ASSERT_GE(b4key_count(r), 2);
    // Two items naming the same leaf.
    b4put32(b4item(r, 1), b4item_child(b4item(r, 0)));
    write_file(dir / "T.NTX", f);
    ToolRun run = dbftool("check " + q("T.DBF") + " " + q("T.NTX"));
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("reached twice"), std::string::npos) << run.out;
    // A leaf hung one level deeper: the root's first child becomes a branch
    // page whose only child is that leaf.
    f = good;
    f.resize(f.size() + 1024, 0);
    const auto extra = static_cast<std::uint32_t>(good.size());
    auto* e = reinterpret_cast<std::uint8_t*>(f.data() + extra);
    PageGeometry g = b4geometry_for(10);
    b4fresh_page(e, g);
    r = reinterpret_cast<std::uint8_t*>(f.data() + root);
    b4put32(b4item(e, 0), b4item_child(b4item(r, 0)));
    b4put32(b4item(r, 0), extra);
    write_file(dir / "T.NTX", f);
    run = dbftool("check " + q("T.DBF") + " " + q("T.NTX"));
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.out.find("different depth"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("empty page"), std::string::npos) << run.out;
}

TEST_F(DbftoolTest, CheckAcceptsWhatOtherProgramsLeaveAndStrictRefusesIt) {
    // The peer engine left equal keys out of record-number order in ITVAL:
    // a note, the check passes; --strict counts it as a fault.
    dir.copy_peer("ITENS.DBF");
    dir.copy_peer("ITVAL.NTX");
    dir.copy_peer("ITDATA.NTX");
    ToolRun r = dbftool("check " + q("ITENS.DBF") + " " + q("ITVAL.NTX") + " " + q("ITDATA.NTX"));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("note: equal keys out of record-number order"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("ITVAL.NTX: ok, 5 note(s)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("ITDATA.NTX: ok\n"), std::string::npos) << r.out;
    r = dbftool("check --strict " + q("ITENS.DBF") + " " + q("ITVAL.NTX") + " " + q("ITDATA.NTX"));
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("ITVAL.NTX: 5 fault(s)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("ITDATA.NTX: ok\n"), std::string::npos) << r.out;
    // Real faults still fail the check that is not strict.
    std::vector<char> f = read_file(dir / "ITDATA.NTX");
    b4put32(reinterpret_cast<std::uint8_t*>(f.data() + i4h_free), 7);
    write_file(dir / "ITDATA.NTX", f);
    r = dbftool("check " + q("ITENS.DBF") + " " + q("ITDATA.NTX"));
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("free list leaves the file"), std::string::npos) << r.out;
}
