#pragma once

#include <QElapsedTimer>
#include <QThread>

#include <functional>

namespace support {

// The earliest a coarse Qt timer of `ms` may fire: Qt lets one fire 5 % early.
constexpr qint64 coarseEarliest(qint64 ms)
{
    return ms - ms / 20;
}

// Polls `done` every 10 ms until it holds or `timeoutMs` passes; whether it held.
// The default is a deadline for what takes milliseconds on a quiet machine,
// with every core busy, under the sanitizers or Wine.
inline bool waitUntil(const std::function<bool()> &done, int timeoutMs = 30000)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QThread::msleep(10);
    }
    return true;
}

} // namespace support
