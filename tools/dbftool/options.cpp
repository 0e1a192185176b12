// The options of one dbftool command, parsed the GNU way: options and
// arguments in any order, "--" ends the options, unknown ones are named.
#include <getopt.h>

#include "tools/dbftool/dbftool.h"

int dbf_parse_options(int argc, char** argv, const char* shortopts, const option* longopts,
                      DbfOptions* out) {
    // getopt wants the program's name first; its messages start with it.
    char program[] = "dbftool";
    std::vector<char*> args;
    args.reserve(static_cast<std::size_t>(argc) + 2);
    args.push_back(program);
    for (int a = 0; a < argc; ++a) args.push_back(argv[a]);
    args.push_back(nullptr);
    *out = DbfOptions{};
    optind = 0; // a fresh scan, also when called again in one process
    opterr = 1;
    for (;;) {
        const int c = getopt_long(argc + 1, args.data(), shortopts, longopts, nullptr);
        if (c == -1) break;
        if (c == '?' || c == ':' || c < 0 || c >= static_cast<int>(out->given.size())) return 2;
        out->given[static_cast<std::size_t>(c)] = true;
        out->value[static_cast<std::size_t>(c)] = optarg;
    }
    for (int a = optind; a <= argc; ++a)
        out->positional.push_back(args[static_cast<std::size_t>(a)]);
    return 0;
}
