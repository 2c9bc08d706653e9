// pravex-log's CSV file on this machine's disk: rows per second with a sync after each (against the same
// rows unsynced), and opening a 50 MB file with --append (against reading it whole).
#include "BenchCommon.h"
#include "CsvLog.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <vector>

namespace {

const QString Header = QStringLiteral(" ;voltage");

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    // Beside the build, not in a tmpfs: the figure is about the disk.
    QDir().mkpath(QStringLiteral("build/bench"));
    QTemporaryDir dir(QDir::currentPath() + QStringLiteral("/build/bench/log-XXXXXX"));
    if (!dir.isValid()) {
        std::fprintf(stderr, "bench_log: no scratch folder\n");
        return 1;
    }
    QString error;

    // Rows as the session writes them, for a bounded time.
    const auto rowsPerSecond = [&](bool synced) {
        const QString path =
            dir.filePath(synced ? QStringLiteral("synced.csv") : QStringLiteral("plain.csv"));
        QElapsedTimer clock;
        long long rows = 0;
        if (synced) {
            CsvLog csv;
            if (!csv.prepare(path, CsvLog::Mode::New, Header, &error) || !csv.begin(&error))
                return 0.0;
            clock.start();
            while (clock.elapsed() < 3000 && rows < 20000)
                if (csv.appendRow(QStringLiteral("%1;3.9").arg(2 * ++rows), &error) == false)
                    return 0.0;
        } else {
            QFile f(path);
            if (!f.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
                return 0.0;
            clock.start();
            while (clock.elapsed() < 1000 && rows < 200000)
                f.write((QStringLiteral("%1;3.9").arg(2 * ++rows) + QStringLiteral("\r\n")).toLatin1());
        }
        return double(rows) / (double(clock.nsecsElapsed()) / 1e9);
    };
    const double synced = rowsPerSecond(true);
    const double plain = rowsPerSecond(false);
    Figure("log_rows_per_s", synced, "rows/s");
    Figure("log_rows_unsynced_per_s", plain, "rows/s");
    Figure("log_rows_sync_cost_ratio", synced > 0 ? plain / synced : 0, "x");

    // A 50 MB file of rows, as weeks of logging leave it.
    const QString big = dir.filePath(QStringLiteral("big.csv"));
    {
        QFile f(big);
        if (!f.open(QIODevice::WriteOnly))
            return 1;
        QByteArray block = Header.toLatin1() + "\r\n";
        long long counter = 0;
        while (f.size() + block.size() < 50LL * 1024 * 1024) {
            for (int i = 0; i < 10000; ++i)
                block += QByteArray::number(counter += 2) + ";3.91\r\n";
            f.write(block);
            block.clear();
        }
    }
    std::vector<double> open, whole;
    for (int run = 0; run < 5; ++run) {
        QElapsedTimer clock;
        clock.start();
        CsvLog csv;
        if (!csv.prepare(big, CsvLog::Mode::Append, Header, &error)) {
            std::fprintf(stderr, "bench_log: %s\n", qPrintable(error));
            return 1;
        }
        open.push_back(double(clock.nsecsElapsed()) / 1e6);
        csv.close();

        clock.restart();
        QFile f(big);
        if (f.open(QIODevice::ReadOnly) && f.readAll().isEmpty())
            return 1;
        whole.push_back(double(clock.nsecsElapsed()) / 1e6);
    }
    Figure("log_append_open_ms_50mb", median(open), "ms");
    Figure("log_read_whole_ms_50mb", median(whole), "ms");
    Figure("log_append_open_ratio", median(whole) / std::max(median(open), 1e-6), "x");
    return 0;
}
