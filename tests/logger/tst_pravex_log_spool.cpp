// The MQTT spool and what is published: records kept in order across a reopen (as after a crash),
// delivered prefixes marked and cut off, a torn last record dropped, the bound, one logger per spool; the
// reading's JSON and the adapter's topic name.
// labels: threaded
#include "ReadingJson.h"
#include "Spool.h"
#include "tst_pravex_log_support.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTimeZone>
#include <gtest/gtest.h>
#include <thread>

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

TEST(Spool, AppendsDuringACompactionAreKept) {
    const QString path = scratchDir(QStringLiteral("spool-compact")) + QStringLiteral("/a.spool");
    QString error;
    Spool s;
    ASSERT_TRUE(s.open(path, 100000, &error, QStringLiteral("PVXA"))) << error.toStdString();
    const QByteArray big(4000, 'x');
    for (int i = 0; i < 1200; ++i)
        ASSERT_TRUE(s.append(big + QByteArray::number(i), &error));
    const auto all = s.read(s.begin(), 1200);
    std::thread appender([&] {
        QString e;
        for (int i = 0; i < 3000; ++i)
            s.append("t" + QByteArray::number(i), &e);
    });
    s.acknowledge(all[1099].end, 1100); // the copy runs while the other thread appends
    appender.join();
    EXPECT_LT(QFileInfo(path).size(), 1000000) << "compacted";
    QList<QByteArray> expected;
    for (int i = 1100; i < 1200; ++i)
        expected.append(big + QByteArray::number(i));
    for (int i = 0; i < 3000; ++i)
        expected.append("t" + QByteArray::number(i));
    EXPECT_EQ(payloads(s.read(all[1099].end, 4000)), expected);
    s.close();
    ASSERT_TRUE(s.open(path, 100000, &error, QStringLiteral("PVXA")));
    EXPECT_EQ(payloads(s.read(s.begin(), 4000)), expected);
}

TEST(Spool, BelongsToOneAdapter) {
    const QString dir = scratchDir(QStringLiteral("spool-owner"));
    const QByteArray legacyHeader = "PVXSPOOL 00000000000000000032" + QByteArray(2, ' ') + '\n';
    const struct {
        const char* name;
        QByteArray file; // as found; empty: none
        const char* serial;
        bool opens;
        QList<QByteArray> waiting;
    } cases[] = {
        {"new", "", "PVXA", true, {}},
        {"its own", legacyHeader + "serial PVXA\nr1\n", "PVXA", true, {"r1"}},
        {"another adapter's", legacyHeader + "serial PVXB\nr1\n", "PVXA", false, {}},
        {"an adapter's, for a port", legacyHeader + "serial PVXB\nr1\n", "", false, {}},
        {"of today's kind, without an owner", legacyHeader + "r1\nr2\n", "PVXA", true, {"r1", "r2"}},
        {"a header lost to a full disk", QByteArray(32, '\0') + "r1\n", "PVXA", true, {"r1"}},
        {"a header cut short", "PVXSP", "PVXA", true, {}},
        {"percent-encoded owner", legacyHeader + "serial P%2FX%0A\nr1\n", "P/X\n", true, {"r1"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QString path = dir + QLatin1Char('/') + QString::fromLatin1(c.name) + QStringLiteral(".spool");
        if (!c.file.isEmpty())
            writeFile(path, c.file);
        Spool s;
        QString error;
        ASSERT_EQ(s.open(path, 100, &error, QString::fromUtf8(c.serial)), c.opens) << error.toStdString();
        if (!c.opens) {
            EXPECT_TRUE(error.contains(QStringLiteral("PVXB"))) << error.toStdString();
            EXPECT_EQ(readFile(path), c.file) << "left alone";
            continue;
        }
        const auto records = s.read(s.begin(), 10);
        EXPECT_EQ(payloads(records), c.waiting);
        // Delivered and started again: from now on the file names its owner.
        ASSERT_TRUE(s.append("new", &error));
        const auto all = s.read(s.begin(), 10);
        s.acknowledge(all.last().end, all.size());
        s.close();
        if (*c.serial) {
            EXPECT_TRUE(readFile(path).contains("\nserial ")) << readFile(path).constData();
        }
        ASSERT_TRUE(s.open(path, 100, &error, QString::fromUtf8(c.serial))) << error.toStdString();
        EXPECT_EQ(s.pending(), 0);
    }
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
        {"PX1", ".hidden", "", "hidden"},
        {"PX1", "a\u200Eb", "", "a_b"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(AdapterTopicId(QString::fromUtf8(c.serial), QString::fromUtf8(c.alias),
                                 QString::fromUtf8(c.port)),
                  QString::fromUtf8(c.id))
            << c.serial << "|" << c.alias << "|" << c.port;
}

TEST(ReadingJson, LongNamesAreCutAndStayApart) {
    const QString a(200, QChar(0xE9));
    const QString b = a.left(199) + QLatin1Char('x');
    const QString na = SafeAdapterName(a), nb = SafeAdapterName(b);
    EXPECT_LE(na.toUtf8().size(), MaxAdapterNameBytes);
    EXPECT_LE(nb.toUtf8().size(), MaxAdapterNameBytes);
    EXPECT_NE(na, nb);
    EXPECT_EQ(na, SafeAdapterName(a)) << "the same on every run";
}

TEST(ReadingJson, AnAdapterIsNamedByItsAliasOnlyWhenNoOtherCouldBe) {
    const QHash<QString, QString> aliases = {{"PVXA", "X"},     {"PVXB", "x"},     {"PVXC", "PVXE"},
                                             {"PVXE", "bench"}, {"PVXF", "lab 1"}, {"PVXG", "lab_1"},
                                             {"PVXH", "PVXH"},  {"PVXI", ""},      {"PVXJ", "PVXL"}};
    const struct {
        const char* serial;
        QStringList listed;
        const char* name;
    } cases[] = {
        {"PVXA", {}, "PVXA"},         // another has the same alias (case aside)
        {"PVXB", {"PVXB"}, "PVXB"},   // whichever is listed
        {"PVXC", {}, "PVXC"},         // its alias is a serial number the store knows
        {"PVXE", {"", " "}, "bench"}, // unique (adapters without a serial number do not count)
        {"PVXE", {"bench"}, "PVXE"},  // an adapter listed with that serial number
        {"PVXF", {}, "PVXF"},         // "lab 1" and "lab_1" would be one file
        {"PVXH", {}, "PVXH"},         // its own serial number as alias
        {"PVXI", {}, "PVXI"},         // no alias
        {"PVXJ", {"PVXJ"}, "PVXL"},   // no adapter of that serial number known
        {"PVXJ", {"PVXL"}, "PVXJ"},   // but one is plugged in
        {"pvxe", {}, "bench"},        // the store ignores case in serial numbers
    };
    for (const auto& c : cases)
        EXPECT_EQ(StableAdapterName(QString::fromLatin1(c.serial), aliases, c.listed),
                  QString::fromLatin1(c.name))
            << c.serial << " " << c.listed.join(',').toStdString();
}

TEST(ReadingJson, HomeAssistantConfigsPointAtTheAdapter) {
    const auto messages = HaDiscoveryMessages(QStringLiteral("bench-2.a"), QStringLiteral("PX1"),
                                              QStringLiteral("bench-2.a"), QStringLiteral("1.0"));
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
        EXPECT_EQ(o[QStringLiteral("device")].toObject()[QStringLiteral("name")].toString(),
                  QStringLiteral("PRAVEX bench-2.a"));
    }
}

} // namespace
