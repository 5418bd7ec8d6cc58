// The sound and subpicture streams of the disc's titles in the authoring description, so
// that a player's language menus name them.
#pragma once

#include <string>
#include <vector>

class QDomDocument;

namespace qm {

struct TSoundPlan;

struct TDiscStreams {
    std::string AudioFormat; // "mp2", "ac3", "pcm"; "" declares nothing
    // By stream number within a title: the two-letter language, "" when unknown.
    std::vector<std::string> AudioLanguages;
    std::vector<std::string> SubpictureLanguages;
};

// The titles share one declaration: stream k takes the language of the first title whose
// stream k has one.
TDiscStreams DiscStreams(const std::vector<TSoundPlan>& ATitles, const std::string& AAudioFormat);
// "<audio format=… lang=…/>" for each sound stream and "<subpicture lang=…/>" for each
// subpicture stream, under titleset/titles before its first pgc.
void DeclareTitleStreams(QDomDocument& ADoc, const TDiscStreams& AStreams);

} // namespace qm
