#include "Core/AppSettings.h"

#include <QDir>
#include <QSettings>
#include <QStandardPaths>

#include <cstdlib>

#include "Core/DiscPlan.h"
#include "Core/Product.h"
#include "Platform/FileUtils.h"

namespace qm {

namespace {

constexpr const char* Group = "Configuration";

QSettings OpenStore() {
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, product::Maker, product::Name);
}

// Each stored word as the command line takes it; anything else keeps the default.
void LoadTrackChoices(const QSettings& AStore, TTrackChoices& AChoices) {
    const std::pair<const char*, const char*> keys[] = {{"SoundFormat", "--audio"}, {"SoundTracks", "--audio-tracks"}};
    for (const auto& [key, option] : keys) {
        std::string ignored;
        ParseTrackOption(option, AStore.value(key).toString().toStdString(), AChoices, ignored);
    }
}

} // namespace

bool HasHomeFolder() {
    const char* home = std::getenv("HOME");
    return home && *home && std::string(home) != "/";
}

std::string DefaultOutPath() {
    // Without a home (cron, a service) the desktop would be /Desktop at the root.
    QString desktop = HasHomeFolder() ? QStandardPaths::writableLocation(QStandardPaths::DesktopLocation)
                                      : QDir::currentPath();
    if (desktop.isEmpty())
        desktop = QDir::homePath();
    return IncludeTrailingSlash(desktop.toStdString()) + product::Name + "/";
}

TAppSettings LoadSettings() {
    TAppSettings s;
    QSettings store = OpenStore();
    if (store.status() != QSettings::NoError)
        return s;
    store.beginGroup(Group);
    const std::string out = store.value("OutPath").toString().toStdString();
    s.OutPath = out.empty() ? DefaultOutPath() : out;
    s.OpenFolder = store.value("OpenFolder").toString() != "0";
    s.MusicPlay = store.value("MusicPlay").toString() != "0";
    // Off unless switched on: the floating preview is an extra, not the first-run view.
    s.ShowPreview = store.value("ShowPreview").toString() == "1";
    if (!ParseChapterMinutes(store.value("ChapterMinutes").toString().toStdString(), s.ChapterMinutes))
        s.ChapterMinutes = DefaultChapterMinutes;
    s.TitleMenu = store.value("TitleMenu").toString() == "1";
    const std::string size = store.value("DiscSize").toString().toStdString();
    int64_t bytes = 0;
    s.DiscSize = ParseDiscSize(size, bytes) ? DiscSizeName(bytes) : "dvd5";
    s.FitToDisc = store.value("FitToDisc").toString() == "1";
    s.DiscImage = store.value("DiscOutput").toString() == "iso";
    s.VolumeLabel = store.value("VolumeLabel").toString().toStdString();
    LoadTrackChoices(store, s.Tracks);
    store.endGroup();
    return s;
}

void SaveSettings(const TAppSettings& ASettings) {
    QSettings store = OpenStore();
    if (store.status() != QSettings::NoError)
        return;
    store.beginGroup(Group);
    store.setValue("OutPath", QString::fromStdString(ASettings.OutPath));
    store.setValue("OpenFolder", ASettings.OpenFolder ? "1" : "0");
    store.setValue("MusicPlay", ASettings.MusicPlay ? "1" : "0");
    store.setValue("ShowPreview", ASettings.ShowPreview ? "1" : "0");
    store.setValue("ChapterMinutes", QString::fromStdString(ChapterMinutesText(ASettings.ChapterMinutes)));
    store.setValue("TitleMenu", ASettings.TitleMenu ? "1" : "0");
    store.setValue("DiscSize", QString::fromStdString(ASettings.DiscSize));
    store.setValue("FitToDisc", ASettings.FitToDisc ? "1" : "0");
    store.setValue("DiscOutput", ASettings.DiscImage ? "iso" : "folder");
    store.setValue("VolumeLabel", QString::fromStdString(ASettings.VolumeLabel));
    store.setValue("SoundFormat", QString::fromStdString(ASettings.Tracks.SoundFormat));
    store.setValue("SoundTracks", ASettings.Tracks.AllSoundTracks ? "all" : "first");
    store.endGroup();
    store.sync();
}

} // namespace qm
