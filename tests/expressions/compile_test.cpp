// The key-expression compiler and type check: keys built from fields,
// names and abbreviations, the rewrites of date and numeric fields, the
// lexical traps, every compile error with its texts, and the limits of the
// 256-byte work buffer.
#include "tests/expressions/expr_fixture.h"

#include "manager/tablestore/expr_table.h"

namespace exprtest {
namespace {

// Codes of the postfix part of a program (after the text and table words),
// with the field references and constants skipped.
std::vector<int32_t> Codes(const char* program) {
    std::vector<int32_t> codes;
    const char* p = program + 8 + e4get_word(program + 4) + 4;
    for (int32_t code; (code = e4get_word(p)) != E4END;) {
        codes.push_back(code);
        if (code <= E4FIELD_NUMTEXT)
            p += 8;
        else if (code == E4CONST_CHAR)
            p += 8 + e4get_word(p + 4);
        else if (code == E4CONST_NUMBER)
            p += 12;
        else
            p += 4;
    }
    return codes;
}

using Compiling = ExprTest;

TEST_F(Compiling, NameAndDateKeyIsTwentyEightCharacters) {
    EXPECT_EQ(Text("NAME+DTOS(BIRTH)"), "ANA                 19850315");
    EXPECT_EQ(e4result_length(), 28);
    ASSERT_EQ(d4goto_record(3), 0);
    EXPECT_EQ(Text("NAME+DTOS(BIRTH)"), "carla" + std::string(15, ' ') + std::string(8, ' '));
    // The date is concatenated as text: no rewrite to a day number.
    EXPECT_EQ(Codes(Compile("NAME+DTOS(BIRTH)")),
              (std::vector<int32_t>{E4FIELD_CHAR, E4FIELD_DATE, 51, 29}));
}

TEST_F(Compiling, ProgramLayout) {
    char* program = nullptr;
    int length = e4compile("CODE+'x'", &program);
    ASSERT_GT(length, 0);
    programs_.push_back(program);
    EXPECT_EQ(e4get_word(program), 6);
    EXPECT_EQ(e4get_word(program + 4), 9); // "CODE+'x'" and its NUL
    EXPECT_STREQ(program + 8, "CODE+'x'");
    EXPECT_STREQ(e4program_text(program), "CODE+'x'");
    EXPECT_EQ(e4get_word(program + 17), people_);
    EXPECT_EQ(e4program_table(program), people_);
    const char* p = program + 21;
    EXPECT_EQ(e4get_word(p), E4FIELD_CHAR);
    EXPECT_EQ(e4get_word(p + 4), (people_ << 16) | 2); // third field
    EXPECT_EQ(e4get_word(p + 8), E4CONST_CHAR);
    EXPECT_EQ(e4get_word(p + 12), 1);
    EXPECT_EQ(p[16], 'x');
    EXPECT_EQ(e4get_word(p + 17), 29); // "+" (C, C)
    EXPECT_EQ(e4get_word(p + 21), E4END);
    EXPECT_EQ(length, 21 + 25);
    EXPECT_EQ(e4result_type(), 'C');
}

TEST_F(Compiling, AFieldAloneIsToldFromEveryOtherKey) {
    // The whole key is the field's bytes only for a field alone, of any type.
    EXPECT_EQ(e4single_field(Compile("CODE")), (people_ << 16) | 2);
    EXPECT_EQ(e4single_field(Compile("amount")), (people_ << 16) | 3);
    EXPECT_EQ(e4single_field(Compile("BIRTH")), (people_ << 16) | 1);
    for (const char* text : {"CODE+'x'", "UPPER(NAME)", "AMOUNT * 2", "DTOS(BIRTH)", "'AB'",
                             "NAME+DTOS(BIRTH)", "STR(QTY)"})
        EXPECT_EQ(e4single_field(Compile(text)), -1) << text;
}

TEST_F(Compiling, OperatorTableOrderAndGroups) {
    static const int groups[] = {8,   10,  12,  17,  19,  21,  23,  25,  30,  40,  50,  70,
                                 80,  100, 110, 150, 160, 170, 175, 180, 185, 190, 194, 196,
                                 198, 200, 210, 220, 230, 240, 250, 260, 270, 280, 290};
    std::vector<int> seen;
    for (int e = 8; e < e4entry_count; ++e)
        if (seen.empty() || seen.back() != e4table[e].group) seen.push_back(e4table[e].group);
    EXPECT_EQ(seen, std::vector<int>(std::begin(groups), std::end(groups)));
    EXPECT_EQ(e4table[e4entry_count].group, -1);
    EXPECT_STREQ(e4table[15].name, "#");
    EXPECT_STREQ(e4table[16].name, "<>");
    EXPECT_STREQ(e4table[e4FIRST_OP].name, "^");
    EXPECT_STREQ(e4table[e4LAST_OP].name, ".AND.");
    EXPECT_STREQ(e4table[e4FIRST_FUNC].name, "STOD");
    EXPECT_STREQ(e4table[e4STR].name, "STR");
    EXPECT_STREQ(e4table[e4SUBSTR].name, "SUBSTR");
}

TEST_F(Compiling, FieldNamesInAnyCaseFindTheSameField) {
    char* a = Compile("name");
    char* b = Compile("Name");
    char* c = Compile("NAME");
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(std::memcmp(a + 8 + 5, b + 8 + 5, 16), 0);
    EXPECT_EQ(std::memcmp(a + 8 + 5, c + 8 + 5, 16), 0);
    EXPECT_EQ(Text("nAmE"), "ANA" + std::string(17, ' '));
}

TEST_F(Compiling, AbbreviatedFunctionNames) {
    // SUBS(CODE,2) is SUBSTR(CODE,2,32767): the same code after the text.
    char* a = Compile("SUBS(CODE,2)");
    char* b = Compile("SUBSTR(CODE,2,32767)");
    ASSERT_TRUE(a && b);
    EXPECT_EQ(std::string(a + 25, 40), std::string(b + 33, 40)); // field, 2, 32767, SUBSTR, end
    EXPECT_EQ(Text("SUBS(CODE,2)"), "B1234");
    EXPECT_EQ(Text("subs(code, 2)"), "B1234");

    EXPECT_EQ(Number("RECN()"), 1);
    int type = 0;
    Eval("DELE()", &type);
    EXPECT_EQ(type, 'L'); // DELETED
    Eval("DEL()", &type);
    EXPECT_EQ(type, 'C'); // DEL, not DELETED
    EXPECT_EQ(Text("UPPE(NAME)"), "ANA" + std::string(17, ' '));
    EXPECT_EQ(Number("MONT(BIRTH)"), 3);

    EXPECT_EQ(CompileError("DA()"), 570);        // too short, not a whole name
    EXPECT_EQ(CompileError("SUB(CODE,2)"), 570); // 3 characters of SUBSTR
    EXPECT_EQ(CompileError("SUBSTRING(CODE,2)"), 570);
    EXPECT_EQ(CompileError("FOO(1)"), 570);
}

TEST_F(Compiling, MissingArgumentsOfStrAndSubstr) {
    EXPECT_EQ(Text("STR(AMOUNT)"), "       123");
    EXPECT_EQ(Text("STR(AMOUNT,8,2)"), "  123.45");
    EXPECT_EQ(Text("STR(AMOUNT,8)"), "     123");
    ASSERT_EQ(d4goto_record(2), 0);
    EXPECT_EQ(Text("STR(AMOUNT)"), "        -5");
    EXPECT_EQ(Text("STR(AMOUNT,8,2)"), "   -5.25");
    EXPECT_EQ(Text("STR(QTY,3)"), "-12");

    EXPECT_EQ(CompileError("SUBSTR(NAME)"), 595);
    EXPECT_EQ(CompileError("SUBS(NAME,1,2,3)"), 595);
    EXPECT_EQ(CompileError("STR()"), 595);
    EXPECT_EQ(CompileError("STR(1,2,3,4)"), 595);
    EXPECT_EQ(CompileError("DATE(1)"), 595);
    EXPECT_EQ(CompileError("UPPER()"), 595);
    EXPECT_EQ(CompileError("IIF(FLAG,1)"), 595);
}

TEST_F(Compiling, DateFieldIsReadAsDayNumberWhereAnOperatorNeedsOne) {
    char* p = Compile("BIRTH > STOD('19990101')");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(Codes(p), (std::vector<int32_t>{E4FIELD_DAYS, E4CONST_CHAR, 49, 43}));
    EXPECT_FALSE(Logical("BIRTH > STOD('19990101')"));
    ASSERT_EQ(d4goto_record(2), 0);
    EXPECT_TRUE(Logical("BIRTH > STOD('19990101')"));
    EXPECT_TRUE(Logical("STOD('19990101') < BIRTH"));

    // BIRTH + 1 is a date: a day number while evaluating, text for keys.
    char* q = Compile("BIRTH + 1");
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(Codes(q), (std::vector<int32_t>{E4FIELD_DAYS, E4CONST_NUMBER, 28}));
    ASSERT_NE(e4vary(q), nullptr);
    EXPECT_EQ(e4result_type(), 'd');
    EXPECT_EQ(e4result_length(), 8);
    EXPECT_EQ(Eval("BIRTH + 1"), "20000102");
    EXPECT_EQ(e4result_type(), 'D');
    EXPECT_EQ(Eval("1 + BIRTH"), "20000102");
    EXPECT_EQ(Eval("BIRTH - 1"), "19991231");
    EXPECT_EQ(Number("BIRTH - STOD('19991201')"), 31);
    EXPECT_EQ(Number("BIRTH - BIRTH"), 0);
}

TEST_F(Compiling, NumericFieldAloneIsItsTextThenANumber) {
    char* p = Compile("AMOUNT");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(e4result_type(), 'n');
    char* r = e4vary(p);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(e4result_type(), 'n');
    EXPECT_EQ(std::string(r, 10), "    123.45");
    EXPECT_EQ(r[10], 0);
    EXPECT_DOUBLE_EQ(Number("AMOUNT"), 123.45);
    // Where an operator needs a number, the field is read as one (5 -> 4).
    char* q = Compile("AMOUNT * 2");
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(Codes(q), (std::vector<int32_t>{E4FIELD_NUMBER, E4CONST_NUMBER, 34}));
    EXPECT_DOUBLE_EQ(Number("AMOUNT * 2"), 246.9);
    EXPECT_DOUBLE_EQ(Number("QTY + AMOUNT"), 130.45);
    // The text form is not character text: it does not join with "+".
    EXPECT_EQ(CompileError("NAME + AMOUNT"), 550);
}

TEST_F(Compiling, DotsAfterNumbersAndAfterNames) {
    // 5.AND.X: the number 5, then .AND. (which wants logical values).
    EXPECT_EQ(CompileError("5.AND.FLAG"), 550);
    EXPECT_TRUE(Logical("5=5.AND.FLAG"));
    EXPECT_TRUE(Logical("5=5.and.FLAG"));
    EXPECT_TRUE(Logical("1=2.OR.FLAG"));
    EXPECT_FALSE(Logical("1=1.AND..NOT.FLAG"));
    EXPECT_DOUBLE_EQ(Number("2.5+1."), 3.5);
    // A.AND.B after a name is one run of name characters.
    EXPECT_EQ(CompileError("FLAG.AND.FLAG"), 580);
    EXPECT_TRUE(Logical("FLAG .AND. FLAG"));
    EXPECT_TRUE(Logical(".T..AND.FLAG"));
    EXPECT_FALSE(Logical(".F. .OR. .NOT. FLAG"));
    EXPECT_TRUE(Logical(".TRUE."));
    EXPECT_FALSE(Logical(".false."));
    EXPECT_DOUBLE_EQ(Number(".5+.25"), 0.75);
}

TEST_F(Compiling, PrioritiesAndLeftAssociation) {
    Stop();
    Start(3000); // some of these programs need more than 128 bytes
    EXPECT_DOUBLE_EQ(Number("10-4-3"), 3);
    EXPECT_DOUBLE_EQ(Number("2+3*4"), 14);
    EXPECT_DOUBLE_EQ(Number("(2+3)*4"), 20);
    EXPECT_DOUBLE_EQ(Number("2^3^2"), 64);
    EXPECT_DOUBLE_EQ(Number("2**3*2"), 16);
    EXPECT_DOUBLE_EQ(Number("2*3**2"), 18);
    EXPECT_DOUBLE_EQ(Number("7/2/7"), 0.5);
    EXPECT_DOUBLE_EQ(Number("-3+5"), 2);
    EXPECT_DOUBLE_EQ(Number("  ( ( 1 ) ) "), 1);
    EXPECT_TRUE(Logical("1+1=2.AND.2*2=4"));
    EXPECT_TRUE(Logical(".NOT. 1=2"));
    EXPECT_TRUE(Logical("1=2 .OR. 2=2 .AND. 3=3"));
    EXPECT_FALSE(Logical("(1=2 .OR. 2=2) .AND. 3=4"));
}

TEST_F(Compiling, OperatorsAreReadLongestFirst) {
    EXPECT_TRUE(Logical("CODE<NAME"));
    EXPECT_TRUE(Logical("CODE<>NAME"));
    EXPECT_TRUE(Logical("CODE#NAME"));
    EXPECT_TRUE(Logical("1#2")); // "#" goes on to the numeric overloads
    EXPECT_FALSE(Logical("FLAG#.T."));
    EXPECT_TRUE(Logical("2>=2"));
    EXPECT_TRUE(Logical("2<=2"));
    EXPECT_EQ(CompileError("1 ! 2"), 575);
    EXPECT_EQ(CompileError("NAME CODE"), 575);
    EXPECT_EQ(CompileError("1 =< 2"), 580); // "=" then the value "< 2"
}

TEST_F(Compiling, ErrorsOfTheLanguage) {
    EXPECT_EQ(CompileError("NAME = 'AB"), 590);
    EXPECT_EQ(CompileError("\"AB"), 590);
    EXPECT_EQ(CompileError("UPPER(NAME"), 560);
    EXPECT_EQ(CompileError("(1+2"), 560);
    EXPECT_EQ(CompileError("SUBSTR(NAME,1"), 560);
    EXPECT_EQ(CompileError("SUBSTR(NAME;1,2)"), 575);
    EXPECT_EQ(CompileError("SUBSTR(NAME 1,2)"), 575);
    EXPECT_EQ(CompileError("FOO(1)"), 570);
    EXPECT_EQ(CompileError("SUBSTR(NAME)"), 595);
    EXPECT_EQ(CompileError("NAME + 1"), 550);
    EXPECT_EQ(CompileError("UPPER(1)"), 550);
    EXPECT_EQ(CompileError("IIF(1,2,3)"), 550);
    EXPECT_EQ(CompileError("IIF(FLAG,NAME,1)"), 550);
    EXPECT_EQ(CompileError("NOSUCH"), 580);
    EXPECT_EQ(CompileError("ABCDEFGHIJK"), 580); // longer than a field name
    EXPECT_EQ(CompileError(""), 580);
    EXPECT_EQ(CompileError("1+"), 580);
    EXPECT_EQ(CompileError("?"), 580);
    EXPECT_EQ(CompileError("NOPE->NAME"), 500);
    EXPECT_EQ(CompileError("PEOPLE->NOSUCH"), 580);
    // Text after a complete expression is not silently dropped.
    EXPECT_EQ(CompileError("NAME)"), 530);
    EXPECT_EQ(CompileError("NAME,CODE"), 530);
    EXPECT_EQ(CompileError("1)+2"), 530);
}

TEST_F(Compiling, ErrorReportsCarryTheTexts) {
    EXPECT_EQ(CompileError("SUBSTR(NAME)"), 595);
    std::string r = e4last_report();
    EXPECT_NE(r.find("Wrong Number of Parameters in Expression\nExpression\nSUBSTR(NAME)\n"
                     "Function\nSUBSTR\n"),
              std::string::npos)
        << r;
    EXPECT_EQ(CompileError("NAME + 1"), 550);
    r = e4last_report();
    EXPECT_NE(r.find("Parameter or Operator has the Wrong Type\nExpression:\nNAME + 1\n\n"
                     "Function:\n+\n"),
              std::string::npos)
        << r;
    EXPECT_EQ(CompileError("NAME = 'AB"), 590);
    r = e4last_report();
    EXPECT_NE(r.find("Unterminated String in Expression\nNAME = 'AB\n"), std::string::npos) << r;
    EXPECT_EQ(CompileError("NOSUCH"), 580);
    r = e4last_report();
    EXPECT_NE(r.find("Unrecognized Value in Expression\nNOSUCH\n"), std::string::npos) << r;
}

// Nineteen pending values do not fit the evaluation stack.
TEST_F(Compiling, NineteenPendingValuesOverflow) {
    Stop();
    Start(3000); // room for the programs: the limit here is the value count
    // IIF(.T.,1,IIF(.T.,1,...)): two values wait at each level.
    auto nested = [](int levels, const std::string& inner) {
        std::string s;
        for (int i = 0; i < levels; ++i) s += "IIF(.T.,1,";
        s += inner;
        s += std::string(static_cast<size_t>(levels), ')');
        return s;
    };
    EXPECT_EQ(CompileError(nested(8, "1+1")), 0) << "18 values";
    EXPECT_EQ(CompileError(nested(8, "1+(1+1)")), 540) << "19 values";

    // The long chain of "+(" groups of the same depth fails as well.
    std::string chain;
    for (int i = 0; i < 18; ++i) chain += "1+(";
    chain += "1" + std::string(18, ')');
    EXPECT_EQ(CompileError(chain), 540);
}

TEST_F(Compiling, OperatorStackHoldsThirtyTwoEntries) {
    Stop();
    Start(3000);
    EXPECT_EQ(CompileError(std::string(32, '(') + "1" + std::string(32, ')')), 0);
    EXPECT_EQ(CompileError(std::string(33, '(') + "1" + std::string(33, ')')), 540);
    EXPECT_EQ(CompileError(std::string(40, '(')), 540);
}

TEST_F(Compiling, ProgramMustLeaveTheOperatorStackItsRoom) {
    // 256 bytes less 128 for the operator stack: 128 for the program,
    // the expression's own text included.
    std::string longest = "'" + std::string(79, 'x') + "'"; // 8+82+4 + 8+79 + 4 = 185
    EXPECT_EQ(CompileError(longest), 540);
    std::string fits = "'" + std::string(40, 'x') + "'"; // 8+43+4 + 8+40 + 4 = 107
    EXPECT_EQ(CompileError(fits), 0);
    EXPECT_EQ(CompileError(std::string(300, ' ') + "1"), 540);
}

TEST_F(Compiling, TableReferencesAndTheSelection) {
    WriteFile("OTHER.DBF", MakeTable({{"TITLE", 'C', 5, 0}}, {{false, {"boss"}}}));
    int other = d4open_table("OTHER");
    ASSERT_GE(other, 0);
    ASSERT_EQ(d4goto_record(1), 0);
    d4select_table(people_);
    EXPECT_EQ(Text("OTHER->TITLE+CODE"), "boss AB1234");
    EXPECT_EQ(d4select_table(-1), people_);
    EXPECT_EQ(Text("other->title"), "boss ");
    EXPECT_EQ(Text("OTHER.DBF->TITLE"), "boss ");
    EXPECT_EQ(Text("people->NAME"), "ANA" + std::string(17, ' '));
    EXPECT_EQ(CompileError("OTHER->NAME"), 580);
    EXPECT_EQ(d4select_table(-1), people_);
    EXPECT_EQ(CompileError("OTHER->"), 580);
    // The expression's table is the one selected while compiling.
    d4select_table(other);
    char* p = Compile("PEOPLE->NAME");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(e4program_table(p), other);
    EXPECT_EQ(d4select_table(-1), other);
}

TEST_F(Compiling, WithoutATableNamesAreNoFields) {
    d4close_all_tables();
    EXPECT_EQ(CompileError("NAME"), 580);
    EXPECT_DOUBLE_EQ(Number("1+2"), 3);
    char* p = Compile("'x'");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(e4program_table(p), -1);
}

} // namespace
} // namespace exprtest

namespace exprtest {
namespace {

// Builds a program by hand: text record, table, the given words, end.
std::string HandProgram(const std::vector<int32_t>& words) {
    std::string p(8, '\0');
    e4put_word(&p[0], E4CONST_CHAR);
    e4put_word(&p[4], 2);
    p += std::string("x\0", 2);
    for (int32_t w : words) {
        char b[4];
        e4put_word(b, w);
        p.append(b, 4);
    }
    return p;
}

std::string NumberWords(double v) {
    std::string s(12, '\0');
    e4put_word(&s[0], E4CONST_NUMBER);
    e4put_double(&s[4], v);
    return s;
}

// Programs that do not hold together are internal faults: error 950 ends
// the program.
TEST_F(Compiling, BrokenProgramsEndTheProgram) {
    std::string missing = HandProgram({-1, e4FIRST_OP, E4END}); // "^" with no arguments
    EXPECT_EXIT(e4type_check(missing.data(), static_cast<int>(missing.size())),
                ::testing::ExitedWithCode(1), "e4type_check");
    std::string two = HandProgram({-1});
    two += NumberWords(1) + NumberWords(2);
    two += std::string("\xff\xff\xff\xff", 4);
    EXPECT_EXIT(e4type_check(two.data(), static_cast<int>(two.size())),
                ::testing::ExitedWithCode(1), "e4type_check");
    EXPECT_EXIT(e4vary(two.data()), ::testing::ExitedWithCode(1),
                "e4vary: Return Length Discrepency");
    std::string unended = HandProgram({-1});
    unended += NumberWords(1);
    EXPECT_EXIT(e4type_check(unended.data(), static_cast<int>(unended.size())),
                ::testing::ExitedWithCode(1), "e4type_check");
}

} // namespace
} // namespace exprtest
