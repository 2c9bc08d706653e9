// Frames and settings texts of the send step: checksums, station prefixes, integer texts, report texts
// and the send queue's order.
// labels: unit
#include "serial/EnumComPorts.h"
#include "serial/SendQueue.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

TEST(Frames, ChecksumFrame) {
    EXPECT_EQ(ChecksumFrame("", "abc"), "$#294@abc");
    EXPECT_EQ(ChecksumFrame("", ""), "$#0@");
    EXPECT_EQ(ChecksumFrame(QString(QChar(5)), "abc"), QString(QChar(5)) + "$#294@abc");
    // Sums of UTF-16 units, wide characters included.
    EXPECT_EQ(FrameChecksum(QString(QChar(0x20AC))), 0x20AC);
    EXPECT_EQ(FrameChecksum(QString(70000, QChar(0xFFFF))), std::int32_t(70000u * 0xFFFFu));
}

TEST(Frames, StationPrefix) {
    EXPECT_EQ(StationPrefix("", false), QString(QChar(16)));
    EXPECT_EQ(StationPrefix("junk", false), QString(QChar(16)));
    EXPECT_EQ(StationPrefix("5", false), QString(QChar(5)));
    EXPECT_EQ(StationPrefix("$1F", false), QString(QChar(31)));
    EXPECT_EQ(StationPrefix("0x1f", false), QString(QChar(31)));
    EXPECT_EQ(StationPrefix("65601", false), QString(QChar(65)));
    EXPECT_EQ(StationPrefix("5", true), QString(QChar(0xFF)));
    EXPECT_EQ(ToWireBytes(StationPrefix("", true) + "x"), std::string("\xFFx"));
}

TEST(Frames, IntegerTexts) {
    EXPECT_EQ(IntTextOr("9600", 1), 9600);
    EXPECT_EQ(IntTextOr("-7", 1), -7);
    EXPECT_EQ(IntTextOr("$FFFFFFFF", 1), -1);
    EXPECT_EQ(IntTextOr("", 9600), 9600);
    EXPECT_EQ(IntTextOr(" 12", 9600), 9600);
    EXPECT_EQ(IntTextOr("12a", 8), 8);
    EXPECT_EQ(IntTextOr("99999999999", 8), 8);
    EXPECT_EQ(IntTextOr("$", 8), 8);
    EXPECT_EQ(IntTextOr("\u0663", 8), 8); // digits of other scripts are not numbers here
}

TEST(Frames, ReportTexts) {
    EXPECT_EQ(ImmediateSendReport(5, "Input/output error"), "err - Input/output error");
    EXPECT_EQ(ImmediateSendReport(9991, "Port owned by other process"), "err - Port owned by other process");
    EXPECT_EQ(ImmediateSendReport(9999, "OK"), "9999 - Serial Eror: ErrFrame");
    EXPECT_EQ(ImmediateSendReport(10003, "OK"), "10003 - Serial Eror: ErrTxFull");
    EXPECT_EQ(DropSendReport(9997, "x"), "999 - Serial ErrFrame");
    EXPECT_EQ(DropSendReport(5, "Input/output error"), "err - Input/output error");
}

TEST(Frames, WireBytesAreLatin1BothWays) {
    std::string all;
    for (int b = 0; b < 256; ++b)
        all.push_back(char(b));
    EXPECT_EQ(ToWireBytes(FromWireBytes(all)), all);
    EXPECT_EQ(ToWireBytes(QString(QChar(0x20AC))), "?");
}

TEST(SendQueue, OrderPurgeAndTheCheckCommand) {
    TSendQueue q;
    EXPECT_TRUE(q.PushFrontIfEmpty("AT", 0));
    EXPECT_FALSE(q.PushFrontIfEmpty("AT", 0));
    q.Append("one", 0);
    q.Append("two", 1);
    EXPECT_EQ(q.Count(), 3);
    auto head = q.Head();
    ASSERT_TRUE(head);
    EXPECT_EQ(head->Text, "AT");
    q.SetCrcStr("AT");
    EXPECT_EQ(q.CrcStr(), "AT");
    EXPECT_EQ(q.RemoveHead(head->Id), 2);
    // A purge between reading the head and removing it must not cost the next entry.
    head = q.Head();
    q.Clear();
    EXPECT_EQ(q.CrcStr(), "");
    q.Append("three", 0);
    EXPECT_EQ(q.RemoveHead(head->Id), 1);
    EXPECT_EQ(q.Head()->Text, "three");
}

TEST(EnumComPortsTest, RealPortsSortedIgnoringCase) {
    const QString root = qEnvironmentVariable("PRAVEX_TEST_TMP") + "/sys-class-tty";
    QDir().mkpath(root);
    auto port = [&](const QString& name, const char* type) {
        QDir().mkpath(root + "/" + name + "/device");
        if (type) {
            QFile f(root + "/" + name + "/type");
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write(type);
        }
    };
    port("ttyUSB1", nullptr);
    port("ttyACM0", nullptr);
    port("ttyS0", "4\n");
    port("ttyS1", "0\n"); // registered, no UART behind it
    QDir().mkpath(root + "/tty0");
    QDir().mkpath(root + "/ptmx");
    port("TTYX", nullptr);
    QStringList list{"stale"};
    EnumComPorts(list, root);
    EXPECT_EQ(list, QStringList({"ttyACM0", "ttyS0", "ttyUSB1", "TTYX"}));
    EnumComPorts(list, root + "/missing");
    EXPECT_TRUE(list.isEmpty());
}
