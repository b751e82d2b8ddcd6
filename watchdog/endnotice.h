#pragma once

#include <QMetaObject>
#include <QObject>

#include <functional>

// Calls `ended` once `notice` (a QSocketNotifier on a pidfd, a QWinEventNotifier
// on a process handle) fires, unless `currentNumber` has moved on from the
// value it holds now: a notice cancelled, or dropped while its call waits,
// calls nothing. The call runs later, in `calls`, so that the callee may drop
// the notifier; both outlive it.
template <typename Notifier>
void armEndNotice(Notifier *notice, QObject *calls, const unsigned &currentNumber, std::function<void()> ended)
{
    const unsigned number = currentNumber;
    QObject::connect(notice, &Notifier::activated, notice,
                     [notice, calls, &currentNumber, number, ended = std::move(ended)] {
        notice->setEnabled(false);
        QMetaObject::invokeMethod(calls, [&currentNumber, number, ended] {
            if (currentNumber == number)
                ended();
        }, Qt::QueuedConnection);
    });
}
