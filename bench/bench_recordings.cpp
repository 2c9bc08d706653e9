// Recordings in the chart: opening a 1,000,000-row logger CSV until it is drawn (beside the time to read the
// same bytes), the repaint with ten such recordings and a 1,000,000-point live series (beside the live
// series alone; also with a view that changes every frame), and the time from a row appended to a followed
// file until the chart holds it.
#include "BenchCommon.h"
#include "RecordingSet.h"
#include "TevChart.h"
#include "readout/CsvRows.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <algorithm>
#include <vector>

namespace {

QByteArray loggerCsv(int rows) {
    QByteArray out = CsvRows::timedHeader().toLatin1() + "\r\n";
    out.reserve(qsizetype(rows) * 40);
    QDateTime t(QDate(2026, 12, 9), QTime(18, 0), Qt::UTC);
    for (int i = 1; i <= rows; ++i) {
        const QString voltage = QString::number(3.3 + 0.9 * double((i * 7919LL) % 1000) / 1000.0, 'f', 2);
        out +=
            CsvRows::fileLine(CsvRows::timedRow(CsvRows::row(2 * i, voltage), t.addMSecs(qint64(i) * 2000)));
    }
    return out;
}

bool waitUntil(const std::function<bool()>& done, int timeoutMs = 120000) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    }
    return true;
}

double renderMs(TTevChart& chart, QImage& image, int rounds) {
    chart.render(&image); // warm-up
    QElapsedTimer t;
    t.start();
    for (int r = 0; r < rounds; ++r)
        chart.render(&image);
    return t.nsecsElapsed() / 1e6 / rounds;
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("million.csv"));
    {
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly) || f.write(loggerCsv(1000000)) < 0)
            return 1;
    }
    // Both figures with the file in the page cache.
    QElapsedTimer t;
    t.start();
    {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly))
            return 1;
        const QByteArray bytes = f.readAll();
        Figure("recording_read_bytes_ms_1m", t.nsecsElapsed() / 1e6, "ms");
    }

    TTevChart chart;
    chart.resize(577, 360);
    QImage image(chart.size(), QImage::Format_RGB32);
    RecordingSet set(&chart);
    t.start();
    set.open({path});
    if (!waitUntil([&] { return !set.loading(); }) || chart.Recordings().size() != 1)
        return 1;
    chart.render(&image);
    Figure("recording_open_ms_1m", t.nsecsElapsed() / 1e6, "ms");

    for (int i = 0; i < 1000000; ++i)
        chart.AddXY(2.0 * (i + 1), 3.3 + 0.5 * double((i * 7919LL) % 1000) / 1000.0);
    set.closeAll();
    Figure("live_repaint_ms_1m", renderMs(chart, image, 20), "ms");
    set.open(QStringList(10, path));
    if (!waitUntil([&] { return !set.loading(); }) || chart.Recordings().size() != 10)
        return 1;
    Figure("recordings_repaint_ms_10x1m", renderMs(chart, image, 20), "ms");
    // While the view changes (a zoom animation), nothing drawn before can be reused.
    {
        const QRectF whole = chart.ViewRect();
        QElapsedTimer z;
        z.start();
        const int rounds = 20;
        for (int r = 0; r < rounds; ++r) {
            chart.ZoomTo(whole.adjusted(whole.width() * r / 100.0, 0, 0, 0), false);
            chart.render(&image);
        }
        Figure("recordings_repaint_ms_10x1m_new_view", z.nsecsElapsed() / 1e6 / rounds, "ms");
        chart.UndoZoom(false);
    }

    // A followed file: a row appended, then waited for in the chart, a hundred times.
    set.closeAll();
    chart.Clear();
    const QString followed = dir.filePath(QStringLiteral("followed.csv"));
    {
        QFile f(followed);
        if (!f.open(QIODevice::WriteOnly) || f.write(loggerCsv(1)) < 0)
            return 1;
    }
    set.open({followed});
    if (!waitUntil([&] { return !set.loading(); }) || chart.Recordings().size() != 1)
        return 1;
    const RecordingSeries* series = chart.Recordings().front();
    QFile out(followed);
    if (!out.open(QIODevice::Append))
        return 1;
    const QByteArray more = loggerCsv(101);
    const QList<QByteArray> rows = more.split('\n');
    std::vector<double> latencies;
    for (int i = 2; i <= 101; ++i) {
        // Now and then between two looks at the file, as rows come from a device.
        RunEvents(int((i * 37) % 250));
        t.start();
        out.write(rows[i] + '\n');
        out.flush();
        if (!waitUntil([&] { return series->count() == size_t(i); }, 10000))
            return 1;
        latencies.push_back(t.nsecsElapsed() / 1e6);
    }
    std::sort(latencies.begin(), latencies.end());
    Figure("follow_latency_ms_p99", latencies[size_t(latencies.size() * 99 / 100)], "ms");
    Figure("follow_latency_ms_median", latencies[latencies.size() / 2], "ms");
    return 0;
}
