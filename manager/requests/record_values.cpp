// Conversions of the values that terminals send, by the field's type: which
// texts a field takes, and in what form (dbftool's append and import store
// their values through the same routine).
#include "manager/requests/record_requests.h"

#include "manager/requests/table_requests.h"
#include "manager/tablestore/fields.h"

#include <cctype>

bool StoreFieldValue(int ref, const char* value) {
    switch (f4field_type(ref)) {
    case 'C':
    case 'M':
        f4put_text(ref, value); // cut at the width or blank-padded
        return true;
    case 'N':
    case 'F': f4put_number(ref, RequestReal(value)); return true;
    case 'L':
        if (const char c = LogicalValue(value); c != 0) f4put_char(ref, c);
        return true; // another letter leaves the field as it is
    case 'D': {
        char date[f4text_size];
        if (DateValue(value, date, sizeof date)) f4put_text(ref, date);
        return true; // a value that is no date leaves the field as it is
    }
    default: return false;
    }
}

char LogicalValue(const char* value) {
    const int c = std::toupper(static_cast<unsigned char>(value[0]));
    if (c == 'T' || c == 'Y') return 'T';
    if (c == 'F' || c == 'N') return 'F';
    return 0;
}

bool DateValue(const char* value, char* out, int out_size) {
    if (out_size < 1) return false;
    char digits[8];
    for (int i = 0; i < 8; ++i) {
        const char c = value[i]; // a shorter text meets its NUL here and fails
        if (c == ' ') {
            digits[i] = '0';
        } else if (c >= '0' && c <= '9') {
            digits[i] = c;
        } else {
            return false;
        }
    }
    const int month = (digits[4] - '0') * 10 + (digits[5] - '0');
    const int day = (digits[6] - '0') * 10 + (digits[7] - '0');
    if (month > 12 || day > 31) return false;
    int n = 0;
    for (; n < out_size - 1 && value[n] != '\0'; ++n) out[n] = n < 8 ? digits[n] : value[n];
    out[n] = '\0';
    return true;
}
