#pragma once

#include <QAbstractTableModel>
#include <QHash>
#include <QList>
#include <QString>

/// The upload list: the ordered local files that the upload run sends, shown
/// by the main window's lvFiles. Columns "№", "Файл", "Статус"; the done mark
/// is kept in the item, not shown. Each item has an id that never changes
/// while the process runs, so the upload run can address an item even when
/// rows before it are deleted.
class UploadList : public QAbstractTableModel
{
    Q_OBJECT
public:
    enum Column
    {
        NumberColumn = 0,
        PathColumn = 1,
        StatusColumn = 2,
        ColumnCount = 3
    };
    enum Role
    {
        IdRole = Qt::UserRole + 1,
        DoneRole
    };

    struct Item
    {
        quint64 id = 0;
        QString path;
        QString status;
        bool done = false;
    };

    explicit UploadList(QObject *parent = nullptr);

    /// Appends path unless it is listed already (compared without regard to
    /// letter case). Returns the new row, or -1 when it was present.
    int addFile(const QString &path);
    /// Appends many paths at once (one model reset instead of one per row);
    /// returns how many were new.
    int addFiles(const QStringList &paths);

    /// Replaces the list by paths, duplicates and empty lines included.
    void setPaths(const QStringList &paths);
    QStringList paths() const;
    void clear();

    /// Removes the given rows (any order, duplicates allowed).
    void removeRowsAt(QList<int> rows);

    int count() const { return int(m_items.size()); }
    const Item &at(int row) const { return m_items.at(row); }
    /// Row of the item with this id, or -1 when it was deleted.
    int rowOf(quint64 id) const;

    void setStatus(int row, const QString &status);
    void setDone(int row, bool done);
    /// Whether a path is listed, compared without regard to letter case.
    bool containsPath(const QString &path) const;

    // QAbstractTableModel
    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    /// The key under which paths are compared without regard to case.
    static QString foldKey(const QString &path);

private:
    void rebuildIndex();

    QList<Item> m_items;
    QHash<QString, int> m_keyCount; // folded path -> how many items carry it
    mutable QHash<quint64, int> m_rowById;
    mutable bool m_rowIndexValid = true;
    quint64 m_nextId = 1;
};
