// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDialog>

namespace Ui {
class TfrmAbout;
}

/// The About window: name, version, copyright, a picture, and the maker's
/// web and mail links.
class TfrmAbout : public QDialog
{
    Q_OBJECT
public:
    explicit TfrmAbout(QWidget *parent = nullptr);
    ~TfrmAbout() override;

    static const QString SiteAddress; ///< bare host name, no scheme
    static const QString MailAddress;
    static const QString Copyright; ///< also the main window's notice

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void showEvent(QShowEvent *event) override;

private slots:
    void btnCloseClick();
    void Label4Click();
    void lblMailClick();

private:
    Ui::TfrmAbout *ui;
};
