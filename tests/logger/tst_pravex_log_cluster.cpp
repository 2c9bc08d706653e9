// pravex-log --all with two simulated adapters publishing to a two-node RabbitMQ cluster started by the
// test: node 1 stops mid-session, the logger moves to node 2, and a persistent subscriber there gets every
// reading of both adapters, in order, equal to the CSV rows; Home Assistant's birth message on node 2
// brings the discovery configs there.
// labels: cluster
#include "tst_pravex_log_broker.h"
#include "tst_pravex_log_rabbit.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <array>
#include <gtest/gtest.h>
#include <memory>

using namespace logtest;

namespace {

struct Published {
    qint64 counter;
    double voltage;
};

// The readings of one adapter as the subscriber got them ("topic payload" lines), first copies only.
QList<Published> readings(const QByteArray& received, const QByteArray& id) {
    QList<Published> out;
    const QByteArray prefix = "pravex/" + id + "/reading ";
    for (const QByteArray& line : received.split('\n')) {
        if (!line.startsWith(prefix))
            continue;
        const QJsonObject o = QJsonDocument::fromJson(line.mid(prefix.size())).object();
        const qint64 c = o[QStringLiteral("counter")].toInteger();
        if (std::none_of(out.begin(), out.end(), [c](const Published& p) { return p.counter == c; }))
            out.append({c, o[QStringLiteral("voltage")].toDouble()});
    }
    return out;
}

QList<Published> csvReadings(const QString& path) {
    QList<Published> out;
    const QList<QByteArray> rows = csvRows(readFile(path));
    for (qsizetype i = 1; i < rows.size(); ++i) {
        const QList<QByteArray> cells = rows[i].split(';');
        out.append({cells.value(0).toLongLong(), QByteArray(cells.value(1)).replace(',', '.').toDouble()});
    }
    return out;
}

TEST(LogToCluster, MovesToTheNextNodeWithoutLosingOrReorderingReadings) {
    RabbitCluster cluster;
    QString why;
    const RabbitCluster::Started started = cluster.start(&why);
    if (started == RabbitCluster::Unavailable)
        GTEST_SKIP() << why.toStdString();
    ASSERT_EQ(started, RabbitCluster::Up) << why.toStdString();

    const QString dir = scratchDir(QStringLiteral("cluster"));
    const QString csvDir = dir + QStringLiteral("/csv");
    const QString config = dir + QStringLiteral("/adapters.conf");
    QProcessEnvironment env = simEnvironment(config);
    env.insert(QStringLiteral("XDG_STATE_HOME"), dir + QStringLiteral("/state"));
    // Port names stay short, as tty names are.
    const QString ports = QStringLiteral("/tmp/pvxcl-%1").arg(QCoreApplication::applicationPid());
    QDir(ports).removeRecursively();
    ASSERT_TRUE(QDir().mkpath(ports));
    const std::shared_ptr<void> removePorts(nullptr, [&](void*) { QDir(ports).removeRecursively(); });
    const QStringList serials = {QStringLiteral("PVXA"), QStringLiteral("PVXB")};
    QByteArray adapters;
    std::array<Proc, 2> devices;
    for (int i = 0; i < 2; ++i) {
        const QString link = ports + QStringLiteral("/port-") + serials[i];
        devices[i].start(
            binary("PRAVEX_BIN_PRAVEX_DEVSIM"),
            {QStringLiteral("--link"), link, QStringLiteral("--interval"), QStringLiteral("50")});
        ASSERT_TRUE(devices[i].waitOut("/dev/")) << devices[i].err.toStdString();
        adapters += adapterBlock(serials[i], link);
    }
    writeFile(config, adapters);

    // A persistent subscriber on node 2: what the cluster takes from the logger on any node reaches it.
    Proc sub;
    sub.start(QStringLiteral("mosquitto_sub"),
              {"-h", "127.0.0.1", "-p", QString::number(cluster.mqttPort(2)), "-v", "-q", "1", "-c", "-i",
               "pravex-cluster-sub", "-t", "pravex/+/reading", "-t", "pravex/probe"});
    ASSERT_TRUE(subscribed(sub, cluster.mqttPort(2))) << sub.err.toStdString();

    Proc log;
    log.start(
        binary("PRAVEX_BIN_PRAVEX_LOG"),
        {"--all", "--csv-dir", csvDir, "--ha-discovery", "--mqtt", cluster.url(1) + "," + cluster.url(2)},
        env);
    const auto received = [&](const char* id) { return readings(sub.out, id).size(); };
    ASSERT_TRUE(log.waitFor([&] {
        sub.pump(0);
        return received("PVXA") >= 20 && received("PVXB") >= 20;
    })) << log.err.toStdString();
    EXPECT_EQ(log.err.count("publishing to " + cluster.url(1).toUtf8()), 2) << log.err.toStdString();

    ASSERT_TRUE(cluster.stopNode(1));
    ASSERT_TRUE(log.waitErr("MQTT: broker " + cluster.url(1).toUtf8() + " lost")) << log.err.toStdString();
    ASSERT_TRUE(log.waitFor([&] {
        return log.err.count("now using broker " + cluster.url(2).toUtf8()) == 2;
    })) << log.err.toStdString();
    const qsizetype moved = received("PVXA");
    ASSERT_TRUE(log.waitFor([&] {
        sub.pump(0);
        return received("PVXA") >= moved + 20 && received("PVXB") >= moved + 20;
    })) << log.err.toStdString();

    // Home Assistant starting on node 2 asks for the configs; live ones, not the retained copies.
    Proc ha;
    ha.start(QStringLiteral("mosquitto_sub"),
             {"-h", "127.0.0.1", "-p", QString::number(cluster.mqttPort(2)), "-v", "-R", "-t",
              "homeassistant/+/+/config", "-t", "pravex/+/status", "-t", "pravex/probe"});
    ASSERT_TRUE(subscribed(ha, cluster.mqttPort(2))) << ha.err.toStdString();
    Proc birth;
    birth.start(QStringLiteral("mosquitto_pub"),
                {"-h", "127.0.0.1", "-p", QString::number(cluster.mqttPort(2)), "-t", "homeassistant/status",
                 "-m", "online"});
    EXPECT_EQ(birth.finish(), 0) << birth.err.toStdString();
    const auto configs = [&] {
        QStringList topics;
        for (const QByteArray& line : ha.out.split('\n'))
            if (line.startsWith("homeassistant/") && !topics.contains(line.left(line.indexOf(' '))))
                topics.append(QString::fromUtf8(line.left(line.indexOf(' '))));
        return topics;
    };
    EXPECT_TRUE(ha.waitFor([&] { return configs().size() >= 6; })) << ha.out.toStdString();
    for (const char* object : {"pravex_PVXA_voltage", "pravex_PVXB_battery_low"})
        EXPECT_TRUE(configs().join(' ').contains(QLatin1String(object))) << configs().join(' ').toStdString();

    // A late will of the connection to node 1 says offline: the logger, online on node 2, says otherwise.
    Proc will;
    will.start(QStringLiteral("mosquitto_pub"),
               {"-h", "127.0.0.1", "-p", QString::number(cluster.mqttPort(2)), "-q", "1", "-r", "-t",
                "pravex/PVXA/status", "-m", "offline"});
    EXPECT_EQ(will.finish(), 0) << will.err.toStdString();
    EXPECT_TRUE(ha.waitFor([&] {
        const qsizetype offline = ha.out.lastIndexOf("pravex/PVXA/status offline");
        return offline >= 0 && ha.out.indexOf("pravex/PVXA/status online", offline) > offline;
    })) << ha.out.toStdString();

    log.terminate();
    EXPECT_EQ(log.finish(120), 0) << log.err.toStdString();
    for (const char* id : {"PVXA", "PVXB"}) {
        SCOPED_TRACE(id);
        const QList<Published> rows = csvReadings(csvDir + QLatin1Char('/') + id + QStringLiteral(".csv"));
        ASSERT_GT(rows.size(), 40);
        ASSERT_TRUE(sub.waitFor([&] { return received(id) >= rows.size(); }, 120)) << log.err.toStdString();
        const QList<Published> got = readings(sub.out, id);
        ASSERT_EQ(got.size(), rows.size());
        for (qsizetype i = 0; i < rows.size(); ++i) {
            ASSERT_EQ(got[i].counter, rows[i].counter) << "reading " << i;
            EXPECT_DOUBLE_EQ(got[i].voltage, rows[i].voltage) << "reading " << i;
        }
    }

    // A logger started while the first node listed is down uses the next one that answers.
    QProcessEnvironment later = env;
    later.insert(QStringLiteral("XDG_STATE_HOME"), dir + QStringLiteral("/state2"));
    Proc next;
    next.start(binary("PRAVEX_BIN_PRAVEX_LOG"),
               {"--all", "--count", "5", "--csv-dir", dir + QStringLiteral("/csv2"), "--mqtt",
                cluster.url(1) + "," + cluster.url(2)},
               later);
    EXPECT_EQ(next.finish(120), 0) << next.err.toStdString();
    EXPECT_TRUE(next.err.contains("cannot reach the MQTT broker " + cluster.url(1).toUtf8()))
        << next.err.toStdString();
    EXPECT_EQ(next.err.count("publishing to " + cluster.url(2).toUtf8()), 2) << next.err.toStdString();
    EXPECT_FALSE(next.err.contains("wait in the MQTT spool")) << next.err.toStdString();
}

} // namespace
