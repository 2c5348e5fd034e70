// SPDX-License-Identifier: GPL-3.0-or-later
#include "folders/UFolders.h"

#include "folders/FolderPath.h"
#include "folders/ListingParser.h"
#include "state/RemoteNames.h"
#include "ui_UFolders.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QKeyEvent>
#include <QPainter>
#include <QPolygon>
#include <QScreen>
#include <QTimer>

namespace {

// Raw bytes of an entry's name, as the server sent them.
constexpr int RawNameRole = Qt::UserRole;

// An open folder drawn as a black outline on a transparent ground.
QIcon makeFolderIcon()
{
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setPen(QPen(Qt::black, 1));
    // The back of the folder with its tab.
    painter.drawPolyline(QPolygon(
        {QPoint(1, 13), QPoint(1, 3), QPoint(5, 3), QPoint(6, 4), QPoint(12, 4), QPoint(12, 6)}));
    // The front flap, tilted open.
    painter.drawPolygon(QPolygon({QPoint(1, 13), QPoint(4, 7), QPoint(15, 7), QPoint(12, 13)}));
    painter.end();
    return QIcon(pixmap);
}

QString fromServerBytes(const std::string &raw)
{
    return QString::fromStdString(folders::displayName(raw));
}

} // namespace

TfrmFolders::TfrmFolders(ContinuePrompt *prompt, std::function<ConnectionParams()> params,
                         std::function<ftp::FtpService::Options()> ftpOptions, QWidget *parent,
                         RemoteNames *names)
    : QDialog(parent), ui(new Ui::TfrmFolders), m_prompt(prompt), m_names(names),
      m_lister(std::make_unique<FolderLister>(static_cast<BrowserView &>(*this), std::move(params),
                                              std::move(ftpOptions), names)),
      m_timer(new QTimer(this)), m_folderIcon(makeFolderIcon())
{
    ui->setupUi(this);
    setFixedSize(392, 366);
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);

    ui->lvFolders->setColumnWidth(0, 355);
    // The selection stays visible when the list loses the focus.
    QPalette listPalette = ui->lvFolders->palette();
    for (QPalette::ColorRole role : {QPalette::Highlight, QPalette::HighlightedText})
        listPalette.setColor(QPalette::Inactive, role, listPalette.color(QPalette::Active, role));
    ui->lvFolders->setPalette(listPalette);
    ui->lvFolders->installEventFilter(this);

    QPalette memoPalette = ui->memPath->palette();
    memoPalette.setColor(QPalette::Base, memoPalette.color(QPalette::Button));
    ui->memPath->setPalette(memoPalette);
    ui->lblStatus->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    ui->lblStatus->adjustSize();

    m_timer->setObjectName(QStringLiteral("Timer"));
    m_timer->setInterval(100);
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, &TfrmFolders::TimerTimer);
    connect(ui->lvFolders, &QTreeWidget::itemDoubleClicked, this, &TfrmFolders::lvFoldersDblClick);
    connect(ui->btnOK, &QPushButton::clicked, this, &TfrmFolders::btnOKClick);
    connect(ui->btnCancel, &QPushButton::clicked, this, &TfrmFolders::btnCancelClick);
    connect(this, &QDialog::finished, this, &TfrmFolders::FormClose);
}

TfrmFolders::~TfrmFolders()
{
    // Closing a connection may let the window handle events: not without its widgets.
    m_lister.reset();
    delete ui;
}

void TfrmFolders::browse(const QString &startFolder)
{
    if (isVisible())
        return;
    m_lister->reset();
    m_startFolder = startFolder;
    // Entries of the last opening belong to another folder; OK on one of them
    // before the first listing would join it to the wrong path.
    ui->lvFolders->clear();
    // The window's font is given after it was made: the status line is laid
    // out again in the font it shows in.
    setStatus(ui->lblStatus->text());
    if (const QScreen *shown = screen())
        move(shown->availableGeometry().center() - rect().center());
    m_timer->start();
    setWindowModality(Qt::ApplicationModal);
    show();
}

void TfrmFolders::FormClose(int result)
{
    m_timer->stop();
    if (result != QDialog::Accepted) {
        emit folderChosen(m_startFolder);
        return;
    }
    const std::string chosen = folders::chosenPath(m_lister->currentPath(), selectedName());
    const QString shown = QString::fromStdString(folders::displayPath(chosen));
    // The run sends what the server listed, not the text it was shown as.
    if (m_names && !chosen.empty())
        m_names->choose(m_lister->server(), shown, chosen);
    emit folderChosen(shown);
}

QString TfrmFolders::currentPath() const
{
    return QString::fromStdString(folders::displayPath(m_lister->currentPath()));
}

void TfrmFolders::done(int result)
{
    if (m_listing) {
        m_pendingResult = result;
        m_lister->abort();
        if (m_pauseLoop)
            m_pauseLoop->quit();
        return;
    }
    QDialog::done(result);
}

bool TfrmFolders::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == ui->lvFolders && event->type() == QEvent::KeyPress)
        lvFoldersKeyDown(static_cast<QKeyEvent *>(event));
    // The key goes on to the list as usual.
    return QDialog::eventFilter(watched, event);
}

void TfrmFolders::TimerTimer()
{
    m_timer->stop();
    listingStep(m_names ? m_names->toServer(m_lister->server(), m_startFolder)
                        : m_startFolder.toStdString());
}

void TfrmFolders::lvFoldersDblClick()
{
    openSelectedEntry();
}

void TfrmFolders::lvFoldersKeyDown(QKeyEvent *event)
{
    switch (event->key()) {
    case Qt::Key_Backspace:
        listingStep("..");
        break;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        openSelectedEntry();
        break;
    default:
        break;
    }
}

void TfrmFolders::btnOKClick()
{
    done(QDialog::Accepted);
}

void TfrmFolders::btnCancelClick()
{
    done(QDialog::Rejected);
}

void TfrmFolders::openSelectedEntry()
{
    if (const std::optional<std::string> name = selectedName())
        listingStep(*name);
}

std::optional<std::string> TfrmFolders::selectedName() const
{
    const QList<QTreeWidgetItem *> selected = ui->lvFolders->selectedItems();
    if (selected.isEmpty())
        return std::nullopt;
    return selected.first()->data(0, RawNameRole).toByteArray().toStdString();
}

void TfrmFolders::listingStep(const std::string &target)
{
    // Requests that come while a step waits (between logins, in the prompt)
    // would run a second step on the handles of this one.
    if (m_listing)
        return;
    m_listing = true;
    const bool ok = m_lister->step(target);
    m_listing = false;
    emit listingFinished(ok);
    if (m_pendingResult) {
        const int result = *m_pendingResult;
        m_pendingResult.reset();
        QDialog::done(result);
    }
}

ContinuePrompt::Answer TfrmFolders::askContinue(const QString &message, Countdown countdown)
{
    return m_prompt ? m_prompt->askContinue(message, countdown) : ContinuePrompt::Cancel;
}

void TfrmFolders::processEvents()
{
    QCoreApplication::processEvents();
}

void TfrmFolders::pause(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    m_pauseLoop = &loop;
    loop.exec();
    m_pauseLoop = nullptr;
}

void TfrmFolders::setStatus(const QString &text)
{
    QLabel *label = ui->lblStatus;
    label->setText(text);
    label->setWordWrap(false);
    label->adjustSize();
    // A reason makes the line long: it wraps in the room left of the
    // buttons, down to the dialog's edge, and shows whole as the tooltip.
    const int room = ui->btnOK->x() - label->x() - 8;
    const bool wraps = label->width() > room;
    if (wraps) {
        label->setWordWrap(true);
        label->resize(room, std::min(label->heightForWidth(room), height() - label->y()));
    }
    label->setToolTip(wraps ? text : QString());
}

void TfrmFolders::clearEntries()
{
    ui->lvFolders->clear();
}

void TfrmFolders::showPath(const QString &path)
{
    ui->memPath->setPlainText(path);
}

void TfrmFolders::addEntry(const std::string &rawName)
{
    auto *item = new QTreeWidgetItem(ui->lvFolders);
    item->setText(0, fromServerBytes(rawName));
    item->setIcon(0, m_folderIcon);
    item->setData(0, RawNameRole, QByteArray::fromStdString(rawName));
}
