// The readout under load with the real windows (offscreen): pravex-devsim sends numbered status lines as
// fast as the port takes them, the monitor shows them with the tools window open, and every CSV row is
// checked for gaps. Also the chart's repaint and the CSV export at a million, memory per chart point and
// the program's start-up time.
#include "BenchCommon.h"
#include "TevChart.h"
#include "Unit1.h"
#include "common/TevTools.h"
#include "frmDodatkiU.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <cstdio>

namespace {

// Counts the CSV rows as the readout adds them, and the numbers they carry.
struct RowCounter : ReadoutCsv {
    QElapsedTimer clock;
    qint64 firstNs = -1, lastNs = -1;
    long rows = 0;
    long firstIndex = -1, lastIndex = -1;
    long gaps = 0;
    void rowsReset(const QString&) override {}
    long limit = 0;
    void rowAdded(const QString& row) override {
        // Number text "3.1NNNNNN": the line's index is in the last six digits.
        const long index = row.section(QLatin1Char(';'), 1).right(6).toLong();
        if (index >= limit)
            return;
        const qint64 now = clock.nsecsElapsed();
        if (firstNs < 0)
            firstNs = now;
        lastNs = now;
        ++rows;
        if (firstIndex < 0)
            firstIndex = index;
        else if (index != lastIndex + 1)
            gaps += index - lastIndex - 1;
        lastIndex = index;
    }
};

void benchThroughput(const QString& devsim, long lines, bool linkOnly = false) {
    QTemporaryDir dir;
    const QString script = dir.filePath(QStringLiteral("lines.txt"));
    {
        QFile f(script);
        if (!f.open(QIODevice::WriteOnly))
            return;
        QByteArray all;
        all.reserve(lines * 20);
        // Lines past the measured ones keep the device busy until the measured ones are all read: a
        // device that ends hangs up, and a hang-up drops what the port still had queued.
        for (long i = 0; i < lines + 5000; ++i)
            all += QStringLiteral("PVEX: 3.1%1V ON\n").arg(i, 6, 10, QLatin1Char('0')).toLatin1();
        f.write(all);
    }
    QProcess dev;
    dev.start(devsim, {QStringLiteral("--interval"), QStringLiteral("0"), QStringLiteral("--cr"),
                       QStringLiteral("--script"), script});
    if (!dev.waitForStarted(10000) || !dev.waitForReadyRead(10000)) {
        std::fprintf(stderr, "bench_readout: pravex-devsim did not start\n");
        return;
    }
    const QString port = QString::fromLocal8Bit(dev.readLine()).trimmed();

    RegWriteBool(QStringLiteral("ComPortAutoDetect"), false, PravexKey);
    RegWriteString(QStringLiteral("naComPort"), port, PravexKey);
    TForm1 form1;
    TfrmDodatki tools;
    form1.SetToolsWindow(&tools);
    form1.show();
    form1.BitBtn1Click(); // the tools window shown, on the chart
    RowCounter counter;
    counter.limit = lines;
    form1.Readout().setCsv(&counter);
    if (linkOnly) {
        // The serial link with a handler that only counts: what the link itself carries.
        long index = 0;
        form1.TevComPort3->OnRxString = [&counter, &index](QObject*, const QString&) {
            counter.rowAdded(QStringLiteral("0;3.1%1").arg(index++, 6, 10, QLatin1Char('0')));
        };
    }
    RunEvents(300);
    counter.clock.start();
    form1.Button1Click();

    // Until the device has sent everything and the rows stop coming.
    long seen = -1;
    QElapsedTimer idle;
    idle.start();
    while (idle.elapsed() < 4000) {
        RunEvents(100);
        if (counter.rows != seen) {
            seen = counter.rows;
            idle.restart();
        }
        if (counter.lastIndex == lines - 1)
            break;
    }
    if (form1.TevComPort3->Connected())
        form1.Button1Click();
    RunEvents(500);
    const double seconds = (counter.lastNs - counter.firstNs) / 1e9;
    // Lines the device sent before the port was opened are not the monitor's to lose: count from the
    // first one received to the last one sent.
    const long expected = counter.firstIndex < 0 ? lines : lines - counter.firstIndex;
    if (linkOnly) {
        std::fprintf(stderr, "bench_readout: serial link alone %.0f lines/s\n",
                     seconds > 0 ? (counter.rows - 1) / seconds : 0);
        form1.close();
        return;
    }
    Figure("readout_lines_per_s", seconds > 0 ? (counter.rows - 1) / seconds : 0, "lines/s");
    Figure("readout_lines_lost", double(expected - counter.rows), "lines");
    std::fprintf(stderr,
                 "bench_readout: %ld rows (first index %ld, gaps %ld), chart %d points, csv %lld rows\n",
                 counter.rows, counter.firstIndex, counter.gaps, tools.Chart1->Count(),
                 static_cast<long long>(form1.CsvRows().size() - 1));
    form1.Readout().setCsv(nullptr);
    form1.close();
    dev.terminate();
    dev.waitForFinished(5000);
}

// The handler alone, lines handed in directly: what the windows cost per line, without the serial link.
void benchHandler(long lines) {
    RegWriteBool(QStringLiteral("ComPortAutoDetect"), false, PravexKey);
    TForm1 form1;
    TfrmDodatki tools;
    form1.SetToolsWindow(&tools);
    form1.show();
    form1.BitBtn1Click();
    RunEvents(200);
    form1.Readout().start();
    QElapsedTimer t;
    t.start();
    for (long i = 0; i < lines; ++i) {
        form1.TevComPort3RxString(form1.TevComPort3,
                                  QStringLiteral("PVEX: 3.1%1V ON").arg(i, 6, 10, QLatin1Char('0')));
        if (i % 64 == 0)
            QCoreApplication::processEvents();
    }
    Figure("readout_handler_lines_per_s", lines / (t.nsecsElapsed() / 1e9), "lines/s");
    form1.close();
}

void benchChart() {
    TTevChart chart;
    chart.resize(577, 360);
    const int n = 1000000;
    for (int i = 0; i < n; ++i)
        chart.AddXY(2.0 * (i + 1), 3.3 + 0.5 * double((i * 7919LL) % 1000) / 1000.0);
    Figure("chart_bytes_per_point", double(chart.SeriesBytes()) / n, "bytes");
    QImage image(chart.size(), QImage::Format_RGB32);
    chart.render(&image); // warm-up
    const int rounds = 20;
    QElapsedTimer t;
    t.start();
    for (int r = 0; r < rounds; ++r)
        chart.render(&image);
    Figure("chart_repaint_ms_1m", t.nsecsElapsed() / 1e6 / rounds, "ms");
}

void benchCsv() {
    QStringList rows;
    rows.reserve(1000001);
    rows << QStringLiteral(" ;voltage");
    for (int i = 1; i <= 1000000; ++i)
        rows << QString::number(2 * i) + QStringLiteral(";3.") + QString::number(i % 100);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("rows.csv"));
    QElapsedTimer t;
    t.start();
    const QString error = TfrmDodatki::WriteFileReplacing(path, TfrmDodatki::CsvBytes(rows));
    Figure("csv_export_ms_1m", t.nsecsElapsed() / 1e6, "ms");
    if (!error.isEmpty())
        std::fprintf(stderr, "bench_readout: %s\n", qPrintable(error));
}

void benchStartup(const QString& pravex) {
    double best = -1;
    for (int round = 0; round < 3; ++round) {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("PRAVEX_REPORT_STARTUP"), QStringLiteral("1"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        p.setProcessEnvironment(env);
        p.setProcessChannelMode(QProcess::MergedChannels);
        QElapsedTimer t;
        t.start();
        p.start(pravex, {});
        QByteArray err;
        while (!err.contains("main window shown") && p.waitForReadyRead(10000))
            err += p.readAll();
        err += p.readAll();
        const double ms = t.nsecsElapsed() / 1e6;
        if (err.contains("main window shown") && (best < 0 || ms < best))
            best = ms;
        p.terminate();
        if (!p.waitForFinished(5000)) {
            p.kill();
            p.waitForFinished(5000);
        }
    }
    Figure("startup_ms", best, "ms");
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    // Settings of its own: the user's are never touched.
    QTemporaryDir home;
    qputenv("PRAVEX_REGISTRY", QFile::encodeName(home.filePath(QStringLiteral("registry.db"))));
    long lines = 200000;
    if (argc > 1)
        lines = std::clamp(std::atol(argv[1]), 1000L, 900000L);
    // PRAVEX_BENCH_ONLY=chart (or csv, startup, readout) runs one part, for profiling.
    const QString only = qEnvironmentVariable("PRAVEX_BENCH_ONLY");
    auto wanted = [&only](const char* part) { return only.isEmpty() || only == QLatin1String(part); };
    if (wanted("readout"))
        benchHandler(std::min(lines, 50000L));
#ifdef PRAVEX_BIN_PRAVEX_DEVSIM
    if (wanted("readout"))
        benchThroughput(QStringLiteral(PRAVEX_BIN_PRAVEX_DEVSIM), lines);
    if (qEnvironmentVariableIsSet("PRAVEX_BENCH_LINK_ONLY"))
        benchThroughput(QStringLiteral(PRAVEX_BIN_PRAVEX_DEVSIM), lines, true);
#else
    std::fprintf(stderr, "bench_readout: pravex-devsim not built\n");
#endif
    if (wanted("chart"))
        benchChart();
    if (wanted("csv"))
        benchCsv();
#ifdef PRAVEX_BIN_PRAVEX
    if (wanted("startup"))
        benchStartup(QStringLiteral(PRAVEX_BIN_PRAVEX));
#endif
    return 0;
}
