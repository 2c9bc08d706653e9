// pravex-log publishing to a real Mosquitto broker started by the test, with pravex-devsim as the device:
// every reading arrives in order across a broker restart and across a logger killed while the broker was
// away; a refused login and an untrusted certificate are clear errors while the CSV goes on.
// labels: sim threaded
#include "ReadingJson.h"
#include "tst_pravex_log_broker.h"

#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <csignal>
#include <gtest/gtest.h>

using namespace logtest;

namespace {

class LogToBroker : public ::testing::Test {
protected:
    void SetUp() override {
        program = binary("PRAVEX_BIN_PRAVEX_LOG");
        devsim = binary("PRAVEX_BIN_PRAVEX_DEVSIM");
        ASSERT_FALSE(program.isEmpty());
        ASSERT_FALSE(devsim.isEmpty());
        dir = testScratchDir();
        csv = dir + QStringLiteral("/log.csv");
        port = dir + QStringLiteral("/port");
        env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_STATE_HOME"), dir + QStringLiteral("/state"));
        env.insert(QStringLiteral("TZ"), QStringLiteral("UTC"));
        env.remove(QStringLiteral("PRAVEX_MQTT_PASSWORD"));
        broker = std::make_unique<Broker>(dir + QStringLiteral("/broker"));
        QDir().mkpath(dir + QStringLiteral("/broker"));
    }
    void startDevice(Proc& device, const QStringList& extra) {
        device.start(devsim, QStringList{QStringLiteral("--link"), port} + extra);
        ASSERT_TRUE(device.waitOut("/dev/")) << device.err.toStdString();
    }
    // The CSV's counters.
    QList<qint64> csvCounters() {
        QList<qint64> out;
        const QList<QByteArray> rows = csvRows(readFile(csv));
        for (qsizetype i = 1; i < rows.size(); ++i)
            out.append(rows[i].left(rows[i].indexOf(';')).toLongLong());
        return out;
    }
    QByteArray topicId() const {
        // The port's path with / turned into _, the leading one dropped (and a long one shortened).
        return AdapterTopicId(QString(), QString(), port).toUtf8();
    }

    QString program, devsim, dir, csv, port;
    QProcessEnvironment env;
    std::unique_ptr<Broker> broker;
};

TEST_F(LogToBroker, EveryReadingArrivesInOrderAcrossABrokerRestart) {
    ASSERT_TRUE(broker->start());
    Subscriber sub;
    sub.start(*broker);
    Proc device;
    startDevice(device, {QStringLiteral("--interval"), QStringLiteral("100")});
    Proc log;
    log.start(program, {"--port", port, "--csv", csv, "--count", "150", "--mqtt", broker->url()}, env);
    ASSERT_TRUE(log.waitErr("publishing to")) << log.err.toStdString();
    ASSERT_TRUE(sub.waitCounters(topicId(), 10)) << log.err.toStdString();

    // Away for a good while (about 40 readings, 4 s or more), then back.
    broker->stop();
    ASSERT_TRUE(log.waitErr("lost the MQTT broker")) << log.err.toStdString();
    const qsizetype before = csvCounters().size();
    ASSERT_TRUE(log.waitFor([&] { return csvCounters().size() >= before + 40; })) << log.err.toStdString();
    ASSERT_TRUE(broker->start());
    ASSERT_TRUE(log.waitErr("connected again")) << log.err.toStdString();

    EXPECT_EQ(log.finish(120), 0) << log.err.toStdString();
    const QList<qint64> expected = evenCounters(2, 300);
    EXPECT_EQ(csvCounters(), expected);
    ASSERT_TRUE(sub.waitCounters(topicId(), 150)) << sub.lines().size();
    EXPECT_EQ(sub.counters(topicId()), expected);
    // A reading's time is the same in the file and at the broker.
    QHash<qint64, QByteArray> fileTimes;
    for (const QByteArray& row : readFile(csv).split('\n')) {
        const QList<QByteArray> fields = row.trimmed().split(';');
        if (fields.size() == 3)
            fileTimes.insert(fields[0].toLongLong(), fields[2]);
    }
    int compared = 0;
    for (const QByteArray& line : sub.lines()) {
        if (!line.startsWith("pravex/" + topicId() + "/reading "))
            continue;
        const QJsonObject o = QJsonDocument::fromJson(line.mid(line.indexOf(' ') + 1)).object();
        EXPECT_EQ(o[QStringLiteral("time")].toString().toLatin1(),
                  fileTimes.value(o[QStringLiteral("counter")].toInteger()));
        ++compared;
    }
    EXPECT_GE(compared, 150);
    // The status is retained: online while it ran, offline after.
    EXPECT_TRUE(sub.lines().contains("pravex/" + topicId() + "/status online"));
    EXPECT_EQ(sub.lines().last(), "pravex/" + topicId() + "/status offline");
}

TEST_F(LogToBroker, SpooledReadingsOfAKilledLoggerAreDeliveredByTheNextOne) {
    // The subscriber's session is made while the broker is up, then the broker goes away.
    ASSERT_TRUE(broker->start());
    Subscriber sub;
    sub.start(*broker);
    ASSERT_TRUE(sub.proc.waitFor([&] {
        return QFile::exists(dir + "/broker/broker.log") &&
               readFile(dir + "/broker/broker.log").contains("pravex-test-sub");
    }));
    broker->stop();

    Proc device;
    startDevice(device, {QStringLiteral("--interval"), QStringLiteral("20")});
    Proc first;
    first.start(program, {"--port", port, "--csv", csv, "--mqtt", broker->url()}, env);
    ASSERT_TRUE(first.waitFor([&] { return csvCounters().size() >= 30; })) << first.err.toStdString();
    ASSERT_TRUE(first.err.contains("cannot reach the MQTT broker")) << first.err.toStdString();
    // The device goes quiet, so the kill comes between readings: every CSV row is in the spool.
    device.stop();
    ASSERT_TRUE(first.waitErr("waiting for the port")) << first.err.toStdString();
    const qsizetype logged = csvCounters().size();
    const QString spool = dir + "/state/pravex/" + topicId() + ".spool";
    EXPECT_EQ(readFile(spool).count('\n'), logged + 1);
    ::kill(pid_t(first.pid()), SIGKILL);
    first.finish();

    // The broker is back; the next session continues the CSV and sends the spool first.
    ASSERT_TRUE(broker->start());
    Proc device2;
    startDevice(device2, {QStringLiteral("--interval"), QStringLiteral("20")});
    Proc second;
    second.start(program,
                 {"--port", port, "--csv", csv, "--append", "--count", "10", "--mqtt", broker->url()}, env);
    ASSERT_TRUE(second.waitErr(QByteArray::number(logged) + " readings of an earlier session wait"))
        << second.err.toStdString();
    EXPECT_EQ(second.finish(120), 0) << second.err.toStdString();
    const QList<qint64> expected = evenCounters(2, 2 * (logged + 10));
    EXPECT_EQ(csvCounters(), expected);
    ASSERT_TRUE(sub.waitCounters(topicId(), int(logged) + 10)) << second.err.toStdString();
    EXPECT_EQ(sub.counters(topicId()), expected);
    EXPECT_EQ(readFile(spool).size(), 32) << "delivered readings leave the spool";
}

TEST_F(LogToBroker, RefusedLoginAndUntrustedCertificateAreSaidWhileTheCsvGoesOn) {
    broker->requirePassword(QStringLiteral("logger"), QStringLiteral("s3cret"));
    ASSERT_TRUE(broker->makeCertificates());
    ASSERT_TRUE(broker->start());
    const QString tlsUrl = QStringLiteral("mqtts://127.0.0.1:%1").arg(broker->tlsPort());
    const QString passFile = dir + QStringLiteral("/pass");
    writeFile(passFile, "s3cret\n");
    const struct {
        const char* name;
        QStringList args;
        QString envPassword;
        QByteArray error; // empty: published
    } cases[] = {
        {"wrong password", {"--mqtt", broker->url(), "--mqtt-user", "logger"}, "nope", "not authorised"},
        {"no password", {"--mqtt", broker->url()}, "", "not authorised"},
        {"untrusted certificate",
         {"--mqtt", tlsUrl, "--mqtt-user", "logger", "--mqtt-ca", broker->otherCaFile()},
         "s3cret",
         "certificate verify failed"},
        {"right password over TLS",
         {"--mqtt", tlsUrl, "--mqtt-user", "logger", "--mqtt-password-file", passFile, "--mqtt-ca",
          broker->caFile()},
         "",
         ""},
    };
    Proc device;
    startDevice(device, {QStringLiteral("--interval"), QStringLiteral("50")});
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QProcessEnvironment e = env;
        if (!c.envPassword.isEmpty())
            e.insert(QStringLiteral("PRAVEX_MQTT_PASSWORD"), c.envPassword);
        e.insert(QStringLiteral("XDG_STATE_HOME"), dir + QStringLiteral("/state%1").arg(++n));
        QFile::remove(csv);
        Proc log;
        // The session runs until the broker's answer is seen, however long a loaded machine takes for it.
        log.start(program, QStringList{"--port", port, "--csv", csv} + c.args, e);
        const QByteArray said = c.error.isEmpty() ? QByteArray("publishing to") : c.error;
        EXPECT_TRUE(log.waitFor([&] { return log.err.contains(said) && csvCounters().size() >= 5; }, 120))
            << log.err.toStdString();
        log.terminate();
        EXPECT_EQ(log.finish(120), 0) << log.err.toStdString();
        const QList<qint64> rows = csvCounters();
        EXPECT_EQ(rows, evenCounters(2, 2 * rows.size())) << "the CSV goes on whatever the broker says";
        if (!c.error.isEmpty()) {
            EXPECT_TRUE(log.err.contains("readings wait in the MQTT spool")) << log.err.toStdString();
            EXPECT_EQ(log.err.count(c.error), 1) << "said once, not at every retry";
        }
    }
}

TEST_F(LogToBroker, AFullSpoolIsSaidAndCountedAndNeverHoldsUpTheCsv) {
    // No broker on this port: everything waits in the spool, which takes 3.
    const int nobody = freePort();
    Proc device;
    startDevice(device, {QStringLiteral("--interval"), QStringLiteral("20")});
    Proc log;
    log.start(program,
              {"--port", port, "--csv", csv, "--count", "8", "--spool-max", "3", "--mqtt",
               QStringLiteral("mqtt://127.0.0.1:%1").arg(nobody)},
              env);
    EXPECT_EQ(log.finish(120), 6) << log.err.toStdString();
    EXPECT_EQ(csvCounters(), evenCounters(2, 16));
    EXPECT_EQ(log.err.count("is full"), 1) << log.err.toStdString();
    EXPECT_TRUE(log.err.contains("3 readings wait in the MQTT spool")) << log.err.toStdString();
    EXPECT_TRUE(log.err.contains("5 readings not published: the MQTT spool was full"))
        << log.err.toStdString();

    // A second logger cannot share the spool (nor the adapter's topic).
    Proc holder;
    holder.start(program, {"--port", port, "--mqtt", QStringLiteral("mqtt://127.0.0.1:%1").arg(nobody)}, env);
    ASSERT_TRUE(holder.waitErr("logging")) << holder.err.toStdString();
    Proc second;
    second.start(program, {"--port", port, "--mqtt", QStringLiteral("mqtt://127.0.0.1:%1").arg(nobody)}, env);
    EXPECT_EQ(second.finish(), 6);
    EXPECT_TRUE(second.err.contains("in use by another pravex-log")) << second.err.toStdString();
}

TEST_F(LogToBroker, HomeAssistantFindsTheAdapterInRetainedConfigs) {
    ASSERT_TRUE(broker->start());
    Proc device;
    startDevice(device, {QStringLiteral("--interval"), QStringLiteral("50")});
    Proc log;
    log.start(program, {"--port", port, "--count", "3", "--ha-discovery", "--mqtt", broker->url()}, env);
    EXPECT_EQ(log.finish(120), 0) << log.err.toStdString();
    // Retained: a subscriber that comes later gets them at once.
    Proc sub;
    sub.start(QStringLiteral("mosquitto_sub"),
              {"-h", "127.0.0.1", "-p", QString::number(broker->port()), "-v", "-C", "5", "-t",
               "homeassistant/#", "-t", "pravex/+/state", "-t", "pravex/+/status"});
    EXPECT_EQ(sub.finish(120), 0) << sub.err.toStdString();
    QMap<QByteArray, QJsonObject> retained;
    QByteArray status;
    for (const QByteArray& line : sub.out.split('\n')) {
        const qsizetype space = line.indexOf(' ');
        if (line.endsWith("/status offline"))
            status = line;
        else if (space > 0)
            retained.insert(line.left(space), QJsonDocument::fromJson(line.mid(space + 1)).object());
    }
    EXPECT_EQ(status, "pravex/" + topicId() + "/status offline");
    const QByteArray state = "pravex/" + topicId() + "/state";
    ASSERT_TRUE(retained.contains(state)) << sub.out.toStdString();
    EXPECT_EQ(retained[state]["counter"].toInteger(), 6) << "the latest reading";
    int configs = 0;
    for (auto it = retained.cbegin(); it != retained.cend(); ++it) {
        if (!it.key().startsWith("homeassistant/"))
            continue;
        ++configs;
        EXPECT_EQ(it.value()["state_topic"].toString().toUtf8(), state);
        EXPECT_EQ(it.value()["availability_topic"].toString().toUtf8(), "pravex/" + topicId() + "/status");
    }
    EXPECT_EQ(configs, 3) << sub.out.toStdString();
}

TEST_F(LogToBroker, CommandLineMistakesAreRefused) {
    const struct {
        QStringList args;
        QByteArray error;
    } cases[] = {
        {{"--mqtt", "http://127.0.0.1"}, "--mqtt needs mqtt://host"},
        {{"--mqtt", "mqtt://user:pw@127.0.0.1"}, "PRAVEX_MQTT_PASSWORD"},
        {{"--mqtt", "mqtt://127.0.0.1", "--mqtt-password", "x"}, "visible to every user"},
        {{"--mqtt", "mqtt://127.0.0.1", "--mqtt-password-file", "/nonexistent/pw"},
         "cannot read the password file"},
        {{"--mqtt", "mqtt://127.0.0.1", "--mqtt-ca", "/nonexistent/ca.crt"}, "no file"},
        {{"--mqtt", "mqtt://127.0.0.1", "--mqtt-ca", "/dev/null"}, "needs an mqtts://"},
        {{"--mqtt", "mqtt://127.0.0.1", "--spool-max", "0"}, "--spool-max needs"},
        {{"--ha-discovery"}, "need --mqtt URL"},
    };
    for (const auto& c : cases) {
        Proc log;
        log.start(program, QStringList{"--port", port} + c.args, env);
        EXPECT_EQ(log.finish(), 2) << c.args.join(' ').toStdString();
        EXPECT_TRUE(log.err.contains(c.error)) << log.err.toStdString();
    }
}

} // namespace
