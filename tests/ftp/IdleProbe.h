// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "ftp/FtpClient.h"
#include "support/FtpTestClient.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>

/// Milliseconds since `t`.
inline long msSince(std::chrono::steady_clock::time_point t)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t)
            .count());
}

/// Counts idle-hook calls and the longest stretch without one, measured from
/// start() to stop() so a wait that never calls the hook shows as one gap.
class IdleProbe
{
public:
    using Clock = std::chrono::steady_clock;

    void start()
    {
        m_state->last = Clock::now();
        m_state->maxGapMs = 0;
        m_state->calls = 0;
        m_started = m_state->last;
    }
    void stop()
    {
        m_state->tick();
        m_elapsedMs = msSince(m_started);
    }

    ftp::IdleHook hook() const
    {
        auto state = m_state;
        return [state] {
            state->tick();
            ++state->calls;
            return true;
        };
    }

    long maxGapMs() const { return m_state->maxGapMs; }
    long calls() const { return m_state->calls; }
    /// How long the wait between start() and stop() took.
    long elapsedMs() const { return m_elapsedMs; }

private:
    struct State
    {
        Clock::time_point last = Clock::now();
        long maxGapMs = 0;
        long calls = 0;
        void tick()
        {
            const auto now = Clock::now();
            const long gap =
                std::chrono::duration_cast<std::chrono::milliseconds>(now - last).count();
            maxGapMs = std::max(maxGapMs, gap);
            last = now;
        }
    };
    std::shared_ptr<State> m_state = std::make_shared<State>();
    Clock::time_point m_started = Clock::now();
    long m_elapsedMs = 0;
};

/// Client options whose idle hook `probe` watches: every timeout at
/// `timeoutMs` but the one under test, `shortened`, at `shortMs`.
inline ftp::FtpService::Options watchedOptions(const IdleProbe &probe, int timeoutMs,
                                               int ftp::Timeouts::*shortened, int shortMs)
{
    ftp::FtpService::Options o = testOptions(timeoutMs, probe.hook());
    o.timeouts.*shortened = shortMs;
    return o;
}

/// The wait `probe` watched ended within `limitMs`, and the idle hook was
/// called all along.
inline void expectQuickAndIdle(const IdleProbe &probe, long limitMs, const std::string &why = {})
{
    EXPECT_LT(probe.elapsedMs(), limitMs) << why;
    EXPECT_LE(probe.maxGapMs(), 50) << why;
}
