// Table requests of the terminals: opening and closing a table context,
// choosing the order, moving the record pointer, seeking a key, the record
// count and number, and the two layouts in which table data travel to a
// terminal (the structure reply sent on open, the record image sent after
// every move and every change).
//
// Every handler answers with exactly one frame to the address it was given.
// `data` is the frame buffer holding the request (`length` bytes received);
// handlers store a NUL at data[length] and build their answer in the same
// buffer, so the buffer must hold at least length + 1 bytes (the manager's
// 4096-byte frame buffer does). Nothing past the request's own bytes is ever
// read as part of the request.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// Structure reply limit: record width + 17 x fields must not exceed this.
inline constexpr int kStructureLimit = 980;
// Terminal memory where the structure reply is stored (TerminalHighBase 0/1).
inline constexpr std::uint16_t kLowReplyBase = 4608;   // 0x1200
inline constexpr std::uint16_t kHighReplyBase = 37376; // 0x9200
// Longest table or index name a terminal may send (the store keeps 63).
inline constexpr std::size_t kMaxRequestName = 63;

// ---- The two reply layouts, over plain values (no table store needed) ----

// One field as the structure reply and the record image describe it.
struct ReplyField {
    char type = 'C';                     // type letter from the table
    char name[11] = {};                  // name as stored, NUL-padded (not trusted to end)
    int width = 0;                       // width in bytes (may exceed 255 for 'C')
    int decimals = 0;                    // decimals
    const std::uint8_t* value = nullptr; // the field's bytes in the record buffer
};

// Field values as the record image carries them: each field's bytes up to a
// NUL inside the field (the rest of the field sent as 0), then one NUL.
// Writes into out and returns the number of bytes written, or -1 when out is
// too small (nothing beyond out is touched).
int LayOutFieldValues(std::span<const ReplyField> fields, std::span<std::uint8_t> out);

// The structure reply after its first 6 bytes: n descriptors of 16 bytes,
// then the values. base is the terminal memory address of the reply. Writes
// bytes 5 onwards (byte 5 = n) and returns the total reply length counted from
// byte 0, or -1 when out is too small.
int LayOutStructure(std::span<const ReplyField> fields, std::uint16_t base,
                    std::span<std::uint8_t> out);

// ---- Replies built from the selected table of the table store ----

// The record image of the selected table's current record, from offset 0 of
// out: the five flag bytes (at start, at end, 0, status 0, deleted), then the
// field values. Returns its length (number of fields + record width + 4), or
// -1 when there is no table or the image does not fit in out.
int BuildRecordImage(std::span<std::uint8_t> out);

// Builds and sends the structure reply of the selected table with reply code
// `reply` for the terminal in slot. Returns 0 when it was sent, -1 when the
// table is too wide for it (code 7 with no data has then been sent).
int SendTableStructure(std::uint16_t address, std::uint8_t* data, std::uint8_t reply, int slot);

// ---- Request handlers (function codes in brackets) ----

// [10, 16] open a table by name; reply is the reply code (the request's).
void OpenTable(std::uint16_t address, std::uint8_t* data, int length, int slot, std::uint8_t reply);
// [11, 42] open a table and one of its indexes.
void OpenTableWithIndex(std::uint16_t address, std::uint8_t* data, int length, int slot,
                        std::uint8_t reply);
// [17] choose the order: an index by name, or record order without data.
void SelectOrder(std::uint16_t address, std::uint8_t* data, int length, int slot);
// [22] go to a record number.
void GotoRecord(std::uint16_t address, std::uint8_t* data, int length, int slot);
// [23] go to the last record, [24] to the first, in the terminal's order.
void GotoLast(std::uint16_t address, std::uint8_t* data, int length, int slot);
void GotoFirst(std::uint16_t address, std::uint8_t* data, int length, int slot);
// [25] skip records, optionally passing over deleted ones.
void SkipRecords(std::uint16_t address, std::uint8_t* data, int length, int slot);
// [26] seek a key through the terminal's index.
void SeekKey(std::uint16_t address, std::uint8_t* data, int length, int slot);
// [39] the record count, [40] the current record number, as decimal text.
void SendRecordCount(std::uint16_t address, std::uint8_t* data, int length, int slot);
void SendRecordNumber(std::uint16_t address, std::uint8_t* data, int length, int slot);
// [41] close the terminal's table context (the table stays open).
void CloseTable(std::uint16_t address, std::uint8_t* data, int length, int slot);

// ---- Request parsing shared by the handlers ----

// Clamps a received length to what the frame buffer can hold (0 .. 4095)
// and stores the NUL at data[length]. Returns the clamped length.
int TerminateRequest(std::uint8_t* data, int length);
// Byte `offset` of the request, or 0 when the request is shorter.
std::uint8_t RequestByte(const std::uint8_t* data, int length, int offset);
// The NUL-terminated text that starts at offset, or "" when the request ends
// before it. Requires TerminateRequest to have run.
const char* RequestText(const std::uint8_t* data, int length, int offset);
// The text that follows the NUL of the text at offset, or "" when that NUL is
// the one TerminateRequest stored (the request carries no second text).
const char* RequestNextText(const std::uint8_t* data, int length, int offset);
// Decimal text as atol converts it, saturated at the int range.
int RequestNumber(const char* text);
// Decimal text as atof converts it; values too large for a double saturate,
// and a text that reads as "not a number" gives 0.
double RequestReal(const char* text);
