// The signed tail of an update document: strict lines, a real calendar time, the raw signature.
#include "info/signed_tail.h"

#include "info/update_info.h"

namespace {

constexpr u64 UtcTimeLength = 20;  // "2027-01-09T00:00:00Z"
constexpr u64 SignatureDigits = 128;

// The value of count decimal digits at text, or -1 when one is not a digit.
i64 Digits(const char* text, u32 count) {
    i64 value = 0;
    for (u32 i = 0; i < count; ++i) {
        const u8 c = static_cast<u8>(text[i]);
        if (c < '0' || c > '9') return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

bool IsLeapYear(i64 year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// Days from 1970-01-01 to the date, for the proleptic Gregorian calendar
// (March-based years, so the leap day ends a year).
i64 DaysSince1970(i64 year, i64 month, i64 day) {
    year -= month <= 2 ? 1 : 0;
    const i64 era = (year >= 0 ? year : year - 399) / 400;
    const i64 yearOfEra = year - era * 400;
    const i64 dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const i64 dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

}  // namespace

bool ParseUtcTime(const char* text, u64 length, i64* seconds) {
    *seconds = 0;
    if (length != UtcTimeLength) return false;
    // Separators at their places; every other byte a digit.
    const char form[] = "dddd-dd-ddTdd:dd:ddZ";
    for (u64 i = 0; i < UtcTimeLength; ++i) {
        if (form[i] != 'd' && text[i] != form[i]) return false;
    }
    const i64 year = Digits(text, 4);
    const i64 month = Digits(text + 5, 2);
    const i64 day = Digits(text + 8, 2);
    const i64 hour = Digits(text + 11, 2);
    const i64 minute = Digits(text + 14, 2);
    const i64 second = Digits(text + 17, 2);
    if (year < 0 || month < 1 || month > 12 || day < 1 || hour < 0 || hour > 23 || minute < 0 ||
        minute > 59 || second < 0 || second > 59) {
        return false;
    }
    const char monthDays[] = "\37\34\37\36\37\36\37\37\36\37\36\37";
    const i64 days = monthDays[month - 1] + (month == 2 && IsLeapYear(year) ? 1 : 0);
    if (day > days) return false;
    *seconds = DaysSince1970(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
    return true;
}

bool ParseSignedTail(const char* text, u64 length, u64 tailStart, SignedTail* out) {
    *out = SignedTail{};
    TextSpan value = {0, 0};
    const u64 signatureLine = ReadKeyLine(text, length, tailStart, "expires", 7, &value);
    if (signatureLine == NoLine ||
        !ParseUtcTime(text + value.start, value.end - value.start, &out->expires)) {
        return false;
    }
    out->signedLength = signatureLine;
    const u64 end = ReadKeyLine(text, length, signatureLine, "signature", 9, &value);
    // The signature line ends the document; r and s are each a digest's worth of digits.
    return end == length && value.end - value.start == SignatureDigits &&
           DecodeSha256Hex(text + value.start, 64, out->signature) &&
           DecodeSha256Hex(text + value.start + 64, 64, out->signature + 32);
}
