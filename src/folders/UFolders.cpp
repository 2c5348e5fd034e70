#include "folders/UFolders.h"

#include "folders/FolderPath.h"
#include "folders/ListingParser.h"
#include "folders/ListingReader.h"
#include "shell/WindowFonts.h"
#include "state/RemoteNames.h"
#include "ui_UFolders.h"
#include "upload/FailureText.h"
#include "upload/UConnLost.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QKeyEvent>
#include <QPainter>
#include <QPolygon>
#include <QScreen>
#include <QTimer>

const QString TfrmFolders::TextConnecting = QStringLiteral("Соединение...");
const QString TfrmFolders::TextAuthorizing = QStringLiteral("Авторизация на сервере...");
const QString TfrmFolders::TextRequesting = QStringLiteral("Запрос списка ...");
const QString TfrmFolders::TextReady = QStringLiteral("Готово");
const QString TfrmFolders::TextListFailed = QStringLiteral("Не удалось получить список папок");
const QString TfrmFolders::TextCertificateRefused = QStringLiteral("Сертификат сервера отклонён");
const QString TfrmFolders::TextNoService =
    QStringLiteral("Не могу установить соединение с Internet");
const QString TfrmFolders::TextLoginTimeout =
    QStringLiteral("Время ожидания истекло.\r\nПроверьте соединение и попробуйте еще раз.");

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

// A status text followed by why the step failed.
QString withReason(const QString &status, const QString &reason)
{
    if (reason.isEmpty())
        return status;
    return status + (status.endsWith(u'.') ? QStringLiteral(" ") : QStringLiteral(". ")) + reason;
}

} // namespace

TfrmFolders::TfrmFolders(TfrmConnLost *prompt, std::function<ConnectionParams()> params,
                         std::function<ftp::FtpService::Options()> ftpOptions, QWidget *parent,
                         RemoteNames *names)
    : QDialog(parent), ui(new Ui::TfrmFolders), m_prompt(prompt), m_params(std::move(params)),
      m_ftpOptions(std::move(ftpOptions)), m_names(names), m_timer(new QTimer(this)),
      m_folderIcon(makeFolderIcon())
{
    ui->setupUi(this);
    setFont(WindowFonts::sansSerif(11));
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
}

TfrmFolders::~TfrmFolders()
{
    closeHandles();
    delete ui;
}

QString TfrmFolders::chooseFolder(const QString &startFolder)
{
    m_currentPath.clear();
    m_startFolder = startFolder;
    // Entries of the last opening belong to another folder; OK on one of them
    // before the first listing would join it to the wrong path.
    ui->lvFolders->clear();
    if (const QScreen *shown = screen())
        move(shown->availableGeometry().center() - rect().center());
    m_timer->start();
    const int result = exec();
    m_timer->stop();
    if (result != QDialog::Accepted)
        return startFolder;
    const std::string chosen = folders::chosenPath(m_currentPath, selectedName());
    const QString shown = QString::fromStdString(folders::displayPath(chosen));
    // The run sends what the server listed, not the text it was shown as.
    if (m_names && !chosen.empty())
        m_names->choose(server(), shown, chosen);
    return shown;
}

QString TfrmFolders::currentPath() const
{
    return QString::fromStdString(folders::displayPath(m_currentPath));
}

void TfrmFolders::done(int result)
{
    if (m_listing) {
        m_pendingResult = result;
        m_abort = true;
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
    listingStep(m_names ? m_names->toServer(server(), m_startFolder) : m_startFolder.toStdString());
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
    m_abort = false;
    const bool ok = runListingStep(target);
    closeHandles();
    m_listing = false;
    emit listingFinished(ok);
    if (m_pendingResult) {
        const int result = *m_pendingResult;
        m_pendingResult.reset();
        QDialog::done(result);
    }
}

bool TfrmFolders::runListingStep(const std::string &target)
{
    ui->lvFolders->clear();
    if (!m_connection && !connectionStep())
        return false;
    setStatus(TextRequesting);
    m_currentPath = folders::nextPath(m_currentPath, target);

    for (int retry = 0;; ++retry) {
        // A refused CWD goes unnoticed: LIST then shows the login folder.
        m_connection->command("CWD " + m_currentPath);
        std::unique_ptr<ftp::FtpTransfer> transfer =
            m_connection->openTransfer("LIST", ftp::Direction::Download);
        if (transfer) {
            const folders::FolderListing listing = folders::readFolderNames(*transfer);
            transfer->close();
            // A listing beyond the limits would be just as big on the next try.
            if (listing.tooLarge) {
                setStatus(TextListFailed);
                return false;
            }
            if (m_names)
                m_names->learn(server(), m_connection->hasFeature("UTF8"), listing.names);
            if (m_currentPath != "/")
                addEntry("..");
            for (const std::string &name : listing.names)
                addEntry(name);
            setStatus(TextReady);
            ui->memPath->setPlainText(currentPath());
            return true;
        }
        // Logins can succeed quickly while every LIST fails (no data
        // connection gets through), and then the login prompt never comes to
        // let the user stop: the retries are bounded instead.
        if (retry == ListRetries || m_abort) {
            setStatus(withReason(TextListFailed, failureText(m_connection->lastFailure())));
            return false;
        }
        if (!connectionStep())
            return false;
        setStatus(TextRequesting);
    }
}

bool TfrmFolders::connectionStep()
{
    closeHandles();
    setStatus(TextConnecting);
    m_service = ftp::FtpService::open(serviceOptions());
    if (!m_service) {
        setStatus(TextNoService);
        return false;
    }

    const ConnectionParams params = m_params ? m_params() : ConnectionParams{};
    const std::string server =
        params.server.isEmpty() ? std::string("127.0.0.1") : params.server.toStdString();
    const std::string user =
        params.user.isEmpty() ? std::string("anonymous") : params.user.toStdString();
    const std::string password = params.password.toStdString();
    setStatus(TextAuthorizing);

    QElapsedTimer window;
    window.start();
    QString lastReason;
    for (;;) {
        ftp::Failure failure;
        m_connection =
            ftp::FtpConnection::connect(*m_service, server, user, password, nullptr, &failure);
        // The status line says why the attempts fail, updated when that changes.
        if (const QString reason = failureText(failure); reason != lastReason) {
            setStatus(withReason(TextAuthorizing, reason));
            lastReason = reason;
        }
        QCoreApplication::processEvents();
        if (m_abort) {
            m_connection.reset();
            return false;
        }
        // The user refused the server's certificate: asking again at every
        // attempt, or retrying without asking, would both be wrong.
        if (!m_connection && m_service->certificateRefused()) {
            // The reason begins with the same words and names the fault.
            setStatus(lastReason.isEmpty() ? TextCertificateRefused : lastReason);
            return false;
        }
        // The time test comes first: a login that succeeds only after the
        // window still asks, and Cancel then wins.
        if (window.elapsed() > loginWindowMs) {
            if (!m_prompt || m_prompt->ask(TextLoginTimeout) != TfrmConnLost::Continue) {
                m_connection.reset();
                return false;
            }
            window.restart();
        }
        if (m_connection)
            return true;
        // Servers ban clients that hammer them with logins.
        pause(loginRetryPauseMs);
        if (m_abort)
            return false;
    }
}

void TfrmFolders::closeHandles()
{
    m_connection.reset();
    m_service.reset();
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

void TfrmFolders::addEntry(const std::string &rawName)
{
    auto *item = new QTreeWidgetItem(ui->lvFolders);
    item->setText(0, fromServerBytes(rawName));
    item->setIcon(0, m_folderIcon);
    item->setData(0, RawNameRole, QByteArray::fromStdString(rawName));
}

QString TfrmFolders::server() const
{
    return m_params ? m_params().server : QString();
}

ftp::FtpService::Options TfrmFolders::serviceOptions() const
{
    ftp::FtpService::Options options = m_ftpOptions ? m_ftpOptions() : ftp::FtpService::Options{};
    // The window keeps repainting and taking clicks while the client waits.
    if (!options.idle)
        options.idle = [] { QCoreApplication::processEvents(); };
    return options;
}
