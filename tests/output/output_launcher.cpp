// Starts the real manager for the output line tests after giving talvo.cfg
// its output devices: when the working directory holds "outputs.bin" (7
// bytes: the six device switches, then the default device), those bytes
// replace the record's output settings at offset 4101. The line harness
// writes a configuration without output devices; this stands between it and
// the program it starts.
#include <cstdio>
#include <unistd.h>

#ifndef REAL_WTALVOC_PATH
#define REAL_WTALVOC_PATH ""
#endif

int main(int, char** argv) {
    unsigned char outputs[7];
    if (std::FILE* in = std::fopen("outputs.bin", "rb")) {
        const std::size_t n = std::fread(outputs, 1, sizeof outputs, in);
        std::fclose(in);
        if (n != sizeof outputs) return 125;
        std::FILE* cfg = std::fopen("talvo.cfg", "r+b");
        if (cfg == nullptr) return 125;
        const bool ok = std::fseek(cfg, 4101, SEEK_SET) == 0 &&
                        std::fwrite(outputs, 1, sizeof outputs, cfg) == sizeof outputs;
        if (std::fclose(cfg) != 0 || !ok) return 125;
    }
    ::execv(REAL_WTALVOC_PATH, argv);
    return 127;
}
