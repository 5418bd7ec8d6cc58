// Language tags of media files as a DVD names languages.
#pragma once

#include <string>

namespace qm {

// The two-letter ISO 639-1 code of a language tag as files carry it: three letters of
// ISO 639-2 (either the bibliographic "fre" or the terminology "fra"), two letters
// already, or a tag with a region ("en-US", "pt_BR"); letter case ignored. "" for a tag
// that names no language with a two-letter code ("und", "mis", "" ...).
std::string TwoLetterLanguage(const std::string& ATag);

} // namespace qm
