// The communication warnings: the CommErrors.txt size check and its text,
// and the error-rate warning's text, style and effect on the statistics.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "manager/runtime.h"
#include "manager/warnings.h"
#include "platform/files.h"
#include "platform/ui.h"
#include "tests/manager/support.h"

namespace {

std::string Text(std::int64_t size) {
    char out[kWarningTextSize];
    if (!CommErrorsWarningText(size, out, sizeof out)) return "";
    return out;
}

const std::string kTail = "Megabytes, o que pode indicar\r\n"
                          "poss\xed"
                          "veis problemas na comunica\xe7\xe3o com os Terminais/Catracas.\r\n"
                          "Este arquivo registra erros detectados pela porta serial do PC.";

TEST(CommErrorsWarning, ThresholdAndWholeMegabytesExceeded) {
    EXPECT_EQ(Text(0), "");
    EXPECT_EQ(Text(2000000), "");
    EXPECT_EQ(Text(2000001), "O Arquivo CommErrors.txt esta com mais de 2 " + kTail);
    EXPECT_EQ(Text(3000000), "O Arquivo CommErrors.txt esta com mais de 2 " + kTail);
    EXPECT_EQ(Text(3000001), "O Arquivo CommErrors.txt esta com mais de 3 " + kTail);
    // Sizes past 4 GiB keep all their bits.
    EXPECT_EQ(Text(5000000001LL), "O Arquivo CommErrors.txt esta com mais de 5000 " + kTail);
}

TEST(CommErrorsWarning, ShortBufferIsCutNotOverrun) {
    char out[16];
    std::memset(out, 'x', sizeof out);
    EXPECT_TRUE(CommErrorsWarningText(3000001, out, 10));
    EXPECT_EQ(std::strlen(out), 9u);
    EXPECT_EQ(out[10], 'x');
}

// The check at window creation, on a real file of the working directory.
class CommErrorsFile : public ::testing::Test {
  protected:
    void SetUp() override { plat::StartRecordingBoxes(); }
    void TearDown() override { plat::StopRecordingBoxes(); }
    void Sized(std::int64_t size) {
        plat::FileHandle h = plat::kNoFile;
        ASSERT_EQ(plat::FileOpen("CommErrors.txt", plat::kAccessReadWrite,
                                 plat::FileCreate::kCreateAlways, &h),
                  0u);
        ASSERT_EQ(plat::FileTruncate(h, size), 0u);
        plat::FileClose(h);
    }
    mtest::ScratchDir dir;
};

TEST_F(CommErrorsFile, NoFileNoWarning) {
    CheckCommErrors();
    EXPECT_EQ(plat::RecordedBoxCount(), 0);
}

TEST_F(CommErrorsFile, AtTheLimitNoWarning) {
    Sized(2000000);
    CheckCommErrors();
    EXPECT_EQ(plat::RecordedBoxCount(), 0);
}

TEST_F(CommErrorsFile, AboveTheLimitWarnsWithCaptionAvisoAndExclamation) {
    Sized(3000001);
    CheckCommErrors();
    ASSERT_EQ(plat::RecordedBoxCount(), 1);
    const plat::RecordedBox* box = plat::RecordedBoxAt(0);
    EXPECT_STREQ(box->caption, "Aviso");
    EXPECT_EQ(box->text, "O Arquivo CommErrors.txt esta com mais de 3 " + kTail);
    EXPECT_EQ(box->style, plat::kMbOk | plat::kMbIconExclamation);
    // The manager never shortens the file.
    EXPECT_EQ(mtest::ReadFile(dir.file("CommErrors.txt")).size(), 3000001u);
}

std::string RateText(std::uint32_t sample, std::uint32_t percent) {
    char out[kWarningTextSize];
    ErrorRateWarningText(sample, percent, out, sizeof out);
    return out;
}

const std::string kMay =
    "\r\nSua rede ou portas de comunica\xe7\xe3o podem estar com algum problema.";
const std::string kMust =
    "\r\nSua rede ou portas de comunica\xe7\xe3o devem estar com algum problema.";

TEST(ErrorRateWarning, TextsAndStyles) {
    EXPECT_EQ(RateText(100, 10), "Em uma amostra de 100 comunica\xe7\xf5"
                                 "es 10% sinalizaram erros." +
                                     kMay);
    EXPECT_EQ(RateText(250, 89), "Em uma amostra de 250 comunica\xe7\xf5"
                                 "es 89% sinalizaram erros." +
                                     kMay);
    EXPECT_EQ(RateText(100, 90), "Em uma amostra de 100 comunica\xe7\xf5"
                                 "es 90% sinalizaram erros." +
                                     kMust);
    EXPECT_EQ(ErrorRateWarningStyle(10), plat::kMbSystemModal);
    EXPECT_EQ(ErrorRateWarningStyle(30), plat::kMbSystemModal);
    EXPECT_EQ(ErrorRateWarningStyle(31), plat::kMbSystemModal | plat::kMbIconHand);
    EXPECT_EQ(ErrorRateWarningStyle(100), plat::kMbSystemModal | plat::kMbIconHand);
}

TEST(ErrorRateWarning, ShowsTheSampleThenResetsAndRearms) {
    ResetRuntimeTables();
    plat::StartRecordingBoxes();
    SampleCount = 100;
    FailedCount = 31;
    ErrorRatePercent = 31;
    CountingActive = 1;
    RateWarningEnabled = 0;
    StartErrorRateWarning();
    ASSERT_TRUE(WaitForRateWarning(30000));
    ASSERT_EQ(plat::RecordedBoxCount(), 1);
    const plat::RecordedBox* box = plat::RecordedBoxAt(0);
    EXPECT_STREQ(box->caption, "Erros de comunica\xe7\xe3o");
    EXPECT_EQ(box->style, plat::kMbOk | plat::kMbSystemModal | plat::kMbIconHand);
    EXPECT_EQ(std::string(box->text), "Em uma amostra de 100 comunica\xe7\xf5"
                                      "es 31% sinalizaram erros." +
                                          kMay);
    EXPECT_EQ(SampleCount.load(), 1u);
    EXPECT_EQ(FailedCount.load(), 0u);
    EXPECT_EQ(CountingActive.load(), 0u);
    EXPECT_EQ(RateWarningEnabled.load(), 1u);
    plat::StopRecordingBoxes();
    ResetRuntimeTables();
}

} // namespace
