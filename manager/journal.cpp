// The change journal: undo records written ahead of the store's writes, the
// commit that clears them, the undo of a failed request and the repair at
// start-up. See journal.h for the file layout and the order of writes.
#include "manager/journal.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <limits>

#include "manager/config.h"
#include "manager/requests/context.h"
#include "manager/runtime.h"
#include "manager/store_log.h"
#include "manager/tablestore/fileio.h"
#include "manager/tablestore/index_verify.h"
#include "manager/tablestore/store_errors.h"
#include "manager/tablestore/store_reload.h"
#include "manager/tablestore/tables.h"
#include "platform/diagnose.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/ownfiles.h"

namespace {

constexpr std::uint32_t kHeaderSize = 64;
constexpr std::uint32_t kChecksumAt = 40;
constexpr std::uint8_t kRunning = 1;
constexpr std::uint32_t kBegin = 'B';
constexpr std::uint32_t kUndo = 'U';
constexpr std::uint32_t kNameSize = 64;
constexpr std::uint32_t kFirstSaved = 280;
constexpr std::uint32_t kUndoHead = kNameSize + 8 + 8 + 4;
constexpr std::uint32_t kBeginSize = 4 + kNameSize; // without the generation after it
constexpr std::uint32_t kGenerationAt = 44;
// The largest write of the store: a record of 32767 bytes and its end byte.
constexpr std::uint32_t kMaxSaved = 32768;
constexpr std::uint32_t kMaxRecord = 8 + kUndoHead + kMaxSaved + 4;
constexpr int kMaxRanges = 128;
constexpr int kMaxTouched = 64;
constexpr int kMaxUndo = 4096;

struct Range {
    int file;
    std::int64_t offset;
    std::uint32_t count;
};

plat::FileHandle journal = plat::kNoFile;
std::int64_t journal_end = kHeaderSize;
// The generation of the entries: a finished entry is retired by writing the
// header with the next one, which makes its records (left in the file, not
// cut off: cutting a file waits on the file system's own journal) stale.
// An entry's begin record names its generation; its undo records' checksums
// are seeded with it, so a stale record never passes for a live one.
std::uint32_t generation = 0;
bool generation_known = true; // false: the header's was unreadable at start-up
std::uint32_t undo_seed = 0;  // the generation whose undo records are read
std::array<std::uint8_t, kSlots> saved_sequence{};

// The entry of the request being served.
bool active = false;
bool begun = false;   // its begin record is written
bool broken = false;  // a journal write failed: no more data writes
bool pending = false; // a failed request could not be undone yet
int entry_slot = 0;
int entry_code = 0;
int entry_record = 0;
std::uint8_t entry_sequence = 0;
long failures_before = 0;
long reports_before = 0;
std::array<Range, kMaxRanges> ranges;
int range_count = 0;
std::array<int, kMaxTouched> touched;
// Each touched file's size as this entry's writes leave it: taken from the
// file once, then grown by the entry's own writes past the end (only the
// holder of the append or index lock extends a file, and the entry holds it).
std::array<std::int64_t, kMaxTouched> touched_size;
int touched_count = 0;

std::uint8_t record[kMaxRecord];
std::array<std::int64_t, kMaxUndo> undo_at;

std::uint32_t Checksum(const std::uint8_t* p, std::uint32_t n, std::uint32_t seed = 0) {
    std::uint32_t h = 2166136261u ^ seed;
    for (std::uint32_t i = 0; i < n; ++i) h = (h ^ p[i]) * 16777619u;
    return h;
}

void Put32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
void Put64(std::uint8_t* p, std::int64_t v) {
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(v) >> (8 * i));
}
std::uint32_t Get32(const std::uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
std::int64_t Get64(const std::uint8_t* p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return static_cast<std::int64_t>(v);
}

bool WriteAt(std::int64_t offset, const std::uint8_t* p, std::uint32_t n) {
    std::uint32_t done = 0;
    return plat::FileWriteAt(journal, offset, p, n, &done) == 0 && done == n;
}

// One line to standard error and TableErrors.txt (both through the log's
// merging of repeats, so standard error is not written to twice).
void Log(const char* text) {
    char line[512];
    WriteStoreLogLine(line, FormatStoreLogLine(text, line, sizeof line));
}

// Whether an undo record's file name is one the repair may write to: a
// table or index of talvo.cfg, compared as resolved paths. A forged journal
// must not lead the repair to any other file, so absolute names and names
// with a ".." component are refused before anything is resolved.
bool AcceptedUndoName(const char* name) {
    if (name[0] == '\0' || name[0] == '/' || name[0] == '\\') return false;
    for (const char* p = name; *p != '\0'; ++p) {
        const bool starts = p == name || p[-1] == '/' || p[-1] == '\\' || p[-1] == ':';
        if (starts && p[0] == '.' && p[1] == '.' && (p[2] == '\0' || p[2] == '/' || p[2] == '\\'))
            return false;
    }
    char path[plat::kMaxPath];
    if (plat::ResolveName(name, path, sizeof path) != 0) return false;
    for (int j = 0; j < kConfigDataFiles; ++j) {
        const char kind = Config.DataFileKind[j];
        const char* extension = kind == kConfigKindTable                                  ? ".DBF"
                                : (kind == kConfigKindIndex || kind == kConfigKindIndexC) ? ".NTX"
                                                                                          : nullptr;
        if (extension == nullptr || Config.DataFileName[j][0] == '\0') continue;
        char normal[u4name_size];
        char configured[plat::kMaxPath];
        if (u4name_normalise(Config.DataFileName[j], extension, normal) <= 0 ||
            plat::ResolveName(normal, configured, sizeof configured) != 0)
            continue;
        if (std::strcmp(path, configured) == 0) return true;
    }
    return false;
}

// Writes the header with the state and the sequence bytes kept.
bool WriteHeader(std::uint8_t state) {
    std::uint8_t h[kHeaderSize] = {'W', 'T', 'J', '1'};
    h[4] = state;
    std::memcpy(h + 5, saved_sequence.data(), kSlots);
    Put32(h + kChecksumAt, Checksum(h, kChecksumAt));
    Put32(h + kGenerationAt, generation);
    Put32(h + kGenerationAt + 4, Checksum(h + kGenerationAt, 4));
    return WriteAt(0, h, kHeaderSize);
}

// Cuts the journal to its header: the entry is finished.
bool Clear() {
    if (plat::FileTruncate(journal, kHeaderSize) != 0) return false;
    journal_end = kHeaderSize;
    return CommitAfterWrite == 0 || plat::FileCommit(journal) == 0;
}

// Retires the finished entry: the header with the next generation (one
// write in place of cutting the file). False when the header could not be
// written (the entry is then still the live one).
bool Retire() {
    const std::uint32_t previous = generation;
    generation = generation + 1 == 0 ? 1 : generation + 1;
    if (!WriteHeader(kRunning)) {
        generation = previous;
        return false;
    }
    journal_end = kHeaderSize;
    return CommitAfterWrite == 0 || plat::FileCommit(journal) == 0;
}

// The checksum seed of a record of kind: begin records have none (they name
// their generation), undo records their entry's generation.
std::uint32_t SeedOf(std::uint32_t kind, std::uint32_t undo_generation) {
    return kind == kBegin ? 0 : undo_generation;
}

// Appends one record of kind with payload length n (already in record + 8).
bool Append(std::uint32_t kind, std::uint32_t n) {
    Put32(record, kind);
    Put32(record + 4, n);
    Put32(record + 8 + n, Checksum(record, 8 + n, SeedOf(kind, generation)));
    if (!WriteAt(journal_end, record, 8 + n + 4)) return false;
    journal_end += 8 + n + 4;
    return CommitAfterWrite == 0 || plat::FileCommit(journal) == 0;
}

// Reads the record at offset into `record`: its kind and payload length, or
// false when there is none whole there (end, or cut short).
bool ReadRecord(std::int64_t offset, std::int64_t end, std::uint32_t* kind, std::uint32_t* n) {
    if (offset + 12 > end) return false;
    std::uint32_t done = 0;
    if (plat::FileReadAt(journal, offset, record, 8, &done) != 0 || done != 8) return false;
    *kind = Get32(record);
    *n = Get32(record + 4);
    if ((*kind != kBegin && *kind != kUndo) || *n > kMaxRecord - 12 || offset + 12 + *n > end)
        return false;
    if (plat::FileReadAt(journal, offset + 8, record + 8, *n + 4, &done) != 0 || done != *n + 4)
        return false;
    return Get32(record + 8 + *n) == Checksum(record, 8 + *n, SeedOf(*kind, undo_seed));
}

// Puts back the bytes of one undo record (in `record`). False on failure.
bool ApplyUndo(std::uint32_t n) {
    if (n < kUndoHead) return false;
    char name[kNameSize + 1];
    std::memcpy(name, record + 8, kNameSize);
    name[kNameSize] = '\0';
    const std::int64_t offset = Get64(record + 8 + kNameSize);
    const std::int64_t size = Get64(record + 8 + kNameSize + 8);
    const std::uint32_t count = Get32(record + 8 + kNameSize + 16);
    if (count != n - kUndoHead || offset < 0 || size < 0) return false;
    plat::FileHandle file = plat::kNoFile;
    if (plat::FileOpen(name, plat::kAccessReadWrite, plat::FileCreate::kOpenExisting, &file,
                       plat::FileShare::kShared) != 0)
        return false;
    bool ok = true;
    std::uint32_t done = 0;
    if (count > 0 && (plat::FileWriteAt(file, offset, record + 8 + kUndoHead, count, &done) != 0 ||
                      done != count))
        ok = false;
    std::int64_t now = 0;
    if (ok && plat::FileSize(file, &now) == 0 && now > size && plat::FileTruncate(file, size) != 0)
        ok = false;
    if (ok && plat::FileCommit(file) != 0) ok = false;
    plat::FileClose(file);
    return ok;
}

// The bytes [at, at + n) of a file as they were before the entry, when some
// undo record of that file (in `record` order, oldest first) saved them all.
bool OldBytes(const char* name, std::int64_t end, int count, std::int64_t at, std::uint32_t n,
              std::uint8_t* out) {
    std::uint32_t kind = 0, len = 0;
    for (int i = 0; i < count; ++i) {
        if (!ReadRecord(undo_at[static_cast<std::size_t>(i)], end, &kind, &len) || len < kUndoHead)
            continue;
        if (std::strncmp(reinterpret_cast<const char*>(record + 8), name, kNameSize) != 0) continue;
        const std::int64_t offset = Get64(record + 8 + kNameSize);
        const std::uint32_t saved = Get32(record + 8 + kNameSize + 16);
        if (offset <= at && at + n <= offset + saved) {
            std::memcpy(out, record + 8 + kUndoHead + (at - offset), n);
            return true;
        }
    }
    return false;
}

// At start-up, whether another program changed the file after the manager
// was interrupted: putting our old bytes back would then overwrite its work.
// An index's change counter (offset 2) moves by one for each change, so one
// that moved further than the writes of the entry could have moved it was
// changed by somebody else; a table whose record count (offset 4) grew by
// more than the one record a request appends took another program's appends.
// Such a file is left as found (the full index check at open judges it).
bool ChangedSince(const char* name, std::int64_t end, int count, int writes) {
    plat::FileHandle file = plat::kNoFile;
    if (plat::FileOpen(name, plat::kAccessRead, plat::FileCreate::kOpenExisting, &file,
                       plat::FileShare::kShared) != 0)
        return false;
    std::uint8_t now[8] = {};
    std::uint32_t done = 0;
    plat::FileReadAt(file, 0, now, sizeof now, &done);
    plat::FileClose(file);
    if (done != sizeof now) return false;
    const std::size_t len = std::strlen(name);
    const bool index = len > 4 && (std::strcmp(name + len - 4, ".NTX") == 0 ||
                                   std::strcmp(name + len - 4, ".ntx") == 0);
    std::uint8_t old[4] = {};
    if (index) {
        if (!OldBytes(name, end, count, 2, 2, old)) return false;
        const unsigned moved =
            (unsigned(now[2] | now[3] << 8) - unsigned(old[0] | old[1] << 8)) & 0xFFFFu;
        return moved > static_cast<unsigned>(writes);
    }
    if (!OldBytes(name, end, count, 4, 4, old)) return false;
    return Get32(now + 4) > Get32(old) + 1u;
}

// Undoes every record of the journal from its header to end, newest first.
// Sets *slot / *sequence from a begin record (slot -1 when none) and the
// table's name. Returns the number of undo records, or -1 when one could not
// be put back.
int UndoAll(std::int64_t end, int* slot, std::uint8_t* sequence, char* table, int* code,
            bool startup = false) {
    int count = 0;
    *slot = -1;
    std::uint32_t kind = 0, n = 0;
    // The live entry begins right after the header with a begin record of
    // the header's generation; anything else there is a retired entry's. A
    // journal from before generations (none in its header) is read as it is.
    undo_seed = 0;
    if (ReadRecord(kHeaderSize, end, &kind, &n) && kind == kBegin && n >= kBeginSize) {
        const std::uint32_t begun_generation =
            n >= kBeginSize + 4 ? Get32(record + 8 + kBeginSize) : 0;
        if (generation_known && begun_generation != generation) return 0;
        undo_seed = begun_generation;
    } else if (generation_known) {
        return 0;
    }
    for (std::int64_t at = kHeaderSize; ReadRecord(at, end, &kind, &n); at += 12 + n) {
        if (kind == kBegin && n >= kBeginSize) {
            *slot = record[8] < kSlots ? record[8] : -1;
            *sequence = record[9];
            *code = record[10];
            std::memcpy(table, record + 12, kNameSize);
            table[kNameSize - 1] = '\0';
        } else if (kind == kUndo && count < kMaxUndo) {
            undo_at[static_cast<std::size_t>(count++)] = at;
        }
    }
    // Files left as found at start-up (another program changed them since).
    constexpr int kMaxKept = 16;
    char kept[kMaxKept][kNameSize + 1];
    int kept_count = 0;
    if (startup) {
        char checked[kMaxKept][kNameSize + 1];
        int checked_count = 0;
        for (int i = 0; i < count && checked_count < kMaxKept; ++i) {
            if (!ReadRecord(undo_at[static_cast<std::size_t>(i)], end, &kind, &n) || n < kUndoHead)
                continue;
            char name[kNameSize + 1];
            std::memcpy(name, record + 8, kNameSize);
            name[kNameSize] = '\0';
            bool seen = false;
            for (int k = 0; k < checked_count; ++k)
                seen = seen || std::strcmp(checked[k], name) == 0;
            if (seen) continue;
            std::memcpy(checked[checked_count++], name, sizeof name);
            if (!AcceptedUndoName(name)) {
                char text[200];
                std::snprintf(text, sizeof text,
                              "start-up repair: the journal names %s, which is no table or index "
                              "of talvo.cfg; its undo records are refused",
                              name);
                Log(text);
                continue;
            }
            int writes = 0;
            for (int j = 0; j < count; ++j)
                if (ReadRecord(undo_at[static_cast<std::size_t>(j)], end, &kind, &n) &&
                    std::strncmp(reinterpret_cast<const char*>(record + 8), name, kNameSize) == 0)
                    ++writes;
            if (ChangedSince(name, end, count, writes)) {
                std::memcpy(kept[kept_count++], name, sizeof name);
                char text[160];
                std::snprintf(text, sizeof text,
                              "start-up repair: %s was changed by another program after the "
                              "interruption; left as found",
                              name);
                Log(text);
            }
        }
    }
    bool ok = true;
    int refused = 0;
    for (int i = count - 1; i >= 0; --i) {
        if (!ReadRecord(undo_at[static_cast<std::size_t>(i)], end, &kind, &n)) {
            ok = false;
            continue;
        }
        // At start-up the journal is a file from disk: only configured
        // tables and indexes are written to, whatever it says.
        char name[kNameSize + 1];
        std::memcpy(name, record + 8, n >= kNameSize ? kNameSize : 0);
        name[n >= kNameSize ? kNameSize : 0] = '\0';
        bool keep = startup && !AcceptedUndoName(name);
        if (keep) ++refused;
        for (int k = 0; k < kept_count; ++k)
            keep = keep ||
                   std::strncmp(kept[k], reinterpret_cast<const char*>(record + 8), kNameSize) == 0;
        if (!keep && !ApplyUndo(n)) ok = false;
    }
    return ok ? count - refused : -1;
}

bool Covered(int file, std::int64_t offset, std::uint32_t count) {
    for (int i = 0; i < range_count; ++i) {
        const Range& r = ranges[static_cast<std::size_t>(i)];
        if (r.file == file && offset >= r.offset &&
            offset + count <= r.offset + static_cast<std::int64_t>(r.count))
            return true;
    }
    return false;
}

// The file's size before a write of count bytes at offset, which this
// entry's writes will leave at least offset + count. False when the size
// cannot be had.
bool SizeBefore(int file, std::int64_t offset, std::uint32_t count, std::int64_t* size) {
    int i = 0;
    while (i < touched_count && touched[static_cast<std::size_t>(i)] != file) ++i;
    if (i == touched_count) {
        *size = u4file_size(file); // the store's handle: its end offset
        if (*size < 0) return false;
        if (touched_count == kMaxTouched) return true; // not kept: asked again next time
        touched[static_cast<std::size_t>(i)] = file;
        touched_size[static_cast<std::size_t>(i)] = *size;
        ++touched_count;
    }
    *size = touched_size[static_cast<std::size_t>(i)];
    touched_size[static_cast<std::size_t>(i)] = std::max(*size, offset + count);
    return true;
}

bool WriteBegin() {
    std::memset(record + 8, 0, kBeginSize + 4);
    record[8] = static_cast<std::uint8_t>(entry_slot);
    record[9] = entry_sequence;
    record[10] = static_cast<std::uint8_t>(entry_code);
    if (const TableHandle* t = d4current_table())
        std::memcpy(record + 12, t->file_name, kNameSize - 1);
    Put32(record + 8 + kBeginSize, generation);
    return Append(kBegin, kBeginSize + 4);
}

// Appends the undo record of a write of count bytes at offset. False when
// the journal could not take it.
bool SaveBefore(int file, const char* name, std::int64_t offset, std::uint32_t count) {
    std::int64_t size = 0;
    if (count > kMaxSaved || name == nullptr || !SizeBefore(file, offset, count, &size)) {
        return false;
    }
    std::uint32_t saved = 0;
    if (offset < size)
        saved = static_cast<std::uint32_t>(std::min<std::int64_t>(count, size - offset));
    std::uint8_t* p = record + 8;
    std::memset(p, 0, kNameSize);
    std::snprintf(reinterpret_cast<char*>(p), kNameSize, "%s", name);
    Put64(p + kNameSize, offset);
    // A write inside the file is undone by its bytes alone: cutting the file
    // back would also cut what another program appended since. Only a write
    // past the end gives the size to cut back to.
    Put64(p + kNameSize + 8,
          offset + count <= size ? std::numeric_limits<std::int64_t>::max() : size);
    Put32(p + kNameSize + 16, saved);
    std::uint32_t done = 0;
    if (saved > 0 &&
        (plat::FileReadAt(file, offset, p + kUndoHead, saved, &done) != 0 || done != saved)) {
        return false;
    }
    if (!Append(kUndo, kUndoHead + saved)) {
        return false;
    }
    if (range_count < kMaxRanges)
        ranges[static_cast<std::size_t>(range_count++)] = {file, offset, count};
    return true;
}

// The store's write hook: saves what the write will overwrite.
int BeforeWrite(int file, const char* name, std::int64_t offset, std::uint32_t count) {
    if (!active || journal == plat::kNoFile) return 0;
    if (broken || pending) return -1;
    if (Covered(file, offset, count)) return 0;
    if (!begun) {
        if (!WriteBegin()) {
            broken = true;
            return -1;
        }
        begun = true;
    }
    // The first write to a file saves its first 280 bytes too (an index's
    // whole header with its change counter, a table's date and record
    // count): the start-up repair tells by them whether another program
    // changed the file after an interruption, and the header written at the
    // end of the change needs no undo record of its own.
    // A file shorter than 280 bytes (a new table of a few fields) has only
    // its own bytes saved: the save is a write inside the file, so it never
    // counts as growth of the file nor as a size to cut back to.
    bool first = true;
    for (int i = 0; i < touched_count; ++i)
        first = first && touched[static_cast<std::size_t>(i)] != file;
    if (first && offset != 0) {
        std::int64_t size = 0;
        if (!SizeBefore(file, 0, 0, &size)) {
            broken = true;
            return -1;
        }
        const auto head = static_cast<std::uint32_t>(std::min<std::int64_t>(size, kFirstSaved));
        if (head > 0 && !SaveBefore(file, name, 0, head)) {
            broken = true;
            return -1;
        }
    }
    if (!SaveBefore(file, name, offset, count)) {
        broken = true;
        return -1;
    }
    return 0;
}

} // namespace

bool JournalStart() {
    // Whoever can write these can make the manager write what they like:
    // the configuration names the files, the journal's records are written
    // back at start-up, and in the directory the journal can be replaced.
    for (const char* name : {".", "talvo.cfg", kJournalFile}) {
        bool open_to_all = false;
        if (plat::WritableByOthers(name, &open_to_all) != 0 || !open_to_all) continue;
        char path[200];
        plat::HostPathOf(name, false, path, sizeof path);
        char text[512];
        std::snprintf(text, sizeof text,
                      "%s can be written by other users; take their write permission away "
                      "(chmod o-w %s) and start again",
                      path, path);
        Log(text);
        const std::size_t n = std::min(std::strlen(text), sizeof MessageBuffer - 1);
        std::memcpy(MessageBuffer, text, n);
        MessageBuffer[n] = '\0';
        return false;
    }
    // The journal holds record images: its owner alone may read it.
    const std::uint32_t opened =
        plat::OwnFileOpen(kJournalFile, plat::kAccessReadWrite, 0600, &journal);
    if (opened != 0) {
        if (opened == plat::kErrCantResolve) {
            char text[200];
            std::snprintf(text, sizeof text,
                          "%s is a symbolic link; refused (remove the link and start again)",
                          kJournalFile);
            Log(text);
        }
        std::snprintf(MessageBuffer, sizeof MessageBuffer, "Erro ao Abrir Arquivo %s",
                      kJournalFile);
        journal = plat::kNoFile;
        return false;
    }
    std::int64_t size = 0;
    plat::FileSize(journal, &size);
    saved_sequence = TerminalSequence;
    bool in_order = true;
    generation = 0;
    generation_known = true;
    if (size > 0) {
        std::uint8_t h[kHeaderSize] = {};
        std::uint32_t done = 0;
        plat::FileReadAt(journal, 0, h, kHeaderSize, &done);
        const bool sound = done == kHeaderSize && std::memcmp(h, "WTJ1", 4) == 0 &&
                           Get32(h + kChecksumAt) == Checksum(h, kChecksumAt);
        if (sound) std::memcpy(saved_sequence.data(), h + 5, kSlots);
        // A header from before generations (or an unreadable one) names
        // none: the entry found after it is taken as the live one.
        generation_known = sound && Get32(h + kGenerationAt + 4) == Checksum(h + kGenerationAt, 4);
        generation = generation_known ? Get32(h + kGenerationAt) : 0;
        in_order = sound && h[4] != kRunning;
    }
    int slot = -1, code = 0;
    std::uint8_t sequence = 0;
    char table[kNameSize] = "";
    const int undone = UndoAll(size, &slot, &sequence, table, &code, true);
    if (undone < 0) {
        std::snprintf(MessageBuffer, sizeof MessageBuffer, "Erro ao Abrir Arquivo %s",
                      kJournalFile);
        Log("the unfinished change in the journal could not be undone");
        return false;
    }
    if (undone > 0 || slot >= 0) {
        if (slot >= 0) saved_sequence[static_cast<std::size_t>(slot)] = sequence;
        char text[200];
        std::snprintf(text, sizeof text,
                      "start-up repair: undid the unfinished change (code %d, terminal slot %d, "
                      "%s): %d write(s) put back",
                      code, slot, table, undone);
        Log(text);
    }
    TerminalSequence = saved_sequence;
    generation_known = true;
    if (!WriteHeader(kRunning) || !Clear()) {
        std::snprintf(MessageBuffer, sizeof MessageBuffer, "Erro ao Abrir Arquivo %s",
                      kJournalFile);
        return false;
    }
    plat::FileCommit(journal);
    i4set_open_check(in_order ? 1 : 2);
    u4set_write_hook(BeforeWrite);
    return true;
}

void JournalStop() {
    if (journal == plat::kNoFile) return;
    u4set_write_hook(nullptr);
    saved_sequence = TerminalSequence;
    if (WriteHeader(0) && Clear()) plat::FileCommit(journal);
    plat::FileClose(journal);
    journal = plat::kNoFile;
    i4set_open_check(0);
}

void JournalBegin(int slot, int code) {
    if (slot < 0 || slot >= kSlots) return;
    if (pending) {
        // The undo of a failed request is tried again before anything else.
        int slot = -1, code = 0;
        std::uint8_t sequence = 0;
        char table[kNameSize] = "";
        if (UndoAll(journal_end, &slot, &sequence, table, &code) >= 0 && Clear()) {
            pending = false;
            d4forget_cached();
            Log("the failed request's writes are undone now");
        }
    }
    active = true;
    begun = false;
    broken = false;
    entry_slot = slot;
    entry_code = code;
    entry_record = TerminalRecord[static_cast<std::size_t>(slot)];
    entry_sequence = TerminalSequence[static_cast<std::size_t>(slot)];
    failures_before = u4write_failures();
    reports_before = e4report_count();
    range_count = 0;
    touched_count = 0;
}

int JournalRecordBefore() {
    return entry_record;
}

int JournalEnd() {
    if (!active) return 0;
    active = false;
    const auto s = static_cast<std::size_t>(entry_slot);
    // A report other than a field name the table lacks is a failure of the
    // store (a write, a read, an index out of date).
    bool failed = broken || u4write_failures() != failures_before ||
                  (e4report_count() != reports_before && e4last_error() != err4field_name);
    if (!failed && journal != plat::kNoFile) {
        const bool sequence_changed = saved_sequence[s] != TerminalSequence[s];
        if (begun) {
            if (CommitAfterWrite != 0)
                for (int i = 0; i < touched_count; ++i)
                    if (plat::FileCommit(touched[static_cast<std::size_t>(i)]) != 0) failed = true;
            saved_sequence[s] = TerminalSequence[s];
            if (!failed && !Retire()) failed = true;
            if (failed) saved_sequence[s] = entry_sequence;
        } else if (sequence_changed) {
            saved_sequence[s] = TerminalSequence[s];
            if (!WriteHeader(kRunning)) Log("the terminals' sequence bytes could not be kept");
        }
        if (!failed) return 0;
    }
    if (!failed) return 0;
    // A request that changes nothing and wrote nothing has nothing to undo;
    // its own answer already told the terminal of the failure.
    if (!begun && !IsRecordChangingCode(entry_code)) return 0;

    // Put everything back as it was before the request.
    int undone = 0;
    if (begun && journal != plat::kNoFile) {
        int slot = -1, code = 0;
        std::uint8_t sequence = 0;
        char table[kNameSize] = "";
        undone = UndoAll(journal_end, &slot, &sequence, table, &code);
        if (undone < 0 || !Clear()) pending = true;
    }
    d4forget_cached();
    TerminalSequence[s] = entry_sequence;
    TerminalRecord[s] = entry_record;
    char text[160];
    if (undone < 0)
        std::snprintf(text, sizeof text,
                      "request %d of terminal slot %d failed and could not be undone yet; "
                      "no change is made until it is",
                      entry_code, entry_slot);
    else
        std::snprintf(text, sizeof text,
                      "request %d of terminal slot %d failed: %d write(s) undone", entry_code,
                      entry_slot, undone);
    Log(text);
    return -1;
}
