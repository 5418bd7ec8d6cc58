#include "Core/FileNames.h"

#include <sys/stat.h>

#include <QString>
#include <QStringList>

#include <algorithm>
#include <filesystem>

namespace qm {

namespace fs = std::filesystem;

namespace {

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool Exists(const std::string& APath) {
    struct stat st {};
    return ::lstat(APath.c_str(), &st) == 0;
}

// The one entry of AFolder whose name shows as AShown; "" when none does, or more than one.
std::string EntryShownAs(const std::string& AFolder, const QString& AShown) {
    std::error_code ec;
    std::string found;
    for (const auto& entry : fs::directory_iterator(AFolder.empty() ? "/" : AFolder, ec)) {
        const std::string name = entry.path().filename().string();
        if (QString::fromStdString(name) != AShown)
            continue;
        if (!found.empty())
            return {};
        found = name;
    }
    return found;
}

} // namespace

bool IsValidUtf8(const std::string& AText) { return QString::fromStdString(AText).toStdString() == AText; }

std::string AbsoluteFileName(const std::string& AName) {
    std::error_code ec;
    const fs::path absolute = fs::absolute(AName, ec);
    return (ec ? fs::path(AName) : absolute).lexically_normal().string();
}

bool SameFileName(const std::string& A, const std::string& B) {
    if (IsValidUtf8(A) && IsValidUtf8(B))
        return QString::fromStdString(A).compare(QString::fromStdString(B), Qt::CaseInsensitive) == 0;
    return A.size() == B.size() &&
           std::equal(A.begin(), A.end(), B.begin(), [](char a, char b) { return AsciiLower(a) == AsciiLower(b); });
}

std::string FileNameOnDisk(const QString& AName) {
    const std::string utf8 = AName.toStdString();
    if (Exists(utf8) || !AName.startsWith('/'))
        return utf8;
    std::string path;
    for (const QString& part : AName.split('/', Qt::SkipEmptyParts)) {
        std::string name = part.toStdString();
        if (!Exists(path + "/" + name))
            name = EntryShownAs(path, part);
        if (name.empty())
            return utf8;
        path += "/" + name;
    }
    return AName.endsWith('/') ? path + "/" : path;
}

} // namespace qm
