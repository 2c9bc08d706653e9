// The MQTT spool and what is published: records kept in order across a reopen (as after a crash),
// delivered prefixes marked and cut off, a torn last record dropped, the bound, one logger per spool; the
// reading's JSON and the adapter's topic name.
#include "ReadingJson.h"
#include "Spool.h"
#include "tst_pravex_log_support.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTimeZone>
#include <gtest/gtest.h>

using namespace logtest;

namespace {

QList<QByteArray> payloads(const QList<Spool::Record>& records) {
    QList<QByteArray> out;
    for (const auto& r : records)
        out.append(r.payload);
    return out;
}

TEST(Spool, KeepsUndeliveredRecordsInOrderAcrossReopenAndCompaction) {
    const QString path = scratchDir(QStringLiteral("spool-order")) + QStringLiteral("/a.spool");
    QString error;
    {
        Spool s;
        ASSERT_TRUE(s.open(path, 100, &error)) << error.toStdString();
        for (int i = 1; i <= 5; ++i)
            ASSERT_TRUE(s.append("r" + QByteArray::number(i), &error));
        const auto first = s.read(s.begin(), 2);
        ASSERT_EQ(payloads(first), (QList<QByteArray>{"r1", "r2"}));
        s.acknowledge(first.last().end, 2);
        EXPECT_EQ(s.pending(), 3);
        // Reading on from the last record handed out.
        EXPECT_EQ(payloads(s.read(first.last().end, 10)), (QList<QByteArray>{"r3", "r4", "r5"}));
        // Left without close(): as a killed logger leaves it.
    }
    Spool s;
    ASSERT_TRUE(s.open(path, 10000, &error)) << error.toStdString();
    EXPECT_EQ(s.pending(), 3);
    auto rest = s.read(s.begin(), 10);
    EXPECT_EQ(payloads(rest), (QList<QByteArray>{"r3", "r4", "r5"}));
    // Everything delivered: the file starts again, offsets go on growing.
    const qint64 before = rest.last().end;
    s.acknowledge(before, 3);
    EXPECT_EQ(s.pending(), 0);
    EXPECT_EQ(QFileInfo(path).size(), Spool::HeaderSize);
    ASSERT_TRUE(s.append("r6", &error));
    rest = s.read(s.begin(), 10);
    ASSERT_EQ(payloads(rest), (QList<QByteArray>{"r6"}));
    EXPECT_GT(rest.last().end, before);

    // A long delivered prefix is cut off while later records wait.
    const QByteArray big(4000, 'x');
    for (int i = 0; i < 1200; ++i)
        ASSERT_TRUE(s.append(big + QByteArray::number(i), &error));
    auto all = s.read(s.begin(), 2000);
    ASSERT_EQ(all.size(), 1201);
    s.acknowledge(all[1100].end, 1101);
    EXPECT_LT(QFileInfo(path).size(), 500000);
    const auto tail = s.read(all[1100].end, 1000);
    ASSERT_EQ(tail.size(), 100);
    EXPECT_EQ(tail.first().payload, big + "1100");
    EXPECT_EQ(tail.last().payload, big + "1199");
    s.close();
    ASSERT_TRUE(s.open(path, 10000, &error));
    EXPECT_EQ(s.pending(), 100);
    EXPECT_EQ(s.read(s.begin(), 1).first().payload, big + "1100");
}

TEST(Spool, RefusesWhatItCannotKeep) {
    const QString dir = scratchDir(QStringLiteral("spool-refuse"));
    QString error;
    // A torn last record (a crash in mid-write) is dropped, the ones before it kept.
    const QString torn = dir + QStringLiteral("/torn.spool");
    {
        Spool s;
        ASSERT_TRUE(s.open(torn, 10, &error));
        ASSERT_TRUE(s.append("whole", &error));
    }
    {
        QFile f(torn);
        ASSERT_TRUE(f.open(QIODevice::Append));
        f.write("half");
    }
    Spool s;
    ASSERT_TRUE(s.open(torn, 3, &error));
    EXPECT_EQ(payloads(s.read(s.begin(), 10)), QList<QByteArray>{"whole"});

    // The bound: further readings are refused and counted, and fit again once delivered.
    ASSERT_TRUE(s.append("b", &error));
    ASSERT_TRUE(s.append("c", &error));
    EXPECT_FALSE(s.append("d", &error));
    EXPECT_FALSE(s.append("e", &error));
    EXPECT_EQ(s.dropped(), 2);
    const auto recs = s.read(s.begin(), 1);
    s.acknowledge(recs.first().end, 1);
    EXPECT_TRUE(s.append("f", &error));
    EXPECT_EQ(payloads(s.read(s.begin(), 10)), (QList<QByteArray>{"b", "c", "f"}));

    // One logger per spool; a file that is not a spool is left alone.
    Spool second;
    EXPECT_FALSE(second.open(torn, 10, &error));
    EXPECT_TRUE(error.contains(QStringLiteral("in use"))) << error.toStdString();
    const QString foreign = dir + QStringLiteral("/foreign.spool");
    writeFile(foreign, "some,csv\r\n");
    EXPECT_FALSE(second.open(foreign, 10, &error));
    EXPECT_TRUE(error.contains(QStringLiteral("not a spool"))) << error.toStdString();
    EXPECT_EQ(readFile(foreign), QByteArray("some,csv\r\n"));
}

TEST(ReadingJson, CarriesTheReadingAndItsAdapter) {
    Reading r;
    r.time = QDateTime(QDate(2026, 12, 9), QTime(15, 4, 5, 67), QTimeZone(3600));
    r.counter = 4000000002LL;
    r.session = QDateTime(QDate(2026, 12, 9), QTime(14, 0), QTimeZone(0));
    r.voltage = 3.92;
    r.text = QStringLiteral("3,92");
    r.converterOn = false;
    r.lowBattery = true;
    r.serial = QStringLiteral("PX1\"2\n");
    r.port = QStringLiteral("/dev/ttyUSB0");
    const QByteArray json = ReadingJson(r);
    EXPECT_FALSE(json.contains('\n'));
    const QJsonObject o = QJsonDocument::fromJson(json).object();
    EXPECT_EQ(o[QStringLiteral("time")].toString(), QStringLiteral("2026-12-09T14:04:05.067Z"));
    EXPECT_EQ(o[QStringLiteral("counter")].toInteger(), 4000000002LL);
    EXPECT_EQ(o[QStringLiteral("session")].toString(), QStringLiteral("2026-12-09T14:00:00.000Z"));
    EXPECT_DOUBLE_EQ(o[QStringLiteral("voltage")].toDouble(), 3.92);
    EXPECT_EQ(o[QStringLiteral("text")].toString(), QStringLiteral("3,92"));
    EXPECT_EQ(o[QStringLiteral("converter")].toString(), QStringLiteral("OFF"));
    EXPECT_TRUE(o[QStringLiteral("lowBattery")].toBool());
    const QJsonObject a = o[QStringLiteral("adapter")].toObject();
    EXPECT_EQ(a[QStringLiteral("serial")].toString(), QStringLiteral("PX1\"2\n"));
    EXPECT_TRUE(a[QStringLiteral("alias")].isNull());
    EXPECT_EQ(a[QStringLiteral("port")].toString(), QStringLiteral("/dev/ttyUSB0"));
}

TEST(ReadingJson, TopicIdIsOneSafeLevel) {
    const struct {
        const char *serial, *alias, *port, *id;
    } cases[] = {
        {"PX123456", "", "ttyUSB0", "PX123456"},
        {"PX123456", "bench 2", "ttyUSB0", "bench_2"},
        {"PX123456", "  ", "ttyUSB0", "PX123456"},
        {"", "", "/dev/ttyUSB1", "ttyUSB1"},
        {"", "", "/tmp/pravex/port", "tmp_pravex_port"},
        {"", "a+b#c/d", "", "a_b_c_d"},
        {"", "..", "", "adapter"},
        {"", "", "", "adapter"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(AdapterTopicId(QString::fromUtf8(c.serial), QString::fromUtf8(c.alias),
                                 QString::fromUtf8(c.port)),
                  QString::fromUtf8(c.id))
            << c.serial << "|" << c.alias << "|" << c.port;
}

TEST(ReadingJson, HomeAssistantConfigsPointAtTheAdapter) {
    const auto messages =
        HaDiscoveryMessages(QStringLiteral("bench-2.a"), QStringLiteral("PX1"), QStringLiteral("1.0"));
    ASSERT_EQ(messages.size(), 3);
    for (const auto& m : messages) {
        EXPECT_TRUE(m.topic.startsWith("homeassistant/")) << m.topic.constData();
        EXPECT_TRUE(m.topic.endsWith("/config"));
        EXPECT_FALSE(m.topic.contains("bench-2.a")) << "object ids take [a-zA-Z0-9_-] only";
        const QJsonObject o = QJsonDocument::fromJson(m.payload).object();
        EXPECT_EQ(o[QStringLiteral("state_topic")].toString(), QStringLiteral("pravex/bench-2.a/state"));
        EXPECT_EQ(o[QStringLiteral("availability_topic")].toString(),
                  QStringLiteral("pravex/bench-2.a/status"));
        EXPECT_FALSE(o[QStringLiteral("unique_id")].toString().isEmpty());
        EXPECT_EQ(o[QStringLiteral("device")].toObject()[QStringLiteral("serial_number")].toString(),
                  QStringLiteral("PX1"));
    }
}

} // namespace
