// What the benchmark programs share: the "name value unit" line ./bench.sh collects, and a wait in the
// event loop as the program itself waits.
#pragma once

#include <QEventLoop>
#include <QTimer>
#include <cstdio>

// One figure, flushed at once so a benchmark cut short still leaves what it measured.
inline void Figure(const char* name, double value, const char* unit) {
    std::printf("%s %.6g %s\n", name, value, unit);
    std::fflush(stdout);
}

// Runs the event loop, sleeping while idle, for about ms milliseconds.
inline void RunEvents(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}
