// Texts put together at random from the pieces of the language and from
// stray bytes: compiling and evaluating them may fail, but never crash,
// never write past the work buffer (the sanitizer build watches it) and
// never leave another table selected.
#include "tests/expressions/expr_fixture.h"

#include <random>

namespace exprtest {
namespace {

const char* const kPieces[] = {
    "NAME",
    "BIRTH",
    "CODE",
    "AMOUNT",
    "FLAG",
    "QTY",
    "NOTE",
    "name",
    "OTHER->TITLE",
    "PEOPLE->CODE",
    "NOPE->X",
    "->",
    "(",
    ")",
    ",",
    "+",
    "-",
    "*",
    "/",
    "^",
    "**",
    "=",
    "#",
    "<>",
    "<",
    ">",
    "<=",
    ">=",
    "$",
    ".AND.",
    ".OR.",
    ".NOT.",
    ".T.",
    ".F.",
    ".TRUE.",
    "'",
    "\"",
    "'AB'",
    "\"x y\"",
    "''",
    "0",
    "1",
    "5.",
    "-3",
    ".5",
    "32767",
    "1e9",
    "99999999",
    "STOD(",
    "CTOD(",
    "DTOS(",
    "DTOC(",
    "DATE()",
    "DAY(",
    "MONTH(",
    "YEAR(",
    "DELETED()",
    "DEL()",
    "IIF(",
    "RECCOUNT()",
    "RECNO()",
    "STR(",
    "SUBSTR(",
    "SUBS(",
    "TIME()",
    "UPPER(",
    "VAL(",
    "'19990101'",
    "'12/31/99'",
    " ",
    "  ",
    "\t",
    ".",
    "_",
    ":",
    "\\",
    "?",
    "\xFF",
};

std::string RandomText(std::mt19937& rng) {
    std::uniform_int_distribution<int> count(0, 24);
    std::uniform_int_distribution<size_t> piece(0, std::size(kPieces) - 1);
    std::uniform_int_distribution<int> byte(1, 255);
    std::uniform_int_distribution<int> coin(0, 9);
    std::string s;
    for (int n = count(rng); n > 0; --n) {
        if (coin(rng) == 0)
            s += static_cast<char>(byte(rng));
        else
            s += kPieces[piece(rng)];
    }
    return s;
}

using RandomTexts = ExprTest;

TEST_F(RandomTexts, NeverCrashOverflowOrChangeTheSelection) {
    WriteFile("OTHER.DBF", MakeTable({{"TITLE", 'C', 5, 0}}, {{false, {"boss"}}}));
    int other = d4open_table("OTHER");
    ASSERT_GE(other, 0);
    ASSERT_EQ(d4goto_record(1), 0);
    d4select_table(people_);
    std::mt19937 rng(20260108);
    int compiled = 0, evaluated = 0;
    for (int i = 0; i < 20000; ++i) {
        std::string text = RandomText(rng);
        char* program = nullptr;
        int length = e4compile(text.c_str(), &program);
        ASSERT_EQ(d4select_table(-1), people_) << text;
        if (length < 0) {
            ASSERT_EQ(program, nullptr);
            continue;
        }
        ++compiled;
        for (int record : {1, 3, 4}) {
            ASSERT_EQ(d4goto_record(record), 0);
            char* r = (record & 1) ? e4evaluate(program) : e4vary(program);
            ASSERT_EQ(d4select_table(-1), people_) << text;
            if (r == nullptr) continue;
            ++evaluated;
            ASSERT_EQ(r, e4work_buffer());
            ASSERT_LT(e4result_length(), e4work_buffer_size()) << text;
            ASSERT_EQ(r[e4result_length()], 0) << text;
        }
        h4release_memory(program);
    }
    // The pieces are meant to make valid texts now and then.
    EXPECT_GT(compiled, 100);
    EXPECT_GT(evaluated, 100);
}

} // namespace
} // namespace exprtest
