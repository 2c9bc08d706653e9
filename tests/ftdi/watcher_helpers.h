// Shared by the adapter watcher tests: waiting on the real event loop, scratch directories, and the
// D2XX simulator's configuration and journal.
#pragma once

#include <QString>
#include <QStringList>
#include <chrono>
#include <functional>

namespace watchertest {

// Runs the event loop until pred holds or the time is up; returns pred's last value.
bool WaitFor(const std::function<bool()>& pred, int timeoutMs = 15000);
// Runs the event loop for about ms milliseconds.
void Pump(int ms);

// A fresh directory under PRAVEX_TEST_TMP (or the system temp dir) for this test.
QString ScratchDir(const QString& name);
void WriteTextFile(const QString& path, const QString& text);

} // namespace watchertest
