// Failure answers for undone record-changing requests.
#include "manager/requests/failed_change.h"

#include "manager/requests/table_support.h"
#include "manager/runtime.h"
#include "manager/tablestore/tables.h"

void AnswerFailedChange(std::uint16_t address, std::uint8_t* data, std::uint8_t code, int slot) {
    if (code != 19 && code != 43 && code != 47 && code != 48) {
        SendAnswer(address, nullptr, 14, 0);
        return;
    }
    // The record image shows the record as it is on disk again.
    const auto s = static_cast<std::size_t>(slot);
    if (TerminalFile[s] != -1 && TerminalFileKind[s] == kKindTable &&
        d4table(TerminalFile[s]) != nullptr) {
        d4select_table(TerminalFile[s]);
        if (d4goto_record(TerminalRecord[s]) != 0) d4set_eof(0);
        TerminalRecord[s] = d4record_number();
    }
    SendRecordReply(address, data, code, 1);
}
