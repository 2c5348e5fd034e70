// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <cstdio>

struct UploadState;

/// For a benchmark that works the window as a person does (TRELVAN_RUN_REPORT=1):
/// while an upload run is busy, a 10 ms timer measures the longest time the
/// window went without handling its events, and when the run ends
/// "LONGEST-GAP-MS n" is written to `out`. Runs started by a click get the
/// same figure as the unattended mode's own run.
class RunGapReport : public QObject
{
public:
    RunGapReport(const UploadState &state, std::FILE *out = stdout);

private:
    void tick();

    const UploadState &m_state;
    std::FILE *m_out;
    QTimer m_ticker;
    QElapsedTimer m_clock;
    bool m_busy = false;
    qint64 m_lastTickNs = 0;
    qint64 m_longestGapNs = 0;
};
