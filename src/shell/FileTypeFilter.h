// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QList>
#include <QRegularExpression>
#include <QSortFilterProxyModel>
#include <QString>

class QFileDialog;

/// Shows the file dialog's files by the patterns of the chosen filter with
/// the meaning they have on Windows: "*.*" is every file, even one without
/// a dot, and a filter may hold several patterns joined by ";". Qt reads the
/// patterns out of the filter's visible name instead, where "*.*" hides
/// every file without an extension and "*.php; *.htm" keeps the ";" as part
/// of the pattern. The filter names stay as the user should read them.
class FileTypeFilter : public QSortFilterProxyModel
{
    Q_OBJECT
public:
    struct Filter
    {
        QString name;    ///< what the dialog's type box shows
        QString pattern; ///< "*.zip", or several joined by ";"
    };

    /// Puts itself between dialog and its file model (the dialog must not be
    /// the platform's native one) and gives the dialog the filter names.
    FileTypeFilter(QFileDialog *dialog, QList<Filter> filters);

    /// Whether fileName matches one of the ";"-separated patterns, without
    /// regard to letter case.
    static bool matches(const QString &patterns, const QString &fileName);

    /// Selects the filter `name` in the dialog as if the user had picked it.
    void selectFilter(const QString &name);

    Qt::ItemFlags flags(const QModelIndex &index) const override;

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const override;

private:
    void useFilter(const QString &name);

    QList<Filter> m_filters;
    QList<QRegularExpression> m_current; // empty: every file
};
