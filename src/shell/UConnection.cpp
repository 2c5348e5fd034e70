// SPDX-License-Identifier: GPL-3.0-or-later
#include "shell/UConnection.h"

#include "shell/WindowFonts.h"
#include "ui_UConnection.h"

#include <QLabel>

TfrmConnection::TfrmConnection(QWidget *parent) : QDialog(parent), ui(new Ui::TfrmConnection)
{
    ui->setupUi(this);
    setFont(WindowFonts::sansSerif(11));
    setFixedSize(392, 192);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    for (QLabel *label : {ui->Label1, ui->Label2, ui->Label3, ui->Label4, ui->Label5})
        label->adjustSize();
    // A caption wider in the desktop's font than the form allows for moves
    // left rather than run under its edit.
    for (QLabel *label : {ui->Label1, ui->Label2, ui->Label3}) {
        const int right = label->buddy()->x() - 6;
        if (label->geometry().right() >= right)
            label->move(right - label->width(), label->y());
    }
    // A password on screen is readable over the user's shoulder.
    ui->edtPassword->setEchoMode(QLineEdit::Password);
    connect(ui->btnOk, &QPushButton::clicked, this, &QDialog::accept);
    connect(ui->btnClose, &QPushButton::clicked, this, &QDialog::reject);
}

TfrmConnection::~TfrmConnection()
{
    delete ui;
}

bool TfrmConnection::edit(ConnectionParams &params)
{
    ui->edtServer->setText(params.server);
    ui->edtUser->setText(params.user);
    ui->edtPassword->setText(params.password);
    // The cursor waits in the first empty field: at a later start, with
    // server and user remembered, in the password.
    QLineEdit *first = ui->edtServer;
    for (QLineEdit *field : {ui->edtServer, ui->edtUser, ui->edtPassword}) {
        if (field->text().isEmpty()) {
            first = field;
            break;
        }
    }
    first->setFocus();
    const bool ok = exec() == QDialog::Accepted;
    // Taken over also after "Закрыть", Esc or the close box.
    params = fields();
    return ok;
}

ConnectionParams TfrmConnection::fields() const
{
    return ConnectionParams{ui->edtServer->text(), ui->edtUser->text(), ui->edtPassword->text()};
}
