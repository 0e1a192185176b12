// Requests that change a terminal's table: appending a blank record (codes
// 18, 46), storing field values by field name into the current record,
// optionally into a newly appended one (codes 19, 43, 47, 48), and setting
// or clearing the current record's deletion mark (codes 20, 21).
//
// Codes 46, 47 and 48 carry a sequence byte in data byte 0: a request that
// arrives again with the byte of the last one (TerminalSequence[slot]) does
// not append a second record. Every change is made in the table store's
// record buffer; SaveContext, which the dispatcher runs after each of these
// codes, writes the record, stamps the header and writes the index pages.
//
// Field list of codes 19, 43 (from offset 2) and 47, 48 (from offset 3):
// pairs of NUL-terminated texts, field name then value, up to the request's
// length. The answer is the record image with the request's code and status
// byte 0 when every pair was stored, 1 when the request was refused (record
// held elsewhere, append refused) or stopped at a pair (no such field, a
// name of more than 15 characters, a field type that takes no value).
#pragma once

#include <cstdint>

// Longest field name a request may carry.
inline constexpr int kMaxFieldName = 15;

// ---- Value conversions, on plain texts ----

// A logical value: the first character upper-cased; 'T' or 'Y' gives 'T',
// 'F' or 'N' gives 'F', anything else 0 (the field stays as it is).
char LogicalValue(const char* value);

// A date value: the first 8 characters must be digits or blanks (a blank
// counts as 0), the month (characters 5, 6) at most 12 and the day
// (characters 7, 8) at most 31. When it passes, out receives the value with
// the blanks of its first 8 characters turned into '0' (at most out_size - 1
// characters and a NUL) and the result is true; otherwise false.
bool DateValue(const char* value, char* out, int out_size);

// Converts value by the type of field ref and stores it in the current
// record: C and M cut at the width or blank-padded, N and F as a decimal
// number, L and D through the conversions above (a value they do not take
// leaves the field as it is). False for a field type that takes no value.
bool StoreFieldValue(int ref, const char* value);

// ---- Request handlers (function codes in brackets) ----

// [18] append a blank record: 18 when appended, else 14; no data.
void AppendBlank(std::uint16_t address, int slot);
// [46] as 18, unless data byte 0 repeats the last sequence byte: then 46
// and nothing is done.
void AppendBlankOnce(std::uint16_t address, const std::uint8_t* data, int length, int slot);
// [19] store the field list into the current record; [43] (append true)
// append a blank record first. Answer: record image with `code`.
void UpdateFields(std::uint16_t address, std::uint8_t* data, int length, int slot,
                  std::uint8_t code, bool append);
// [47] as 19 with a sequence byte; [48] (append true) appends first unless
// the sequence byte repeats the last one, so a repeated 48 stores its values
// again into the record the first one appended.
void UpdateFieldsOnce(std::uint16_t address, std::uint8_t* data, int length, int slot,
                      std::uint8_t code, bool append);
// [20] mark the current record deleted, [21] clear the mark: 15 when done,
// 14 when the store refused; no data.
void DeleteRecord(std::uint16_t address, int slot);
void RecallRecord(std::uint16_t address, int slot);

// ---- The same handlers with the dispatcher's common signature ----

void AppendBlankRequest(std::uint16_t address, std::uint8_t* data, int length, int slot);      // 18
void UpdateFieldsRequest(std::uint16_t address, std::uint8_t* data, int length, int slot);     // 19
void DeleteRecordRequest(std::uint16_t address, std::uint8_t* data, int length, int slot);     // 20
void RecallRecordRequest(std::uint16_t address, std::uint8_t* data, int length, int slot);     // 21
void AppendUpdateRequest(std::uint16_t address, std::uint8_t* data, int length, int slot);     // 43
void AppendBlankOnceRequest(std::uint16_t address, std::uint8_t* data, int length, int slot);  // 46
void UpdateFieldsOnceRequest(std::uint16_t address, std::uint8_t* data, int length, int slot); // 47
void AppendUpdateOnceRequest(std::uint16_t address, std::uint8_t* data, int length, int slot); // 48
