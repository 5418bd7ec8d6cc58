// Numbers as text the same way whatever the user's locale: '.' as the decimal point.
#pragma once

#include <string>

namespace qm {

// AValue with exactly ADecimals decimals: FixedText(4.699, 2) is "4.70".
std::string FixedText(double AValue, int ADecimals);

} // namespace qm
