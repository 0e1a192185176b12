// A table of ten records opened in the table store, with terminal contexts
// set up on it directly (as the opening requests would leave them).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "manager/runtime.h"
#include "manager/tablestore/store.h"
#include "manager/tablestore/tables.h"
#include "tests/manager/support.h"

namespace mtest {

class TableFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetRuntimeTables();
        std::vector<std::string> records;
        for (int i = 1; i <= 10; ++i) records.push_back("NAME" + std::to_string(i));
        WriteTable(dir.file("ITEMS.DBF"), {{"NAME", 10}}, records);
        ASSERT_EQ(d4initialize(1, 1, 25, 256, 0), 0);
        table = d4open_table("ITEMS");
        ASSERT_GE(table, 0);
        DataFileHandle[0] = table;
        DataFileLocks[0] = AllocateLockTable(0);
        locks = DataFileLocks[0];
    }
    void TearDown() override {
        d4close_all_tables();
        d4reset_store();
        ResetRuntimeTables();
    }
    // Gives the terminal in slot the table as its file, at record r.
    void OnTable(int slot, int r) {
        TerminalFile[slot] = table;
        TerminalFileKind[slot] = kKindTable;
        TerminalIndex[slot] = -1;
        TerminalLocks[slot] = locks;
        TerminalRecord[slot] = r;
    }
    // Makes slot's record the table's current one (as RestoreContext does).
    void At(int slot) {
        d4select_table(table);
        ASSERT_EQ(d4goto_record(TerminalRecord[slot]), 0);
    }
    const TableHandle* handle() { return d4table(table); }

    ScratchDir dir;
    int table = -1;
    LockTable* locks = nullptr;
};

} // namespace mtest
