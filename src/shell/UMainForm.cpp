// SPDX-License-Identifier: GPL-3.0-or-later
#include "shell/UMainForm.h"

#include "folders/UFolders.h"
#include "ftp/ConnectionDefaults.h"
#include "shell/DesktopSignals.h"
#include "shell/FileTypeFilter.h"
#include "shell/Resources.h"
#include "shell/UAbout.h"
#include "shell/UCertificate.h"
#include "shell/UConnection.h"
#include "shell/UHelp.h"
#include "shell/UrlOpener.h"
#include "shell/WindowFonts.h"
#include "state/AppPaths.h"
#include "state/ListFile.h"
#include "state/ProfileFile.h"
#include "state/RemoteNames.h"
#include "state/ResumeMarker.h"
#include "state/StoredFile.h"
#include "state/TlsServers.h"
#include "state/TrustStore.h"
#include "ui_UMainForm.h"
#include "upload/UConnLost.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLocale>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QPointer>
#include <QScreen>
#include <QScrollBar>
#include <QShortcut>
#include <QSocketNotifier>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimer>

#include <cstdio>
#include <poll.h>
#include <utility>

const QString TfrmMainForm::Caption = QStringLiteral("Trelvan v1.3");

namespace {

const QString SettingsSection = QStringLiteral("Options");
const QString TextAttention = QStringLiteral("Внимание");
const QString TextLineBreakName =
    QStringLiteral("Имя файла содержит перевод строки; такой файл нельзя передать по FTP:");

// How the GUI thread's FTP waits block: in the window's own event loop,
// watching the socket, so that a repaint, a click or a screen reader's
// question is handled the moment it arrives rather than at the next idle
// tick, and the socket is looked at again the moment it is ready.
void waitInEventLoop(int fd, short events, int timeoutMs)
{
    if (timeoutMs <= 0) {
        QCoreApplication::processEvents();
        return;
    }
    QSocketNotifier notifier(qintptr(fd),
                             (events & POLLOUT) ? QSocketNotifier::Write : QSocketNotifier::Read);
    bool ready = false;
    QObject::connect(&notifier, &QSocketNotifier::activated, [&ready, &notifier] {
        ready = true;
        notifier.setEnabled(false);
    });
    bool timedOut = false;
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer, &QTimer::timeout, [&timedOut] { timedOut = true; });
    timer.start(timeoutMs);
    while (!ready && !timedOut)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

// Whether to send the password in clear to a server that used TLS before.
// Shown modal while the run or the listing waits, over whatever modal
// window is in front (the folder browser), as the certificate question is;
// it never answers itself, and Enter or Esc give the safe answer.
bool askClearLogin(const QString &server, QWidget *parent)
{
    QWidget *owner = QApplication::activeModalWidget();
    QMessageBox box(QMessageBox::Warning, TextAttention,
                    QStringLiteral("Сервер %1 раньше поддерживал шифрование (TLS), а сейчас его не "
                                   "предлагает. Это может означать, что соединение перехвачено. "
                                   "Отправить пароль открытым текстом?")
                        .arg(server),
                    QMessageBox::Yes | QMessageBox::No, owner ? owner : parent);
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

} // namespace

UploadFiles TfrmMainForm::defaultFiles()
{
    return UploadFiles{AppPaths::settingsFile(), AppPaths::listFile(), AppPaths::markerFile(),
                       AppPaths::tempFile()};
}

TfrmMainForm::TfrmMainForm(const UploadFiles &files, QWidget *parent)
    : QMainWindow(parent), ui(new Ui::TfrmMainForm), m_files(files)
{
    Resources::ensureLoaded();
    createServices();
    ui->setupUi(this);
    m_desktop = new DesktopSignals(this);
    setUpLook();
    setUpList();
    createActions();
    connectHandlers();
    FormCreate();
}

void TfrmMainForm::createServices()
{
    // Settings.ini and Trusted.txt are written from deep inside the run and
    // the login; wherever one is found unreadable, this window says so.
    StoredFile::setUnreadableReport([this](const QString &path) { reportUnreadableFile(path); });
    // Certificates trusted always are kept beside the other data files.
    m_trust = std::make_shared<TrustStore>(QFileInfo(m_files.settingsFile).absolutePath() +
                                           QStringLiteral("/Trusted.txt"));
    m_askCertificate = TfrmCertificate::makeCallback(m_trust, this);
    m_remoteNames = std::make_unique<RemoteNames>(m_files.settingsFile);
    QPointer<TfrmMainForm> self(this);
    m_certificateDecision = [self](const ftp::CertificateInfo &certificate) {
        if (!self)
            return ftp::CertificateDecision::Refuse;
        return self->m_prompts ? self->m_prompts->decideCertificate(certificate)
                               : self->m_askCertificate(certificate);
    };
    m_loggedIn = [self](ftp::Security security) {
        if (self)
            self->showSecurity(security);
    };
    // A server that used TLS and offers none later may have a man in the
    // middle: the password goes in clear only when the user says so, and a
    // "yes" holds until the program ends.
    m_tlsServers = std::make_unique<TlsServers>(m_files.settingsFile);
    m_tlsLoggedIn = [self](const std::string &host, uint16_t port) {
        if (self)
            self->m_tlsServers->remember(host, port);
    };
    m_tlsBefore = [self](const std::string &host, uint16_t port) {
        return self && self->m_tlsServers->contains(host, port);
    };
    m_clearLoginDecision = [self](const std::string &host, uint16_t port) {
        if (!self)
            return false;
        const QString server = RemoteNames::serverKey(host, port);
        if (self->m_clearLoginAllowed.contains(server))
            return true;
        const bool yes = self->m_prompts ? self->m_prompts->allowClearLogin(server)
                                         : askClearLogin(server, self.data());
        if (yes)
            self->m_clearLoginAllowed.append(server);
        return yes;
    };
}

void TfrmMainForm::setUpLook()
{
    setFont(WindowFonts::sansSerif(11));
    setFixedSize(592, 420);
    ftp::setIdleWait(waitInEventLoop);

    // The white band at the top.
    QPalette white = ui->pnlTop->palette();
    white.setColor(QPalette::Window, Qt::white);
    ui->pnlTop->setPalette(white);
    ui->pnlTop->setAutoFillBackground(true);
    ui->Label1->setFont(WindowFonts::sansSerif(11, true));
    ui->Image1->setPixmap(QPixmap(QStringLiteral(":/logo.jpg")));
    QFont link = WindowFonts::sansSerif(11);
    link.setUnderline(true);
    ui->lblAbout->setFont(link);
    QPalette blue = ui->lblAbout->palette();
    blue.setColor(QPalette::WindowText, Qt::blue);
    ui->lblAbout->setPalette(blue);
    for (QLabel *clickable : {ui->Image1, ui->lblAbout, ui->lblCopyright}) {
        clickable->setCursor(Qt::PointingHandCursor);
        clickable->installEventFilter(this);
    }
    ui->lblCopyright->setFont(WindowFonts::sansSerif(11, true));
    ui->lblCopyright->setText(TfrmAbout::Copyright);
    ui->btnDelFiles->setFont(WindowFonts::sansSerif(11, true));
    ui->memLog->setFont(WindowFonts::sansSerif(11));
    placeLabels();

    // Screen readers name the buttons without words by their hints.
    for (QPushButton *button : {ui->btnSrcFileName, ui->btnDelFiles, ui->btnTargetFolder})
        button->setAccessibleName(button->toolTip());
}

void TfrmMainForm::setUpList()
{
    // The upload list: a report view, several whole rows selectable, no
    // editing; the selection stays visible when the list loses the focus.
    ui->lvFiles->setModel(&m_list);
    ui->lvFiles->setRootIsDecorated(false);
    ui->lvFiles->setItemsExpandable(false);
    ui->lvFiles->setUniformRowHeights(true);
    ui->lvFiles->setAllColumnsShowFocus(true);
    ui->lvFiles->setSelectionMode(QAbstractItemView::ExtendedSelection);
    ui->lvFiles->setSelectionBehavior(QAbstractItemView::SelectRows);
    ui->lvFiles->setEditTriggers(QAbstractItemView::NoEditTriggers);
    // A long path loses its middle, not its file name; the tooltip has it all.
    ui->lvFiles->setTextElideMode(Qt::ElideMiddle);
    // "Статус" takes what the other two leave. A stretched last section
    // never shrinks below the size it had, so it starts at the smallest.
    QHeaderView *header = ui->lvFiles->header();
    // The header shows nothing of the rows' selection, yet sharing it would
    // have every paint of the header walk all the selected rows: thousands
    // while a long run selects each file it sends.
    header->setSelectionModel(new QItemSelectionModel(&m_list, header));
    header->setSectionsMovable(false);
    header->setStretchLastSection(false);
    ui->lvFiles->setColumnWidth(UploadList::NumberColumn, 30);
    ui->lvFiles->setColumnWidth(UploadList::PathColumn, 420);
    ui->lvFiles->setColumnWidth(UploadList::StatusColumn, header->minimumSectionSize());
    header->setStretchLastSection(true);
    QPalette listPalette = ui->lvFiles->palette();
    for (QPalette::ColorRole role : {QPalette::Highlight, QPalette::HighlightedText})
        listPalette.setColor(QPalette::Inactive, role, listPalette.color(QPalette::Active, role));
    ui->lvFiles->setPalette(listPalette);
    ui->lvFiles->setContextMenuPolicy(Qt::CustomContextMenu);
    // Files dragged from a file manager join the list as by the file dialog.
    ui->lvFiles->setAcceptDrops(true);
    ui->lvFiles->viewport()->setAcceptDrops(true);
    ui->lvFiles->viewport()->installEventFilter(this);
}

void TfrmMainForm::createActions()
{
    AAddFiles = new QAction(QStringLiteral("Добавить файлы ..."), this);
    AAddFiles->setObjectName(QStringLiteral("AAddFiles"));
    AAddFiles->setToolTip(QStringLiteral("Добавить файлы"));
    AAddFiles->setStatusTip(AAddFiles->toolTip());
    ADelFiles = new QAction(QStringLiteral("Удалить из списка"), this);
    ADelFiles->setObjectName(QStringLiteral("ADelFiles"));
    ADelFiles->setToolTip(QStringLiteral("Удалить из списка"));
    ADelFiles->setStatusTip(ADelFiles->toolTip());
    pupFiles = new QMenu(this);
    pupFiles->setObjectName(QStringLiteral("pupFiles"));
    pupFiles->addAction(AAddFiles);
    pupFiles->addAction(ADelFiles);
    pupFiles->addSeparator();
}

void TfrmMainForm::connectHandlers()
{
    // Esc presses the Close button, as a dialog's cancel button.
    auto *escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(escape, &QShortcut::activated, ui->btnClose, &QPushButton::click);
    // Del in the list asks the delete question, as "X" does.
    new QShortcut(QKeySequence::Delete, ui->lvFiles, this, &TfrmMainForm::btnDelFilesClick,
                  Qt::WidgetShortcut);

    connect(ui->btnRun, &QPushButton::clicked, this, &TfrmMainForm::btnRunClick);
    connect(ui->edtDstFolder, &QLineEdit::returnPressed, this, &TfrmMainForm::edtDstFolderKeyPress);
    connect(ui->btnClose, &QPushButton::clicked, this, &TfrmMainForm::btnCloseClick);
    connect(ui->btnConnection, &QPushButton::clicked, this, &TfrmMainForm::btnConnectionClick);
    connect(ui->btnHelp, &QPushButton::clicked, this, &TfrmMainForm::btnHelpClick);
    connect(ui->btnSrcFileName, &QPushButton::clicked, this, &TfrmMainForm::btnSrcFileNameClick);
    connect(ui->btnDelFiles, &QPushButton::clicked, this, &TfrmMainForm::btnDelFilesClick);
    connect(ui->btnTargetFolder, &QPushButton::clicked, this, &TfrmMainForm::btnTargetFolderClick);
    connect(ui->edtDstFolder, &QLineEdit::textChanged, this, &TfrmMainForm::edtSrcFileNameChange);
    connect(ui->lvFiles->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &TfrmMainForm::lvFilesSelectItem);
    connect(ui->lvFiles, &QWidget::customContextMenuRequested, this,
            &TfrmMainForm::lvFilesContextPopup);
    connect(AAddFiles, &QAction::triggered, this, &TfrmMainForm::AAddFilesExecute);
    connect(ADelFiles, &QAction::triggered, this, &TfrmMainForm::ADelFilesExecute);
}

TfrmMainForm::~TfrmMainForm()
{
    StoredFile::setUnreadableReport({});
    // The list goes before the child widgets do; the view must not outlive
    // its model.
    ui->lvFiles->setModel(nullptr);
    delete ui;
}

void TfrmMainForm::placeLabels()
{
    // Captions take the width of their text in the desktop's font, and the
    // values beside them start right after the longest caption.
    for (QLabel *caption : {ui->Label1, ui->Label2, ui->Label3, ui->Label4, ui->Label5, ui->Label6,
                            ui->Label7, ui->Label8, ui->Label9})
        caption->adjustSize();
    const int gap = 4;
    const QRect connection = ui->lblConnection->geometry();
    const int connectionLeft = ui->Label3->geometry().right() + 1 + gap;
    ui->lblConnection->setGeometry(connectionLeft, connection.y(),
                                   ui->btnConnection->x() - gap - connectionLeft,
                                   connection.height());
    const int barRight = ui->ProgressBar->geometry().right() + 1;
    const QRect percents = ui->lblPercents->geometry();
    const int percentsLeft = ui->Label4->geometry().right() + 1 + gap;
    ui->lblPercents->setGeometry(percentsLeft, percents.y(), barRight - percentsLeft,
                                 percents.height());
    int valuesLeft = 0;
    for (QLabel *caption : {ui->Label7, ui->Label8, ui->Label9})
        valuesLeft = qMax(valuesLeft, caption->geometry().right() + 1 + gap);
    for (QLabel *value : {ui->lblSent, ui->lblLeft, ui->lblLeftTime}) {
        const QRect old = value->geometry();
        value->setGeometry(valuesLeft, old.y(), barRight - valuesLeft, old.height());
    }
}

void TfrmMainForm::setWindows(const Windows &windows)
{
    m_windows = windows;
    if (m_windows.folders)
        connect(m_windows.folders, &TfrmFolders::folderChosen, this,
                &TfrmMainForm::btnTargetFolderChosen);
}

void TfrmMainForm::setAnswerer(Prompts *prompts)
{
    m_prompts = prompts;
}

void TfrmMainForm::setExtraCaFile(const QString &path)
{
    m_extraCaFile = path.toStdString();
}

void TfrmMainForm::FormCreate()
{
    setWindowTitle(Caption);
    m_connection = ConnectionParams{};
    ui->memLog->clear();
    m_list.clear();
    ui->edtDstFolder->setText(QString());
    setConnectionSummary(QStringLiteral("По умолчанию"));
    ui->lblPercents->setText(QStringLiteral("0%"));
    ui->lblSent->setText(formatBytes(0));
    ui->lblLeft->setText(formatBytes(0));
    ui->lblLeftTime->setText(QStringLiteral("00:00:00"));
    m_state.busy = false;
    m_state.stop = false;

    // A missing or unreadable list means an empty one, without a word.
    QStringList paths;
    if (ListFile::read(m_files.listFile, &paths))
        m_list.setPaths(paths);
    m_state.resume = ResumeMarker::readAndApply(m_files.markerFile, m_list);
    commandStateUpdate();
}

void TfrmMainForm::postCreate(const QStringList &arguments)
{
    startUp(arguments);
    btnConnectionClick();
}

void TfrmMainForm::startUp(const QStringList &arguments)
{
    // Only existing files count (a folder does not); the list is not saved
    // here. A relative name is made absolute, or Files.txt would point
    // elsewhere once the program starts from another folder.
    QStringList existing;
    for (const QString &argument : arguments) {
        const QFileInfo info(argument);
        if (info.isFile())
            existing.append(QDir::isRelativePath(argument) ? info.absoluteFilePath() : argument);
    }
    QList<UploadList::Clash> clashes;
    m_list.addFiles(existing, &clashes);
    // Whoever started the program from a terminal reads why a file is missing.
    for (const UploadList::Clash &clash : clashes) {
        if (clash.listed.isEmpty())
            std::fprintf(stderr, "%s %s\n", qUtf8Printable(TextLineBreakName),
                         qUtf8Printable(shownPath(clash.path)));
    }

    if (QScreen *screen = this->screen()) {
        QRect area = geometry();
        area.moveCenter(screen->availableGeometry().center());
        move(area.topLeft());
    }
    show();

    const ProfileFile settings(m_files.settingsFile);
    ui->edtDstFolder->setText(settings.readString(SettingsSection, QStringLiteral("DestFolder")));
    m_connection.server = settings.readString(SettingsSection, QStringLiteral("Server"));
    m_connection.user = settings.readString(SettingsSection, QStringLiteral("User"),
                                            QString::fromLatin1(ftp::kDefaultUser));

    if (m_state.resume)
        messageBox(QMessageBox::Information, TextAttention,
                   QStringLiteral("Закачка файла была прервана и будет продолжена."),
                   QMessageBox::Ok);
    // Before the connection dialog, not beside it: no run goes on yet, so
    // the box may wait in a loop of its own.
    if (!clashes.isEmpty())
        messageBox(QMessageBox::Warning, TextAttention, clashText(clashes), QMessageBox::Ok);
}

ftp::FtpService::Options TfrmMainForm::ftpOptions() const
{
    ftp::FtpService::Options options;
    const ProfileFile settings(m_files.settingsFile);
    options.passiveFirst =
        settings.readString(SettingsSection, QStringLiteral("Passive")) != QLatin1String("0");
    options.idle = [] {
        QCoreApplication::processEvents();
        return true;
    };
    // Both the upload run and the folder browser take their options from
    // here, so both ask about certificates and report their protection.
    options.certificateDecision = m_certificateDecision;
    options.loggedIn = m_loggedIn;
    options.tlsLoggedIn = m_tlsLoggedIn;
    options.tlsBefore = m_tlsBefore;
    options.clearLoginDecision = m_clearLoginDecision;
    options.caFile = m_extraCaFile;
    return options;
}

void TfrmMainForm::setConnectionSummary(const QString &server)
{
    m_connectionSummary = server;
    ui->lblConnection->setText(server);
    ui->lblConnection->setToolTip(QString());
}

void TfrmMainForm::showSecurity(ftp::Security security)
{
    QString suffix = QStringLiteral(" (без шифрования)");
    QString tip = QStringLiteral("Пароль и файлы передаются без шифрования");
    if (security == ftp::Security::ExplicitTls) {
        suffix = QStringLiteral(" (TLS)");
        tip = QStringLiteral("Соединение зашифровано: явный TLS (AUTH TLS)");
    } else if (security == ftp::Security::ImplicitTls) {
        suffix = QStringLiteral(" (TLS)");
        tip = QStringLiteral("Соединение зашифровано: неявный TLS (ftps://)");
    }
    ui->lblConnection->setText(m_connectionSummary + suffix);
    ui->lblConnection->setToolTip(tip);
}

QString TfrmMainForm::formatBytes(qint64 bytes)
{
    return QLocale::system().toString(bytes) + QStringLiteral(" байт");
}

// --- enabling rules ---------------------------------------------------------

bool TfrmMainForm::canRun() const
{
    // A folder of blanks counts: the text is not trimmed.
    return !m_state.busy && m_list.count() > 0 && !ui->edtDstFolder->text().isEmpty();
}

QString TfrmMainForm::uploadCaption() const
{
    return ui->btnRun->text();
}

void TfrmMainForm::setPassword(const QString &password)
{
    m_connection.password = password;
}

void TfrmMainForm::commandStateUpdate()
{
    ui->btnRun->setEnabled(canRun());
    ui->btnRun->setText(m_state.resume ? QStringLiteral("Продолжить") : QStringLiteral("Закачать"));
    ui->btnConnection->setEnabled(!m_state.busy);
    const bool selected = ui->lvFiles->selectionModel()->hasSelection();
    ADelFiles->setEnabled(selected);
    ui->btnDelFiles->setEnabled(selected);
    ui->lvFiles->setEnabled(!m_state.busy);
}

void TfrmMainForm::setBusy(bool busy)
{
    m_state.busy = busy;
    if (m_windows.folders)
        m_windows.folders->setRunGoing(busy);
    commandStateUpdate();
}

void TfrmMainForm::edtSrcFileNameChange()
{
    commandStateUpdate();
}

void TfrmMainForm::lvFilesSelectItem()
{
    commandStateUpdate();
}

// --- commands ---------------------------------------------------------------

void TfrmMainForm::btnRunClick()
{
    startUpload();
}

void TfrmMainForm::edtDstFolderKeyPress()
{
    // Enter obeys the Upload button's rule, so no run starts inside another.
    if (canRun())
        startUpload();
}

void TfrmMainForm::startUpload()
{
    if (m_state.busy)
        return;
    UploadRun run(*this, m_list, m_state, m_connection, m_files, ftpOptions(), m_remoteNames.get());
    run.exec();
    // The window was closed while the run went on; now the program may end.
    if (m_closing)
        emit closed();
}

void TfrmMainForm::btnCloseClick()
{
    m_state.stop = true;
    close();
}

void TfrmMainForm::closeEvent(QCloseEvent *event)
{
    FormClose();
    event->accept();
    // However the window is closed, a running upload stops at once, as for
    // "Закрыть" (its waits end too), and ends the program when it returns;
    // until then its loop still uses this window. A connection-lost prompt
    // it shows is answered Cancel.
    if (m_state.busy) {
        m_state.stop = true;
        m_closing = true;
        if (m_windows.connLost && m_windows.connLost->isVisible())
            m_windows.connLost->reject();
    } else {
        emit closed();
    }
}

void TfrmMainForm::FormClose()
{
    // A refused write is reported, and the window closes all the same: a
    // read-only settings file must not make the program impossible to quit.
    ProfileFile settings(m_files.settingsFile);
    if (!settings.writeString(SettingsSection, QStringLiteral("Server"), m_connection.server) ||
        !settings.writeString(SettingsSection, QStringLiteral("User"), m_connection.user))
        messageBox(QMessageBox::Critical, QStringLiteral("Trelvan"),
                   QStringLiteral("Unable to write to %1").arg(m_files.settingsFile),
                   QMessageBox::Ok);
}

void TfrmMainForm::btnConnectionClick()
{
    if (!m_windows.connection)
        return;
    // A screen reader can press the button past the open dialog's modality;
    // a second loop of the same dialog would leave the first one waiting for
    // ever, and the values typed would not be taken.
    if (m_windows.connection->isVisible()) {
        m_windows.connection->raise();
        m_windows.connection->activateWindow();
        return;
    }
    if (m_windows.connection->edit(m_connection))
        setConnectionSummary(m_connection.server);
}

void TfrmMainForm::btnHelpClick()
{
    if (!m_windows.help)
        return;
    m_windows.help->show();
    m_windows.help->raise();
    m_windows.help->activateWindow();
}

void TfrmMainForm::lblAboutClick()
{
    // Modal for the user, but not a loop of its own: a run going on
    // underneath keeps sending (the same for every window opened from here
    // but the run's own prompts).
    if (m_windows.about) {
        m_windows.about->setWindowModality(Qt::ApplicationModal);
        m_windows.about->show();
    }
}

void TfrmMainForm::lblCopyrightClick()
{
    UrlOpener::open(QUrl(QStringLiteral("http://") + TfrmAbout::SiteAddress));
}

bool TfrmMainForm::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == ui->lvFiles->viewport()) {
        switch (event->type()) {
        case QEvent::DragEnter:
        case QEvent::DragMove:
            lvFilesDragOver(static_cast<QDragMoveEvent *>(event));
            return true;
        case QEvent::Drop:
            lvFilesDragDrop(static_cast<QDropEvent *>(event));
            return true;
        default:
            break;
        }
    }
    if (event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton) {
        if (watched == ui->lblAbout)
            lblAboutClick();
        else if (watched == ui->lblCopyright || watched == ui->Image1)
            lblCopyrightClick();
    }
    return QMainWindow::eventFilter(watched, event);
}

void TfrmMainForm::btnSrcFileNameClick()
{
    AAddFiles->trigger();
}

void TfrmMainForm::btnDelFilesClick()
{
    if (ADelFiles->isEnabled())
        ADelFiles->trigger();
}

void TfrmMainForm::btnTargetFolderClick()
{
    if (m_windows.folders)
        m_windows.folders->browse(ui->edtDstFolder->text());
}

void TfrmMainForm::btnTargetFolderChosen(const QString &folder)
{
    // An empty result (OK before any listing connected) keeps the box.
    if (!folder.isEmpty())
        ui->edtDstFolder->setText(folder);
}

void TfrmMainForm::lvFilesContextPopup(const QPoint &pos)
{
    pupFiles->popup(ui->lvFiles->viewport()->mapToGlobal(pos));
}

void TfrmMainForm::createOpenDialog()
{
    OpenDialog = new QFileDialog(this, QString(), m_openFolder);
    OpenDialog->setObjectName(QStringLiteral("OpenDialog"));
    OpenDialog->setFileMode(QFileDialog::ExistingFiles);
    OpenDialog->setAcceptMode(QFileDialog::AcceptOpen);
    OpenDialog->setSizeGripEnabled(true);
    auto *types = new FileTypeFilter(
        OpenDialog, {{QStringLiteral("All files (*.*)"), QStringLiteral("*.*")},
                     {QStringLiteral("Zip files (*.zip)"), QStringLiteral("*.zip")},
                     {QStringLiteral("Exe files (*.exe)"), QStringLiteral("*.exe")},
                     {QStringLiteral("Video files (*.avi)"), QStringLiteral("*.avi")},
                     {QStringLiteral("Flash files (*.swf)"), QStringLiteral("*.swf")},
                     {QStringLiteral("Text files (*.txt)"), QStringLiteral("*.txt")},
                     {QStringLiteral("mp3 files (*.mp3)"), QStringLiteral("*.mp3")},
                     {QStringLiteral("Web (*.php; *.htm; *.html; *.phtml)"),
                      QStringLiteral("*.php;*.htm*;*.phtml")}});
    if (!m_openFilter.isEmpty())
        types->selectFilter(m_openFilter);
}

// --- the upload list --------------------------------------------------------

void TfrmMainForm::AAddFilesExecute()
{
    if (OpenDialog)
        return; // already open
    createOpenDialog();
    connect(OpenDialog, &QDialog::finished, this, &TfrmMainForm::OpenDialogClose);
    OpenDialog->setWindowModality(Qt::ApplicationModal);
    OpenDialog->show();
}

void TfrmMainForm::OpenDialogClose(int result)
{
    const bool accepted = result == QDialog::Accepted;
    const QStringList chosen = accepted ? OpenDialog->selectedFiles() : QStringList();
    m_openFolder = OpenDialog->directory().absolutePath();
    m_openFilter = OpenDialog->selectedNameFilter();
    // Still on the dialog's own stack: it goes once this signal is over.
    std::exchange(OpenDialog, nullptr)->deleteLater();
    if (!accepted)
        return;
    const int first = m_list.count();
    QList<UploadList::Clash> clashes;
    m_list.addFiles(chosen, &clashes);
    // A running upload sends what joins the list, so it counts the bytes.
    if (m_state.busy) {
        for (int row = first; row < m_list.count(); ++row) {
            const QFileInfo info(m_list.at(row).path);
            if (info.isFile())
                m_state.uploadTotal += info.size();
        }
    }
    saveList();
    commandStateUpdate();
    reportNameClashes(clashes);
}

QStringList TfrmMainForm::droppedFiles(const QMimeData *data)
{
    // Local files only: folders, remote addresses and vanished names are
    // passed over.
    QStringList files;
    for (const QUrl &url : data->urls()) {
        if (url.isLocalFile() && QFileInfo(url.toLocalFile()).isFile())
            files << url.toLocalFile();
    }
    return files;
}

void TfrmMainForm::lvFilesDragOver(QDragMoveEvent *event)
{
    // Only a drag that was welcome on entering gets move events at all.
    if (event->type() == QEvent::DragMove || !droppedFiles(event->mimeData()).isEmpty()) {
        event->setDropAction(Qt::CopyAction);
        event->accept();
    } else {
        event->ignore();
    }
}

void TfrmMainForm::lvFilesDragDrop(QDropEvent *event)
{
    const QStringList files = droppedFiles(event->mimeData());
    if (files.isEmpty()) {
        event->ignore();
        return;
    }
    event->setDropAction(Qt::CopyAction);
    event->accept();
    QList<UploadList::Clash> clashes;
    m_list.addFiles(files, &clashes);
    saveList();
    commandStateUpdate();
    reportNameClashes(clashes);
}

void TfrmMainForm::ADelFilesExecute()
{
    messageBoxThen(QMessageBox::Question, TextAttention,
                   QStringLiteral("Удалить выделенные файлы из списка?"),
                   QMessageBox::Yes | QMessageBox::No, [this](QMessageBox::StandardButton answer) {
                       if (answer == QMessageBox::Yes)
                           deleteSelectedRows();
                   });
}

void TfrmMainForm::deleteSelectedRows()
{
    // Rows by selection range: deleting thousands of rows stays cheap.
    QList<int> rows;
    const QItemSelection selection = ui->lvFiles->selectionModel()->selection();
    for (const QItemSelectionRange &range : selection)
        for (int row = range.top(); row <= range.bottom(); ++row)
            rows.append(row);
    if (rows.isEmpty())
        return;
    m_list.removeRowsAt(rows);
    // The marker goes with its file's row: a file no longer listed is not to
    // be continued (nor put back into an empty list at the next start).
    const QString marked = ResumeMarker::markedPath(m_files.markerFile);
    if (!marked.isEmpty() && !m_list.containsPath(marked)) {
        QFile::remove(m_files.markerFile);
        m_state.resume = false;
    }
    saveList();
    commandStateUpdate();
}

void TfrmMainForm::saveList()
{
    if (ListFile::write(m_files.listFile, m_list.paths()) || m_listWarningShown)
        return;
    // Shown without a loop of its own: a drop or a hand-off during a run
    // saves the list too, and the transfer goes on while the box is up. One
    // box is enough however often the save fails meanwhile.
    m_listWarningShown = true;
    messageBoxThen(QMessageBox::Warning, TextAttention,
                   QStringLiteral("Не удалось сохранить список файлов."), QMessageBox::Ok,
                   [this](QMessageBox::StandardButton) { m_listWarningShown = false; });
}

QString TfrmMainForm::shownPath(const QString &path)
{
    QString shown = path;
    return shown.replace(QLatin1Char('\r'), QLatin1String("\\r"))
        .replace(QLatin1Char('\n'), QLatin1String("\\n"));
}

QString TfrmMainForm::clashText(const QList<UploadList::Clash> &clashes)
{
    constexpr int Named = 5;
    QStringList sameName;
    QStringList lineBreak;
    for (const UploadList::Clash &clash : clashes) {
        if (clash.listed.isEmpty())
            lineBreak.append(shownPath(clash.path));
        else
            sameName.append(QStringLiteral("%1 — уже есть %2").arg(clash.path, clash.listed));
    }
    const auto named = [](const QString &head, const QStringList &lines) {
        QString text = head;
        for (int i = 0; i < lines.size() && i < Named; ++i)
            text += QStringLiteral("\r\n") + lines[i];
        if (lines.size() > Named)
            text += QStringLiteral("\r\nи ещё %1").arg(lines.size() - Named);
        return text;
    };
    QStringList parts;
    if (!sameName.isEmpty())
        parts.append(named(QStringLiteral("Файлы с одинаковыми именами попали бы на сервер в один "
                                          "и тот же файл, поэтому не добавлены:"),
                           sameName));
    if (!lineBreak.isEmpty())
        parts.append(named(TextLineBreakName, lineBreak));
    return parts.join(QStringLiteral("\r\n\r\n"));
}

void TfrmMainForm::reportNameClashes(const QList<UploadList::Clash> &clashes)
{
    if (clashes.isEmpty())
        return;
    m_clashes += clashes;
    QString text = clashText(m_clashes);
    if (m_clashBox) {
        m_clashBox->setText(text.replace(QLatin1String("\r\n"), QLatin1String("\n")));
        return;
    }
    m_clashBox = messageBoxThen(QMessageBox::Warning, TextAttention, text, QMessageBox::Ok,
                                [this](QMessageBox::StandardButton) {
                                    m_clashes.clear();
                                    m_clashBox = nullptr;
                                });
}

void TfrmMainForm::reportUnreadableFile(const QString &path)
{
    messageBoxThen(QMessageBox::Warning, TextAttention,
                   QStringLiteral("Не удалось прочитать файл %1. Он не будет перезаписан.")
                       .arg(QDir::toNativeSeparators(path)),
                   QMessageBox::Ok, [](QMessageBox::StandardButton) {});
}

void TfrmMainForm::handOffFile(const QString &path)
{
    // No path: a start without files only brings the window forward.
    UploadList::Clash clash;
    if (!path.isEmpty() && m_list.addFile(path, &clash) >= 0) {
        // A file that cannot be opened stays listed and uncounted, and is
        // saved only while a run goes on (a crash must not lose what the run
        // was given).
        QFile file(path);
        const bool opened = file.open(QIODevice::ReadOnly);
        if (opened) {
            m_state.uploadTotal += file.size();
            file.close();
        }
        if (opened || m_state.busy)
            saveList();
    }
    commandStateUpdate();
    if (!clash.path.isEmpty())
        reportNameClashes({clash});
    if (isVisible()) {
        if (isMinimized())
            showNormal();
        raise();
        activateWindow();
    }
}

// --- UploadView -------------------------------------------------------------

QMessageBox::StandardButton TfrmMainForm::messageBox(QMessageBox::Icon icon, const QString &caption,
                                                     const QString &text,
                                                     QMessageBox::StandardButtons buttons)
{
    QString shown = text;
    shown.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    if (m_prompts)
        return m_prompts->messageBox(icon, caption, shown, buttons);
    QMessageBox box(icon, caption, shown, buttons, this);
    return QMessageBox::StandardButton(box.exec());
}

QMessageBox *
TfrmMainForm::messageBoxThen(QMessageBox::Icon icon, const QString &caption, const QString &text,
                             QMessageBox::StandardButtons buttons,
                             const std::function<void(QMessageBox::StandardButton)> &then)
{
    if (m_prompts) {
        then(messageBox(icon, caption, text, buttons));
        return nullptr;
    }
    QString shown = text;
    shown.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    auto *box = new QMessageBox(icon, caption, shown, buttons, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::ApplicationModal);
    // Esc and the close box count as the escape button, as in a modal loop.
    connect(box, &QDialog::finished, this,
            [box, then] { then(box->standardButton(box->clickedButton())); });
    box->show();
    return box;
}

ContinuePrompt::Answer TfrmMainForm::askContinue(const QString &message, Countdown countdown)
{
    if (m_prompts)
        return m_prompts->askContinue(message, countdown);
    return m_windows.connLost ? m_windows.connLost->ask(message, countdown) : TfrmConnLost::Cancel;
}

void TfrmMainForm::showMessage(const QString &text, const QString &caption, Icon icon)
{
    // The user closed the window: the program ends with the run, and a box
    // would keep it waiting with no window behind it. An answerer does not
    // wait.
    if (m_closing && !m_prompts)
        return;
    QMessageBox::Icon boxIcon = QMessageBox::Information;
    if (icon == Icon::Warning)
        boxIcon = QMessageBox::Warning;
    else if (icon == Icon::Error)
        boxIcon = QMessageBox::Critical;
    messageBox(boxIcon, caption, text, QMessageBox::Ok);
}

void TfrmMainForm::runEnded(const QString &message, int filesSent, int filesTotal)
{
    m_desktop->runEnded(message, filesSent, filesTotal);
}

int TfrmMainForm::addLogLine(const QString &text)
{
    ui->memLog->appendPlainText(text);
    return ui->memLog->document()->blockCount() - 1;
}

void TfrmMainForm::appendToLogLine(int index, const QString &suffix)
{
    const QTextBlock block = ui->memLog->document()->findBlockByNumber(index);
    if (!block.isValid())
        return;
    // A suffix may wrap its line onto another: a log that showed its last
    // line keeps showing it.
    QScrollBar *scroll = ui->memLog->verticalScrollBar();
    const bool atEnd = scroll->value() == scroll->maximum();
    QTextCursor cursor(block);
    cursor.movePosition(QTextCursor::EndOfBlock);
    cursor.insertText(suffix);
    if (atEnd)
        scroll->setValue(scroll->maximum());
}

void TfrmMainForm::setTextIfChanged(QLabel *label, const QString &text)
{
    if (label->text() != text)
        label->setText(text);
}

void TfrmMainForm::showProgress(const Progress &progress)
{
    // Called many times a second while blocks flow: touch only what changed.
    if (progress.percent != m_lastPercent) {
        m_lastPercent = progress.percent;
        // QProgressBar repaints itself at once, on the caller's stack, when
        // its value changes: a paint and a flush to the screen in the middle
        // of the run's loop. With updates held it is painted with the labels
        // the next time the window's events are handled.
        ui->ProgressBar->setUpdatesEnabled(false);
        ui->ProgressBar->setValue(qBound(0, progress.percent, 100));
        ui->ProgressBar->setUpdatesEnabled(true);
        ui->lblPercents->setText(QStringLiteral("%1%").arg(progress.percent));
    }
    setTextIfChanged(ui->lblSent, formatBytes(progress.sent));
    setTextIfChanged(ui->lblLeft, formatBytes(progress.left));
    setTextIfChanged(ui->lblLeftTime, progress.timeLeft);
    m_desktop->showProgress(progress.percent, progress.filesLeft);
}

void TfrmMainForm::focusRow(int row)
{
    const QModelIndex index = m_list.index(row, 0);
    if (!index.isValid())
        return;
    // Earlier rows stay selected. Each row added as a range of its own would
    // make the selection, and every paint that asks it, grow with the files
    // sent; a row next below a selected range extends that range instead.
    QItemSelectionModel *selection = ui->lvFiles->selectionModel();
    const QModelIndex rowEnd = m_list.index(row, UploadList::ColumnCount - 1);
    QItemSelection ranges = selection->selection();
    bool covered = false;
    for (QItemSelectionRange &range : ranges) {
        if (range.top() <= row && range.bottom() >= row && range.left() == 0 &&
            range.right() == rowEnd.column()) {
            covered = true;
            break;
        }
        if (range.bottom() == row - 1 && range.left() == 0 && range.right() == rowEnd.column()) {
            range = QItemSelectionRange(range.topLeft(), rowEnd);
            covered = true;
            selection->select(ranges, QItemSelectionModel::ClearAndSelect);
            break;
        }
    }
    if (!covered)
        selection->select(index, QItemSelectionModel::Select | QItemSelectionModel::Rows);
    selection->setCurrentIndex(index, QItemSelectionModel::NoUpdate);
    ui->lvFiles->scrollTo(index);
}

void TfrmMainForm::processEvents()
{
    QCoreApplication::processEvents();
}

QString TfrmMainForm::destFolder() const
{
    return ui->edtDstFolder->text();
}
