// The adapter scan against the D2XX simulator: records, ports and the "COM?" stop, the choice of the
// active adapter, the seek flags, user-area texts, chip names, and the 21-record bound.
// labels: sim threaded
#include "D2XXUnit.h"
#include "TevFT232aCheckThreadU.h"
#include "tevFT232LibA.h"
#include "watcher_helpers.h"

#include <QRegularExpression>
#include <gtest/gtest.h>
#include <thread>

using namespace watchertest;

namespace {

class ScanTest : public ::testing::Test {
protected:
    void SetUp() override {
        seekport = QStringLiteral("*");
        bseekport = false;
        bseekPortOK = false;
        bseekportBusy = false;
        // Old contents that a scan must leave alone where it does not reach.
        for (int i = 0; i < FTOrvakMaxAdapters; ++i) {
            auto& r = records[std::size_t(i)];
            r.SerialNumber = QStringLiteral("old%1").arg(i);
            r.ComPort = QStringLiteral("ttyOLD%1").arg(i);
            r.Active = 0;
        }
    }
    void TearDown() override { ScanLayerWaitMs = 5000; }
    bool start(const QString& config) { return sim.Start(config); }
    void scan() { ScanAdapters({records, count, active, discoverError}); }

    TSim sim;
    TFTOrvakDefListFlags records{};
    int count = -1;
    QString active = QStringLiteral("stale");
    bool discoverError = true;
};

#define START_SIM(config)                                                                                    \
    if (!start(config))                                                                                      \
    GTEST_SKIP() << "the D2XX simulator is not built"

TEST_F(ScanTest, NoAdaptersTouchesNoRecord) {
    START_SIM(QString());
    scan();
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(active.isEmpty());
    EXPECT_FALSE(discoverError);
    EXPECT_TRUE(bseekport); // nothing sought
    EXPECT_EQ(records[0].SerialNumber, QStringLiteral("old0"));
    EXPECT_EQ(records[0].Active, 0);
    EXPECT_FALSE(bseekportBusy);

    seekport = QStringLiteral("TTYUSB7");
    scan();
    EXPECT_FALSE(bseekport);
}

TEST_F(ScanTest, TwoUsableAdaptersMakeTheFirstActive) {
    START_SIM(Adapter(QStringLiteral("FT111"), QStringLiteral("ttyUSB0"),
                      QStringLiteral("type = 5\nlocation = 0x124\nua_size = 32\nua_text = \"ABC\"\n")) +
              Adapter(QStringLiteral("FT222"), QStringLiteral("ttyUSB1"), QStringLiteral("type = 8\n")));
    records[1].Active = 0; // active before the scan: the scan picks adapter 0 all the same
    records[1].JustDiscovered = 1;
    scan();
    ASSERT_EQ(count, 2);
    EXPECT_EQ(active, QStringLiteral("FT111"));
    const auto& a = records[0];
    EXPECT_EQ(a.Active, 0);
    EXPECT_EQ(a.SerialNumber, QStringLiteral("FT111"));
    EXPECT_EQ(a.Description, QStringLiteral("Desc FT111"));
    EXPECT_EQ(a.ComPort, QStringLiteral("ttyUSB0"));
    EXPECT_EQ(a.chip, QStringLiteral("FT232R"));
    EXPECT_EQ(a.DeviceType, 5u);
    EXPECT_EQ(a.LocID, 0x124u);
    EXPECT_EQ(a.OrvakOkFlag, 32);
    EXPECT_EQ(a.OrvakDesc, QStringLiteral("ABC"));
    EXPECT_EQ(a.ID, 0u);
    EXPECT_EQ(records[1].Active, 1);
    EXPECT_EQ(records[1].JustDiscovered, 0);
    EXPECT_EQ(records[1].chip, QStringLiteral("FT232H"));
    EXPECT_EQ(records[2].SerialNumber, QStringLiteral("old2"));
    EXPECT_TRUE(D2xxHandle == nullptr); // the layer holds no adapter afterwards

    // Each adapter is opened once and closed again; nothing is left open.
    EXPECT_EQ(sim.Count(QStringLiteral("FT_OpenEx")), 2);
    EXPECT_EQ(sim.Count(QStringLiteral("FT_Close")), 2);
}

TEST_F(ScanTest, AdapterWithoutPortStopsThePass) {
    START_SIM(Adapter(QStringLiteral("A1"), QStringLiteral("ttyUSB0")) +
              Adapter(QStringLiteral("B2"), QString()) +
              Adapter(QStringLiteral("C3"), QStringLiteral("ttyUSB2")));
    bseekPortOK = true;
    scan();
    EXPECT_EQ(count, 3);
    EXPECT_TRUE(active.isEmpty());
    EXPECT_EQ(records[0].Active, 1);
    EXPECT_EQ(records[1].ComPort, QStringLiteral("COM?"));
    EXPECT_EQ(records[1].Active, 2);
    EXPECT_EQ(records[2].SerialNumber, QStringLiteral("old2"));
    EXPECT_EQ(records[2].ComPort, QStringLiteral("ttyOLD2"));
    EXPECT_FALSE(bseekport);
    EXPECT_FALSE(bseekPortOK);
    EXPECT_FALSE(sim.Calls().join(QLatin1Char('\n')).contains(QStringLiteral("serial=\"C3\"")));
}

TEST_F(ScanTest, SoughtPortIsFoundWhateverItsCase) {
    START_SIM(Adapter(QStringLiteral("A1"), QStringLiteral("ttyUSB0")) +
              Adapter(QStringLiteral("B2"), QStringLiteral("ttyUSB7")));
    seekport = QStringLiteral("TTYUSB7"); // announced names are upper-cased
    scan();
    EXPECT_EQ(records[0].JustDiscovered, 0);
    EXPECT_EQ(records[1].JustDiscovered, 1);
    EXPECT_EQ(records[1].Active, 1);
    EXPECT_TRUE(bseekport);
    EXPECT_TRUE(bseekPortOK);
    EXPECT_EQ(active, QStringLiteral("A1"));

    // A later adapter without a port in the same pass clears both again.
    sim.Change(Adapter(QStringLiteral("A1"), QStringLiteral("ttyUSB7")) +
               Adapter(QStringLiteral("B2"), QString()));
    bseekport = false;
    scan();
    EXPECT_EQ(records[0].JustDiscovered, 1);
    EXPECT_FALSE(bseekport);
    EXPECT_FALSE(bseekPortOK);
}

TEST_F(ScanTest, SoughtPortMissingLeavesTheFlagsAlone) {
    START_SIM(Adapter(QStringLiteral("A1"), QStringLiteral("ttyUSB0")));
    seekport = QStringLiteral("COM7");
    bseekPortOK = true;
    scan();
    EXPECT_FALSE(bseekport);
    EXPECT_TRUE(bseekPortOK);
    EXPECT_EQ(active, QStringLiteral("A1"));
}

TEST_F(ScanTest, BlankSerialIsADiscoveryError) {
    START_SIM(Adapter(QStringLiteral("A1"), QStringLiteral("ttyUSB0")) +
              Adapter(QStringLiteral(" \\x01 "), QStringLiteral("ttyUSB1")));
    scan();
    EXPECT_TRUE(discoverError);
    EXPECT_TRUE(active.isEmpty());
    EXPECT_EQ(records[0].Active, 1);
    EXPECT_EQ(count, 2);
}

TEST_F(ScanTest, UserAreaTexts) {
    const QString sixty(60, QLatin1Char('x'));
    START_SIM(
        Adapter(QStringLiteral("PLAIN"), QStringLiteral("ttyUSB0"), QStringLiteral("ua_text = \"ABC\"\n")) +
        Adapter(QStringLiteral("LONG"), QStringLiteral("ttyUSB1"),
                QStringLiteral("ua_text = \"%1\"\n").arg(sixty)) +
        Adapter(QStringLiteral("WLEN"), QStringLiteral("ttyUSB2"),
                QStringLiteral("ua_hex = 03 41 42 43 00\n")) +
        Adapter(QStringLiteral("WLEN65"), QStringLiteral("ttyUSB3"),
                QStringLiteral("ua_hex = 41 41 42 43 00\n")) +
        Adapter(QStringLiteral("PAD"), QStringLiteral("ttyUSB4"),
                QStringLiteral("ua_text = \"  hi\\x01 \"\n")));
    scan();
    ASSERT_EQ(count, 5);
    EXPECT_EQ(records[0].OrvakDesc, QStringLiteral("ABC"));
    EXPECT_EQ(records[1].OrvakDesc, QStringLiteral("empty")); // over 50 characters on a known port
    EXPECT_EQ(records[1].FTUAorgText().left(60), sixty);
    EXPECT_EQ(records[2].OrvakDesc, QStringLiteral("ABC"));  // a length below 32 is trimmed away
    EXPECT_EQ(records[3].OrvakDesc, QStringLiteral("AABC")); // a length of 32 or more shows
    EXPECT_EQ(records[4].OrvakDesc, QStringLiteral("hi"));
}

TEST_F(ScanTest, EmptyUserAreaReadCopiesTheBufferLeftByTheLastRead) {
    START_SIM(Adapter(QStringLiteral("FIRST"), QStringLiteral("ttyUSB0"),
                      QStringLiteral("ua_text = \"ABCDEFGHIJKLMNOPQRSTUVWXYZ0123\"\n")) +
              Adapter(QStringLiteral("EMPTY"), QStringLiteral("ttyUSB1"), QStringLiteral("ua_read = 0\n")));
    records[1].FTUAorg.fill(0);
    records[1].FTUAorg[21] = u'!';
    records[1].FTUAorg[22] = u'?';
    scan();
    // 21 bytes of the buffer; characters from 21 on keep their earlier contents.
    EXPECT_EQ(records[1].FTUAorgText(), QStringLiteral("ABCDEFGHIJKLMNOPQRSTU!?"));
}

TEST_F(ScanTest, ChipNamesAndUnknownTypes) {
    START_SIM(
        Adapter(QStringLiteral("T0"), QStringLiteral("ttyUSB0"), QStringLiteral("type = 0\n")) +
        Adapter(QStringLiteral("T7"), QStringLiteral("ttyUSB1"), QStringLiteral("type = 7\n")) +
        Adapter(QStringLiteral("T9"), QStringLiteral("ttyUSB2"), QStringLiteral("type = 9\n")) +
        Adapter(QStringLiteral("T99"), QStringLiteral("ttyUSB3"), QStringLiteral("type = 4000000000\n")));
    scan();
    EXPECT_EQ(records[0].chip, QStringLiteral("FTU232BM"));
    EXPECT_EQ(records[1].chip, QStringLiteral("FT4232H"));
    EXPECT_EQ(records[2].chip, QStringLiteral("unknown"));
    EXPECT_EQ(records[3].chip, QStringLiteral("unknown"));
    EXPECT_EQ(ChipTypeName(2), QStringLiteral("FT_DEVICE_100AX"));
    EXPECT_EQ(ChipTypeName(3), QStringLiteral("unknown"));
}

TEST_F(ScanTest, MoreThanTwentyOneAdaptersStopAtTheArray) {
    QString config;
    for (int i = 0; i < 23; ++i)
        config += Adapter(QStringLiteral("S%1").arg(i), QStringLiteral("ttyUSB%1").arg(i));
    START_SIM(config);
    scan();
    EXPECT_EQ(count, FTOrvakMaxAdapters);
    EXPECT_EQ(records[20].SerialNumber, QStringLiteral("S20"));
    EXPECT_EQ(active, QStringLiteral("S0"));
    const QString calls = sim.Calls().join(QLatin1Char('\n'));
    EXPECT_FALSE(calls.contains(QStringLiteral("serial=\"S21\"")));
    EXPECT_FALSE(calls.contains(QStringLiteral("serial=\"S22\"")));
}

TEST_F(ScanTest, BusyFlagSpansThePassAndTheLayerIsHeldPerAdapter) {
    START_SIM(Adapter(QStringLiteral("A1"), QStringLiteral("ttyUSB0")));
    auto* hold = new D2xxSession;
    ASSERT_TRUE(hold->owns());
    std::thread scanner([&] { scan(); });
    // The scan waits for the layer: busy, and no D2XX call made yet.
    ASSERT_TRUE(WaitFor([] { return bseekportBusy.load(); }));
    Pump(100);
    EXPECT_EQ(sim.Count(QStringLiteral("FT_CreateDeviceInfoList")), 0);
    delete hold;
    scanner.join();
    EXPECT_FALSE(bseekportBusy);
    EXPECT_EQ(active, QStringLiteral("A1"));
}

TEST_F(ScanTest, PassThatCannotGetTheLayerBreaksOffAndClearsBusy) {
    START_SIM(Adapter(QStringLiteral("A1"), QStringLiteral("ttyUSB0")));
    ScanLayerWaitMs = 200;
    D2xxSession hold; // e.g. a bit-bang session that is never switched off
    EXPECT_FALSE(ScanAdapters({records, count, active, discoverError}));
    EXPECT_FALSE(bseekportBusy); // hot-plug goes on
    EXPECT_EQ(sim.Count(QStringLiteral("FT_CreateDeviceInfoList")), 0);
    hold.release();
    EXPECT_TRUE(ScanAdapters({records, count, active, discoverError}));
    EXPECT_EQ(active, QStringLiteral("A1"));
}

TEST_F(ScanTest, ThreadScansOnItsOwnCopies) {
    START_SIM(Adapter(QStringLiteral("A1"), QStringLiteral("ttyUSB0")));
    TTevFT232aCheckThread thread(nullptr);
    thread.FTOrvakDefListFlags = records;
    bool ended = false;
    thread.SetOnTerminate([&] { ended = true; });
    thread.Resume();
    ASSERT_TRUE(thread.WaitFor(30000));
    EXPECT_TRUE(ended);
    EXPECT_EQ(thread.FDevCount, 1);
    EXPECT_EQ(thread.FActiveSerial, QStringLiteral("A1"));
    EXPECT_EQ(thread.FTOrvakDefListFlags[1].SerialNumber, QStringLiteral("old1"));
}

} // namespace
