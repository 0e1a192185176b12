// The small data directory of the fuzz targets that drive the manager: a
// table PEOPLE.DBF (NAME C 12, BIRTH D 8, AMOUNT N 8.2, FLAG L 1; eight
// records, one deleted, one with a blank date) with the indexes PEOPNAME.NTX
// (NAME) and PEOPAMT.NTX (STR(AMOUNT,8,2)+DTOS(BIRTH)), a second table
// OTHER.DBF (TITLE C 5), a text file NOTES.TXT, an empty application image
// EMPTY.BIN, a printer LPT1 (a plain file) and talvo.cfg, which declares two
// terminals (slot 0 at 0x0021 with a missing image, slot 1 at 0x1022 with
// EMPTY.BIN), the text file, PEOPLE.DBF with its two indexes, and LPT1 as
// the default output device.
#pragma once

#include <cstdint>

namespace fuzzdata {

inline constexpr std::uint16_t kAddresses[2] = {0x0021, 0x1022};

// Makes the directory once per process (in memory where the system has
// it: requests commit files to disk, which on a disk would set the pace)
// and removes it at exit.
void Make();

// Enters the directory and puts every file back as it was made, so that
// each input starts alike.
void Enter();

// Goes back to the directory the process started in (the fuzzer's corpus
// and its findings are named from there).
void Leave();

// Closes what the manager opened for an input (its text files, tables and
// indexes) and resets the store and the runtime tables for the next one.
void CloseManagerFiles();

} // namespace fuzzdata
