// Helpers shared by the table request handlers (not used elsewhere): the
// frame buffer as a bounded span, the record-image answer, and what the
// handlers need to know about the configured data files and open indexes.
#pragma once

#include "manager/requests/context.h"
#include "manager/requests/locks.h"
#include "manager/requests/writeback.h"
#include "manager/runtime.h"

#include <cstddef>
#include <cstdint>
#include <span>

// The frame buffer that a handler received, as far as it reaches.
inline std::span<std::uint8_t> FrameSpan(std::uint8_t* data) {
    return std::span<std::uint8_t>(data, kFrameBufferSize);
}

// Builds the record image of the selected table in data, sets its status
// byte and sends it with `code`. A table whose image cannot be built (no
// table, or one too wide for the buffer) is answered 14 without data.
void SendRecordReply(std::uint16_t address, std::uint8_t* data, std::uint8_t code,
                     std::uint8_t status);

// Refuses a request with code 14 and six data bytes, all zero: nothing of
// an earlier answer (another terminal's record, say) goes out with it.
void SendSixByteRefusal(std::uint16_t address, std::uint8_t* data);

// Kind letter of configured data-file entry j ('A', 'D', 'I', 'C', other).
int DataFileKindOf(int j);

// The configuration's CommitAfterWrite flag.
std::uint8_t CommitAfterWriteFlag();

// True when `index` is an open index of table `table`.
bool IndexBelongsTo(int index, int table);

// Size of the key expression text in an index header (NUL included).
inline constexpr std::size_t kKeyExpressionSize = 256;

// Copies the key expression text of index `index` into out (size bytes,
// always NUL-terminated, cut at the header's 256 bytes even when the file
// holds no NUL there). False when index is not open.
bool IndexKeyExpression(int index, char* out, std::size_t size);
