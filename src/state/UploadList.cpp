#include "state/UploadList.h"

#include <algorithm>

UploadList::UploadList(QObject *parent) : QAbstractTableModel(parent) {}

QString UploadList::foldKey(const QString &path)
{
    return path.toCaseFolded();
}

int UploadList::addFile(const QString &path)
{
    // A line break or NUL could not survive Files.txt: the path would come
    // back as two other paths.
    if (path.contains(QLatin1Char('\n')) || path.contains(QLatin1Char('\r')) ||
        path.contains(QChar(0)))
        return -1;
    const QString key = foldKey(path);
    if (m_keyCount.value(key) > 0)
        return -1;
    const int row = count();
    beginInsertRows({}, row, row);
    m_items.append(Item{m_nextId++, path, {}, false});
    m_keyCount[key] += 1;
    if (m_rowIndexValid)
        m_rowById.insert(m_items.last().id, row);
    endInsertRows();
    return row;
}

int UploadList::addFiles(const QStringList &paths)
{
    QList<Item> fresh;
    for (const QString &path : paths) {
        if (path.contains(QLatin1Char('\n')) || path.contains(QLatin1Char('\r')) ||
            path.contains(QChar(0)))
            continue;
        int &n = m_keyCount[foldKey(path)];
        if (n > 0)
            continue;
        n = 1;
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
    return m_keyCount.value(foldKey(path)) > 0;
}

void UploadList::rebuildIndex()
{
    m_keyCount.clear();
    for (const Item &item : m_items)
        m_keyCount[foldKey(item.path)] += 1;
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
