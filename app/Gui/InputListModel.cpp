#include "Gui/InputListModel.h"

#include <QFileInfo>

#include "Core/Trim.h"

namespace qm {

TInputListModel::TInputListModel(QObject* AParent) : QAbstractTableModel(AParent) {}

int TInputListModel::rowCount(const QModelIndex& AParent) const {
    return AParent.isValid() ? 0 : static_cast<int>(FList.Items().size());
}

int TInputListModel::columnCount(const QModelIndex& AParent) const {
    return AParent.isValid() ? 0 : ColumnCount;
}

QVariant TInputListModel::data(const QModelIndex& AIndex, int ARole) const {
    if (!AIndex.isValid() || AIndex.row() >= rowCount())
        return {};
    const rInputStreamInfo& item = FList.Items()[static_cast<size_t>(AIndex.row())];
    switch (ARole) {
    case Qt::DisplayRole:
        switch (AIndex.column()) {
        case colInputFile:
            return QString::fromStdString(item.FileName);
        case colTotalTime:
            return QString::fromStdString(item.DurationText);
        case colFileSize:
            return QString::fromStdString(item.SizeText);
        case colTitle:
            return QString::fromStdString(item.MenuTitle());
        }
        break;
    case Qt::EditRole:
        if (AIndex.column() == colTitle)
            return QString::fromStdString(item.MenuTitle());
        break;
    case Qt::DecorationRole:
        if (AIndex.column() == colInputFile)
            return IconFor(QString::fromStdString(item.FileName));
        break;
    case Qt::ToolTipRole:
        if (AIndex.column() == colInputFile)
            return QString::fromStdString(item.FileName + "\n" + TracksText(item));
        if (AIndex.column() == colTitle)
            return QStringLiteral("The name of the title in the disc's menu; double-click to rename it");
        if (AIndex.column() == colTotalTime) {
            // What the batch will take of a trimmed file.
            const std::string trim = TrimRangeText(item);
            if (!trim.empty())
                return QString::fromStdString(trim);
        }
        break;
    case Qt::TextAlignmentRole:
        if (AIndex.column() == colFileSize)
            return int(Qt::AlignRight | Qt::AlignVCenter);
        return int(Qt::AlignLeft | Qt::AlignVCenter);
    }
    return {};
}

QVariant TInputListModel::headerData(int ASection, Qt::Orientation AOrientation, int ARole) const {
    if (AOrientation != Qt::Horizontal)
        return {};
    if (ARole == Qt::DisplayRole) {
        switch (ASection) {
        case colInputFile:
            return QStringLiteral("Input File");
        case colTotalTime:
            return QStringLiteral("Total Time");
        case colFileSize:
            return QStringLiteral("File Size");
        case colTitle:
            return QStringLiteral("Title");
        }
    }
    if (ARole == Qt::TextAlignmentRole)
        return int((ASection == colFileSize ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignVCenter);
    return {};
}

Qt::ItemFlags TInputListModel::flags(const QModelIndex& AIndex) const {
    Qt::ItemFlags f = QAbstractTableModel::flags(AIndex);
    if (AIndex.isValid() && AIndex.column() == colTitle)
        f |= Qt::ItemIsEditable;
    return f;
}

bool TInputListModel::setData(const QModelIndex& AIndex, const QVariant& AValue, int ARole) {
    if (ARole != Qt::EditRole || !AIndex.isValid() || AIndex.column() != colTitle || AIndex.row() >= rowCount())
        return false;
    SetTitleName(AIndex.row(), AValue.toString());
    return true;
}

void TInputListModel::SetTitleName(int ARow, const QString& AName) {
    if (ARow < 0 || ARow >= rowCount())
        return;
    rInputStreamInfo& item = FList.Items()[static_cast<size_t>(ARow)];
    // Line breaks have no place on a button.
    const std::string name = AName.simplified().toStdString();
    item.TitleName.clear();
    if (name != item.MenuTitle())
        item.TitleName = name;
    emit dataChanged(index(ARow, colTitle), index(ARow, colTitle));
}

std::string TInputListModel::Add(const std::vector<std::string>& ANames, TCustomAVProbe& AProbe) {
    // The rows are added to a copy first: the view must hear of them before the model has them.
    TInputList grown = FList;
    const std::string message = grown.Add(ANames, AProbe);
    const int before = rowCount(), after = static_cast<int>(grown.Items().size());
    if (after > before) {
        beginInsertRows({}, before, after - 1);
        FList = std::move(grown);
        endInsertRows();
    }
    return message;
}

int TInputListModel::Remove(const std::vector<int>& ASelected) {
    const std::vector<int> rows = RowsToRemove(ASelected, rowCount());
    auto& items = FList.Items();
    for (int row : rows) {
        beginRemoveRows({}, row, row);
        items.erase(items.begin() + row);
        endRemoveRows();
    }
    return rows.empty() ? -1 : RowAfterRemove(rows.back(), rowCount());
}

void TInputListModel::SetTrim(int ARow, int64_t AStartMs, int32_t ALengthMs) {
    if (ARow < 0 || ARow >= rowCount())
        return;
    rInputStreamInfo& item = FList.Items()[static_cast<size_t>(ARow)];
    item.TrimStart = AStartMs;
    item.TrimLength = ALengthMs;
    const QModelIndex cell = index(ARow, colTotalTime);
    emit dataChanged(cell, cell, {Qt::ToolTipRole});
}

void TInputListModel::Clear() {
    if (FList.Items().empty())
        return;
    beginResetModel();
    FList.Items().clear();
    endResetModel();
}

QIcon TInputListModel::IconFor(const QString& AFileName) const {
    // By the extension alone, as for any file of that kind.
    const QString suffix = QFileInfo(AFileName).suffix().toLower();
    auto found = FIcons.constFind(suffix);
    if (found != FIcons.constEnd())
        return *found;
    QIcon icon = FIconProvider.icon(QFileInfo(QStringLiteral("file.") + suffix));
    if (icon.isNull())
        icon = FIconProvider.icon(QAbstractFileIconProvider::File);
    FIcons.insert(suffix, icon);
    return icon;
}

} // namespace qm
