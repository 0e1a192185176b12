// Conversions of the values that terminals send for logical and date
// fields: which texts a field takes, and in what form.
#include "manager/requests/record_requests.h"

#include <cctype>

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
