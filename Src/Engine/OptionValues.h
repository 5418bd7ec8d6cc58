// Conversion of option values from text, with the messages the option table reports.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

extern "C" {
#include <libavutil/rational.h>
}

namespace qm {

// A value that is not a number of the expected kind. Not an FFmpegException: it travels
// the same way, but callers can tell a conversion error from an engine error.
class EConvertError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// A failed check of a caller's argument (the four-character codes).
class EAssertionFailed : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

// False exactly for "0".
bool ParseFlag(const std::string& text);
// Optional leading blanks, optional sign, then decimal digits or hexadecimal digits after
// "$", "x", "X", "0x" or "0X"; nothing may follow. "'%s' is not a valid integer value".
int32_t ParseInt32(const std::string& text);
int64_t ParseInt64(const std::string& text);
// A decimal number with a full stop whatever the locale, blanks around it allowed.
// "'%s' is not a valid floating point value".
double ParseFloat(const std::string& text);
// A frame rate: "29.97", "25", "30000/1001" or "24000:1001", read the same in every locale,
// or one of the library's names ("ntsc", "pal", "film" ...). False for anything else and
// for a rate that is not above 0.
bool ParseVideoRate(const std::string& text, AVRational& rate);
// Duration or date through the format library; microseconds.
// A text that is no duration (or date) throws FFmpegException naming the option and the text.
int64_t ParseTime(const std::string& optionName, const std::string& text, bool isDuration);

// The C library's integer reading: base prefixes (0x hexadecimal, leading 0 octal), as far
// as the digits go; `pos` moves past what was read. No digits read as 0.
long ReadPrefixedInt(const std::string& text, size_t& pos);

std::string Trim(const std::string& text);

} // namespace qm
