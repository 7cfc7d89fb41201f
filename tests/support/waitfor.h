#pragma once

#include <QDeadlineTimer>
#include <QTest>

// Waits, handling events, until condition() holds or the time is up; says
// which. For checks that need the result, where QTRY_VERIFY cannot serve.
template<typename Condition>
bool waitFor(Condition condition, int timeoutMs = 5000)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(10);
    }
    return true;
}
