// Fuzz target: a table file made of the input, opened and walked with every
// navigation routine, its fields read and stored, records appended, deleted
// and written, then closed. The first 16 input bytes choose the moves, the
// rest is the file. No input may crash the store, read or write outside a
// buffer, or end the program.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "manager/tablestore/fields.h"
#include "manager/tablestore/store.h"
#include "manager/tablestore/store_errors.h"
#include "manager/tablestore/tables.h"

namespace {

std::string table_name() {
    static std::string name;
    if (name.empty()) {
        char dir[] = "/tmp/fuzztbXXXXXX";
        if (mkdtemp(dir) == nullptr) std::abort();
        name = std::string(dir) + "/F.DBF";
    }
    return name;
}

bool write_image(const std::string& name, const std::uint8_t* data, std::size_t size) {
    std::FILE* f = std::fopen(name.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

// Reads every field of the current record the ways the manager does.
void read_fields() {
    for (int i = 1; i <= d4field_count(); ++i) {
        const int ref = f4ref_by_number(i);
        volatile double n = f4field_number(ref);
        (void)n;
        (void)f4field_true(ref);
        const char* text = f4field_text(ref);
        if (text != nullptr) (void)f4ref(text);
        char copy[64];
        (void)f4copy_field(ref, copy, sizeof copy);
    }
}

// Stores something in field i of the current record.
void store_field(int i, std::uint8_t how) {
    const int ref = f4ref_by_number(i);
    if (ref < 0) return;
    switch (how % 4) {
    case 0: f4put_number(ref, (how - 128) * 12.375); break;
    case 1: f4put_number(ref, 2451545 + how * 97.0); break;
    case 2: f4put_text(ref, "FUZZED TEXT"); break;
    default: f4put_char(ref, 'T'); break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    constexpr std::size_t kMoves = 16;
    if (size < kMoves) return 0;
    const std::string name = table_name();
    if (!write_image(name, data + kMoves, size - kMoves)) return 0;

    d4reset_store();
    if (d4initialize(1, 1, 25, 256, 0) < 0) return 0;
    if (d4open_table(name.c_str()) >= 0) {
        d4push_filter(d4is_deleted);
        for (std::size_t m = 0; m < kMoves; ++m) {
            const std::uint8_t move = data[m];
            const int arg = (move >> 4) - 8;
            switch (move & 0x0F) {
            case 0: d4goto_first(); break;
            case 1: d4goto_last(); break;
            case 2: d4skip_records(arg); break;
            case 3: d4goto_record(arg + 3); break;
            case 4: d4skip_filtered(arg); break;
            case 5: d4goto_first_filtered(); break;
            case 6: d4goto_last_filtered(); break;
            case 7: read_fields(); break;
            case 8: store_field((move >> 4) % 4 + 1, move); break;
            case 9: d4append_blank_record(); break;
            case 10: d4mark_deleted(d4record_number()); break;
            case 11: d4unmark_deleted(arg + 2); break;
            case 12: d4write_record(d4record_number()); break;
            case 13: d4flush_table(-1); break;
            case 14:
                (void)d4record_count();
                (void)d4is_deleted();
                break;
            default:
                // Another program cuts the file short while it is open.
                if (truncate(name.c_str(), (size - kMoves) * (move >> 4) / 16) != 0) return 0;
                break;
            }
        }
        read_fields();
        d4clear_filters();
    }
    d4close_all_tables();
    d4reset_store();
    return 0;
}
