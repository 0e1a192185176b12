// The application download: a terminal that asks for its application image
// (code 2, or code 5 for the alternate image with the extension "MKZ")
// receives it as block frames of reply code 2, each with a 16-bit load
// address (high byte first) and 800 image bytes, closed by an end frame of
// reply code 3. An image beginning with "MIRKOCH" (any letter case) is sent
// without those 7 bytes and loaded from 38400; any other from 5632.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr int kImageBlock = 800;                    // image bytes per block frame
inline constexpr int kImageFrameLength = 2 + kImageBlock;  // every block frame's length
inline constexpr std::uint16_t kPlainLoadAddress = 5632;   // 0x1600
inline constexpr std::uint16_t kSignedLoadAddress = 38400; // 0x9600
inline constexpr const char kImageSignature[] = "MIRKOCH";
inline constexpr int kImageSignatureLength = 7;
inline constexpr std::uint8_t kImageBlockCode = 2;
inline constexpr std::uint8_t kImageEndCode = 3;
inline constexpr std::uint32_t kImageBlockPauseMs = 250; // paces the blocks to the line
inline constexpr std::uint32_t kImageStopSliceMs = 50;   // how often a stop is looked for

// Texts of the message box shown when the image does not open (%s: its name).
inline constexpr const char* kImageMissingMessage =
    "O arquivo %s nao existe no diretorio especificado";
inline constexpr const char* kImageOpenMessage = "Erro na abertura do arquivo %s";
inline constexpr const char* kImageCaption = "WTALVOC";

// Room for an image name: the configured 63 characters, a '\', a '.' and a
// three-letter extension.
inline constexpr std::size_t kImageNameSize = 72;

// Gives name the extension ext: the name is split into a drive (a letter and
// a colon), a directory (up to and including the last '\' or '/'), a base
// name and an extension (from the last '.' of the final component); the
// extension is replaced and the parts joined again. A name without an
// extension gets '.' and ext appended. Writes out (outSize bytes,
// zero-terminated); false, with out empty, when the result does not fit.
bool ReplaceExtension(const char* name, const char* ext, char* out, std::size_t outSize);

// Sends the image of the terminal in slot: variant 0 the configured
// TerminalApplication[slot], 1 that name with the extension "MKZ". Ends the
// terminal's table or text context (its locks released), frees any output
// device it held, sets its sequence byte to 16 and its TerminalHighBase from
// the image form. Uses data (the frame buffer, at least 802 bytes) for the
// blocks. A file that does not open shows a message box and sends nothing;
// an empty file sends nothing; a read error ends the image as its end would.
// A stop arriving during the series abandons it (no end frame) within a
// pause between two blocks.
void SendApplication(std::uint16_t address, std::uint8_t* data, int slot, int variant);

// [2] send my application image; [5] send my alternate (.MKZ) image.
void SendImage(std::uint16_t address, std::uint8_t* data, int length, int slot);
void SendAltImage(std::uint16_t address, std::uint8_t* data, int length, int slot);
