#include "Core/NumberText.h"

#include <charconv>

namespace qm {

std::string FixedText(double AValue, int ADecimals) {
    char text[64];
    const auto [end, error] = std::to_chars(text, text + sizeof text, AValue, std::chars_format::fixed, ADecimals);
    return error == std::errc() ? std::string(text, end) : std::string("?");
}

} // namespace qm
