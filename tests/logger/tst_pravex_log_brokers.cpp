// The broker nodes of a site: how --mqtt takes them, and the order and waits of the fail-over.
#include "BrokerList.h"
#include "LogSession.h"

#include <gtest/gtest.h>

namespace {

QList<BrokerAddress> nodes(int n) {
    QList<BrokerAddress> out;
    for (int i = 0; i < n; ++i)
        out.append({QStringLiteral("mqtt://10.0.0.%1").arg(i + 1), QStringLiteral("10.0.0.%1").arg(i + 1),
                    1883, false});
    return out;
}

TEST(BrokerRotation, MovesOnAtOnceAndWaitsOnlyAfterAFullRoundFails) {
    // 'f': the current node failed (expect the node tried next and the wait before it); 'c': connected.
    struct Step {
        char event;
        int node;
        int waitMs;
    };
    struct Case {
        const char* name;
        int nodes;
        QList<Step> steps;
    };
    const QList<Case> cases = {
        {"one node backs off as it always did",
         1,
         {{'f', 0, 1000},
          {'f', 0, 2000},
          {'f', 0, 4000},
          {'f', 0, 5000},
          {'f', 0, 5000},
          {'c', 0, 0},
          {'f', 0, 1000}}},
        {"a lost node hands over to the next at once",
         2,
         {{'c', 0, 0}, {'f', 1, 0}, {'c', 1, 0}, {'f', 0, 0}}},
        {"all nodes down: a round, then the back-off",
         3,
         {{'f', 1, 0}, {'f', 2, 0}, {'f', 0, 1000}, {'f', 1, 0}, {'f', 2, 0}, {'f', 0, 2000}}},
        {"a connection ends the back-off and the round",
         2,
         {{'f', 1, 0},
          {'f', 0, 1000},
          {'f', 1, 0},
          {'f', 0, 2000},
          {'c', 0, 0},
          {'f', 1, 0},
          {'f', 0, 1000}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BrokerRotation r(nodes(c.nodes));
        EXPECT_EQ(r.currentIndex(), 0);
        int i = 0;
        for (const Step& s : c.steps) {
            SCOPED_TRACE(i++);
            if (s.event == 'c') {
                r.connected();
                continue;
            }
            const QString announced = r.next().url;
            EXPECT_EQ(r.failed(), s.waitMs);
            EXPECT_EQ(r.currentIndex(), s.node);
            EXPECT_EQ(r.current().url, announced);
        }
    }
}

TEST(BrokerAddresses, RepeatedAndCommaSeparatedAddressesKeepTheirOrder) {
    struct Case {
        QStringList args;
        QStringList urls; // empty: refused
    };
    const QList<Case> cases = {
        {{"--mqtt", "mqtt://a:1"}, {"mqtt://a:1"}},
        {{"--mqtt", "mqtt://a:1,mqtt://b:2", "--mqtt", "mqtt://c"}, {"mqtt://a:1", "mqtt://b:2", "mqtt://c"}},
        {{"--mqtt", "mqtt://a:1, mqtt://[::1]:2"}, {"mqtt://a:1", "mqtt://[::1]:2"}},
        {{"--mqtt", "mqtts://a,mqtts://b"}, {"mqtts://a", "mqtts://b"}},
        {{"--mqtt", "mqtt://a,mqtt://a:1883", "--mqtt", "mqtt://b,mqtt://a"}, {"mqtt://a", "mqtt://b"}},
        // One client serves every node, with or without TLS.
        {{"--mqtt", "mqtt://a,mqtts://b"}, {}},
        {{"--mqtt", "mqtts://a", "--mqtt", "mqtt://b"}, {}},
        {{"--mqtt", "mqtt://a,"}, {}},
        {{"--mqtt", ",mqtt://a"}, {}},
        {{"--mqtt", "mqtt://a,http://b"}, {}},
        {{"--mqtt", "mqtt://a,mqtt://user:pw@b"}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        LogOptions o;
        QString error;
        bool help = false;
        const bool ok = ParseLogArgs(c.args, &o, &error, &help);
        ASSERT_EQ(ok, !c.urls.isEmpty()) << error.toStdString();
        if (!ok) {
            EXPECT_FALSE(error.isEmpty());
            continue;
        }
        QStringList urls;
        for (const BrokerAddress& b : o.mqtt.brokers)
            urls.append(b.url);
        EXPECT_EQ(urls, c.urls);
        // The first node is the one a single-broker caller sees.
        EXPECT_EQ(o.mqtt.url, c.urls.first());
        EXPECT_EQ(o.mqtt.host, o.mqtt.brokers.first().host);
    }
}

} // namespace
