#include "OptionValues.h"

#include <cctype>
#include <cstdlib>
#include <limits>

#include "Engine/FFmpegException.h"
#include "Loader/MediaEntries.h"
#include "Platform/Numbers.h"

namespace qm {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

// Reads the integer syntax of the option table into an unsigned magnitude with a sign.
bool ReadStrictInteger(const std::string& text, bool& negative, uint64_t& magnitude) {
    size_t i = 0;
    while (i < text.size() && IsBlank(text[i]))
        ++i;
    negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    int base = 10;
    if (i < text.size() && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
        base = 16;
        ++i;
    } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= text.size())
        return false;
    magnitude = 0;
    for (; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        int digit;
        if (std::isdigit(c))
            digit = c - '0';
        else if (base == 16 && std::isxdigit(c))
            digit = std::tolower(c) - 'a' + 10;
        else
            return false;
        if (magnitude > (std::numeric_limits<uint64_t>::max() - digit) / base)
            return false;
        magnitude = magnitude * base + digit;
    }
    return true;
}

[[noreturn]] void ThrowNotInteger(const std::string& text) {
    throw EConvertError("'" + text + "' is not a valid integer value");
}

} // namespace

bool ParseFlag(const std::string& text) { return text != "0"; }

int64_t ParseInt64(const std::string& text) {
    bool negative;
    uint64_t magnitude;
    if (!ReadStrictInteger(text, negative, magnitude))
        ThrowNotInteger(text);
    constexpr uint64_t maxPositive = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    if (negative) {
        if (magnitude > maxPositive + 1)
            ThrowNotInteger(text);
        return magnitude == maxPositive + 1 ? std::numeric_limits<int64_t>::min()
                                            : -static_cast<int64_t>(magnitude);
    }
    if (magnitude > maxPositive)
        ThrowNotInteger(text);
    return static_cast<int64_t>(magnitude);
}

int32_t ParseInt32(const std::string& text) {
    const int64_t value = ParseInt64(text);
    if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max())
        ThrowNotInteger(text);
    return static_cast<int32_t>(value);
}

double ParseFloat(const std::string& text) {
    // Only the plain decimal syntax, with a full stop in every locale: no hexadecimal
    // floats, infinities or NaN.
    double value = 0;
    if (!ParseDecimal(text, value))
        throw EConvertError("'" + text + "' is not a valid floating point value");
    return value;
}

bool ParseVideoRate(const std::string& text, AVRational& rate) {
    double value = 0;
    const size_t slash = text.find_first_of("/:");
    if (slash == std::string::npos) {
        // Only the names go to the library: its own number reading follows the locale.
        if (!ParseDecimal(text, value))
            return text.find_first_of("0123456789") == std::string::npos &&
                   ff::av_parse_video_rate(&rate, text.c_str()) >= 0;
    } else {
        double num = 0, den = 0;
        if (!ParseDecimal(text.substr(0, slash), num) || !ParseDecimal(text.substr(slash + 1), den) || den == 0)
            return false;
        value = num / den;
    }
    if (!(value > 0) || value > std::numeric_limits<int32_t>::max())
        return false;
    rate = ff::av_d2q(value, 1001000);
    return rate.num > 0 && rate.den > 0;
}

int64_t ParseTime(const std::string& optionName, const std::string& text, bool isDuration) {
    int64_t us = 0;
    if (ff::av_parse_time(&us, text.c_str(), isDuration ? 1 : 0) < 0)
        throw FFmpegException("Invalid " + std::string(isDuration ? "duration" : "date") +
                              " specification for " + optionName + ": " + text);
    return us;
}

long ReadPrefixedInt(const std::string& text, size_t& pos) {
    if (pos >= text.size())
        return 0;
    const char* start = text.c_str() + pos;
    char* end = nullptr;
    const long value = std::strtol(start, &end, 0);
    pos += static_cast<size_t>(end - start);
    return value;
}

std::string Trim(const std::string& text) {
    size_t b = 0, e = text.size();
    while (b < e && static_cast<unsigned char>(text[b]) <= ' ')
        ++b;
    while (e > b && static_cast<unsigned char>(text[e - 1]) <= ' ')
        --e;
    return text.substr(b, e - b);
}

} // namespace qm
