// pravex-log --all / --serial: an adapter's files, spool, topics and Home Assistant ids follow from its
// serial number, whatever the order the driver lists the adapters in; and the session always ends. The
// simulated FTDI driver, pravex-devsim as the devices, a real broker, and a preloaded shim for a full disk.
// labels: sim threaded
#include "LogSession.h"
#include "Spool.h"
#include "chipwatch/ChipSettings.h"
#include "tst_pravex_log_broker.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <gtest/gtest.h>

using namespace logtest;

namespace {

class LogIdentity : public ::testing::Test {
public:
    void SetUp() override {
        program = binary("PRAVEX_BIN_PRAVEX_LOG");
        devsim = binary("PRAVEX_BIN_PRAVEX_DEVSIM");
        ASSERT_FALSE(program.isEmpty());
        ASSERT_FALSE(binary("PRAVEX_BIN_PRAVEX_D2XX_SIM").isEmpty());
        dir = testScratchDir();
        config = dir + QStringLiteral("/adapters.conf");
        writeFile(config, "");
        ports = portLinkDir("pvxid");
        QDir(ports).removeRecursively();
        ASSERT_TRUE(QDir().mkpath(ports));
        for (const char* s : {"PVXA", "PVXB", "PVXC"}) {
            devices.push_back(std::make_unique<Proc>());
            devices.back()->start(devsim, {QStringLiteral("--link"), ports + QStringLiteral("/port-") + s,
                                           QStringLiteral("--interval"), QStringLiteral("100")});
            ASSERT_TRUE(devices.back()->waitOut("/dev/")) << devices.back()->err.toStdString();
        }
    }
    void TearDown() override {
        devices.clear();
        QDir(ports).removeRecursively();
        for (const char* s : {"PVXA", "PVXB", "PVXC"})
            chipwatch::WriteAlias(QString::fromLatin1(s), QString());
    }
    // A fresh run's folders; the driver lists `serials` in this order.
    void prepare(const QString& run, const QStringList& serials) {
        runDir = dir + QLatin1Char('/') + run;
        QDir().mkpath(runDir + QStringLiteral("/csv"));
        QByteArray list;
        for (const QString& s : serials)
            list += adapterBlock(s, ports + QStringLiteral("/port-") + s);
        writeFile(config, list);
    }
    QProcessEnvironment env(const QString& state) const {
        QProcessEnvironment e = simEnvironment(config);
        e.insert(QStringLiteral("XDG_STATE_HOME"), state);
        return e;
    }
    QStringList csvFiles() const { return QDir(runDir + QStringLiteral("/csv")).entryList(QDir::Files); }
    QList<qint64> csvCounters(const QString& csvDir, const QString& name) const {
        QList<qint64> out;
        const QList<QByteArray> rows =
            csvRows(readFile(csvDir + QLatin1Char('/') + name + QStringLiteral(".csv")));
        for (qsizetype i = 1; i < rows.size(); ++i)
            out.append(rows[i].left(rows[i].indexOf(';')).toLongLong());
        return out;
    }

    QString program, devsim, dir, config, ports, runDir;
    std::vector<std::unique_ptr<Proc>> devices;
};

struct Fault {
    const char* name;
    QList<QPair<const char*, QString>> aliases;
    QStringList listed; // in the driver's order
    // After the program; "CSV" is the run's CSV folder, "MQTT" the broker's URL, "NOBODY" one where
    // nobody listens.
    QStringList args;
    std::function<void(LogIdentity&, const QString& state)> before;
    int code;
    QByteArray says; // on stderr
    std::function<void(LogIdentity&, Proc& log, const QString& state)> check;
};

TEST_F(LogIdentity, EachFaultOfManyAdaptersIsMended) {
    Broker broker(dir + QStringLiteral("/broker"));
    QDir().mkpath(dir + QStringLiteral("/broker"));
    ASSERT_TRUE(broker.start());
    const QString nobody = QStringLiteral("mqtt://127.0.0.1:%1").arg(freePort());
    const QString longAlias(200, QChar(0xE9));
    std::unique_ptr<Spool> held;

    const QList<Fault> faults = {
        {"a refused adapter ends the session, and nothing starts after it",
         {},
         {"PVXA", "PVXB", "PVXC"},
         {"--all", "--csv-dir", "CSV"},
         [](LogIdentity& t, const QString&) { writeFile(t.runDir + "/csv/PVXB.csv", " ;voltage\r\n"); },
         LogExitCsv,
         "exists; --append",
         [](LogIdentity& t, Proc&, const QString&) { EXPECT_FALSE(t.csvFiles().contains("PVXC.csv")); }},
        {"an alias equal to another adapter's serial number",
         {{"PVXA", "PVXB"}},
         {"PVXA", "PVXB"},
         {"--all", "--csv-dir", "CSV", "--count", "3", "--mqtt", "MQTT"},
         {},
         LogExitOk,
         "",
         [](LogIdentity& t, Proc&, const QString& state) {
             EXPECT_EQ(t.csvFiles(), (QStringList{"PVXA.csv", "PVXB.csv"}));
             for (const char* s : {"PVXA", "PVXB"})
                 EXPECT_EQ(t.csvCounters(t.runDir + "/csv", s), evenCounters(2, 6)) << s;
             EXPECT_TRUE(QFile::exists(state + "/pravex/PVXA.spool"));
         }},
        {"long and hidden aliases",
         {{"PVXA", longAlias}, {"PVXB", ".bench"}},
         {"PVXA", "PVXB"},
         {"--all", "--csv-dir", "CSV", "--count", "3", "--mqtt", "NOBODY"},
         {},
         LogExitOk,
         "",
         [](LogIdentity& t, Proc&, const QString& state) {
             const QStringList files = t.csvFiles() + QDir(state + "/pravex").entryList(QDir::Files);
             EXPECT_EQ(t.csvFiles().size(), 2) << files.join(' ').toStdString();
             for (const QString& f : files) {
                 EXPECT_FALSE(f.startsWith('.')) << f.toStdString();
                 EXPECT_LE(f.toUtf8().size(), MaxAdapterNameBytes + 11) << f.toStdString();
             }
         }},
        {"a full disk while the spool is made, then room again",
         {},
         {"PVXA"},
         {"--serial", "PVXA", "--count", "8", "--mqtt", "NOBODY"},
         [](LogIdentity& t, const QString& state) {
             writeFile(t.runDir + "/fault", "size 0\n");
             QDir().mkpath(state + "/pravex");
         },
         LogExitMqtt,
         "could not write the MQTT spool",
         [](LogIdentity&, Proc& log, const QString& state) {
             EXPECT_TRUE(log.err.contains("No space left on device")) << log.err.toStdString();
             EXPECT_TRUE(log.err.contains("is written again")) << log.err.toStdString();
             EXPECT_TRUE(log.err.contains("readings not published: could not write the MQTT spool"))
                 << log.err.toStdString();
             EXPECT_FALSE(log.err.contains("was full")) << log.err.toStdString();
             // What waits is read by the next session, as the last message promised.
             Spool next;
             QString error;
             ASSERT_TRUE(next.open(state + "/pravex/PVXA.spool", 100, &error, "PVXA")) << error.toStdString();
             EXPECT_GT(next.pending(), 0);
             EXPECT_TRUE(log.err.contains(QByteArray::number(next.pending()) + " readings wait"))
                 << log.err.toStdString();
         }},
        {"--serial with its spool held by another logger",
         {},
         {"PVXA"},
         {"--serial", "PVXA", "--mqtt", "NOBODY"},
         [&held](LogIdentity&, const QString& state) {
             held = std::make_unique<Spool>();
             QString error;
             held->open(state + "/pravex/PVXA.spool", 10, &error, "PVXA");
         },
         LogExitMqtt,
         "in use by another pravex-log",
         {}},
        {"Home Assistant ids come from the serial number",
         {{"PVXA", "bench.1"}, {"PVXB", "bench 1"}},
         {"PVXA", "PVXB"},
         {"--all", "--count", "3", "--ha-discovery", "--mqtt", "MQTT"},
         {},
         LogExitOk,
         "",
         [&broker](LogIdentity&, Proc&, const QString&) {
             Proc sub;
             sub.start("mosquitto_sub", {"-h", "127.0.0.1", "-p", QString::number(broker.port()), "-v", "-C",
                                         "6", "-W", "60", "-t", "homeassistant/#"});
             ASSERT_EQ(sub.finish(120), 0) << sub.err.toStdString();
             QSet<QString> ids, devices;
             for (const QByteArray& line : sub.out.split('\n')) {
                 const QJsonObject o = QJsonDocument::fromJson(line.mid(line.indexOf(' ') + 1)).object();
                 if (o.isEmpty())
                     continue;
                 ids.insert(o["unique_id"].toString());
                 devices.insert(o["device"].toObject()["identifiers"].toArray().first().toString());
             }
             EXPECT_EQ(ids.size(), 6) << sub.out.toStdString();
             EXPECT_EQ(devices, (QSet<QString>{"pravex_PVXA", "pravex_PVXB"})) << sub.out.toStdString();
         }},
    };

    int row = 0;
    for (const Fault& f : faults) {
        SCOPED_TRACE(f.name);
        prepare(QStringLiteral("row%1").arg(++row), f.listed);
        for (const auto& [serial, alias] : f.aliases)
            chipwatch::WriteAlias(QString::fromLatin1(serial), alias);
        const QString state = runDir + QStringLiteral("/state");
        if (f.before)
            f.before(*this, state);
        QStringList args;
        for (const QString& a : f.args)
            args.append(a == "CSV"      ? runDir + QStringLiteral("/csv")
                        : a == "MQTT"   ? broker.url()
                        : a == "NOBODY" ? nobody
                                        : a);
        QProcessEnvironment e = env(state);
        const bool shim = QFile::exists(runDir + QStringLiteral("/fault"));
        if (shim) {
            e.insert("LD_PRELOAD", PRAVEX_LOG_FAULT_SHIM);
            e.insert("PRAVEX_FAULT_FILE", state + QStringLiteral("/pravex/PVXA.spool"));
            e.insert("PRAVEX_FAULT_CONTROL", runDir + QStringLiteral("/fault"));
            e.insert("ASAN_OPTIONS", e.value("ASAN_OPTIONS") + QStringLiteral(":verify_asan_link_order=0"));
        }
        Proc log;
        log.start(program, args, e);
        if (shim) {
            EXPECT_TRUE(log.waitErr("could not write the MQTT spool")) << log.err.toStdString();
            writeFile(runDir + QStringLiteral("/fault"), "\n");
        }
        const int code = log.finish(90);
        if (code < 0) {
            // It must end by itself; a stuck one must at least end on SIGTERM.
            log.terminate();
            EXPECT_GE(log.finish(10), 0) << "SIGTERM did not end it";
        }
        EXPECT_EQ(code, f.code) << log.err.toStdString();
        EXPECT_TRUE(log.err.contains(f.says)) << log.err.toStdString();
        if (f.check)
            f.check(*this, log, state);
        held.reset();
        for (const auto& [serial, alias] : f.aliases)
            chipwatch::WriteAlias(QString::fromLatin1(serial), QString());
    }
}

TEST_F(LogIdentity, ThreeAdaptersInTwoOrdersKeepTheirFilesSpoolsAndTopics) {
    // Two adapters share an alias: neither may take it, whichever the driver lists first.
    chipwatch::WriteAlias("PVXA", "X");
    chipwatch::WriteAlias("PVXB", "X");
    chipwatch::WriteAlias("PVXC", "bench");
    Broker broker(dir + QStringLiteral("/broker"));
    QDir().mkpath(dir + QStringLiteral("/broker"));
    ASSERT_TRUE(broker.start());
    broker.stop(); // the first run's readings wait in the spools
    const QString state = dir + QStringLiteral("/state");
    const QString csvDir = dir + QStringLiteral("/csv");
    const QStringList names = {"PVXA", "PVXB", "bench"};

    prepare(QStringLiteral("first"), {"PVXA", "PVXB", "PVXC"});
    Proc first;
    first.start(program, {"--all", "--csv-dir", csvDir, "--count", "3", "--mqtt", broker.url()}, env(state));
    ASSERT_EQ(first.finish(120), 0) << first.err.toStdString();
    EXPECT_TRUE(first.err.contains("readings wait in the MQTT spool")) << first.err.toStdString();

    ASSERT_TRUE(broker.start());
    Subscriber sub;
    sub.start(broker);
    prepare(QStringLiteral("second"), {"PVXC", "PVXB", "PVXA"});
    Proc second;
    second.start(program, {"--all", "--csv-dir", csvDir, "--count", "3", "--append", "--mqtt", broker.url()},
                 env(state));
    ASSERT_EQ(second.finish(120), 0) << second.err.toStdString();

    QStringList files = QDir(csvDir).entryList(QDir::Files);
    files.sort();
    EXPECT_EQ(files, (QStringList{"PVXA.csv", "PVXB.csv", "bench.csv"}));
    const QStringList serials = {"PVXA", "PVXB", "PVXC"};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(names[i].toStdString());
        EXPECT_EQ(csvCounters(csvDir, names[i]), evenCounters(2, 12));
        ASSERT_TRUE(sub.waitCounters(names[i].toUtf8(), 6)) << second.err.toStdString();
        EXPECT_EQ(sub.counters(names[i].toUtf8()), evenCounters(2, 12));
        const QByteArray prefix = "pravex/" + names[i].toUtf8() + "/reading ";
        for (const QByteArray& l : sub.lines()) {
            if (l.startsWith(prefix)) {
                EXPECT_EQ(QJsonDocument::fromJson(l.mid(prefix.size()))["adapter"]["serial"].toString(),
                          serials[i]);
            }
        }
        // The spool says whose it is.
        EXPECT_TRUE(readFile(state + "/pravex/" + names[i] + ".spool")
                        .contains("\nserial " + serials[i].toUtf8() + "\n"));
    }
}

} // namespace
