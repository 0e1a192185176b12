// talvoterm's script lines: numbers, data escapes, quoting, options and
// their refusals, and the text-and-hex printing of data.
#include "tools/talvoterm/script.h"

#include <gtest/gtest.h>

namespace talvoterm {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Unescape(const std::string& text) {
    Bytes out;
    std::string error;
    EXPECT_EQ(UnescapeData(text, out, error), 0) << text << ": " << error;
    return out;
}

ScriptLine Parse(const std::string& text) {
    ScriptLine sl;
    std::string error;
    EXPECT_EQ(ParseScriptLine(text, sl, error), 0) << text << ": " << error;
    return sl;
}

bool Refused(const std::string& text) {
    ScriptLine sl;
    std::string error;
    return ParseScriptLine(text, sl, error) != 0 && !error.empty();
}

TEST(ScriptEscapes, EveryEscapeGivesItsByte) {
    EXPECT_EQ(Unescape("12"), (Bytes{'1', '2'}));
    EXPECT_EQ(Unescape("A\\0B"), (Bytes{'A', 0, 'B'}));
    EXPECT_EQ(Unescape("\\x10\\xff\\xA0"), (Bytes{0x10, 0xFF, 0xA0}));
    EXPECT_EQ(Unescape("\\n\\r\\t\\s\\\\\\\""), (Bytes{'\n', '\r', '\t', ' ', '\\', '"'}));
    EXPECT_EQ(Unescape("\\x000"), (Bytes{0, '0'})); // \x takes exactly two digits
    EXPECT_EQ(Unescape("\xE7"), (Bytes{0xE7}));     // Windows-1252 bytes pass as they are
    EXPECT_TRUE(Unescape("").empty());
}

TEST(ScriptEscapes, BadEscapesAreRefused) {
    for (const char* bad : {"abc\\", "\\x", "\\x1", "\\x1g", "\\q", "\\X41"}) {
        Bytes out;
        std::string error;
        EXPECT_EQ(UnescapeData(bad, out, error), -1) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

TEST(ScriptLines, RequestsWithPlainAndQuotedData) {
    ScriptLine sl = Parse("5 12 12");
    EXPECT_EQ(sl.kind, LineKind::request);
    EXPECT_EQ(sl.request.address, 5);
    EXPECT_EQ(sl.request.code, 12);
    EXPECT_EQ(sl.request.data, (Bytes{'1', '2'}));
    EXPECT_EQ(sl.request.fault, Fault::none);
    EXPECT_EQ(sl.expect, Expect::automatic);

    sl = Parse("  0x0105\t0x0C \"a b\\x10\\\"c\"  \r");
    EXPECT_EQ(sl.request.address, 0x0105);
    EXPECT_EQ(sl.request.code, 0x0C);
    EXPECT_EQ(sl.request.data, (Bytes{'a', ' ', 'b', 0x10, '"', 'c'}));

    sl = Parse("7 30");
    EXPECT_EQ(sl.kind, LineKind::request);
    EXPECT_TRUE(sl.request.data.empty());

    // Codes the PC must refuse can still be written.
    EXPECT_EQ(Parse("5 0").request.code, 0);
    EXPECT_EQ(Parse("5 255 x").request.code, 255);
}

TEST(ScriptLines, OptionsAndExpectations) {
    ScriptLine sl = Parse("5 12 \"\" badsum");
    EXPECT_TRUE(sl.request.data.empty());
    EXPECT_EQ(sl.request.fault, Fault::bad_checksum);

    sl = Parse("5 12 x stray=0x55 expect=answer");
    EXPECT_EQ(sl.request.fault, Fault::stray_byte);
    EXPECT_EQ(sl.request.fault_arg, 0x55);
    EXPECT_EQ(sl.expect, Expect::answer);

    sl = Parse("5 12 x missing=3");
    EXPECT_EQ(sl.request.fault, Fault::missing_lead);
    EXPECT_EQ(sl.request.fault_arg, 3);

    EXPECT_EQ(Parse("5 12 x badlength").request.fault, Fault::bad_length);
    EXPECT_EQ(Parse("5 12 x badsource").request.fault, Fault::bad_source);
    EXPECT_EQ(Parse("5 12 x pause-header").request.fault, Fault::pause_header);
    EXPECT_EQ(Parse("5 12 x pause-data").request.fault, Fault::pause_data);
    EXPECT_EQ(Parse("5 12 x code9").request.fault, Fault::code9);
    EXPECT_EQ(Parse("5 12 x oversize=500").request.fault_arg, 500);
    EXPECT_EQ(Parse("5 12 x nodouble").request.fault, Fault::no_double);
    EXPECT_EQ(Parse("5 0 \\x10\\x02 raw").request.fault, Fault::raw);
    EXPECT_EQ(Parse("5 12 x expect=none").expect, Expect::none);
    EXPECT_EQ(Parse("5 12 x expect=nack").expect, Expect::nack);
    // The third word is always the data, even when it reads like an option.
    sl = Parse("5 12 badsum");
    EXPECT_EQ(sl.request.fault, Fault::none);
    EXPECT_EQ(sl.request.data, (Bytes{'b', 'a', 'd', 's', 'u', 'm'}));
}

TEST(ScriptLines, OtherLines) {
    EXPECT_EQ(Parse("").kind, LineKind::empty);
    EXPECT_EQ(Parse("   \t").kind, LineKind::empty);
    EXPECT_EQ(Parse("# 5 12 x").kind, LineKind::empty);
    ScriptLine sl = Parse("sleep 250");
    EXPECT_EQ(sl.kind, LineKind::sleep);
    EXPECT_EQ(sl.sleep_ms, 250);
    EXPECT_EQ(Parse("wait").kind, LineKind::wait);
}

TEST(ScriptLines, MistakesAreRefusedWithAReason) {
    EXPECT_TRUE(Refused("0 12 x"));     // no terminal 0
    EXPECT_TRUE(Refused("65536 12 x")); // above 16 bits
    EXPECT_TRUE(Refused("5 256 x"));    // code above 8 bits
    EXPECT_TRUE(Refused("5"));          // no code
    EXPECT_TRUE(Refused("five 12"));
    EXPECT_TRUE(Refused("5 0x"));
    EXPECT_TRUE(Refused("5 12 \"open"));      // unterminated quote
    EXPECT_TRUE(Refused("5 12 \"a\" \"b\"")); // two data texts
    EXPECT_TRUE(Refused("5 12 x bogus"));
    EXPECT_TRUE(Refused("5 12 x badsum badlength")); // one fault at a time
    EXPECT_TRUE(Refused("5 12 x badsum=3"));         // takes no value
    EXPECT_TRUE(Refused("5 12 x stray=256"));
    EXPECT_TRUE(Refused("5 12 x missing=9"));
    EXPECT_TRUE(Refused("5 12 x missing=0"));
    EXPECT_TRUE(Refused("5 12 x expect=maybe"));
    EXPECT_TRUE(Refused("5 12 \\q"));
    EXPECT_TRUE(Refused("sleep"));
    EXPECT_TRUE(Refused("sleep soon"));
    EXPECT_TRUE(Refused("sleep 10 20"));
    EXPECT_TRUE(Refused("wait 10"));
}

TEST(ScriptPrinting, TextAndHex) {
    EXPECT_EQ(FormatData(Bytes{'1', '2'}), "\"12\" [31 32]");
    EXPECT_EQ(FormatData(Bytes{}), "\"\" []");
    EXPECT_EQ(FormatData(Bytes{0x00, 'A', 0x10, '"', 0xE7}),
              "\"\\x00A\\x10\\x22\\xE7\" [00 41 10 22 E7]");
    Bytes longer(100, 'a');
    std::string s = FormatData(longer, 4);
    EXPECT_EQ(s, "\"aaaa\"... [61 61 61 61 ...]");
    EXPECT_STREQ(FaultName(Fault::pause_header), "pause-header");
    EXPECT_STREQ(FaultName(Fault::none), "");
}

} // namespace
} // namespace talvoterm
