// libserilo.so as the manager links it: exactly the six exports, bound at
// load time, and a processor fault inside an export ending the process.
#include "linkdriver/serilo.h"

#include "tests/linkdriver/line_fixture.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <set>
#include <string>
#include <unistd.h>

namespace {

std::string Capture(const std::string& command) {
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buf[512];
        while (std::fgets(buf, sizeof buf, p)) out += buf;
        pclose(p);
    }
    return out;
}

} // namespace

TEST(Library, ExportsExactlyTheSixFunctions) {
    const std::string out = Capture("nm -D --defined-only '" SERILO_LIBRARY "'");
    std::set<std::string> names;
    std::regex sym(R"(^\S*\s+[A-Za-z]\s+(\S+)$)");
    std::size_t start = 0;
    while (start < out.size()) {
        std::size_t end = out.find('\n', start);
        if (end == std::string::npos) end = out.size();
        std::smatch m;
        std::string lineText = out.substr(start, end - start);
        if (std::regex_match(lineText, m, sym)) names.insert(m[1]);
        start = end + 1;
    }
    EXPECT_EQ(names, (std::set<std::string>{"_AbrePorta", "_AtribuiBaseAdd", "_CommError",
                                            "_EscrevePorta", "_FechaPorta", "_LePorta"}))
        << out;
}

TEST(Library, IsBoundAtLoadTime) {
    const std::string out = Capture("readelf -d /proc/" + std::to_string(getpid()) + "/exe");
    EXPECT_NE(out.find("(NEEDED)"), std::string::npos) << out;
    // By its soname, which carries the major version.
    EXPECT_NE(out.find("[libserilo.so.1]"), std::string::npos) << out;
    EXPECT_EQ(_AtribuiBaseAdd(0x2F8), 0x2F8u);
}

TEST(Library, AccessViolationInLePortaEndsTheProcessWithItsLine) {
    linktest::ScratchDir dir;
    GTEST_FLAG_SET(death_test_style, "fast"); // the child writes in this directory
    EXPECT_EXIT(
        {
            linktest::PtyLine line("COM1");
            linktest::RawPeer peer(line.master());
            peer.Queue(5, {0x10, 0x02, 0x00, 0x01, 0x00, 0x05, 0x0C, 0x00, 0x02, 0x31, 0x32, 0x10,
                           0x03, 0x63});
            const std::uint16_t one[1] = {5};
            if (_AbrePorta("COM1", 1, one) != 0) std::_Exit(3);
            if (peer.WaitFor(0, 0x08, 5, 10000) < 0) std::_Exit(4);
            std::uint8_t data[298];
            std::uint8_t code = 0;
            std::int16_t length = 0;
            _LePorta(reinterpret_cast<std::uint16_t*>(linktest::UnmappedPage()), data, &code,
                     &length, 0);
            std::_Exit(5);
        },
        ::testing::ExitedWithCode(1),
        "Dravo.dll: Excecao Fatal: Excecao n\xC2\xBA"
        "1 em LePorta");
    const std::string log = dir.Read("excecoes.txt");
    EXPECT_TRUE(
        std::regex_match(log, std::regex("Excecao n\xBA"
                                         "1 em LePorta - [A-Z][a-z]{2} [A-Z][a-z]{2} [0-9]{2} "
                                         "[0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}\r\n")))
        << log;
}
