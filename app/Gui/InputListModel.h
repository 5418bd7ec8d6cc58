// The input list as the list view shows it: one row per file with its icon, "Total Time" (with
// the trimmed part in its tooltip), "File Size" and the "Title" its menu button shows. The records and the add and remove rules are the batch's (Core/InputList.h).
#pragma once

#include <QAbstractTableModel>
#include <QFileIconProvider>
#include <QHash>
#include <QIcon>

#include "Core/InputList.h"

namespace qm {

class TInputListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum TColumn { colInputFile, colTotalTime, colFileSize, colTitle, ColumnCount };

    explicit TInputListModel(QObject* AParent = nullptr);

    int rowCount(const QModelIndex& AParent = {}) const override;
    int columnCount(const QModelIndex& AParent = {}) const override;
    QVariant data(const QModelIndex& AIndex, int ARole) const override;
    QVariant headerData(int ASection, Qt::Orientation AOrientation, int ARole) const override;
    // The title's name is edited in place; the other columns are read-only.
    Qt::ItemFlags flags(const QModelIndex& AIndex) const override;
    bool setData(const QModelIndex& AIndex, const QVariant& AValue, int ARole) override;

    // Appends the readable files that are not listed yet (each probed once); returns the
    // message naming the files that could not be read, "" when there are none.
    std::string Add(const std::vector<std::string>& ANames, TCustomAVProbe& AProbe);
    // Deletes the selected rows (the last row when none is selected); returns the row to
    // select afterwards, -1 when the list is empty.
    int Remove(const std::vector<int>& ASelected);
    void Clear();
    // The part of the row's file to convert; the "Total Time" tooltip shows it.
    void SetTrim(int ARow, int64_t AStartMs, int32_t ALengthMs);
    // The name the title menu shows for the row; blank gives back the file's own name.
    void SetTitleName(int ARow, const QString& AName);
    const std::vector<rInputStreamInfo>& Items() const { return FList.Items(); }

private:
    QIcon IconFor(const QString& AFileName) const;

    TInputList FList;
    QFileIconProvider FIconProvider;
    mutable QHash<QString, QIcon> FIcons; // by extension
};

} // namespace qm
