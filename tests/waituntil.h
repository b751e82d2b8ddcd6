#pragma once

#include <QElapsedTimer>
#include <QThread>

#include <functional>

namespace support {

// Polls `done` every 10 ms until it holds or `timeoutMs` passes; whether it held.
inline bool waitUntil(const std::function<bool()> &done, int timeoutMs = 10000)
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
