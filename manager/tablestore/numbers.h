// The two conversions the whole store shares: number-to-text (numeric
// fields, numeric index keys, STR) and Julian day numbers (date fields, date
// keys, date arithmetic in expressions).
#pragma once

#include <cstdint>

// The number that stands for the empty date.
inline constexpr double n4empty_date = 1.0E100;

// Day numbers that convert back to a date: 0000-12-31 .. 9999-12-31.
inline constexpr std::int32_t n4first_day = 1721425;
inline constexpr std::int32_t n4last_day = 5373484;

// Writes value as decimal text of width w (capped at 128; w <= 0 writes
// nothing) with d decimals into out, which must hold w bytes (no NUL is
// added): right-aligned, blank-filled, a leading zero before the point for
// values below 1, w asterisks when the digits or the sign do not fit.
// With d >= 1, d is capped at 15 and at w - 1 and the point sits at
// w - d - 1. NaN and infinities give asterisks. Returns the width written.
int n4number_text(double value, int w, int d, char* out);

// Reads the first (at most 49) characters of text[0 .. length) as a decimal
// number: leading blanks skipped, an optional sign, digits, a point, digits,
// an exponent; conversion stops at the first character that cannot continue
// the number; no digits give 0.
double n4text_number(const char* text, int length);

// Day number of a calendar date (no range check on the arguments beyond
// what the formula needs; month 1-12, day 1-31 expected).
std::int32_t n4day_number(int year, int month, int day);

// True for a Gregorian leap year.
bool n4leap_year(int year);

// Parses 8 characters "CCYYMMDD" into *day. Returns 0 for a valid date,
// 1 for the empty date (8 characters whose year part reads 0, for example
// blanks; *day = n4empty_date), -1 for an invalid date (*day unchanged).
int n4parse_date(const char* text, double* day);

// The value of a date field: its day number, n4empty_date for the empty
// date, and 0 for text that is neither (0 converts back to 8 blanks).
double n4date_number(const char* text);

// Writes the date of day number n as 8 characters "CCYYMMDD" into out (no
// NUL); numbers below 1721425 or above 5373484 (and NaN) give 8 blanks.
void n4date_text(double n, char* out);
