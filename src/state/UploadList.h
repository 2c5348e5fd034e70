// SPDX-License-Identifier: GPL-3.0-or-later
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

    /// A path refused because another listed item has the same file name:
    /// both would go to one remote path, and the later would overwrite the
    /// earlier on the server.
    struct Clash
    {
        QString path;   // the path refused
        QString listed; // the listed path that carries its name; empty: the
                        // name holds a line break, which no FTP command carries
    };

    explicit UploadList(QObject *parent = nullptr);

    /// Appends path unless it is listed already (compared exactly, as Linux
    /// names files), another item carries its file name, or it holds a line
    /// break or NUL (for the last two *clash, when given, says so). Returns
    /// the new row, or -1.
    int addFile(const QString &path, Clash *clash = nullptr);
    /// Appends many paths at once (one row insertion instead of one per
    /// path), by the same rules; the name clashes and line breaks are
    /// appended to *clashes.
    /// Returns how many were new.
    int addFiles(const QStringList &paths, QList<Clash> *clashes = nullptr);

    /// Replaces the list by paths, duplicates, equal names and empty lines
    /// included: what Files.txt holds is never dropped.
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
    /// Whether a path is listed, compared exactly.
    bool containsPath(const QString &path) const;

    // QAbstractTableModel
    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    /// The name a path gets on the server: its last component.
    static QString remoteName(const QString &path);

private:
    enum class Admission
    {
        Accepted,
        Refused,    // listed already
        LineBreak,  // a line break or NUL: not storable in Files.txt, not sendable
        NameClashes // another item carries its file name
    };
    Admission admission(const QString &path, const QString &name) const;
    void noteListed(const QString &path, const QString &name);
    void rebuildIndex();

    QList<Item> m_items;
    QHash<QString, int> m_pathCount;      // path -> how many items carry it
    QHash<QString, QString> m_pathByName; // file name -> the first listed path with it
    mutable QHash<quint64, int> m_rowById;
    mutable bool m_rowIndexValid = true;
    quint64 m_nextId = 1;
};
