// Numbers as text, the same in every locale: a full stop before the decimals, no grouping.
// A desktop toolkit sets the C library's number format from the user's locale (a comma in
// German); everything the program reads or writes as a number goes through these instead
// of strtod, std::stod or printf's %f.
#pragma once

#include <cstdarg>
#include <string>
#include <string_view>

namespace qm {

// The whole text (blanks around it allowed) as a plain decimal number: an optional sign,
// digits with an optional '.' and decimals, an optional exponent. False for anything else,
// for infinities and NaN, and for a value beyond the range of a double.
bool ParseDecimal(std::string_view AText, double& AValue);

// printf's formatting in the C locale, whatever locale the process or the thread is in.
std::string FormatC(const char* AFormat, ...) __attribute__((format(printf, 1, 2)));
std::string VFormatC(const char* AFormat, va_list AArgs);

// Puts the C library's number format of the whole process back to "C" (after the toolkit
// took the user's), so that the media libraries' own parsing of option texts such as
// "qcomp=0.6" reads a full stop too. Messages, dates and character sets keep the locale.
void KeepCNumericLocale();

} // namespace qm
