// SPDX-License-Identifier: GPL-3.0-or-later
#include "state/UploadList.h"

#include <QFileInfo>

#include <algorithm>

UploadList::UploadList(QObject *parent) : QAbstractTableModel(parent) {}

QString UploadList::remoteName(const QString &path)
{
    // The upload run names the remote file the same way.
    return QFileInfo(path).fileName();
}

UploadList::Admission UploadList::admission(const QString &path, const QString &name) const
{
    // A line break or NUL could not survive Files.txt: the path would come
    // back as two other paths.
    if (path.contains(QLatin1Char('\n')) || path.contains(QLatin1Char('\r')) ||
        path.contains(QChar(0)))
        return Admission::LineBreak;
    // Linux tells /d/README from /d/readme: both are kept, exactly as named.
    if (m_pathCount.value(path) > 0)
        return Admission::Refused;
    return m_pathByName.contains(name) ? Admission::NameClashes : Admission::Accepted;
}

void UploadList::noteListed(const QString &path, const QString &name)
{
    m_pathCount[path] += 1;
    m_pathByName.insert(name, path);
}

int UploadList::addFile(const QString &path, Clash *clash)
{
    const QString name = remoteName(path);
    const Admission verdict = admission(path, name);
    if (verdict == Admission::NameClashes && clash)
        *clash = Clash{path, m_pathByName.value(name)};
    if (verdict == Admission::LineBreak && clash)
        *clash = Clash{path, {}};
    if (verdict != Admission::Accepted)
        return -1;
    const int row = count();
    beginInsertRows({}, row, row);
    m_items.append(Item{m_nextId++, path, {}, false});
    noteListed(path, name);
    if (m_rowIndexValid)
        m_rowById.insert(m_items.last().id, row);
    endInsertRows();
    return row;
}

int UploadList::addFiles(const QStringList &paths, QList<Clash> *clashes)
{
    // Paths of this batch are noted as they come, so two of one batch clash too.
    QList<Item> fresh;
    for (const QString &path : paths) {
        const QString name = remoteName(path);
        const Admission verdict = admission(path, name);
        if (verdict == Admission::NameClashes && clashes)
            clashes->append(Clash{path, m_pathByName.value(name)});
        if (verdict == Admission::LineBreak && clashes)
            clashes->append(Clash{path, {}});
        if (verdict != Admission::Accepted)
            continue;
        noteListed(path, name);
        fresh.append(Item{m_nextId++, path, {}, false});
    }
    if (fresh.isEmpty())
        return 0;
    const int first = count();
    beginInsertRows({}, first, first + int(fresh.size()) - 1);
    m_items.append(fresh);
    m_rowIndexValid = false;
    endInsertRows();
    return int(fresh.size());
}

void UploadList::setPaths(const QStringList &paths)
{
    beginResetModel();
    m_items.clear();
    m_items.reserve(paths.size());
    for (const QString &path : paths)
        m_items.append(Item{m_nextId++, path, {}, false});
    rebuildIndex();
    endResetModel();
}

QStringList UploadList::paths() const
{
    QStringList result;
    result.reserve(m_items.size());
    for (const Item &item : m_items)
        result.append(item.path);
    return result;
}

void UploadList::clear()
{
    setPaths({});
}

void UploadList::removeRowsAt(QList<int> rows)
{
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    rows.erase(
        std::remove_if(rows.begin(), rows.end(), [this](int r) { return r < 0 || r >= count(); }),
        rows.end());
    if (rows.isEmpty())
        return;
    // One removal per contiguous run keeps deleting thousands of rows cheap.
    beginResetModel();
    QList<Item> kept;
    kept.reserve(m_items.size() - rows.size());
    int next = 0;
    for (int row = 0; row < count(); ++row) {
        if (next < rows.size() && rows[next] == row) {
            ++next;
            continue;
        }
        kept.append(std::move(m_items[row]));
    }
    m_items = std::move(kept);
    rebuildIndex();
    endResetModel();
}

int UploadList::rowOf(quint64 id) const
{
    if (!m_rowIndexValid) {
        m_rowById.clear();
        for (int row = 0; row < count(); ++row)
            m_rowById.insert(m_items[row].id, row);
        m_rowIndexValid = true;
    }
    return m_rowById.value(id, -1);
}

void UploadList::setStatus(int row, const QString &status)
{
    if (row < 0 || row >= count() || m_items[row].status == status)
        return;
    m_items[row].status = status;
    const QModelIndex cell = index(row, StatusColumn);
    emit dataChanged(cell, cell, {Qt::DisplayRole});
}

void UploadList::setDone(int row, bool done)
{
    if (row < 0 || row >= count())
        return;
    m_items[row].done = done;
}

bool UploadList::containsPath(const QString &path) const
{
    return m_pathCount.value(path) > 0;
}

void UploadList::rebuildIndex()
{
    m_pathCount.clear();
    m_pathByName.clear();
    for (const Item &item : m_items) {
        m_pathCount[item.path] += 1;
        const QString name = remoteName(item.path);
        if (!m_pathByName.contains(name))
            m_pathByName.insert(name, item.path);
    }
    m_rowById.clear();
    m_rowIndexValid = false;
}

int UploadList::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : count();
}

int UploadList::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant UploadList::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= count())
        return {};
    const Item &item = m_items[index.row()];
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
        switch (index.column()) {
        case NumberColumn:
            // The number is the position plus one, so it is always renumbered.
            return QString::number(index.row() + 1);
        case PathColumn:
            return item.path;
        case StatusColumn:
            return item.status;
        }
        return {};
    case IdRole:
        return item.id;
    case DoneRole:
        return item.done;
    }
    return {};
}

QVariant UploadList::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case NumberColumn:
        return QStringLiteral("№");
    case PathColumn:
        return QStringLiteral("Файл");
    case StatusColumn:
        return QStringLiteral("Статус");
    }
    return {};
}
