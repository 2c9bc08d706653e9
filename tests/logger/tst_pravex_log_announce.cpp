// What pravex-log says again while it runs, on the everyday broker: the Home Assistant configs when Home
// Assistant announces itself, and "online" when an older connection's will says "offline".
// labels: sim threaded
#include "tst_pravex_log_broker.h"

#include <gtest/gtest.h>

using namespace logtest;

namespace {

TEST(LogAnnounces, AnswersHomeAssistantsBirthAndAStaleWill) {
    const QString dir = scratchDir(QStringLiteral("announce"));
    const QString port = dir + QStringLiteral("/port");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_STATE_HOME"), dir + QStringLiteral("/state"));
    QDir().mkpath(dir + QStringLiteral("/broker"));
    Broker broker(dir + QStringLiteral("/broker"));
    ASSERT_TRUE(broker.start());
    Proc device;
    device.start(binary("PRAVEX_BIN_PRAVEX_DEVSIM"),
                 {QStringLiteral("--link"), port, QStringLiteral("--interval"), QStringLiteral("100")});
    ASSERT_TRUE(device.waitOut("/dev/")) << device.err.toStdString();
    Proc log;
    log.start(
        binary("PRAVEX_BIN_PRAVEX_LOG"),
        {"--port", port, "--csv", dir + QStringLiteral("/log.csv"), "--ha-discovery", "--mqtt", broker.url()},
        env);
    ASSERT_TRUE(log.waitErr("publishing to")) << log.err.toStdString();
    const QByteArray id = QString(port).replace(QLatin1Char('/'), QLatin1Char('_')).mid(1).toUtf8();

    struct Case {
        const char* name;
        QByteArray topic;
        QByteArray payload;
        bool retain;
        QByteArray answer; // a live (not retained) message of the logger's: its topic prefix and payload
    };
    const QList<Case> cases = {
        {"Home Assistant starts", "homeassistant/status", "online", false, "homeassistant/sensor/"},
        {"a will arrives late", "pravex/" + id + "/status", "offline", true,
         "pravex/" + id + "/status online"},
        {"a stale will, not retained", "pravex/" + id + "/status", "offline", false,
         "pravex/" + id + "/status online"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Live messages only (-R): the retained copies of the last connection do not count.
        Proc watch;
        watch.start(QStringLiteral("mosquitto_sub"),
                    {"-h", "127.0.0.1", "-p", QString::number(broker.port()), "-v", "-R", "-t",
                     "homeassistant/#", "-t", "pravex/+/status", "-t", "pravex/probe"});
        ASSERT_TRUE(subscribed(watch, broker.port())) << watch.err.toStdString();
        QStringList args = {"-h", "127.0.0.1",
                            "-p", QString::number(broker.port()),
                            "-q", "1",
                            "-t", QString::fromUtf8(c.topic),
                            "-m", QString::fromUtf8(c.payload)};
        if (c.retain)
            args.append(QStringLiteral("-r"));
        Proc pub;
        pub.start(QStringLiteral("mosquitto_pub"), args);
        EXPECT_EQ(pub.finish(), 0) << pub.err.toStdString();
        EXPECT_TRUE(watch.waitFor([&] {
            for (const QByteArray& line : watch.out.split('\n'))
                if (line.startsWith(c.answer))
                    return true;
            return false;
        })) << watch.out.toStdString();
    }
    // What a subscriber arriving now is told.
    Proc retained;
    retained.start(QStringLiteral("mosquitto_sub"),
                   {"-h", "127.0.0.1", "-p", QString::number(broker.port()), "-C", "1", "-W", "60", "-t",
                    "pravex/" + id + "/status"});
    EXPECT_EQ(retained.finish(), 0);
    EXPECT_EQ(retained.out.trimmed(), "online");
    log.terminate();
    EXPECT_EQ(log.finish(), 0) << log.err.toStdString();
}

} // namespace
