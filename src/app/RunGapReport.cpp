// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/RunGapReport.h"

#include "upload/UploadRun.h"

#include <algorithm>

RunGapReport::RunGapReport(const UploadState &state, std::FILE *out) : m_state(state), m_out(out)
{
    // The timer looks at the busy flag itself, so the window needs no hook;
    // a tick that comes late is exactly what is being measured.
    m_ticker.setTimerType(Qt::PreciseTimer);
    connect(&m_ticker, &QTimer::timeout, this, &RunGapReport::tick);
    m_clock.start();
    m_ticker.start(10);
}

void RunGapReport::tick()
{
    const qint64 now = m_clock.nsecsElapsed();
    if (m_state.busy && !m_busy) {
        m_longestGapNs = 0;
    } else if (m_state.busy) {
        m_longestGapNs = std::max(m_longestGapNs, now - m_lastTickNs);
    } else if (m_busy) {
        m_longestGapNs = std::max(m_longestGapNs, now - m_lastTickNs);
        std::fprintf(m_out, "LONGEST-GAP-MS %.1f\n", double(m_longestGapNs) / 1e6);
        std::fflush(m_out);
    }
    m_busy = m_state.busy;
    m_lastTickNs = now;
}
