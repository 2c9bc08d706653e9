// pravex-log with pravex-devsim as the device and the simulated FTDI driver as the adapters: the port found
// by auto-detection, one log carried across an unplug and re-plug of the same adapter (and not onto
// another one), and a session killed outright leaving only whole rows, which --append then continues.
// labels: sim threaded
#include "LogSession.h"
#include "chipwatch/ChipSettings.h"
#include "tst_pravex_log_support.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace logtest;

namespace {

class LogWithDevices : public ::testing::Test {
protected:
    void SetUp() override {
        program = binary("PRAVEX_BIN_PRAVEX_LOG");
        devsim = binary("PRAVEX_BIN_PRAVEX_DEVSIM");
        ASSERT_FALSE(program.isEmpty());
        ASSERT_FALSE(devsim.isEmpty());
        ASSERT_FALSE(binary("PRAVEX_BIN_PRAVEX_D2XX_SIM").isEmpty());
        dir = testScratchDir();
        csv = dir + QStringLiteral("/log.csv");
        config = dir + QStringLiteral("/adapters.conf");
        writeFile(config, "");
        env = simEnvironment(config);
        ports = portLinkDir("pvxlog");
        QDir(ports).removeRecursively();
        ASSERT_TRUE(QDir().mkpath(ports));
    }
    void TearDown() override { QDir(ports).removeRecursively(); }
    // A device on a pty reached through `link`, as a USB adapter's port would be.
    void startDevice(Proc& device, const QString& link, const QStringList& extra = {}) {
        device.start(devsim, QStringList{QStringLiteral("--link"), link} + extra);
        ASSERT_TRUE(device.waitOut("/dev/")) << device.err.toStdString();
    }
    QList<QByteArray> rows(bool* complete = nullptr) { return csvRows(readFile(csv), complete); }

    // Every row after the header is "counter;voltage" with the counter going up by 2 from `first`.
    static void expectUnbrokenRows(const QList<QByteArray>& rows, int first = 2) {
        ASSERT_FALSE(rows.isEmpty());
        EXPECT_EQ(rows[0], " ;voltage");
        const QRegularExpression row(QStringLiteral("^(\\d+);(\\d\\.\\d\\d)$"));
        for (int i = 1; i < rows.size(); ++i) {
            const auto m = row.match(QString::fromLatin1(rows[i]));
            ASSERT_TRUE(m.hasMatch()) << "row " << i << ": " << rows[i].toStdString();
            ASSERT_EQ(m.captured(1).toInt(), first + 2 * (i - 1)) << "row " << i;
        }
    }

    QString program, devsim, dir, csv, config, ports;
    QProcessEnvironment env;
};

TEST_F(LogWithDevices, FollowsTheSameAdapterAcrossARePlug) {
    const QString port1 = ports + QStringLiteral("/port1");
    const QString port2 = ports + QStringLiteral("/port2");
    Proc device;
    startDevice(device, port1, {QStringLiteral("--interval"), QStringLiteral("100")});

    Proc log;
    log.start(program, {QStringLiteral("--csv"), csv}, env);
    ASSERT_TRUE(log.waitErr("waiting for an FTDI adapter")) << log.err.toStdString();
    writeFile(config, adapterBlock(QStringLiteral("PVX1"), port1));
    ASSERT_TRUE(log.waitErr("logging " + port1.toLocal8Bit())) << log.err.toStdString();
    EXPECT_TRUE(log.err.contains("adapter PVX1"));
    ASSERT_TRUE(log.waitFor([&] { return rows().size() > 5; })) << log.err.toStdString();

    // Unplugged: the adapter leaves the driver's list and its port hangs up.
    writeFile(config, "");
    device.terminate();
    ASSERT_EQ(device.finish(), 0);
    ASSERT_TRUE(log.waitErr("waiting for the adapter to come back")) << log.err.toStdString();
    const int before = int(rows().size());

    // Another adapter, with a nearly empty battery, comes back with it and is listed first (the
    // watcher's active one): the log stays with PVX1.
    Proc other;
    startDevice(
        other, port2,
        {QStringLiteral("--interval"), QStringLiteral("100"), QStringLiteral("--soc"), QStringLiteral("5")});
    Proc again;
    startDevice(again, port1, {QStringLiteral("--interval"), QStringLiteral("100")});
    writeFile(config,
              adapterBlock(QStringLiteral("PVX2"), port2) + adapterBlock(QStringLiteral("PVX1"), port1));
    ASSERT_TRUE(log.waitErr("reconnected on " + port1.toLocal8Bit())) << log.err.toStdString();
    ASSERT_TRUE(log.waitFor([&] { return rows().size() > before + 5; })) << log.err.toStdString();

    log.terminate();
    ASSERT_EQ(log.finish(), 0) << log.err.toStdString();
    bool complete = false;
    const QList<QByteArray> all = rows(&complete);
    EXPECT_TRUE(complete);
    expectUnbrokenRows(all);
    // Only the followed adapter's battery (well above 3.5 V) is in the log.
    for (int i = 1; i < all.size(); ++i)
        EXPECT_GT(all[i].mid(all[i].indexOf(';') + 1).toDouble(), 3.5) << all[i].toStdString();
    // One log line per received line: the log text has at least every CSV row.
    EXPECT_GE(log.out.count('\n'), all.size() - 1);
}

TEST_F(LogWithDevices, TheDefaultAdapterChosenInTheChipWatcherIsTheOneLogged) {
    const QString port1 = ports + QStringLiteral("/port1");
    const QString port2 = ports + QStringLiteral("/port2");
    const chipwatch::TChipSettings monitor(chipwatch::SpinkaKeyFor(QStringLiteral("PRAVEX")));
    monitor.StoreDefault(QStringLiteral("PVX1"));
    Proc device1, device2;
    startDevice(device1, port1, {QStringLiteral("--interval"), QStringLiteral("100")});
    startDevice(
        device2, port2,
        {QStringLiteral("--interval"), QStringLiteral("100"), QStringLiteral("--soc"), QStringLiteral("5")});
    // Only another adapter at first: it is the scan's active one, yet not the one chosen.
    writeFile(config, adapterBlock(QStringLiteral("PVX2"), port2));
    Proc log;
    log.start(program, {QStringLiteral("--csv"), csv}, env);
    EXPECT_TRUE(log.waitErr("waiting for the default adapter PVX1")) << log.err.toStdString();
    writeFile(config,
              adapterBlock(QStringLiteral("PVX2"), port2) + adapterBlock(QStringLiteral("PVX1"), port1));
    EXPECT_TRUE(log.waitErr("logging " + port1.toLocal8Bit())) << log.err.toStdString();
    EXPECT_TRUE(log.waitFor([&] { return rows().size() > 4; })) << log.err.toStdString();
    log.terminate();
    EXPECT_EQ(log.finish(), 0) << log.err.toStdString();
    monitor.ClearDefault();
    EXPECT_FALSE(log.err.contains(port2.toLocal8Bit())) << log.err.toStdString();
    const QList<QByteArray> all = rows();
    expectUnbrokenRows(all);
    for (int i = 1; i < all.size(); ++i)
        EXPECT_GT(all[i].mid(all[i].indexOf(';') + 1).toDouble(), 3.5) << all[i].toStdString();
}

TEST_F(LogWithDevices, ADetectedAdaptersPortIsTriedUntilItOpensOrTheWaitRunsOut) {
    const QString port = ports + QStringLiteral("/port");
    writeFile(config, adapterBlock(QStringLiteral("PVX1"), port));
    Proc log;
    log.start(program, {QStringLiteral("--csv"), csv}, env);
    ASSERT_TRUE(log.waitErr("trying again")) << log.err.toStdString();
    Proc device;
    startDevice(device, port, {QStringLiteral("--interval"), QStringLiteral("100")});
    ASSERT_TRUE(log.waitErr("logging " + port.toLocal8Bit())) << log.err.toStdString();
    ASSERT_TRUE(log.waitFor([&] { return rows().size() > 2; })) << log.err.toStdString();
    log.terminate();
    EXPECT_EQ(log.finish(), 0) << log.err.toStdString();
    device.terminate();
    EXPECT_EQ(device.finish(), 0);

    // Its port never opens: the wait ends it, with the reason and no file.
    const QString other = dir + QStringLiteral("/other.csv");
    Proc waited;
    waited.start(program, {QStringLiteral("--csv"), other, QStringLiteral("--wait"), QStringLiteral("2")},
                 env);
    EXPECT_EQ(waited.finish(), LogExitPort) << waited.err.toStdString();
    EXPECT_TRUE(waited.err.contains("cannot open " + port.toLocal8Bit())) << waited.err.toStdString();
    EXPECT_FALSE(QFile::exists(other));
}

TEST_F(LogWithDevices, NamedPortIsReopenedWhenItComesBack) {
    const QString port = ports + QStringLiteral("/port");
    Proc device;
    startDevice(device, port,
                {QStringLiteral("--interval"), QStringLiteral("100"), QStringLiteral("--unplug-after"),
                 QStringLiteral("10")});
    Proc log;
    log.start(program, {QStringLiteral("--port"), port, QStringLiteral("--csv"), csv}, env);
    ASSERT_TRUE(log.waitErr("waiting for the port to come back")) << log.err.toStdString();
    ASSERT_EQ(device.finish(), 0);
    const int before = int(rows().size());

    Proc again;
    startDevice(again, port, {QStringLiteral("--interval"), QStringLiteral("100")});
    ASSERT_TRUE(log.waitErr("reconnected on " + port.toLocal8Bit())) << log.err.toStdString();
    ASSERT_TRUE(log.waitFor([&] { return rows().size() > before + 3; })) << log.err.toStdString();
    log.terminate();
    ASSERT_EQ(log.finish(), 0) << log.err.toStdString();
    expectUnbrokenRows(rows());
}

TEST_F(LogWithDevices, AReaderThatStopsReadingCostsNoReading) {
    const QString port = ports + QStringLiteral("/port");
    const QString fifo = ports + QStringLiteral("/out");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    // Opened and never read: the pipe fills after some 1500 lines.
    const int reader = ::open(QFile::encodeName(fifo).constData(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    Proc device;
    startDevice(device, port, {QStringLiteral("--interval"), QStringLiteral("0")});
    Proc log;
    log.p.setStandardOutputFile(fifo);
    log.start(program, {QStringLiteral("--port"), port, QStringLiteral("--csv"), csv}, env);
    EXPECT_TRUE(log.waitFor([&] { return rows().size() > 4000; }, 180)) << log.err.toStdString();
    log.terminate();
    EXPECT_EQ(log.finish(), 0) << log.err.toStdString();
    ::close(reader);
    expectUnbrokenRows(rows());
}

TEST_F(LogWithDevices, KilledOutrightLeavesWholeRowsThatAppendContinues) {
    const QString port = ports + QStringLiteral("/port");
    Proc device;
    startDevice(device, port, {QStringLiteral("--interval"), QStringLiteral("0")});
    Proc log;
    log.start(program, {QStringLiteral("--port"), port, QStringLiteral("--csv"), csv}, env);
    // Past the readout's periodic trim of its kept rows (every 1000), which must not touch the numbering.
    ASSERT_TRUE(log.waitFor([&] { return rows().size() > 1100; }, 120)) << log.err.toStdString();
    ASSERT_EQ(::kill(pid_t(log.pid()), SIGKILL), 0);
    EXPECT_EQ(log.finish(), -1);

    bool complete = false;
    const QList<QByteArray> killed = rows(&complete);
    EXPECT_TRUE(complete) << "a row was cut off";
    expectUnbrokenRows(killed);

    // The next session carries the same log on.
    Proc next;
    next.start(program,
               {QStringLiteral("--port"), port, QStringLiteral("--csv"), csv, QStringLiteral("--append"),
                QStringLiteral("--count"), QStringLiteral("20")},
               env);
    ASSERT_EQ(next.finish(), 0) << next.err.toStdString();
    const QList<QByteArray> continued = rows(&complete);
    EXPECT_TRUE(complete);
    EXPECT_EQ(continued.size(), killed.size() + 20);
    expectUnbrokenRows(continued);
}

} // namespace
