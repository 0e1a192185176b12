// Number-to-text conversion, decimal text reading and Julian day numbers.
#include "manager/tablestore/numbers.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace {

// Writes the non-negative value v rounded to d digits after the point into
// out as "III.FFF" ("III" when d is 0) and returns its length, or -1.
//
// A value exactly half-way between two results rounds away from zero, as
// people and other programs on these files round: 2.5 with no decimals is
// "3", 0.125 with two is "0.13". (The standard conversions would give the
// even neighbour, "2" and "0.12".) The digits are first taken with one
// decimal more; only when that digit is a 5 can the value be a tie, and then
// 60 decimals show whether it is one: a double that is not exactly half-way
// differs from the half-way decimal within the first 2d + 20 decimals.
int rounded_digits(double v, int d, char* out, std::size_t size) {
    char wide[420];
    auto converted = std::to_chars(wide, wide + sizeof wide, v, std::chars_format::fixed, d + 1);
    if (converted.ec != std::errc()) return -1;
    if (converted.ptr[-1] == '5') {
        converted = std::to_chars(wide, wide + sizeof wide, v, std::chars_format::fixed, 60);
        if (converted.ec != std::errc()) return -1;
    }
    const char* point = static_cast<const char*>(std::memchr(wide, '.', converted.ptr - wide));
    if (point == nullptr) return -1;
    const bool up = point[d + 1] >= '5';

    // Copy up to the d-th decimal after one spare leading digit for a carry.
    const int kept = static_cast<int>(point - wide) + (d > 0 ? d + 1 : 0);
    if (kept < 1 || kept + 2 > static_cast<int>(size)) return -1;
    out[0] = '0';
    std::memcpy(out + 1, wide, static_cast<std::size_t>(kept));
    if (up)
        for (int i = kept; i >= 0; --i) {
            if (out[i] == '.') continue;
            if (out[i] != '9') {
                ++out[i];
                break;
            }
            out[i] = '0';
        }
    // Drop the spare digit unless the carry reached it.
    if (out[0] == '0') {
        std::memmove(out, out + 1, static_cast<std::size_t>(kept));
        return kept;
    }
    return kept + 1;
}

} // namespace

int n4number_text(double value, int w, int d, char* out) {
    if (w > 128) w = 128;
    if (w <= 0) return 0;
    std::memset(out, '0', static_cast<std::size_t>(w));

    // Where the point goes.
    int p = w;
    if (d >= 1) {
        if (d > 15) d = 15;
        if (d > w - 1) d = w - 1;
        p = w - d - 1;
        out[p] = '.';
    } else {
        d = 0;
    }

    if (!std::isfinite(value)) {
        std::memset(out, '*', static_cast<std::size_t>(w));
        return w;
    }
    const bool negative = value < 0;

    // The value rounded to d digits after the point: "III.FFF" (or "III").
    char digits[400];
    const int length = rounded_digits(std::fabs(value), d, digits, sizeof digits);
    if (length < 0) {
        std::memset(out, '*', static_cast<std::size_t>(w));
        return w;
    }
    const char* end = digits + length;
    const char* point = static_cast<const char*>(std::memchr(digits, '.', end - digits));
    const char* integer_end = point != nullptr ? point : end;
    const char* integer = digits;
    while (integer < integer_end && *integer == '0') ++integer; // no leading zeros
    const int k = static_cast<int>(integer_end - integer);      // digits before the point

    const bool sign_fits = k >= 1 ? p - k - 1 >= 0 : p >= 1;
    if (k > p || (negative && !sign_fits)) {
        std::memset(out, '*', static_cast<std::size_t>(w));
        return w;
    }

    // Integer digits end just before p, blanks in front; below 1 the
    // position before the point keeps its leading zero.
    const int first = p - (k >= 1 ? k : 1);
    for (int i = 0; i < first; ++i) out[i] = ' ';
    if (k >= 1) std::memcpy(out + first, integer, static_cast<std::size_t>(k));
    if (negative) out[k >= 1 ? first - 1 : (p == 1 ? 0 : p - 2)] = '-';

    // Fraction digits after the point.
    if (point != nullptr)
        for (int i = 0; i < d && point + 1 + i < end; ++i) out[p + 1 + i] = point[1 + i];
    return w;
}

double n4text_number(const char* text, int length) {
    if (text == nullptr || length <= 0) return 0;
    if (length > 49) length = 49;
    int i = 0;
    while (i < length && text[i] == ' ') ++i;

    // The longest prefix that reads as a decimal number.
    char number[64];
    int used = 0;
    if (i < length && (text[i] == '-' || text[i] == '+')) {
        if (text[i] == '-') number[used++] = '-';
        ++i;
    }
    int digit_count = 0;
    while (i < length && text[i] >= '0' && text[i] <= '9')
        number[used++] = text[i++], ++digit_count;
    if (i < length && text[i] == '.') {
        number[used++] = text[i++];
        while (i < length && text[i] >= '0' && text[i] <= '9')
            number[used++] = text[i++], ++digit_count;
    }
    if (digit_count == 0) return 0;
    if (i + 1 < length && (text[i] == 'e' || text[i] == 'E')) {
        int j = i + 1;
        if (j < length && (text[j] == '-' || text[j] == '+')) ++j;
        if (j < length && text[j] >= '0' && text[j] <= '9') {
            number[used++] = 'e';
            if (text[i + 1] == '-') number[used++] = '-';
            while (j < length && text[j] >= '0' && text[j] <= '9') number[used++] = text[j++];
        }
    }

    double value = 0;
    const auto result = std::from_chars(number, number + used, value, std::chars_format::general);
    if (result.ec == std::errc::result_out_of_range) {
        // from_chars leaves value as it was: decide between overflow and underflow
        // by the exponent's sign, as a C conversion would.
        const bool tiny = std::memchr(number, 'e', used) != nullptr &&
                          static_cast<const char*>(std::memchr(number, 'e', used))[1] == '-';
        const bool minus = number[0] == '-';
        value = tiny ? (minus ? -0.0 : 0.0) : (minus ? -HUGE_VAL : HUGE_VAL);
    }
    return value;
}

bool n4leap_year(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

namespace {

constexpr int kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

int month_length(int year, int month) {
    return month == 2 && n4leap_year(year) ? 29 : kMonthDays[month - 1];
}

// Floor division, so the formula holds for year 0 as well.
std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

std::int64_t days_before_year(std::int64_t year) {
    const std::int64_t y = year - 1;
    return y * 365 + floor_div(y, 4) - floor_div(y, 100) + floor_div(y, 400);
}

// A fixed-width part of a date read as a decimal integer: leading blanks,
// an optional sign, digits up to the first other character.
int part_number(const char* text, int length) {
    int i = 0;
    while (i < length && text[i] == ' ') ++i;
    bool minus = false;
    if (i < length && (text[i] == '-' || text[i] == '+')) minus = text[i++] == '-';
    int value = 0;
    while (i < length && text[i] >= '0' && text[i] <= '9') value = value * 10 + (text[i++] - '0');
    return minus ? -value : value;
}

void put_digits(char* out, int value, int width) {
    for (int i = width - 1; i >= 0; --i, value /= 10) out[i] = static_cast<char>('0' + value % 10);
}

} // namespace

std::int32_t n4day_number(int year, int month, int day) {
    if (month < 1) month = 1;
    if (month > 12) month = 12;
    std::int64_t day_of_year = day;
    for (int m = 1; m < month; ++m) day_of_year += month_length(year, m);
    return static_cast<std::int32_t>(days_before_year(year) + day_of_year + 1721425);
}

int n4parse_date(const char* text, double* day) {
    const int year = part_number(text, 4);
    if (year == 0) {
        *day = n4empty_date;
        return 1;
    }
    const int month = part_number(text + 4, 2);
    const int day_of_month = part_number(text + 6, 2);
    if (year < 0 || month < 1 || month > 12 || day_of_month < 1 ||
        day_of_month > month_length(year, month))
        return -1;
    *day = n4day_number(year, month, day_of_month);
    return 0;
}

double n4date_number(const char* text) {
    double day = 0;
    return n4parse_date(text, &day) < 0 ? 0 : day;
}

void n4date_text(double n, char* out) {
    if (!(n >= n4first_day && n <= n4last_day)) {
        std::memset(out, ' ', 8);
        return;
    }
    const std::int64_t day = static_cast<std::int64_t>(n);
    int year = static_cast<int>((day - 1721425) / 365.2425) + 1;
    while (year > 0 && days_before_year(year) + 1721425 >= day) --year;
    while (days_before_year(year + 1) + 1721425 < day) ++year;
    int day_of_year = static_cast<int>(day - days_before_year(year) - 1721425);
    int month = 1;
    while (month < 12 && day_of_year > month_length(year, month))
        day_of_year -= month_length(year, month++);
    put_digits(out, year, 4);
    put_digits(out + 4, month, 2);
    put_digits(out + 6, day_of_year, 2);
}
