// The CommErrors.txt size warning and the error-rate warning thread.
#include "manager/warnings.h"

#include <cstdio>
#include <cstring>

#include "manager/runtime.h"
#include "platform/files.h"
#include "platform/sync.h"
#include "platform/ui.h"

namespace {

constexpr std::uint32_t kWarningStack = 10240;

// Texts in Windows-1252 (0xE7 c-cedilla, 0xE3 a-tilde, 0xED i-acute,
// 0xF5 o-tilde).
constexpr const char* kCommErrorsPiece1 =
    "O Arquivo CommErrors.txt esta com mais de %lu Megabytes, o que pode indicar%c%c";
constexpr const char* kCommErrorsPiece2 =
    "poss\xed"
    "veis problemas na comunica\xe7\xe3o com os Terminais/Catracas.%c%c";
constexpr const char* kCommErrorsPiece3 =
    "Este arquivo registra erros detectados pela porta serial do PC.";
constexpr const char* kCommErrorsCaption = "Aviso";

constexpr const char* kRateSentence = "Em uma amostra de %lu comunica\xe7\xf5"
                                      "es %u%% sinalizaram erros.";
constexpr const char* kRateMay =
    "%c%cSua rede ou portas de comunica\xe7\xe3o podem estar com algum problema.";
constexpr const char* kRateMust =
    "%c%cSua rede ou portas de comunica\xe7\xe3o devem estar com algum problema.";
constexpr const char* kRateCaption = "Erros de comunica\xe7\xe3o";

plat::Thread warning_thread;
bool warning_started = false;

void Append(char* out, std::size_t out_size, const char* piece) {
    const std::size_t used = std::strlen(out);
    if (used + 1 >= out_size) return;
    std::snprintf(out + used, out_size - used, "%s", piece);
}

} // namespace

void (*StartRateWarning)() = StartErrorRateWarning;

bool CommErrorsWarningText(std::int64_t size, char* out, std::size_t out_size) {
    if (out == nullptr || out_size == 0) return false;
    out[0] = '\0';
    if (size <= kCommErrorsLimit) return false;
    // The whole megabytes (of 1,000,000 bytes) that the size exceeds.
    const auto megabytes = static_cast<unsigned long>((size - 1) / 1000000);
    char piece[200];
    std::snprintf(piece, sizeof piece, kCommErrorsPiece1, megabytes, 13, 10);
    Append(out, out_size, piece);
    std::snprintf(piece, sizeof piece, kCommErrorsPiece2, 13, 10);
    Append(out, out_size, piece);
    Append(out, out_size, kCommErrorsPiece3);
    return true;
}

void CheckCommErrors() {
    plat::FileHandle file = plat::kNoFile;
    if (plat::FileOpen(kCommErrorsFile, plat::kAccessRead, plat::FileCreate::kOpenExisting,
                       &file) != 0)
        return;
    std::int64_t size = 0;
    char text[kWarningTextSize];
    if (plat::FileSize(file, &size) == 0 && CommErrorsWarningText(size, text, sizeof text))
        plat::ShowMessageBox(text, kCommErrorsCaption, plat::kMbOk | plat::kMbIconExclamation);
    plat::FileClose(file);
}

void ErrorRateWarningText(std::uint32_t sample, std::uint32_t percent, char* out,
                          std::size_t out_size) {
    if (out == nullptr || out_size == 0) return;
    out[0] = '\0';
    char piece[200];
    std::snprintf(piece, sizeof piece, kRateSentence, static_cast<unsigned long>(sample),
                  static_cast<unsigned>(percent));
    Append(out, out_size, piece);
    std::snprintf(piece, sizeof piece, percent < 90 ? kRateMay : kRateMust, 13, 10);
    Append(out, out_size, piece);
}

unsigned ErrorRateWarningStyle(std::uint32_t percent) {
    return plat::kMbSystemModal | (percent > 30 ? plat::kMbIconHand : 0u);
}

std::uint32_t ErrorRateWarning(void*) {
    const std::uint32_t percent = ErrorRatePercent.load();
    const std::uint32_t sample = SampleCount.load();
    const unsigned style = ErrorRateWarningStyle(percent);
    RateWarningEnabled = 0;
    CountingActive = 0;
    char text[kWarningTextSize];
    ErrorRateWarningText(sample, percent, text, sizeof text);
    FailedCount = 0;
    SampleCount = 1;
    plat::ShowMessageBox(text, kRateCaption, plat::kMbOk | style);
    RateWarningEnabled = 1;
    return 0;
}

void StartErrorRateWarning() {
    // The previous warning has ended (the warning is re-armed only then).
    if (warning_started) plat::ThreadClose(&warning_thread);
    warning_started =
        plat::ThreadCreate(&warning_thread, ErrorRateWarning, nullptr, kWarningStack) == 0;
    // A thread that cannot be made leaves the warning armed for a later pass.
    if (!warning_started) RateWarningEnabled = 1;
}

bool WaitForRateWarning(std::uint32_t timeout_ms) {
    if (!warning_started) return true;
    if (plat::ThreadWait(&warning_thread, timeout_ms) == plat::WaitResult::kTimedOut) return false;
    plat::ThreadClose(&warning_thread);
    warning_started = false;
    return true;
}
