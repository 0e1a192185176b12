// Tables written by another engine: every record of PESSOA.DBF and
// ITENS.DBF read and checked, then a copy changed here and read back by an
// independent reader (python3-dbfread, run as a black box).
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "manager/tablestore/fields.h"
#include "manager/tablestore/numbers.h"
#include "tests/tables/table_files.h"

namespace {

const std::string kPeer = std::string(FIXTURES_DIR) + "/peer/";

// One record as both readers print it (see read_dbf.py).
std::string show_record() {
    std::string line = d4is_deleted() == 1 ? "D" : "L";
    for (int i = 1; i <= d4field_count(); ++i) {
        const int ref = f4ref_by_number(i);
        std::string text(f4field_data(ref), static_cast<std::size_t>(f4field_width(ref)));
        const bool blank = text.find_first_not_of(' ') == std::string::npos;
        char value[64] = "None";
        switch (f4field_type(ref)) {
        case 'N':
        case 'F':
            if (!blank) std::snprintf(value, sizeof value, "%.4f", f4field_number(ref));
            break;
        case 'D':
            if (f4field_number(ref) != n4empty_date)
                std::snprintf(value, sizeof value, "%.4s-%.2s-%.2s", text.data(), text.data() + 4,
                              text.data() + 6);
            break;
        case 'L':
            if (f4field_true(ref))
                std::snprintf(value, sizeof value, "T");
            else if (std::string("FfNn").find(text[0]) != std::string::npos)
                std::snprintf(value, sizeof value, "F");
            break;
        default:
            text.erase(text.find_last_not_of(std::string(" \0", 2)) + 1);
            std::snprintf(value, sizeof value, "%s", text.c_str());
            if (text.size() >= sizeof value) {
                line += "\t" + text;
                continue;
            }
        }
        line += "\t";
        line += value;
    }
    return line;
}

// Every record of the selected table: live ones first, then deleted ones.
std::vector<std::string> read_all_here() {
    std::vector<std::string> live, deleted;
    for (int r = d4goto_first(); r == 0; r = d4skip_records(1)) {
        const std::string line = show_record();
        (line[0] == 'L' ? live : deleted).push_back(line);
    }
    live.insert(live.end(), deleted.begin(), deleted.end());
    return live;
}

// The independent reader's lines for file; the first is "COUNT\t<n>".
std::vector<std::string> read_all_there(const std::string& file) {
    const std::string command =
        "/usr/bin/python3 " + std::string(TABLES_TEST_DIR) + "/read_dbf.py '" + file + "' 2>&1";
    std::vector<std::string> lines;
    std::FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return lines;
    std::string line;
    for (int c; (c = std::fgetc(pipe)) != EOF;) {
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
        } else {
            line += static_cast<char>(c);
        }
    }
    pclose(pipe);
    return lines;
}

struct PeerTables : testfiles::StoreTest {
    std::string copy(const std::string& name) {
        const std::string to = dir.file(name);
        std::filesystem::copy_file(kPeer + name, to);
        std::filesystem::permissions(to, std::filesystem::perms::owner_read |
                                             std::filesystem::perms::owner_write);
        return to;
    }
};

const char* const kNames[] = {"ANA",   "BRUNO", "CARLA", "DIEGO", "ELISA",
                              "FABIO", "GABI",  "HUGO",  "IARA",  "JOAO"};

TEST_F(PeerTables, PessoaHoldsWhatItsMakerSays) {
    ASSERT_GE(d4open_table(copy("PESSOA.DBF").c_str()), 0);
    ASSERT_EQ(d4record_count(), 60);
    ASSERT_EQ(d4field_count(), 5);
    EXPECT_EQ(f4field_width(f4ref("OBS")), 300);
    EXPECT_EQ(f4field_type(f4ref("ATIVO")), 'L');
    EXPECT_EQ(f4field_decimals(f4ref("QTD")), 2);
    const int nome = f4ref("nome"), qtd = f4ref("QTD"), nasc = f4ref("NASC"),
              ativo = f4ref("ATIVO"), obs = f4ref("OBS");
    const double first_day = n4day_number(1980, 1, 1);
    for (int i = 1; i <= 60; ++i) {
        ASSERT_EQ(d4goto_record(i), 0);
        char expected_name[16];
        std::snprintf(expected_name, sizeof expected_name, "%s%2d", kNames[i % 10], i);
        EXPECT_EQ(std::string(f4field_text(nome)),
                  (expected_name + std::string(10, ' ')).substr(0, 10))
            << i;
        EXPECT_DOUBLE_EQ(f4field_number(qtd), (i - 30) * 1.25) << i;
        if (i % 11 == 0)
            EXPECT_EQ(f4field_number(nasc), n4empty_date) << i;
        else
            EXPECT_EQ(f4field_number(nasc), first_day + 97 * i) << i;
        EXPECT_EQ(f4field_true(ativo), i % 3 == 0 ? 1 : 0) << i;
        EXPECT_EQ(std::string(f4field_data(obs), 300),
                  std::string(280, static_cast<char>('A' + i % 26)) + "FIM" + std::string(17, ' '))
            << i;
        EXPECT_EQ(d4is_deleted(), i % 7 == 0 ? 1 : 0) << i;
    }
}

TEST_F(PeerTables, BothReadersAgreeOnEveryRecordOfBothTables) {
    for (const char* name : {"PESSOA.DBF", "ITENS.DBF"}) {
        const std::string file = copy(name);
        const std::vector<std::string> there = read_all_there(kPeer + name);
        ASSERT_FALSE(there.empty());
        ASSERT_EQ(there[0].rfind("COUNT\t", 0), 0u) << there[0];
        ASSERT_GE(d4open_table(file.c_str()), 0);
        EXPECT_EQ(d4record_count(), std::stoi(there[0].substr(6))) << name;
        const std::vector<std::string> here = read_all_here();
        ASSERT_EQ(here.size() + 1, there.size()) << name;
        for (std::size_t i = 0; i < here.size(); ++i)
            ASSERT_EQ(here[i], there[i + 1]) << name << " line " << i;
        ASSERT_EQ(d4close_table(), 0);
    }
}

TEST_F(PeerTables, ChangesMadeHereReadBackElsewhere) {
    const std::string file = copy("PESSOA.DBF");
    ASSERT_GE(d4open_table(file.c_str()), 0);
    ASSERT_EQ(d4push_filter(d4is_deleted), 0);
    const int nome = f4ref("NOME"), qtd = f4ref("QTD"), nasc = f4ref("NASC"),
              ativo = f4ref("ATIVO"), obs = f4ref("OBS");

    ASSERT_EQ(d4goto_record(5), 0);
    f4put_text(nome, "ZECA 5");
    f4put_number(qtd, 123.456);
    f4put_number(nasc, 2451545);
    f4put_char(ativo, 'T');
    ASSERT_EQ(d4mark_deleted(10), 0) << "moving writes record 5 first";
    ASSERT_EQ(d4unmark_deleted(7), 0);
    ASSERT_EQ(d4append_blank_record(), 0);
    f4put_text(nome, "NOVO61");
    f4put_number(qtd, -0.5);
    f4put_char(ativo, 'F');
    f4put_text(obs, "OBS61");
    ASSERT_EQ(d4append_blank_record(), 0);
    f4put_text(nome, "NOVO62");
    f4put_number(qtd, 99999.99);
    f4put_number(nasc, n4day_number(2026, 12, 8));
    f4put_char(ativo, 'y');
    // Filtered moves pass over the deleted record 10.
    ASSERT_EQ(d4goto_record(9), 0);
    ASSERT_EQ(d4skip_filtered(1), 0);
    EXPECT_EQ(d4record_number(), 11);
    d4clear_filters();
    ASSERT_EQ(d4close_table(), 0);

    const std::vector<std::string> there = read_all_there(file);
    ASSERT_FALSE(there.empty());
    EXPECT_EQ(there[0], "COUNT\t62");
    ASSERT_GE(d4open_table(file.c_str()), 0);
    const std::vector<std::string> here = read_all_here();
    ASSERT_EQ(here.size() + 1, there.size());
    for (std::size_t i = 0; i < here.size(); ++i) EXPECT_EQ(here[i], there[i + 1]) << "line " << i;

    auto has = [&](const std::string& line) {
        for (const std::string& l : there)
            if (l.rfind(line, 0) == 0) return true;
        return false;
    };
    EXPECT_TRUE(has("L\tZECA 5\t123.4600\t2000-01-01\tT\tFFFF"));
    EXPECT_TRUE(has("D\tANA10\t"));
    EXPECT_TRUE(has("L\tHUGO 7\t"));
    EXPECT_TRUE(has("L\tNOVO61\t-0.5000\tNone\tF\tOBS61"));
    EXPECT_TRUE(has("L\tNOVO62\t99999.9900\t2026-12-08\tT\t"));
    EXPECT_EQ(testfiles::read_file(file).back(), 0x1A);
}

} // namespace
