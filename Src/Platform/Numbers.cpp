#include "Platform/Numbers.h"

#include <clocale>
#include <cmath>
#include <locale.h>

#include <charconv>

namespace qm {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string_view TrimBlanks(std::string_view AText) {
    while (!AText.empty() && IsBlank(AText.front()))
        AText.remove_prefix(1);
    while (!AText.empty() && IsBlank(AText.back()))
        AText.remove_suffix(1);
    return AText;
}

// Length of the plain decimal syntax at the start of AText; 0 when there is none.
size_t DecimalLength(std::string_view AText) {
    size_t i = 0, digits = 0;
    if (i < AText.size() && (AText[i] == '+' || AText[i] == '-'))
        ++i;
    for (; i < AText.size() && IsDigit(AText[i]); ++i)
        ++digits;
    if (i < AText.size() && AText[i] == '.')
        for (++i; i < AText.size() && IsDigit(AText[i]); ++i)
            ++digits;
    if (digits == 0)
        return 0;
    if (i < AText.size() && (AText[i] == 'e' || AText[i] == 'E')) {
        size_t j = i + 1, expDigits = 0;
        if (j < AText.size() && (AText[j] == '+' || AText[j] == '-'))
            ++j;
        for (; j < AText.size() && IsDigit(AText[j]); ++j)
            ++expDigits;
        if (expDigits == 0)
            return 0;
        i = j;
    }
    return i;
}

// The "C" locale, made once for the process.
locale_t CLocale() {
    static const locale_t c = ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return c;
}

} // namespace

bool ParseDecimal(std::string_view AText, double& AValue) {
    std::string_view text = TrimBlanks(AText);
    if (text.empty() || DecimalLength(text) != text.size())
        return false;
    if (text.front() == '+')
        text.remove_prefix(1); // from_chars takes no plus sign
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value))
        return false;
    AValue = value;
    return true;
}

std::string VFormatC(const char* AFormat, va_list AArgs) {
    const locale_t previous = ::uselocale(CLocale());
    va_list copy;
    va_copy(copy, AArgs);
    const int n = std::vsnprintf(nullptr, 0, AFormat, copy);
    va_end(copy);
    std::string out;
    if (n > 0) {
        out.resize(static_cast<size_t>(n));
        std::vsnprintf(out.data(), out.size() + 1, AFormat, AArgs);
    }
    ::uselocale(previous);
    return out;
}

std::string FormatC(const char* AFormat, ...) {
    va_list args;
    va_start(args, AFormat);
    std::string out = VFormatC(AFormat, args);
    va_end(args);
    return out;
}

void KeepCNumericLocale() { std::setlocale(LC_NUMERIC, "C"); }

} // namespace qm
