// dbftool: look inside dBASE III tables and .NTX indexes, create empty
// tables, build indexes and check them against their tables.
#include <cstdio>
#include <cstring>

#include "tools/dbftool/dbftool.h"

namespace {

void usage() {
    std::fputs("usage:\n"
               "  dbftool info TABLE [INDEX...]\n"
               "  dbftool dump TABLE [--index INDEX] [--deleted]\n"
               "  dbftool seek TABLE INDEX KEY\n"
               "  dbftool create TABLE NAME:TYPE:WIDTH[:DECIMALS]...\n"
               "  dbftool index TABLE INDEX EXPRESSION [--unique]\n"
               "  dbftool check [--strict] TABLE INDEX...\n"
               "  dbftool load TABLE [INDEX...] [--appends N] [--changes N] [--tag TAG]"
               " [--field NAME]\n",
               stderr);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        usage();
        return 2;
    }
    const char* command = argv[1];
    int n = argc - 2;
    char** args = argv + 2;
    if (std::strcmp(command, "info") == 0) return dbf_command_info(n, args, stdout, stderr);
    if (std::strcmp(command, "dump") == 0) return dbf_command_dump(n, args, stdout, stderr);
    if (std::strcmp(command, "seek") == 0) return dbf_command_seek(n, args, stdout, stderr);
    if (std::strcmp(command, "create") == 0) return dbf_command_create(n, args, stdout, stderr);
    if (std::strcmp(command, "index") == 0) return dbf_command_index(n, args, stdout, stderr);
    if (std::strcmp(command, "check") == 0) return dbf_command_check(n, args, stdout, stderr);
    if (std::strcmp(command, "load") == 0) return dbf_command_load(n, args, stdout, stderr);
    usage();
    return 2;
}
