// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/Unattended.h"

#include "state/TrustStore.h"
#include "upload/UploadRun.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>

UnattendedView::Mode UnattendedView::modeFromEnvironment()
{
    Mode mode;
    const QString name = qEnvironmentVariable("TRELVAN_AUTOMATION");
    mode.enabled = name == QLatin1String("run") || name == QLatin1String("quiet");
    mode.autoRun = name == QLatin1String("run");
    mode.password = qEnvironmentVariable("TRELVAN_PASSWORD");
    return mode;
}

UnattendedView::UnattendedView(TfrmMainForm &window, const Mode &mode, std::FILE *out)
    : m_window(window), m_mode(mode), m_out(out)
{
    m_window.setAnswerer(this);
    m_window.setExtraCaFile(qEnvironmentVariable("TRELVAN_CA_FILE"));
}

UnattendedView::~UnattendedView()
{
    m_window.setAnswerer(nullptr);
}

void UnattendedView::postCreate(const QStringList &arguments)
{
    m_window.startUp(arguments);
    // What a person would see first, for tests that start the program.
    std::fprintf(m_out, "BUTTON %s\n", qPrintable(m_window.uploadCaption()));
    const UploadList &list = m_window.uploadList();
    for (int row = 0; row < list.count(); ++row)
        std::fprintf(m_out, "ROW %d [%s] %s\n", row + 1, qPrintable(list.at(row).status),
                     qPrintable(list.at(row).path));
    std::fflush(m_out);
    m_window.setPassword(m_mode.password);
    // From a timer, as a click comes from the window system: a run started
    // from a posted event holds back the window's repaints (themselves
    // posted events) until it reaches the transfer.
    if (m_mode.autoRun)
        QTimer::singleShot(1, &m_timers, [this] { automatedRun(); });
}

void UnattendedView::automatedRun()
{
    if (!m_window.canRun()) {
        std::fprintf(m_out, "RESULT not-started\n");
        std::fflush(m_out);
        QCoreApplication::exit(4);
        return;
    }
    // A person presses Upload in a window that is already painted: the
    // first paint (fonts, glyph caches) is not part of the run.
    m_window.repaint();
    QCoreApplication::processEvents();
    // A 10 ms timer shows how long the window went without handling events.
    QElapsedTimer clock;
    qint64 lastTick = 0, longestGap = 0;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, &ticker, [&] {
        const qint64 now = clock.nsecsElapsed();
        longestGap = std::max(longestGap, now - lastTick);
        lastTick = now;
    });
    clock.start();
    ticker.start(10);
    UploadRun run(m_window, m_window.uploadList(), m_window.uploadState(), m_window.connection(),
                  m_window.files(), m_window.ftpOptions(), &m_window.remoteNames());
    const UploadRun::Outcome outcome = run.exec();
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    ticker.stop();
    static const char *const names[] = {"not-started", "completed", "incomplete", "interrupted"};
    std::fprintf(m_out, "RESULT %s\nSECONDS %.3f\nLONGEST-GAP-MS %.1f\nTOTAL %lld\n",
                 names[int(outcome)], seconds, double(longestGap) / 1e6,
                 static_cast<long long>(m_window.uploadState().uploadTotal));
    std::fflush(m_out);
    static const int codes[] = {4, 0, 2, 3};
    QCoreApplication::exit(codes[int(outcome)]);
}

// --- the questions, answered ---------------------------------------------------

QMessageBox::StandardButton UnattendedView::messageBox(QMessageBox::Icon, const QString &caption,
                                                       const QString &text,
                                                       QMessageBox::StandardButtons buttons)
{
    std::fprintf(
        m_out, "MESSAGE %s: %s\n", qPrintable(caption),
        qPrintable(
            QString(text).replace(QLatin1String("\r\n"), QLatin1String(" ")).replace(u'\n', u' ')));
    std::fflush(m_out);
    return buttons.testFlag(QMessageBox::Yes) ? QMessageBox::Yes : QMessageBox::Ok;
}

ContinuePrompt::Answer UnattendedView::askContinue(const QString &message,
                                                   ContinuePrompt::Countdown countdown)
{
    std::fprintf(m_out, "PROMPT %s\n",
                 qPrintable(QString(message).replace(QLatin1String("\r\n"), QLatin1String(" "))));
    std::fflush(m_out);
    // A prompt that waits for the user gets no answer here: nobody is there.
    return countdown == ContinuePrompt::Countdown::Auto ? ContinuePrompt::Continue
                                                        : ContinuePrompt::Cancel;
}

ftp::CertificateDecision UnattendedView::decideCertificate(const ftp::CertificateInfo &certificate)
{
    // Nobody is there to answer: only a certificate trusted before passes.
    // The question never answers itself with trust.
    const QString fingerprint = QString::fromStdString(certificate.fingerprint);
    const auto answer = m_window.trustStore().decide(QString::fromStdString(certificate.host),
                                                     certificate.port, fingerprint, {});
    std::fprintf(m_out, "CERTIFICATE %s:%u %s %s\n", certificate.host.c_str(),
                 unsigned(certificate.port), certificate.fingerprint.c_str(),
                 answer == TrustStore::Answer::Refuse ? "refused" : "trusted");
    std::fflush(m_out);
    return answer == TrustStore::Answer::Refuse ? ftp::CertificateDecision::Refuse
                                                : ftp::CertificateDecision::TrustOnce;
}

bool UnattendedView::allowClearLogin(const QString &server)
{
    // As with a certificate: nobody is there, and the question never
    // answers itself with yes.
    std::fprintf(m_out, "CLEARTEXT %s refused\n", qPrintable(server));
    std::fflush(m_out);
    return false;
}
