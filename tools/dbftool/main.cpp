// dbftool: look inside dBASE III tables and .NTX indexes, create empty
// tables, build indexes and check them against their tables, append and
// import records.
#include <cstdio>
#include <cstring>
#include <getopt.h>

#include "tools/cli.h"
#include "tools/dbftool/dbftool.h"

namespace {

constexpr const char* kUsage =
    "Usage: dbftool COMMAND [ARGUMENT...]\n"
    "Looks inside dBASE III tables (.DBF) and their indexes (.NTX), creates\n"
    "tables, builds and checks indexes.\n"
    "\n"
    "  info TABLE [INDEX...]            header, fields, record count; each index's shape\n"
    "  dump [--index INDEX] [--deleted] [--csv] TABLE\n"
    "                                   the records, one a line, in record or key order;\n"
    "                                   --csv: as CSV with a header row of field names\n"
    "  seek TABLE INDEX KEY             the seek result (0/1/2/3) and the record\n"
    "  create [--force] TABLE NAME:TYPE:WIDTH[:DECIMALS]...\n"
    "                                   a new, empty table (types C N F D L); an existing\n"
    "                                   file is replaced only with --force\n"
    "  index [--unique] [--force] TABLE INDEX EXPRESSION\n"
    "                                   a new index of the table's records; an existing\n"
    "                                   file is replaced only with --force\n"
    "  check [--strict] TABLE INDEX...  verifies each index against its table\n"
    "  load TABLE [INDEX...] [--appends N] [--changes N] [--tag TAG] [--field NAME]\n"
    "                                   appends and changes records in shared mode,\n"
    "                                   as other programs do (a load generator)\n"
    "  append TABLE [INDEX...] FIELD=VALUE...\n"
    "                                   appends one record; values are converted as a\n"
    "                                   terminal's are; the indexes named are kept up to date\n"
    "  import TABLE [INDEX...] FILE.csv appends the rows of a CSV file whose header row\n"
    "                                   names the fields; a bad row is refused with its\n"
    "                                   line number before anything is written\n"
    "\n"
    "  -q, --quiet      (index, check, load, import) no progress line on standard error\n"
    "\n"
    "Tables and indexes are opened in the share mode other programs use: read-only\n"
    "commands and load, append, import share them; create and index refuse a file\n"
    "that another program has open (\"in use by another program\").\n"
    "\n"
    "  -h, --help       print this help and exit\n"
    "  -V, --version    print the version and exit\n"
    "\n"
    "Exit status: 0 done, 1 a file could not be read or written or a fault was\n"
    "found, 2 wrong usage.\n";

struct Command {
    const char* name;
    int (*run)(int, char**, std::FILE*, std::FILE*);
};

constexpr Command kCommands[] = {
    {"info", dbf_command_info},     {"dump", dbf_command_dump},     {"seek", dbf_command_seek},
    {"create", dbf_command_create}, {"index", dbf_command_index},   {"check", dbf_command_check},
    {"load", dbf_command_load},     {"append", dbf_command_append}, {"import", dbf_command_import},
};

} // namespace

int main(int argc, char** argv) {
    // Options before the command are the program's own; the rest are the
    // command's.
    if (const int done = ToolHelpAndVersion(argc, argv, "dbftool", kUsage, true); done >= 0)
        return done;
    if (optind >= argc) {
        std::fputs("dbftool: no command given\n", stderr);
        return ToolUsageError("dbftool");
    }
    const char* command = argv[optind];
    for (const Command& c : kCommands)
        if (std::strcmp(command, c.name) == 0)
            return c.run(argc - optind - 1, argv + optind + 1, stdout, stderr);
    std::fprintf(stderr, "dbftool: unknown command '%s'\n", command);
    return ToolUsageError("dbftool");
}
