// File access of the table store over the platform layer: names, the open
// routine and its modes, exact reads and writes, and the lock primitives.
#include "manager/tablestore/fileio.h"

#include <cstdio>
#include <cstring>

#include "manager/tablestore/store_errors.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/locks.h"
#include "platform/sync.h"

char* text_upper(char* text) {
    if (text == nullptr) return text;
    for (char* p = text; *p != '\0'; ++p)
        if (*p >= 'a' && *p <= 'z') *p = static_cast<char>(*p - 'a' + 'A');
    return text;
}

int u4name_normalise(const char* name, const char* extension, char* out) {
    char work[u4name_size + 1];
    int length = 0;
    if (name != nullptr)
        while (length < u4name_size && name[length] != '\0') {
            work[length] = name[length];
            ++length;
        }
    while (length > 0 && work[length - 1] == ' ') --length;
    work[length] = '\0';
    text_upper(work);

    bool has_extension = false;
    for (int i = length - 1; i >= 0; --i) {
        if (work[i] == '\\' || work[i] == '/') break;
        if (work[i] == '.') {
            has_extension = true;
            break;
        }
    }
    if (!has_extension && extension != nullptr)
        for (const char* e = extension; *e != '\0' && length < u4name_size; ++e)
            work[length++] = *e;
    if (length > u4name_size - 1) length = u4name_size - 1;
    std::memcpy(out, work, static_cast<std::size_t>(length));
    out[length] = '\0';
    return length;
}

bool u4name_equal(const char* a, const char* b) {
    std::size_t length = std::strlen(a);
    if (length > u4name_size - 1) length = u4name_size - 1;
    if (std::strncmp(a, b, length) != 0) return false;
    return b[length] == '\0' || b[length] == ' ';
}

namespace {
int open_flags = 0;
int open_wait_ms = 0;
constexpr int kOpenRetryMs = 100;
} // namespace

int u4set_open_flags(int flags) {
    const int previous = open_flags;
    open_flags = flags & (u4read_only | u4no_share);
    return previous;
}

int u4set_open_wait(int ms) {
    const int previous = open_wait_ms;
    open_wait_ms = ms < 0 ? 0 : ms;
    return previous;
}

int u4open_file(const char* name, int mode) {
    mode |= open_flags;
    const bool quiet = (mode & u4quiet) != 0;
    const int action = mode & ~(u4quiet | u4read_only | u4no_share);
    const plat::FileShare share =
        (mode & u4no_share) != 0 ? plat::FileShare::kNone : plat::FileShare::kShared;
    const unsigned access =
        (mode & u4read_only) != 0 && (action == u4open_existing || action == u4open_existing4)
            ? plat::kAccessRead
            : plat::kAccessReadWrite;
    plat::FileHandle handle = plat::kNoFile;
    int code = err4open;
    for (int waited = 0;; waited += kOpenRetryMs) {
        switch (action) {
        case u4create_new:
            code = err4create;
            plat::FileOpen(name, access, plat::FileCreate::kCreateNew, &handle, share);
            break;
        case u4create_always:
            code = err4create;
            if (waited == 0) plat::FileDelete(name);
            plat::FileOpen(name, access, plat::FileCreate::kCreateAlways, &handle, share);
            break;
        case u4open_existing:
        case u4open_existing4:
            plat::FileOpen(name, access, plat::FileCreate::kOpenExisting, &handle, share);
            break;
        default: break;
        }
        if (handle != plat::kNoFile || plat::LastError() != plat::kErrSharingViolation ||
            waited >= open_wait_ms)
            break;
        plat::Sleep(kOpenRetryMs);
    }
    if (handle == plat::kNoFile) {
        const std::uint32_t why = plat::LastError();
        if (!quiet) e4error_report(code, name, nullptr);
        plat::SetLastError(why); // the report may have touched files of its own
        return -1;
    }
    return handle;
}

int u4close_file(int file) {
    if (file < 0) return 0;
    return plat::FileClose(file) == 0 ? 0 : -1;
}

std::int64_t u4file_size(int file) {
    // The end offset, not the file's status: the store reads and writes at
    // explicit offsets only, so moving the handle's position costs nothing,
    // and a status query would make the kernel give the next write a fresh
    // fine-grained time stamp (another inode update) on every request.
    std::int64_t size = 0;
    if (plat::FileSeek(file, 0, plat::SeekFrom::kEnd, &size) != 0 || size < 0) return -1;
    return size;
}

std::int64_t u4read_at(int file, std::int64_t offset, void* buffer, std::uint32_t count) {
    std::uint32_t done = 0;
    if (plat::FileReadAt(file, offset, buffer, count, &done) != 0) return -1;
    return done;
}

namespace {

// Reports a failed read or write: the number, when given, as the second
// text (formatted only now that a report is made). Returns -1.
int report_failure(int code, const char* name, const char* extra1, const char* extra2,
                   const long long* number) {
    char text[24];
    if (number != nullptr) {
        std::snprintf(text, sizeof text, "%lld", *number);
        extra2 = text;
    }
    e4error_report(code, name, extra1, extra2, nullptr);
    return -1;
}

int read_exact(int file, std::int64_t offset, void* buffer, std::uint32_t count, const char* name,
               const char* extra1, const char* extra2, const long long* number) {
    int code = 0;
    std::uint32_t done = 0;
    if (offset < 0)
        code = err4seek;
    else if (plat::FileReadAt(file, offset, buffer, count, &done) != 0 || done != count)
        code = err4read;
    if (code == 0) return 0;
    return report_failure(code, name, extra1, extra2, number);
}

} // namespace

int u4read_exact(int file, std::int64_t offset, void* buffer, std::uint32_t count, const char* name,
                 const char* extra1, const char* extra2) {
    return read_exact(file, offset, buffer, count, name, extra1, extra2, nullptr);
}

int u4read_exact_n(int file, std::int64_t offset, void* buffer, std::uint32_t count,
                   const char* name, const char* label, long long number) {
    return read_exact(file, offset, buffer, count, name, label, nullptr, &number);
}

namespace {

u4write_hook write_hook = nullptr;
long write_failures = 0;

} // namespace

void u4set_write_hook(u4write_hook hook) {
    write_hook = hook;
}

long u4write_failures() {
    return write_failures;
}

namespace {

int write_exact(int file, std::int64_t offset, const void* buffer, std::uint32_t count,
                const char* name, const char* extra1, const char* extra2, const long long* number) {
    int code = 0;
    std::uint32_t done = 0;
    if (offset < 0)
        code = err4seek;
    else if ((write_hook != nullptr && write_hook(file, name, offset, count) < 0) ||
             plat::FileWriteAt(file, offset, buffer, count, &done) != 0 || done != count)
        code = err4write;
    if (code == 0) return 0;
    ++write_failures;
    return report_failure(code, name, extra1, extra2, number);
}

} // namespace

int u4write_exact(int file, std::int64_t offset, const void* buffer, std::uint32_t count,
                  const char* name, const char* extra1, const char* extra2) {
    return write_exact(file, offset, buffer, count, name, extra1, extra2, nullptr);
}

int u4write_exact_n(int file, std::int64_t offset, const void* buffer, std::uint32_t count,
                    const char* name, const char* label, long long number) {
    return write_exact(file, offset, buffer, count, name, label, nullptr, &number);
}

namespace {
int served_owner = u4no_terminal;
} // namespace

int u4set_lock_owner(int owner) {
    const int previous = served_owner;
    served_owner = owner;
    return previous;
}

int u4lock(int file, std::int64_t offset, std::int64_t length, int wait, int shared) {
    if (file < 0 || offset < 0 || length <= 0) return u4refused;
    const auto off = static_cast<std::uint64_t>(offset);
    const auto len = static_cast<std::uint64_t>(length);
    const int owner = plat::RegionOwner(file, off, len);
    if ((owner > 0 && owner != u4store_tag) || owner == -2) {
        // A terminal's lock of this process stands there.
        if (served_owner == u4any_terminal || (owner > 0 && owner == served_owner)) return u4held;
        return u4refused;
    }
    const std::uint32_t r = plat::LockRegionAs(
        file, off, len, shared ? plat::LockMode::kShared : plat::LockMode::kExclusive, u4store_tag,
        wait ? static_cast<std::uint32_t>(u4lock_wait_ms) : 0u);
    return r == 0 ? u4locked : u4refused;
}

int u4unlock(int file, std::int64_t offset, std::int64_t length) {
    if (file < 0 || offset < 0 || length <= 0) return -1;
    return plat::UnlockRegion(file, static_cast<std::uint64_t>(offset),
                              static_cast<std::uint64_t>(length)) == 0
               ? 0
               : -1;
}

int u4unlock_pair(int file, std::int64_t offset1, std::int64_t offset2, std::int64_t length) {
    if (file < 0 || offset1 < 0 || offset2 < 0 || length <= 0) return -1;
    const auto len = static_cast<std::uint64_t>(length);
    return plat::UnlockRegionPair(file, static_cast<std::uint64_t>(offset1), len,
                                  static_cast<std::uint64_t>(offset2), len) == 0
               ? 0
               : -1;
}

namespace {
std::uint32_t budget_start = 0;
std::uint32_t budget_ms = 0;
int budget_state = 0;
} // namespace

void u4set_work_budget(std::uint32_t ms) {
    budget_start = plat::TickCount();
    budget_ms = ms;
    budget_state = 0;
}

int u4work_budget_spent() {
    if (budget_ms == 0) return 0;
    if (budget_state == 0 && plat::TickCount() - budget_start >= budget_ms)
        budget_state = 1;
    else if (budget_state == 1)
        budget_state = 2;
    return budget_state;
}
