// pravex-log --all with the simulated FTDI driver, pravex-devsim as the devices and a real broker: one CSV
// file and one topic per adapter, each in order; an adapter plugged in mid-session joins, a re-plugged one
// carries on with its file and topic; --serial limits the session to some adapters.
// labels: sim threaded
#include "chipwatch/ChipSettings.h"
#include "tst_pravex_log_broker.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

using namespace logtest;

namespace {

class LogManyAdapters : public ::testing::Test {
protected:
    void SetUp() override {
        program = binary("PRAVEX_BIN_PRAVEX_LOG");
        devsim = binary("PRAVEX_BIN_PRAVEX_DEVSIM");
        ASSERT_FALSE(program.isEmpty());
        ASSERT_FALSE(binary("PRAVEX_BIN_PRAVEX_D2XX_SIM").isEmpty());
        dir = testScratchDir();
        csvDir = dir + QStringLiteral("/csv");
        config = dir + QStringLiteral("/adapters.conf");
        writeFile(config, "");
        env = simEnvironment(config);
        env.insert(QStringLiteral("XDG_STATE_HOME"), dir + QStringLiteral("/state"));
        ports = portLinkDir("pvxmulti");
        QDir(ports).removeRecursively();
        ASSERT_TRUE(QDir().mkpath(ports));
        QDir().mkpath(dir + QStringLiteral("/broker"));
        broker = std::make_unique<Broker>(dir + QStringLiteral("/broker"));
    }
    void TearDown() override {
        QDir(ports).removeRecursively();
        chipwatch::WriteAlias(QStringLiteral("PVXA"), QString());
        chipwatch::WriteAlias(QStringLiteral("PVXB"), QString());
    }
    void startDevice(Proc& device, const QString& name) {
        device.start(devsim, {QStringLiteral("--link"), ports + QLatin1Char('/') + name,
                              QStringLiteral("--interval"), QStringLiteral("100")});
        ASSERT_TRUE(device.waitOut("/dev/")) << device.err.toStdString();
    }
    QByteArray adapters(const QStringList& serials) {
        QByteArray out;
        for (const QString& s : serials)
            out += adapterBlock(s, ports + QStringLiteral("/port-") + s);
        return out;
    }
    QList<qint64> csvCounters(const QString& name) {
        QList<qint64> out;
        const QList<QByteArray> rows =
            csvRows(readFile(csvDir + QLatin1Char('/') + name + QStringLiteral(".csv")));
        for (qsizetype i = 1; i < rows.size(); ++i)
            out.append(rows[i].left(rows[i].indexOf(';')).toLongLong());
        return out;
    }

    QString program, devsim, dir, csvDir, config, ports;
    QProcessEnvironment env;
    std::unique_ptr<Broker> broker;
};

TEST_F(LogManyAdapters, EachAdapterHasItsFileAndTopicAcrossJoinsAndRePlugs) {
    chipwatch::WriteAlias(QStringLiteral("PVXB"), QStringLiteral("bench 2"));
    ASSERT_TRUE(broker->start());
    Subscriber sub;
    sub.start(*broker);
    Proc a, b, c;
    startDevice(a, QStringLiteral("port-PVXA"));
    startDevice(b, QStringLiteral("port-PVXB"));
    writeFile(config, adapters({QStringLiteral("PVXA"), QStringLiteral("PVXB")}));

    Proc log;
    log.start(program, {"--all", "--csv-dir", csvDir, "--mqtt", broker->url()}, env);
    ASSERT_TRUE(log.waitFor([&] {
        return csvCounters("PVXA").size() > 5 && csvCounters("bench_2").size() > 5;
    })) << log.err.toStdString();

    // A third adapter joins.
    startDevice(c, QStringLiteral("port-PVXC"));
    writeFile(config, adapters({QStringLiteral("PVXA"), QStringLiteral("PVXB"), QStringLiteral("PVXC")}));
    ASSERT_TRUE(log.waitFor([&] { return csvCounters("PVXC").size() > 5; })) << log.err.toStdString();

    // PVXA unplugged and plugged in again: same file, same topic, counter going on.
    writeFile(config, adapters({QStringLiteral("PVXB"), QStringLiteral("PVXC")}));
    a.terminate();
    ASSERT_EQ(a.finish(), 0);
    ASSERT_TRUE(log.waitErr("[PVXA] ")) << log.err.toStdString();
    ASSERT_TRUE(log.waitErr("waiting for the adapter to come back")) << log.err.toStdString();
    const qsizetype before = csvCounters("PVXA").size();
    Proc again;
    startDevice(again, QStringLiteral("port-PVXA"));
    writeFile(config, adapters({QStringLiteral("PVXA"), QStringLiteral("PVXB"), QStringLiteral("PVXC")}));
    ASSERT_TRUE(log.waitErr("reconnected on")) << log.err.toStdString();
    ASSERT_TRUE(log.waitFor([&] { return csvCounters("PVXA").size() > before + 5; }))
        << log.err.toStdString();

    log.terminate();
    ASSERT_EQ(log.finish(), 0) << log.err.toStdString();
    EXPECT_EQ(QDir(csvDir).entryList(QDir::Files).size(), 3)
        << QDir(csvDir).entryList().join(' ').toStdString();
    for (const char* name : {"PVXA", "bench_2", "PVXC"}) {
        SCOPED_TRACE(name);
        const QList<qint64> rows = csvCounters(QString::fromLatin1(name));
        ASSERT_FALSE(rows.isEmpty());
        EXPECT_EQ(rows, evenCounters(2, 2 * rows.size()));
        ASSERT_TRUE(sub.waitCounters(name, int(rows.size()))) << log.err.toStdString();
        EXPECT_EQ(sub.counters(name), rows);
        // Standard output tells the adapters apart.
        EXPECT_GE(log.out.count(QByteArray("[") + name + "] "), rows.size());
    }
}

TEST_F(LogManyAdapters, SerialLimitsTheSessionToSomeAdapters) {
    Proc a, b;
    startDevice(a, QStringLiteral("port-PVXA"));
    startDevice(b, QStringLiteral("port-PVXB"));
    writeFile(config, adapters({QStringLiteral("PVXA"), QStringLiteral("PVXB")}));
    Proc log;
    log.start(program, {"--serial", "PVXB", "--csv-dir", csvDir, "--count", "5"}, env);
    EXPECT_EQ(log.finish(120), 0) << log.err.toStdString();
    EXPECT_EQ(csvCounters("PVXB"), evenCounters(2, 10));
    EXPECT_EQ(QDir(csvDir).entryList(QDir::Files), QStringList{"PVXB.csv"});
    EXPECT_FALSE(log.out.contains("[PVXA]"));

    // Files are refused as with --csv: an existing one needs --append, which continues it.
    Proc refused;
    refused.start(program, {"--serial", "PVXB", "--csv-dir", csvDir, "--count", "2", "--wait", "60"}, env);
    EXPECT_NE(refused.finish(120), 0);
    EXPECT_TRUE(refused.err.contains("exists; --append")) << refused.err.toStdString();
    Proc appended;
    appended.start(program, {"--serial", "PVXB", "--csv-dir", csvDir, "--count", "2", "--append"}, env);
    EXPECT_EQ(appended.finish(120), 0) << appended.err.toStdString();
    EXPECT_EQ(csvCounters("PVXB"), evenCounters(2, 14));
}

TEST_F(LogManyAdapters, TwoAdaptersWithOneAliasKeepTheirOwnFiles) {
    chipwatch::WriteAlias(QStringLiteral("PVXA"), QStringLiteral("same"));
    chipwatch::WriteAlias(QStringLiteral("PVXB"), QStringLiteral("same"));
    Proc a, b;
    startDevice(a, QStringLiteral("port-PVXA"));
    startDevice(b, QStringLiteral("port-PVXB"));
    writeFile(config, adapters({QStringLiteral("PVXA"), QStringLiteral("PVXB")}));
    Proc log;
    log.start(program, {"--all", "--csv-dir", csvDir, "--count", "3"}, env);
    EXPECT_EQ(log.finish(120), 0) << log.err.toStdString();
    // Neither takes the alias: which one came first must not decide whose file "same.csv" is.
    const QStringList files = QDir(csvDir).entryList(QDir::Files);
    EXPECT_EQ(files, (QStringList{"PVXA.csv", "PVXB.csv"})) << files.join(' ').toStdString();
    for (const QString& f : files)
        EXPECT_EQ(csvCounters(f.chopped(4)), evenCounters(2, 6)) << f.toStdString();
}

} // namespace
