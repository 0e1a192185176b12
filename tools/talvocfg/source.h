// The readable description of talvo.cfg, and its translation to and from the
// binary record. The format (one statement per line, '#' starts a comment):
//
//   declared N                           TerminalsDeclared (default: 1 when a
//                                        terminal is given, else 0)
//   terminal SLOT address ADDR [application NAME]
//                                        SLOT 0..31, ADDR 1..65535
//   port COMn [base N] [disabled]        COM1..COM4 with its UART base
//                                        address; enabled unless "disabled"
//   file text NAME                       data-file entries, numbered in the
//   file table NAME                      order given (at most 30)
//   file index NAME of TABLE             an index ('I') of the table entry
//   file index-c NAME of TABLE           named TABLE; index-c is kind 'C'
//   output DEVICE                        COM1..COM4, LPT1, LPT2 available
//   default DEVICE | none                the default output device
//   commit yes | no                      CommitAfterWrite
//
// Numbers are decimal or 0x-hexadecimal. Names are 1 to 63 bytes; a name
// with blanks or '#' is written in double quotes.
#pragma once

#include "manager/config.h"

#include <string>
#include <vector>

namespace talvocfg {

struct SourceError {
    int line = 0; // 0: not tied to a line
    std::string reason;
};

// Compiles source into *record (all of it zeroed first). False with *error
// on the first fault (by line) and every fault in *all (when given, in line
// order, at most one per line: a line with a fault is left out and the
// lines after it are still judged, so that one run shows every mistake);
// *record is then not to be used. Besides the form of each line, judged:
// a slot or an address given twice, an address of 0 or 1 (1 is the PC's
// own address on the line), a data file named twice, an index of a table
// that is not declared.
bool BuildRecord(const std::string& source, ConfigRecord* record, SourceError* error,
                 std::vector<SourceError>* all = nullptr);

// Why record (in memory order) is not a configuration at all ("" when it
// may be one): a used name without its terminating NUL or with control
// characters, a data-file kind other than A, D, I, C, an index whose table
// entry is no table, a default device outside 0..6.
std::string RecordFault(const ConfigRecord& record);

// What the manager would refuse in a record, as its own message ("" when
// nothing): no declared terminals, or no slot with both an address and an
// application name of more than 4 characters.
std::string ManagerRefusal(const ConfigRecord& record);

// The description of a record. For a record that BuildRecord produced,
// BuildRecord(DumpRecord(r)) gives r byte for byte. Parts of a record that
// the format cannot say are written as comments.
std::string DumpRecord(const ConfigRecord& record);

} // namespace talvocfg
