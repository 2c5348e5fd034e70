// SPDX-License-Identifier: GPL-3.0-or-later
#include "shell/FileTypeFilter.h"

#include <QFileDialog>
#include <QFileSystemModel>

static QList<QRegularExpression> compile(const QString &patterns)
{
    QList<QRegularExpression> result;
    const QStringList parts = patterns.split(QLatin1Char(';'), Qt::SkipEmptyParts);
    for (const QString &part : parts) {
        const QString pattern = part.trimmed();
        if (pattern.isEmpty())
            continue;
        // Windows reads "*.*" as every name, extension or not.
        if (pattern == QLatin1String("*.*") || pattern == QLatin1String("*"))
            return {};
        result.append(QRegularExpression(QRegularExpression::wildcardToRegularExpression(pattern),
                                         QRegularExpression::CaseInsensitiveOption));
    }
    return result;
}

static bool matchesAny(const QList<QRegularExpression> &expressions, const QString &fileName)
{
    if (expressions.isEmpty())
        return true;
    for (const QRegularExpression &re : expressions) {
        if (re.match(fileName).hasMatch())
            return true;
    }
    return false;
}

FileTypeFilter::FileTypeFilter(QFileDialog *dialog, QList<Filter> filters)
    : QSortFilterProxyModel(dialog), m_filters(std::move(filters))
{
    QStringList names;
    for (const Filter &filter : m_filters)
        names.append(filter.name);
    dialog->setOption(QFileDialog::DontUseNativeDialog, true);
    dialog->setNameFilters(names);
    dialog->setProxyModel(this);
    // The file model would hide what Qt's reading of the names rejects; it
    // only greys it out now, and flags() lifts the grey for what we show.
    if (auto *files = qobject_cast<QFileSystemModel *>(sourceModel()))
        files->setNameFilterDisables(true);
    connect(dialog, &QFileDialog::filterSelected, this, &FileTypeFilter::useFilter);
    if (!names.isEmpty())
        useFilter(names.first());
}

bool FileTypeFilter::matches(const QString &patterns, const QString &fileName)
{
    return matchesAny(compile(patterns), fileName);
}

void FileTypeFilter::selectFilter(const QString &name)
{
    // The dialog tells filterSelected only for the user's own choice.
    if (auto *dialog = qobject_cast<QFileDialog *>(parent()))
        dialog->selectNameFilter(name);
    useFilter(name);
}

void FileTypeFilter::useFilter(const QString &name)
{
    for (const Filter &filter : m_filters) {
        if (filter.name == name) {
            m_current = compile(filter.pattern);
            invalidateFilter();
            return;
        }
    }
}

Qt::ItemFlags FileTypeFilter::flags(const QModelIndex &index) const
{
    Qt::ItemFlags result = QSortFilterProxyModel::flags(index);
    if (index.isValid())
        result |= Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    return result;
}

bool FileTypeFilter::filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const
{
    const auto *files = qobject_cast<const QFileSystemModel *>(sourceModel());
    if (!files)
        return true;
    const QModelIndex index = files->index(sourceRow, 0, sourceParent);
    if (files->isDir(index))
        return true;
    return matchesAny(m_current, files->fileName(index));
}
