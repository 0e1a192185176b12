// wtalvoc --check: the files' part and the line's part, then a summary.
#include "manager/check.h"

#include "platform/diagnose.h"
#include "platform/files.h"

int RunCheck(std::FILE* out) {
    char here[plat::kMaxPath];
    plat::HostPathOf(".", false, here, sizeof here);
    std::fprintf(out, "checking %s\n", here);
    const int problems = CheckFiles(out) + CheckLine(out);
    if (problems == 0)
        std::fprintf(out, "%s: ready to serve\n", here);
    else
        std::fprintf(out, "%s: %d problem%s, the manager would not serve as configured\n", here,
                     problems, problems == 1 ? "" : "s");
    return problems == 0 ? 0 : 1;
}
