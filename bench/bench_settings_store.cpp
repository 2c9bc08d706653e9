// Cost of the shared helpers as programs call them: one settings write, one read (each its own
// connection and transaction) and one coloured log line appended to a full log view.
#include "BenchCommon.h"
#include "common/TevTools.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTextEdit>
#include <cstdio>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QTemporaryDir dir;
    qputenv("PRAVEX_REGISTRY", dir.filePath(QStringLiteral("registry.db")).toLocal8Bit());
    const QString key = QStringLiteral("Software\\Bench");

    constexpr int Writes = 2000;
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < Writes; ++i)
        RegWriteInteger(QStringLiteral("v%1").arg(i % 100), i, key);
    Figure("settings_write", double(clock.nsecsElapsed()) / Writes / 1000.0, "us/value");

    constexpr int Reads = 5000;
    long long sum = 0;
    clock.restart();
    for (int i = 0; i < Reads; ++i)
        sum += RegReadInteger(QStringLiteral("v%1").arg(i % 100), 0, key);
    Figure("settings_read", double(clock.nsecsElapsed()) / Reads / 1000.0, "us/value");

    QTextEdit view;
    view.resize(300, 400);
    view.show();
    const QString line = QStringLiteral("09.12.2026 07:10:00 > PVEX: 3.91V ON");
    for (int i = 0; i < 401; ++i)
        AddColoredLine(&view, line, 0, 0x008000, 0, QStringLiteral("Consolas"), 8);
    constexpr int Lines = 5000;
    clock.restart();
    for (int i = 0; i < Lines; ++i)
        AddColoredLine(&view, line, 0, 0x008000, 0, QStringLiteral("Consolas"), 8);
    Figure("log_line_full_view", double(clock.nsecsElapsed()) / Lines / 1000.0, "us/line");
    return sum < 0 ? 1 : 0;
}
