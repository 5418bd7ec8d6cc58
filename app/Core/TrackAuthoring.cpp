#include "Core/TrackAuthoring.h"

#include <QDomDocument>

#include "Core/SoundTracks.h"

namespace qm {

TDiscStreams DiscStreams(const std::vector<TSoundPlan>& ATitles, const std::string& AAudioFormat) {
    TDiscStreams d;
    d.AudioFormat = AAudioFormat;
    for (const auto& title : ATitles)
        for (size_t k = 0; k < title.Tracks.size(); ++k) {
            if (d.AudioLanguages.size() <= k)
                d.AudioLanguages.resize(k + 1);
            if (d.AudioLanguages[k].empty())
                d.AudioLanguages[k] = title.Tracks[k].Language;
        }
    return d;
}

void DeclareTitleStreams(QDomDocument& ADoc, const TDiscStreams& AStreams) {
    QDomElement titles = ADoc.documentElement().firstChildElement("titleset").firstChildElement("titles");
    if (titles.isNull() || AStreams.AudioFormat.empty())
        return;
    const QDomElement firstTitle = titles.firstChildElement("pgc");
    auto declare = [&](const char* AKind, const std::string& ALanguage, const std::string& AFormat) {
        QDomElement e = ADoc.createElement(AKind);
        if (!AFormat.empty())
            e.setAttribute("format", QString::fromStdString(AFormat));
        if (!ALanguage.empty())
            e.setAttribute("lang", QString::fromStdString(ALanguage));
        titles.insertBefore(e, firstTitle);
    };
    for (const auto& language : AStreams.AudioLanguages)
        declare("audio", language, AStreams.AudioFormat);
    for (const auto& language : AStreams.SubpictureLanguages)
        declare("subpicture", language, {});
}

} // namespace qm
