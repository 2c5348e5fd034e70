// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDialog>

namespace Ui {
class TfrmHelp;
}

/// The help window: shows Help.html, loaded afresh from disk at every
/// opening. Not modal: the main window stays usable beside it.
class TfrmHelp : public QDialog
{
    Q_OBJECT
public:
    explicit TfrmHelp(const QString &helpFile, QWidget *parent = nullptr);
    ~TfrmHelp() override;

    const QString &helpFile() const { return m_helpFile; }

protected:
    void showEvent(QShowEvent *event) override;

private:
    void FormShow();

    Ui::TfrmHelp *ui;
    QString m_helpFile;
};
