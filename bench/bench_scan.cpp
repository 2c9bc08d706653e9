// The adapter watcher's costs against the D2XX simulator: one scan pass over 21 adapters, the hand-over of
// the records to the GUI thread, and how closely a reset-pulse train keeps its 40 ms phases.
#include "BenchCommon.h"
#include "D2XXUnit.h"
#include "D2xxBackend.h"
#include "TevFT232a.h"
#include "TevFT232aCheckThreadU.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
#ifndef PRAVEX_BIN_PRAVEX_D2XX_SIM
    std::fprintf(stderr, "the D2XX simulator is not built\n");
    return 1;
#else
    QTemporaryDir dir;
    const QString config = dir.filePath(QStringLiteral("adapters.conf"));
    QFile f(config);
    if (!f.open(QIODevice::WriteOnly))
        return 1;
    for (int i = 0; i < 21; ++i)
        f.write(QStringLiteral(
                    "[adapter]\nserial = BENCH%1\ndescription = bench\ntty = ttyUSB%1\nua_text = \"adapter "
                    "%1\"\n")
                    .arg(i)
                    .toUtf8());
    f.close();
    qputenv("PRAVEX_D2XX_SIM_CONFIG", QFile::encodeName(config));
    qputenv("PRAVEX_D2XX_LIBRARY", PRAVEX_BIN_PRAVEX_D2XX_SIM);
    qputenv("PRAVEX_DEVICE_MONITOR", "none");
    D2xxSelectBackend();
    auto clearJournal = reinterpret_cast<void (*)()>(D2xxLibrarySymbol("PravexSim_ClearJournal"));

    TFTOrvakDefListFlags records{};
    int count = 0;
    QString active;
    bool error = false;
    const int passes = 200;
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < passes; ++i) {
        ScanAdapters({records, count, active, error});
        if (clearJournal)
            clearJournal();
    }
    Figure("scan_pass_21_adapters", double(t.nsecsElapsed()) / passes / 1e6, "ms");

    TFTOrvakDefListFlags target{};
    t.restart();
    for (int i = 0; i < 10000; ++i) {
        target = records;
        records[std::size_t(i % 21)].Active = i & 1;
    }
    Figure("records_handover", double(t.nsecsElapsed()) / 10000 / 1e3, "us");

    // Pulse train: the spacing of the 22 writes as the journal's monotonic clock saw them.
    TTevFT232a watcher;
    if (clearJournal)
        clearJournal();
    watcher.ResetPulse(QStringLiteral("BENCH0"), true, FT_RESET_RI);
    auto journal = reinterpret_cast<FT_DWORD (*)(char*, FT_DWORD)>(D2xxLibrarySymbol("PravexSim_Journal"));
    if (!journal)
        return 1;
    QByteArray text(qsizetype(journal(nullptr, 0)) + 1, '\0');
    journal(text.data(), FT_DWORD(text.size()));
    std::vector<double> writes;
    for (const QByteArray& line : text.split('\n'))
        if (line.contains(" FT_Write "))
            writes.push_back(line.left(line.indexOf(' ')).toDouble());
    if (writes.size() != 22)
        return 1;
    double sum = 0, worst = 0;
    for (std::size_t i = 1; i < writes.size(); ++i) {
        const double phase = (writes[i] - writes[i - 1]) * 1e3;
        sum += phase;
        worst = std::max(worst, std::fabs(phase - 40.0));
    }
    Figure("pulse_phase_mean", sum / double(writes.size() - 1), "ms");
    Figure("pulse_phase_worst_deviation", worst, "ms");
    return 0;
#endif
}
