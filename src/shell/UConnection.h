// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "state/ConnectionParams.h"

#include <QDialog>

namespace Ui {
class TfrmConnection;
}

/// The connection settings dialog: server, user name and password. Its
/// fields are what the folder browser reads; every closing hands them back
/// to the main window, so both always agree.
class TfrmConnection : public QDialog
{
    Q_OBJECT
public:
    explicit TfrmConnection(QWidget *parent = nullptr);
    ~TfrmConnection() override;

    /// Fills the fields from params, shows the dialog modally, then copies
    /// the fields back into params whatever closed it. True for OK only.
    bool edit(ConnectionParams &params);

    /// The three fields as they are now.
    ConnectionParams fields() const;

private:
    Ui::TfrmConnection *ui;
};
