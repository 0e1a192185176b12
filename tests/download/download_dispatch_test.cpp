// The download requests through the dispatcher, without a line: the link
// calls replaced by a recorder of frames, the image files in a scratch
// working directory. Block layout and addresses of both image forms, the
// short last block, the images that send nothing, the refusals shown to
// the user, the alternate image's name, and what the download ends.
#include "manager/config.h"
#include "manager/link.h"
#include "manager/requests/dispatch.h"
#include "manager/requests/download.h"
#include "manager/runtime.h"
#include "platform/files.h"
#include "platform/ui.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

struct Sent {
    std::uint16_t address;
    std::uint8_t code;
    std::vector<std::uint8_t> data;
};
std::vector<Sent> sent;

std::uint32_t Record(std::uint16_t address, const std::uint8_t* data, std::uint8_t code,
                     std::int16_t length) {
    Sent s{address, code, {}};
    if (data != nullptr && length > 0) s.data.assign(data, data + length);
    sent.push_back(s);
    return 0;
}

constexpr std::uint16_t kAddress = 0x21;
constexpr int kSlot = 3;

// count bytes of a pattern that differs block to block and holds 0x10 and 0x03.
std::vector<std::uint8_t> Pattern(std::size_t count, std::uint8_t salt = 0) {
    std::vector<std::uint8_t> v(count);
    for (std::size_t i = 0; i < count; ++i)
        v[i] = static_cast<std::uint8_t>((i * 7 + i / 800 * 13 + salt) & 0xFF);
    return v;
}

std::vector<std::uint8_t> Signed(const char* signature, std::size_t body, std::uint8_t salt = 0) {
    std::vector<std::uint8_t> v(signature, signature + 7);
    const std::vector<std::uint8_t> b = Pattern(body, salt);
    v.insert(v.end(), b.begin(), b.end());
    return v;
}

class Download : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/download.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        cwd_ = cwd;
        ASSERT_EQ(chdir(dir_.c_str()), 0);
        ResetRuntimeTables();
        std::memset(&Config, 0, sizeof Config);
        SetName("TERMINAL.BIN");
        saved_link_ = Link;
        Link.write = Record;
        sent.clear();
        plat::StartRecordingBoxes();
    }
    void TearDown() override {
        plat::StopRecordingBoxes();
        Link = saved_link_;
        ResetRuntimeTables();
        ASSERT_EQ(chdir(cwd_.c_str()), 0);
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    void SetName(const std::string& name) {
        std::memset(Config.TerminalApplication[kSlot], 0, kConfigNameSize);
        std::memcpy(Config.TerminalApplication[kSlot], name.data(),
                    std::min<std::size_t>(name.size(), kConfigNameSize));
    }
    void Write(const std::string& name, const std::vector<std::uint8_t>& bytes) {
        std::ofstream f(dir_ + "/" + name, std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char*>(bytes.data()),
                static_cast<std::streamsize>(bytes.size()));
    }
    std::uint8_t Ask(std::uint8_t code) {
        return DispatchRequest(kAddress, FrameBuffer, code, 0, kSlot);
    }
    // The image bytes the blocks carried, each block cut to `counts`.
    static std::vector<std::uint8_t> Joined(const std::vector<std::size_t>& counts) {
        std::vector<std::uint8_t> all;
        for (std::size_t i = 0; i < counts.size() && i < sent.size(); ++i)
            all.insert(all.end(), sent[i].data.begin() + 2,
                       sent[i].data.begin() + 2 + static_cast<long>(counts[i]));
        return all;
    }
    // Every frame but the last is a 802-byte block to our terminal; the last
    // is the end frame without data.
    static void ExpectSeries(std::size_t blocks) {
        ASSERT_EQ(sent.size(), blocks + 1);
        for (std::size_t i = 0; i < blocks; ++i) {
            EXPECT_EQ(sent[i].address, kAddress);
            EXPECT_EQ(sent[i].code, 2) << "block " << i;
            EXPECT_EQ(sent[i].data.size(), 802u) << "block " << i;
        }
        EXPECT_EQ(sent.back().address, kAddress);
        EXPECT_EQ(sent.back().code, 3);
        EXPECT_TRUE(sent.back().data.empty());
    }
    static unsigned Address(std::size_t block) {
        return sent[block].data[0] * 256u + sent[block].data[1];
    }

    std::string dir_, cwd_;
    LinkCalls saved_link_{};
};

TEST_F(Download, PlainImagesLoadFrom5632InBlocksOf800) {
    // Exactly one block.
    const auto one = Pattern(800);
    Write("TERMINAL.BIN", one);
    EXPECT_EQ(Ask(2), 1);
    ExpectSeries(1);
    EXPECT_EQ(sent[0].data[0], 0x16);
    EXPECT_EQ(sent[0].data[1], 0x00);
    EXPECT_EQ(Joined({800}), one);
    EXPECT_EQ(TerminalHighBase[kSlot], 0);

    // An exact multiple: three full blocks, no short one after them.
    sent.clear();
    TerminalHighBase[kSlot] = 1; // from an earlier signed image
    const auto three = Pattern(2400, 5);
    Write("TERMINAL.BIN", three);
    EXPECT_EQ(Ask(2), 1);
    ExpectSeries(3);
    EXPECT_EQ(Address(0), 5632u);
    EXPECT_EQ(Address(1), 6432u);
    EXPECT_EQ(Address(2), 7232u);
    EXPECT_EQ(Joined({800, 800, 800}), three);
    EXPECT_EQ(TerminalHighBase[kSlot], 0);
}

TEST_F(Download, ShortLastBlockKeepsThePreviousBlocksBytesBeyondItsOwn) {
    const auto image = Pattern(900);
    Write("TERMINAL.BIN", image);
    EXPECT_EQ(Ask(2), 1);
    ExpectSeries(2);
    EXPECT_EQ(sent[1].data[0], 0x19);
    EXPECT_EQ(sent[1].data[1], 0x20);
    EXPECT_EQ(Joined({800, 100}), image);
    // Bytes 100..799 of the second block repeat those of the first.
    EXPECT_TRUE(
        std::equal(sent[1].data.begin() + 102, sent[1].data.end(), sent[0].data.begin() + 102));

    // One short block only: zeros beyond the image, also after a longer
    // image was sent through the same buffer.
    sent.clear();
    Write("TERMINAL.BIN", {'A', 'B', 'C'});
    EXPECT_EQ(Ask(2), 1);
    ExpectSeries(1);
    EXPECT_EQ(Address(0), 5632u);
    EXPECT_EQ(Joined({3}), (std::vector<std::uint8_t>{'A', 'B', 'C'}));
    EXPECT_TRUE(std::all_of(sent[0].data.begin() + 5, sent[0].data.end(),
                            [](std::uint8_t b) { return b == 0; }));
}

TEST_F(Download, SignedImagesLoadFrom38400WithoutTheSignature) {
    // 1607 bytes: the signature and two full blocks.
    const auto image = Signed("MIRKOCH", 1600);
    Write("TERMINAL.BIN", image);
    EXPECT_EQ(Ask(2), 1);
    ExpectSeries(2);
    EXPECT_EQ(sent[0].data[0], 0x96);
    EXPECT_EQ(sent[0].data[1], 0x00);
    EXPECT_EQ(sent[1].data[0], 0x99);
    EXPECT_EQ(sent[1].data[1], 0x20);
    EXPECT_EQ(Joined({800, 800}), std::vector<std::uint8_t>(image.begin() + 7, image.end()));
    EXPECT_EQ(TerminalHighBase[kSlot], 1);

    // The signature in any letter case counts; a near miss does not.
    sent.clear();
    TerminalHighBase[kSlot] = 0;
    Write("TERMINAL.BIN", Signed("MirKoch", 10));
    EXPECT_EQ(Ask(2), 1);
    ExpectSeries(1);
    EXPECT_EQ(Address(0), 38400u);
    EXPECT_EQ(Joined({10}), Pattern(10));
    EXPECT_EQ(TerminalHighBase[kSlot], 1);

    sent.clear();
    const auto nearMiss = Signed("MIRKOCX", 10);
    Write("TERMINAL.BIN", nearMiss);
    EXPECT_EQ(Ask(2), 1);
    ExpectSeries(1);
    EXPECT_EQ(Address(0), 5632u);
    EXPECT_EQ(Joined({17}), nearMiss) << "a plain image is sent whole, from byte 0";
    EXPECT_EQ(TerminalHighBase[kSlot], 0);
}

TEST_F(Download, ImagesThatCarryNoBlock) {
    // Only the signature: no block, the end frame, the high base.
    Write("TERMINAL.BIN", Signed("mirkoch", 0));
    EXPECT_EQ(Ask(2), 1);
    ExpectSeries(0);
    EXPECT_EQ(TerminalHighBase[kSlot], 1);

    // Shorter than the signature, even its first letters: a plain image.
    sent.clear();
    Write("TERMINAL.BIN", {'M', 'I', 'R'});
    EXPECT_EQ(Ask(2), 1);
    ExpectSeries(1);
    EXPECT_EQ(Address(0), 5632u);
    EXPECT_EQ(TerminalHighBase[kSlot], 0);

    // Empty: nothing at all, no message, the high base as it was.
    sent.clear();
    TerminalHighBase[kSlot] = 1;
    Write("TERMINAL.BIN", {});
    EXPECT_EQ(Ask(2), 1);
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(plat::RecordedBoxCount(), 0);
    EXPECT_EQ(TerminalHighBase[kSlot], 1);
}

TEST_F(Download, AnImageThatDoesNotOpenIsShownToTheUserAndNothingIsSent) {
    // Missing.
    EXPECT_EQ(Ask(2), 1);
    EXPECT_TRUE(sent.empty());
    ASSERT_EQ(plat::RecordedBoxCount(), 1);
    const plat::RecordedBox* box = plat::RecordedBoxAt(0);
    EXPECT_STREQ(box->text, "O arquivo TERMINAL.BIN nao existe no diretorio especificado");
    EXPECT_STREQ(box->caption, "WTALVOC");
    EXPECT_EQ(box->style, plat::kMbOk | plat::kMbIconHand | plat::kMbSystemModal);

    // In a directory that is not there: missing too.
    SetName("NOWHERE\\TERMINAL.BIN");
    EXPECT_EQ(Ask(2), 1);
    ASSERT_EQ(plat::RecordedBoxCount(), 2);
    EXPECT_STREQ(plat::RecordedBoxAt(1)->text,
                 "O arquivo NOWHERE\\TERMINAL.BIN nao existe no diretorio especificado");

    // There but not openable (a directory; a read-only file).
    ASSERT_EQ(mkdir((dir_ + "/FOLDER.BIN").c_str(), 0755), 0);
    SetName("FOLDER.BIN");
    EXPECT_EQ(Ask(2), 1);
    ASSERT_EQ(plat::RecordedBoxCount(), 3);
    EXPECT_STREQ(plat::RecordedBoxAt(2)->text, "Erro na abertura do arquivo FOLDER.BIN");
    if (geteuid() != 0) {
        Write("LOCKED.BIN", Pattern(10));
        ASSERT_EQ(chmod((dir_ + "/LOCKED.BIN").c_str(), 0444), 0);
        SetName("LOCKED.BIN");
        EXPECT_EQ(Ask(2), 1);
        ASSERT_EQ(plat::RecordedBoxCount(), 4);
        EXPECT_STREQ(plat::RecordedBoxAt(3)->text, "Erro na abertura do arquivo LOCKED.BIN");
    }
    EXPECT_TRUE(sent.empty());

    // No name configured for the slot.
    SetName("");
    const int before = plat::RecordedBoxCount();
    EXPECT_EQ(Ask(5), 1);
    EXPECT_EQ(Ask(2), 1);
    EXPECT_EQ(plat::RecordedBoxCount(), before + 2);
    EXPECT_TRUE(sent.empty());
}

TEST_F(Download, Code5SendsTheImageOfTheSameNameWithTheExtensionMkz) {
    Write("TERMINAL.BIN", Pattern(10, 1));
    Write("TERMINAL.MKZ", Pattern(20, 2));
    EXPECT_EQ(Ask(5), 1);
    ExpectSeries(1);
    EXPECT_EQ(Joined({20}), Pattern(20, 2));

    // A name without an extension gets one.
    sent.clear();
    SetName("PROG");
    Write("PROG.MKZ", Signed("MIRKOCH", 30, 3));
    EXPECT_EQ(Ask(5), 1);
    ExpectSeries(1);
    EXPECT_EQ(Address(0), 38400u);
    EXPECT_EQ(Joined({30}), Pattern(30, 3));

    // In a directory, with a dotted directory name.
    sent.clear();
    ASSERT_EQ(mkdir((dir_ + "/V1.0").c_str(), 0755), 0);
    SetName("V1.0\\PROG");
    Write("V1.0/PROG.MKZ", Pattern(40, 4));
    EXPECT_EQ(Ask(5), 1);
    ExpectSeries(1);
    EXPECT_EQ(Joined({40}), Pattern(40, 4));

    // A configured name that fills its whole field is cut, never read past.
    sent.clear();
    std::memset(Config.TerminalApplication[kSlot], 'X', kConfigNameSize);
    std::memset(Config.TerminalApplication[kSlot + 1], 'Y', kConfigNameSize);
    Write(std::string(63, 'X') + ".MKZ", Pattern(50, 5));
    EXPECT_EQ(Ask(5), 1);
    ExpectSeries(1);
    EXPECT_EQ(Joined({50}), Pattern(50, 5));
}

TEST_F(Download, ReplaceExtensionSplitsDriveDirectoryBaseAndExtension) {
    struct Case {
        const char* name;
        const char* want;
    };
    const Case cases[] = {
        {"TERMINAL.BIN", "TERMINAL.MKZ"},
        {"TERMINAL", "TERMINAL.MKZ"},
        {"TERMINAL.", "TERMINAL.MKZ"},
        {"A.B.C", "A.B.MKZ"},
        {"C:\\APLIC\\T1.EXE", "C:\\APLIC\\T1.MKZ"},
        {"C:T1", "C:T1.MKZ"},
        {"C:", "C:.MKZ"},
        {"APLIC.V2\\T1", "APLIC.V2\\T1.MKZ"},
        {"dir/sub.x/prog", "dir/sub.x/prog.MKZ"},
        {"DIR\\", "DIR\\.MKZ"},
        {".BIN", ".MKZ"},
        {"", ".MKZ"},
        {"1:X.BIN", "1:X.MKZ"},
    };
    for (const Case& c : cases) {
        char out[kImageNameSize];
        EXPECT_TRUE(ReplaceExtension(c.name, "MKZ", out, sizeof out)) << c.name;
        EXPECT_STREQ(out, c.want) << c.name;
    }
    // A result that does not fit is refused whole.
    char small[8];
    EXPECT_TRUE(ReplaceExtension("ABC.BIN", "MKZ", small, sizeof small));
    EXPECT_STREQ(small, "ABC.MKZ");
    EXPECT_FALSE(ReplaceExtension("ABCD.BIN", "MKZ", small, sizeof small));
    EXPECT_STREQ(small, "");
    EXPECT_FALSE(ReplaceExtension(nullptr, "MKZ", small, sizeof small));
}

TEST_F(Download, TheDownloadEndsTheTerminalsContextAndFreesItsOutputDevice) {
    Write("TERMINAL.BIN", Pattern(10));
    // A terminal with a table and an output device, in the middle of a
    // sequence; and another terminal that holds a device of its own.
    TerminalFile[kSlot] = 4;
    TerminalFileKind[kSlot] = 'D';
    TerminalIndex[kSlot] = 2;
    TerminalSequence[kSlot] = 77;
    OutputBuffer[1] = AllocateOutputRecord(1);
    OutputBuffer[4] = AllocateOutputRecord(4);
    ASSERT_NE(OutputBuffer[1], nullptr);
    ASSERT_NE(OutputBuffer[4], nullptr);
    OutputBuffer[1]->owner = kSlot;
    OutputBuffer[4]->owner = kSlot + 1;
    Write("DEVICE", {});
    ASSERT_EQ(plat::FileOpen("DEVICE", plat::kAccessReadWrite, plat::FileCreate::kOpenExisting,
                             &OutputHandle),
              0u);
    OutputHolder = kSlot;

    EXPECT_EQ(Ask(2), 1);
    ExpectSeries(1);
    EXPECT_EQ(TerminalFile[kSlot], -1);
    EXPECT_EQ(TerminalLocks[kSlot], nullptr);
    EXPECT_EQ(TerminalFileKind[kSlot], 'D') << "the kind and index stay as they were";
    EXPECT_EQ(TerminalIndex[kSlot], 2);
    EXPECT_EQ(TerminalSequence[kSlot], 16);
    EXPECT_EQ(OutputBuffer[1]->owner, kNoSlot);
    EXPECT_EQ(OutputBuffer[4]->owner, kSlot + 1) << "another terminal's device stays its own";
    EXPECT_EQ(OutputHandle, -1);
    EXPECT_EQ(OutputHolder, kNoSlot);

    // A download that sends nothing ends the context just the same.
    sent.clear();
    TerminalFile[kSlot] = 4;
    TerminalSequence[kSlot] = 77;
    SetName("MISSING.BIN");
    EXPECT_EQ(Ask(5), 1);
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(TerminalFile[kSlot], -1);
    EXPECT_EQ(TerminalSequence[kSlot], 16);
}

TEST_F(Download, ASignedImagePastAddress65535WrapsInTheFramesSixteenBits) {
    // 38400 + 34 x 800 = 65600: the 35th block's address is 64 modulo 65536.
    const auto image = Signed("MIRKOCH", 35 * 800 + 1, 7);
    Write("TERMINAL.BIN", image);
    EXPECT_EQ(Ask(2), 1);
    ExpectSeries(36);
    EXPECT_EQ(Address(33), 38400u + 33 * 800);
    EXPECT_EQ(Address(34), 64u);
    EXPECT_EQ(Address(35), 864u);
    std::vector<std::size_t> counts(35, 800);
    counts.push_back(1);
    EXPECT_EQ(Joined(counts), std::vector<std::uint8_t>(image.begin() + 7, image.end()));
}

} // namespace
