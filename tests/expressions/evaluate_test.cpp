// Evaluation of key expressions: the meaning of every operator and
// function, field values by type, the dates, the record functions on the
// expression's table, and the room checks of the 256-byte work buffer.
#include "tests/expressions/expr_fixture.h"

#include <cmath>

#include "manager/tablestore/expr_table.h"
#include "platform/clock.h"

namespace exprtest {
namespace {

using Evaluating = ExprTest;

TEST_F(Evaluating, CharacterComparisons) {
    EXPECT_TRUE(Logical("'ABC' = 'AB'"));  // equal over the second's length
    EXPECT_FALSE(Logical("'AB' = 'ABC'")); // a shorter first value is smaller
    EXPECT_TRUE(Logical("'AB' < 'ABC'"));
    EXPECT_FALSE(Logical("'ABC' > 'AB'"));
    EXPECT_TRUE(Logical("'ABC' >= 'AB'"));
    EXPECT_TRUE(Logical("'' = ''"));
    EXPECT_TRUE(Logical("'x' = ''"));
    EXPECT_TRUE(Logical("'b' > 'a'"));
    EXPECT_TRUE(Logical("'a' > 'B'"));
    EXPECT_TRUE(Logical("'\xE9' > 'z'")); // bytes compare unsigned
    EXPECT_TRUE(Logical("'AB' <> 'AC'"));
    EXPECT_TRUE(Logical("NAME = 'ANA'"));
    EXPECT_FALSE(Logical("'ANA' = NAME"));
}

TEST_F(Evaluating, NumberDateAndLogicalComparisons) {
    EXPECT_TRUE(Logical("2 > 1.5"));
    EXPECT_TRUE(Logical("-1 < 0"));
    EXPECT_TRUE(Logical("AMOUNT = 123.45"));
    EXPECT_TRUE(Logical("BIRTH = STOD('19850315')"));
    EXPECT_TRUE(Logical("BIRTH <= STOD('19850315')"));
    EXPECT_TRUE(Logical("FLAG = .T."));
    EXPECT_TRUE(Logical(".F. = .F."));
    EXPECT_TRUE(Logical(".F. <> .T."));
    ASSERT_EQ(d4goto_record(3), 0); // FLAG 'y' is true too
    EXPECT_TRUE(Logical("FLAG = .T."));
    ASSERT_EQ(d4goto_record(4), 0); // 'N' is false
    EXPECT_TRUE(Logical("FLAG = .F."));
}

TEST_F(Evaluating, TextJoiningAndSearching) {
    EXPECT_EQ(Text("'AB  ' - 'CD'"), "ABCD  ");
    EXPECT_EQ(Text("'AB' - 'CD'"), "ABCD");
    EXPECT_EQ(Text("'    ' - 'CD'"), "CD    ");
    EXPECT_EQ(Text("NAME - CODE"), "ANAAB1234" + std::string(17, ' '));
    EXPECT_EQ(Text("'A'+'B'+'C'"), "ABC");
    EXPECT_EQ(Text("''+''"), "");
    EXPECT_TRUE(Logical("'B12' $ CODE"));
    EXPECT_TRUE(Logical("'' $ CODE"));
    EXPECT_TRUE(Logical("'34' $ CODE")); // at the last position
    EXPECT_FALSE(Logical("'ZZ' $ CODE"));
    EXPECT_FALSE(Logical("CODE $ 'AB'"));
    EXPECT_TRUE(Logical("'AB1234' $ CODE"));
}

TEST_F(Evaluating, Arithmetic) {
    EXPECT_DOUBLE_EQ(Number("AMOUNT - QTY"), 116.45);
    EXPECT_DOUBLE_EQ(Number("QTY / 2"), 3.5);
    EXPECT_DOUBLE_EQ(Number("QTY ^ 2"), 49);
    EXPECT_TRUE(std::isinf(Number("1/0"))); // no zero test
    EXPECT_DOUBLE_EQ(Number("VAL('  12.5xyz')"), 12.5);
    EXPECT_DOUBLE_EQ(Number("VAL('')"), 0);
    EXPECT_DOUBLE_EQ(Number("VAL(CODE)"), 0);
    Stop();
    Start(3000); // room for the longer texts
    EXPECT_DOUBLE_EQ(Number("VAL('" + std::string(48, ' ') + "7')"), 7);
    EXPECT_DOUBLE_EQ(Number("VAL('" + std::string(49, ' ') + "7')"), 0); // 49 characters read
}

TEST_F(Evaluating, SubstrStrUpperIif) {
    EXPECT_EQ(Text("SUBSTR('HELLO',2,3)"), "ELL");
    EXPECT_EQ(Text("SUBSTR('HELLO',0,2)"), "HE");
    EXPECT_EQ(Text("SUBSTR('HELLO',-5,2)"), "HE");
    EXPECT_EQ(Text("SUBSTR('HELLO',4,10)"), "LO");
    EXPECT_EQ(Text("SUBSTR('HELLO',6,1)"), "");
    EXPECT_EQ(Text("SUBSTR('HELLO',9,2)"), "");
    EXPECT_EQ(Text("SUBSTR('HELLO',2,-1)"), "");
    EXPECT_EQ(Text("SUBSTR('HELLO',2.9,1.9)"), "E");
    EXPECT_EQ(Text("SUBSTR('HELLO',10^300,1)"), "");
    EXPECT_EQ(Text("SUBSTR('HELLO',1,1/0)"), "HELLO");
    EXPECT_EQ(Text("SUBSTR('HELLO',0/0,0/0)"), "");
    EXPECT_EQ(Text("STR(3.14159,6,2)"), "  3.14");
    EXPECT_EQ(Text("STR(-0.5,5,1)"), " -0.5");
    EXPECT_EQ(Text("STR(12345,3)"), "***");
    EXPECT_EQ(Text("STR(1,-4)"), "");
    EXPECT_EQ(Text("STR(2.5,4.9,1.9)"), " 2.5");
    EXPECT_EQ(Text("STR(1,200)").size(), 128u); // width capped at 128
    EXPECT_EQ(Text("UPPER('abc xyz 09 \xE9')"), "ABC XYZ 09 \xE9");
    ASSERT_EQ(d4goto_record(3), 0);
    EXPECT_EQ(Text("UPPER(NAME)"), "CARLA" + std::string(15, ' '));
    EXPECT_EQ(Text("IIF(FLAG, CODE, NAME)"), "Q     ");
    ASSERT_EQ(d4goto_record(2), 0);
    EXPECT_EQ(Text("IIF(FLAG, CODE, NAME)"), "BRUNO" + std::string(15, ' '));
    EXPECT_DOUBLE_EQ(Number("IIF(FLAG, 1, 2)"), 2);
    EXPECT_FALSE(Logical("IIF(FLAG, .T., FLAG)"));
    EXPECT_EQ(Eval("IIF(.T., BIRTH, STOD('19700101'))"), "20000101");
    EXPECT_EQ(Text("NAME + IIF(.T., 'x', 'yy')"), "BRUNO" + std::string(15, ' ') + "x");
}

TEST_F(Evaluating, DatesAndTheirTexts) {
    EXPECT_EQ(Eval("CTOD('12/31/99')"), "19991231"); // century 19
    EXPECT_EQ(e4result_type(), 'D');
    EXPECT_EQ(Text("DTOC(STOD('20050704'))"), "07/04/05");
    EXPECT_EQ(Text("DTOS(CTOD(' 7/ 4/05'))"), "19050704");
    EXPECT_EQ(Text("DTOC(BIRTH)"), "03/15/85");
    EXPECT_EQ(Text("DTOS(BIRTH)"), "19850315");
    EXPECT_EQ(Text("DTOS(BIRTH+17)"), "19850401");
    EXPECT_DOUBLE_EQ(Number("DAY(BIRTH)"), 15);
    EXPECT_DOUBLE_EQ(Number("MONTH(BIRTH)"), 3);
    EXPECT_DOUBLE_EQ(Number("YEAR(BIRTH)"), 1985);
    EXPECT_DOUBLE_EQ(Number("YEAR(STOD('20050704'))"), 2005);
    EXPECT_DOUBLE_EQ(Number("STOD('20000101') - STOD('19991231')"), 1);
    int type = 0;
    std::string r = Eval("STOD('20000101')+0", &type);
    EXPECT_EQ(type, 'D');
    EXPECT_EQ(r, "20000101");
    char* p = Compile("STOD('20000101')");
    ASSERT_NE(e4vary(p), nullptr);
    double day = 0;
    std::memcpy(&day, e4work_buffer(), 8);
    EXPECT_EQ(day, 2451545);

    ASSERT_EQ(d4goto_record(3), 0); // blank date
    EXPECT_EQ(Text("DTOS(BIRTH)"), "        ");
    EXPECT_EQ(Text("DTOC(BIRTH)"), "  /  /  ");
    EXPECT_DOUBLE_EQ(Number("DAY(BIRTH)"), 0);
    EXPECT_DOUBLE_EQ(Number("YEAR(BIRTH)"), 0);
    EXPECT_EQ(Eval("BIRTH + 1"), "        "); // the empty date stays empty
    char* q = Compile("BIRTH+0");
    ASSERT_NE(e4vary(q), nullptr);
    std::memcpy(&day, e4work_buffer(), 8);
    EXPECT_EQ(day, 1.0E100);
}

TEST_F(Evaluating, IllegalDatesFailTheEvaluation) {
    for (const char* text : {"STOD('20051301')", "STOD('        ')", "STOD('')", "STOD('2005')",
                             "CTOD('  /  /  ')", "CTOD('13/01/99')", "CTOD('02/30/99')"}) {
        char* p = Compile(text);
        ASSERT_NE(p, nullptr) << text;
        e4set_last_error(0);
        EXPECT_EQ(e4vary(p), nullptr) << text;
        EXPECT_EQ(e4last_error(), 515) << text;
    }
    EXPECT_EQ(CompileError("STOD(1)"), 550);
    EXPECT_EQ(CompileError("DTOS(NAME)"), 550);
    EXPECT_EQ(CompileError("DAY(1)"), 550);
}

TEST_F(Evaluating, TodayAndNowFromTheLocalClock) {
    plat::LocalTime when{};
    when.year = 2005;
    when.month = 7;
    when.day = 4;
    when.hour = 13;
    when.minute = 5;
    when.second = 9;
    plat::SetTestLocalTime(when);
    EXPECT_EQ(Text("DTOS(DATE())"), "20050704");
    EXPECT_EQ(Text("TIME()"), "13:05:09");
    EXPECT_DOUBLE_EQ(Number("DATE() - STOD('20050701')"), 3);
    plat::ClearTestLocalTime();
}

TEST_F(Evaluating, RecordFunctionsUseTheExpressionsTable) {
    char* deleted = Compile("DELETED()");
    char* flag = Compile("DEL()");
    char* recno = Compile("RECNO()");
    char* count = Compile("RECCOUNT()");
    ASSERT_TRUE(deleted && flag && recno && count);
    ASSERT_EQ(d4goto_record(4), 0);
    // Another table selected: the functions still look at PEOPLE.
    WriteFile("OTHER.DBF", MakeTable({{"TITLE", 'C', 5, 0}}, {{false, {"boss"}}}));
    int other = d4open_table("OTHER");
    ASSERT_GE(other, 0);
    ASSERT_EQ(d4goto_record(1), 0);
    auto logical = [](char* p) {
        char* r = e4vary(p);
        return r ? e4get_word(r) : -1;
    };
    EXPECT_EQ(logical(deleted), 1);
    ASSERT_NE(e4vary(flag), nullptr);
    EXPECT_EQ(std::string(e4work_buffer(), 1), "*");
    ASSERT_NE(e4vary(recno), nullptr);
    EXPECT_EQ(e4get_double(e4work_buffer()), 4);
    ASSERT_NE(e4vary(count), nullptr);
    EXPECT_EQ(e4get_double(e4work_buffer()), 4);
    EXPECT_EQ(d4select_table(-1), other);

    d4select_table(people_);
    ASSERT_EQ(d4goto_record(2), 0);
    EXPECT_EQ(logical(deleted), 0);
    ASSERT_NE(e4vary(flag), nullptr);
    EXPECT_EQ(std::string(e4work_buffer(), 1), " ");
    EXPECT_TRUE(Logical("RECNO() = 2 .AND. .NOT. DELETED()"));
}

TEST_F(Evaluating, TablesClosedAfterCompilingAreNotLocated) {
    WriteFile("OTHER.DBF", MakeTable({{"TITLE", 'C', 5, 0}}, {{false, {"boss"}}}));
    int other = d4open_table("OTHER");
    ASSERT_GE(other, 0);
    char* field = Compile("TITLE");
    char* recno = Compile("RECNO()");
    ASSERT_TRUE(field && recno);
    ASSERT_EQ(d4close_table(), 0);
    e4set_last_error(0);
    EXPECT_EQ(e4vary(field), nullptr);
    EXPECT_EQ(e4last_error(), 500);
    e4set_last_error(0);
    EXPECT_EQ(e4vary(recno), nullptr);
    EXPECT_EQ(e4last_error(), 500);
}

TEST_F(Evaluating, ResultsMustFitTheWorkBuffer) {
    EXPECT_EQ(Text("NOTE").size(), 200u);
    EXPECT_EQ(Text("NOTE+NAME+CODE").size(), 226u);
    // 400 bytes of values do not fit 256.
    for (const char* text :
         {"NOTE+NOTE", "NOTE+STR(1,60)", "NOTE+SUBSTR(NOTE,1,10)", "NOTE+NAME+NAME+NAME"}) {
        char* p = Compile(text);
        ASSERT_NE(p, nullptr) << text;
        e4set_last_error(0);
        EXPECT_EQ(e4vary(p), nullptr) << text;
        EXPECT_EQ(e4last_error(), 540) << text;
    }
    // 255 bytes of result and its NUL fill the buffer exactly.
    EXPECT_EQ(Text("NOTE+NAME+CODE+STR(1,29,0)").size(), 255u);
    char* p = Compile("NOTE+NAME+CODE+STR(1,30,0)");
    ASSERT_NE(p, nullptr);
    e4set_last_error(0);
    EXPECT_EQ(e4vary(p), nullptr);
    EXPECT_EQ(e4last_error(), 540);
}

TEST_F(Evaluating, FieldValuesByType) {
    // A numeric field as text gets its point even where the file has none.
    WriteFile("ODD.DBF",
              MakeTable({{"N", 'N', 6, 2}, {"F", 'F', 4, 0}, {"M", 'M', 10, 0}, {"D", 'D', 8, 0}},
                        {{false, {"123456", "12", "0000000001", "bad!"}}}));
    ASSERT_GE(d4open_table("ODD"), 0);
    ASSERT_EQ(d4goto_record(1), 0);
    char* p = Compile("N");
    ASSERT_NE(e4vary(p), nullptr);
    EXPECT_EQ(std::string(e4work_buffer(), 6), "123.56");
    EXPECT_DOUBLE_EQ(Number("F+1"), 13);
    EXPECT_EQ(Text("M"), "0000000001"); // other types are opaque text
    EXPECT_DOUBLE_EQ(Number("D-D"), 0); // not a date: day number 0
    EXPECT_EQ(Text("DTOS(D)"), "bad!    ");
}

} // namespace
} // namespace exprtest
