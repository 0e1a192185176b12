// The download over a pseudo-terminal, with simulated terminals and the
// real manager program: the series of block frames as a terminal receives
// them (stuffed bytes included), code 5's alternate image, the images that
// send nothing, and a terminal's lock that the download gives up.
#include "platform/pty.h"
#include "tests/requests/line_harness.h"
#include "tests/requests/table_files.h"
#include "tools/talvoterm/terminal.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#ifndef WTALVOC_PATH
#define WTALVOC_PATH ""
#endif

namespace {

constexpr std::uint16_t kA = 5;
constexpr std::uint16_t kB = 6;

std::vector<std::uint8_t> Pattern(std::size_t count, std::uint8_t salt = 0) {
    std::vector<std::uint8_t> v(count);
    for (std::size_t i = 0; i < count; ++i)
        v[i] = static_cast<std::uint8_t>((i * 7 + i / 800 * 13 + salt) & 0xFF);
    return v;
}

// A manager on a line whose terminals ask for their images. The table
// tests' harness answers one frame per request, so the line is set up here
// the same way, with the whole exchange kept.
class DownloadLine : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/download_line.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override {
        Stop();
        if (term_started_) term_.stop();
        platform::pty_release(pty_);
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
    void Write(const std::string& name, const std::vector<std::uint8_t>& bytes) {
        std::ofstream f(Path(name), std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char*>(bytes.data()),
                static_cast<std::streamsize>(bytes.size()));
    }

    // Starts terminals A and B (slots 0 and 1) with these image names.
    bool Start(const std::string& imageA, const std::string& imageB,
               const std::vector<linetest::DataFile>& files = {}) {
        if (std::string(WTALVOC_PATH).empty() || ::access(WTALVOC_PATH, X_OK) != 0) {
            ADD_FAILURE() << "the manager program wtalvoc is not built";
            return false;
        }
        std::vector<std::uint8_t> cfg = linetest::BuildConfig({kA, kB}, files);
        const std::string names[2] = {imageA, imageB};
        for (std::size_t i = 0; i < 2; ++i) {
            std::memset(cfg.data() + 2053 + 64 * i, 0, 64);
            std::memcpy(cfg.data() + 2053 + 64 * i, names[i].data(), names[i].size());
        }
        Write("talvo.cfg", cfg);
        if (platform::pty_create(pty_, Path("COM1").c_str()) != 0) {
            ADD_FAILURE() << "cannot create a pseudo-terminal";
            return false;
        }
        const std::uint16_t played[] = {kA, kB};
        if (term_.start(pty_.master, played) != 0) {
            ADD_FAILURE() << "cannot start the simulated terminals";
            return false;
        }
        term_started_ = true;
        manager_ = linetest::StartManager(dir_);
        return manager_ > 0;
    }
    int Stop() { return linetest::StopManager(manager_); }

    talvoterm::Exchange Exchange(std::uint16_t address, std::uint8_t code,
                                 const std::vector<std::uint8_t>& data, talvoterm::Expect expect) {
        talvoterm::Request req;
        req.address = address;
        req.code = code;
        req.data = data;
        const std::uint64_t id = term_.submit(req, expect);
        talvoterm::Exchange ex;
        if (id == 0 || term_.wait(id, ex, 120000) != 0) ex.note = "no exchange";
        return ex;
    }
    // One request with a single answer: its code and data (code 0 when none).
    std::pair<std::uint8_t, std::vector<std::uint8_t>> Ask(std::uint16_t address, std::uint8_t code,
                                                           const std::vector<std::uint8_t>& data) {
        const talvoterm::Exchange ex = Exchange(address, code, data, talvoterm::Expect::answer);
        if (!ex.ok || ex.answers.size() != 1) return {0, {}};
        return {ex.answers[0].code, ex.answers[0].data};
    }
    std::string ManagerOutput() const {
        std::ifstream f(Path("manager.out"), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), {});
    }

    // The series is complete, every frame valid and addressed to the
    // terminal, n blocks of 802 bytes and the end frame.
    static void ExpectSeries(const talvoterm::Exchange& ex, std::uint16_t address,
                             std::size_t blocks) {
        EXPECT_EQ(ex.reply, talvoterm::Reply::ack) << ex.note;
        EXPECT_TRUE(ex.series_complete) << ex.note;
        ASSERT_EQ(ex.answers.size(), blocks + 1) << ex.note;
        for (std::size_t i = 0; i <= blocks; ++i) {
            const talvoterm::Frame& f = ex.answers[i];
            EXPECT_TRUE(f.valid()) << "frame " << i;
            EXPECT_EQ(f.dest, address);
            EXPECT_EQ(f.code, i < blocks ? 2 : 3) << "frame " << i;
            EXPECT_EQ(f.data.size(), i < blocks ? 802u : 0u) << "frame " << i;
        }
    }
    static unsigned Address(const talvoterm::Exchange& ex, std::size_t block) {
        return ex.answers[block].data[0] * 256u + ex.answers[block].data[1];
    }
    static std::vector<std::uint8_t> Joined(const talvoterm::Exchange& ex,
                                            const std::vector<std::size_t>& counts) {
        std::vector<std::uint8_t> all;
        for (std::size_t i = 0; i < counts.size() && i < ex.answers.size(); ++i) {
            const auto& d = ex.answers[i].data;
            if (d.size() < 2 + counts[i]) break;
            all.insert(all.end(), d.begin() + 2, d.begin() + 2 + static_cast<long>(counts[i]));
        }
        return all;
    }

    std::string dir_;
    platform::PtyPair pty_;
    talvoterm::Terminal term_;
    bool term_started_ = false;
    pid_t manager_ = -1;
};

TEST_F(DownloadLine, TerminalsReceiveTheirImagesBlockByBlock) {
    // A plain image of 900 bytes (every byte value, 0x10 among them) for A,
    // a signed one of 1607 bytes in lower case for B.
    const auto plain = Pattern(900);
    std::vector<std::uint8_t> signedImage = {'m', 'i', 'r', 'k', 'o', 'c', 'h'};
    const auto body = Pattern(1600, 9);
    signedImage.insert(signedImage.end(), body.begin(), body.end());
    Write("IMAGE_A.BIN", plain);
    Write("IMAGE_B.BIN", signedImage);
    ASSERT_TRUE(Start("IMAGE_A.BIN", "IMAGE_B.BIN"));

    const talvoterm::Exchange a = Exchange(kA, 2, {}, talvoterm::Expect::answer);
    ExpectSeries(a, kA, 2);
    if (a.answers.size() == 3) {
        EXPECT_EQ(Address(a, 0), 5632u);
        EXPECT_EQ(Address(a, 1), 6432u);
        EXPECT_EQ(Joined(a, {800, 100}), plain);
        EXPECT_TRUE(std::equal(a.answers[1].data.begin() + 102, a.answers[1].data.end(),
                               a.answers[0].data.begin() + 102))
            << "the short block's rest repeats the previous block";
    }

    const talvoterm::Exchange b = Exchange(kB, 2, {}, talvoterm::Expect::answer);
    ExpectSeries(b, kB, 2);
    if (b.answers.size() == 3) {
        EXPECT_EQ(Address(b, 0), 38400u);
        EXPECT_EQ(Address(b, 1), 39200u);
        EXPECT_EQ(Joined(b, {800, 800}), body);
    }

    // The manager serves on after a download.
    EXPECT_EQ(Ask(kA, 27, {}).first, 27);
}

TEST_F(DownloadLine, Code5SendsTheMkzImage) {
    Write("TERMINAL.BIN", Pattern(50, 1));
    Write("TERMINAL.MKZ", Pattern(1600, 2)); // an exact multiple of 800
    Write("PROG.MKZ", Pattern(60, 3));
    ASSERT_TRUE(Start("TERMINAL.BIN", "PROG"));

    const talvoterm::Exchange a = Exchange(kA, 5, {}, talvoterm::Expect::answer);
    ExpectSeries(a, kA, 2);
    if (a.answers.size() == 3) {
        EXPECT_EQ(Address(a, 1), 6432u);
        EXPECT_EQ(Joined(a, {800, 800}), Pattern(1600, 2));
    }
    const talvoterm::Exchange b = Exchange(kB, 5, {}, talvoterm::Expect::answer);
    ExpectSeries(b, kB, 1);
    if (b.answers.size() == 2) {
        EXPECT_EQ(Joined(b, {60}), Pattern(60, 3));
    }
}

TEST_F(DownloadLine, MissingOrEmptyImagesSendNothing) {
    Write("EMPTY.BIN", {});
    ASSERT_TRUE(Start("MISSING.BIN", "EMPTY.BIN"));

    // The request is taken (ACK) but no frame follows.
    const talvoterm::Exchange a = Exchange(kA, 2, {}, talvoterm::Expect::none);
    EXPECT_EQ(a.reply, talvoterm::Reply::ack) << a.note;
    EXPECT_TRUE(a.answers.empty()) << a.note;
    const talvoterm::Exchange b = Exchange(kB, 2, {}, talvoterm::Expect::none);
    EXPECT_EQ(b.reply, talvoterm::Reply::ack) << b.note;
    EXPECT_TRUE(b.answers.empty()) << b.note;

    // Both terminals are still served.
    EXPECT_EQ(Ask(kA, 28, {}).first, 28);
    EXPECT_EQ(Ask(kB, 28, {}).first, 28);
    Stop();
    const std::string out = ManagerOutput();
    EXPECT_NE(out.find("O arquivo MISSING.BIN nao existe no diretorio especificado"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("EMPTY.BIN"), std::string::npos) << "an empty image is no error";
}

TEST_F(DownloadLine, ADownloadGivesUpTheTerminalsRecordLock) {
    std::vector<std::string> records;
    for (int i = 1; i <= 5; ++i) records.push_back("R" + std::to_string(i));
    linetest::WriteTable(Path("SHARED.DBF"), {{"CODE", 'C', 4}}, records);
    Write("TERMINAL.BIN", Pattern(5));
    ASSERT_TRUE(Start("TERMINAL.BIN", "TERMINAL.BIN", {{"SHARED.DBF", 'D'}}));
    const std::vector<std::uint8_t> yes = {'T', 0};
    const std::vector<std::uint8_t> no = {'F', 0};

    EXPECT_EQ(Ask(kA, 16, linetest::Args(0, 0, "SHARED")).first, 16);
    EXPECT_EQ(Ask(kB, 16, linetest::Args(0, 0, "SHARED")).first, 16);
    EXPECT_EQ(Ask(kA, 36, {}).second, yes);
    EXPECT_EQ(Ask(kB, 36, {}).second, no);

    const talvoterm::Exchange a = Exchange(kA, 2, {}, talvoterm::Expect::answer);
    ExpectSeries(a, kA, 1);

    EXPECT_EQ(Ask(kB, 36, {}).second, yes) << "the record is free for the other terminal";
    EXPECT_EQ(Ask(kA, 36, {}).first, 14) << "A has no table after its download";
}

TEST_F(DownloadLine, TheImageFormDecidesWhereLaterTablesPlaceTheirValues) {
    linetest::WriteTable(Path("SHARED.DBF"), {{"CODE", 'C', 4}}, {"R1"});
    std::vector<std::uint8_t> signedImage = {'M', 'I', 'R', 'K', 'O', 'C', 'H', 1, 2, 3};
    Write("SIGNED.BIN", signedImage);
    Write("SIGNED.MKZ", Pattern(10));
    Write("PLAIN.BIN", Pattern(10));
    ASSERT_TRUE(Start("SIGNED.BIN", "PLAIN.BIN", {{"SHARED.DBF", 'D'}}));

    // The one field's value stands at offset 22 of the structure reply,
    // which the terminal stores at 37376 after a signed image, else 4608.
    auto valueAddress = [&](std::uint16_t t) {
        const auto [code, data] = Ask(t, 16, linetest::Args(0, 0, "SHARED"));
        EXPECT_EQ(code, 16);
        return data.size() > 19 ? data[18] + 256u * data[19] : 0u;
    };
    ExpectSeries(Exchange(kA, 2, {}, talvoterm::Expect::answer), kA, 1);
    ExpectSeries(Exchange(kB, 2, {}, talvoterm::Expect::answer), kB, 1);
    EXPECT_EQ(valueAddress(kA), 37376u + 22u);
    EXPECT_EQ(valueAddress(kB), 4608u + 22u);

    // A's plain alternate image puts it back low.
    ExpectSeries(Exchange(kA, 5, {}, talvoterm::Expect::answer), kA, 1);
    EXPECT_EQ(valueAddress(kA), 4608u + 22u);
}

TEST_F(DownloadLine, AStopEndsALongDownloadAtOnce) {
    // 200 KB take 250 pauses of a quarter second, about a minute: a stop
    // abandons the series within a pause and the manager ends in order.
    Write("BIG.BIN", Pattern(200 * 1024));
    ASSERT_TRUE(Start("BIG.BIN", "BIG.BIN"));
    talvoterm::Request req;
    req.address = kA;
    req.code = 2;
    ASSERT_NE(term_.submit(req, talvoterm::Expect::answer), 0u);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(Stop(), 0);
    const auto took = std::chrono::steady_clock::now() - asked;
    EXPECT_LT(took, std::chrono::seconds(5));
    std::printf("stop during a download took %lld ms\n",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
}

} // namespace
