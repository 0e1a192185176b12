// Shared pieces of the table-request line tests: the test fixture that
// starts a manager on a line, and readers for the record image and for
// records of a table file.
#pragma once

#include "tests/requests/line_harness.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace linetest {

// A record image split up: the five flag bytes and each field's text (the
// bytes before its NUL).
struct Image {
    bool ok = false;
    std::uint8_t at_start = 0, at_end = 0, found = 0, status = 0, deleted = 0;
    std::vector<std::string> values;
};

inline Image ReadImage(const Answer& a, const std::vector<int>& widths) {
    Image im;
    std::size_t need = 5;
    for (int w : widths) need += static_cast<std::size_t>(w) + 1;
    if (!a.ok || a.data.size() != need) return im;
    im.at_start = a.data[0];
    im.at_end = a.data[1];
    im.found = a.data[2];
    im.status = a.data[3];
    im.deleted = a.data[4];
    std::size_t at = 5;
    for (int w : widths) {
        const char* p = reinterpret_cast<const char*>(a.data.data() + at);
        im.values.emplace_back(p, strnlen(p, static_cast<std::size_t>(w)));
        at += static_cast<std::size_t>(w) + 1;
    }
    im.ok = true;
    return im;
}

inline std::string Text(const Answer& a) {
    if (a.data.empty() || a.data.back() != 0) return "<not a text>";
    return std::string(a.data.begin(), a.data.end() - 1);
}

// Records of a table file read as they are on disk.
struct TableFile {
    std::vector<std::uint8_t> bytes;
    std::uint16_t header = 0;
    std::uint16_t width = 0;
    std::vector<int> widths;

    bool load(const std::string& path) {
        std::ifstream f(path, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(f), {});
        if (bytes.size() < 32) return false;
        header = static_cast<std::uint16_t>(bytes[8] | (bytes[9] << 8));
        width = 1;
        widths.clear();
        for (std::size_t at = 32; at + 32 <= header && bytes[at] != 0x0D; at += 32) {
            int w = bytes[at + 16];
            if (bytes[at + 11] == 'C') w |= bytes[at + 17] << 8;
            widths.push_back(w);
            width = static_cast<std::uint16_t>(width + w);
        }
        return true;
    }
    // Field texts of record r (1-based) as an image carries them.
    std::vector<std::string> values(int r) const {
        std::vector<std::string> v;
        std::size_t at = header + static_cast<std::size_t>(r - 1) * width + 1;
        for (int w : widths) {
            std::string s(bytes.begin() + static_cast<long>(at),
                          bytes.begin() + static_cast<long>(at) + w);
            v.push_back(s.substr(0, strnlen(s.c_str(), s.size())));
            at += static_cast<std::size_t>(w);
        }
        return v;
    }
    bool deleted(int r) const {
        return bytes[header + static_cast<std::size_t>(r - 1) * width] == '*';
    }
};

// Whether another program could lock record r of the table file now (the
// way another program on the PC would try it: a classic record lock).
inline bool RecordLockFree(const std::string& path, int r) {
    const int fd = ::open(path.c_str(), O_RDWR);
    if (fd < 0) return false;
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 1000000000L + r;
    fl.l_len = 1;
    const bool free = ::fcntl(fd, F_SETLK, &fl) == 0;
    ::close(fd); // drops our lock again
    return free;
}

class TableLine : public ::testing::Test {
  protected:
    Line line;
    // Starts the manager, or skips the test naming what is missing.
    bool Start(const std::vector<std::uint16_t>& addresses, const std::vector<DataFile>& files) {
        if (!line.start(addresses, files)) {
            ADD_FAILURE() << "cannot start the manager on a line: " << line.why();
            return false;
        }
        return true;
    }
    void TearDown() override { EXPECT_EQ(line.stop(), 0) << "the manager's exit status"; }
};

} // namespace linetest
