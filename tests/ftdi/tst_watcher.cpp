// The adapter watcher on the real event loop with the D2XX simulator: the report after start, debounced
// bursts, arrivals and removals, rescans while an adapter is unusable, the active adapter and its
// queries, the user-area methods, and a scan still running when the watcher goes.
// labels: sim threaded
#include "D2XXUnit.h"
#include "TevFT232a.h"
#include "watcher_helpers.h"

#include <QElapsedTimer>
#include <gtest/gtest.h>
#include <thread>

using namespace watchertest;

namespace {

struct TReport {
    bool InOut = false;
    int DevCount = 0;
    QString ActiveSerial;
    QString NewPort;
    qint64 at = 0;
};

class WatcherTest : public ::testing::Test {
protected:
    void SetUp() override {
        qputenv("PRAVEX_DEVICE_MONITOR", "none"); // the simulator and the tests announce changes
        seekportIN = false;
        bseekport = false;
        bseekportBusy = false;
        clock.start();
    }
    void TearDown() override {
        ScanLayerWaitMs = 5000;
        qunsetenv("PRAVEX_DEVICE_MONITOR");
    }

    std::unique_ptr<TTevFT232a> make(bool active = true) {
        auto w = std::make_unique<TTevFT232a>();
        w->OnDetectUSB = [this](QObject*, bool InOut, TFTOrvakDefListFlags&, int& DevCount,
                                QString& ActiveSerial, const QString& NewPort) {
            reports.push_back({InOut, DevCount, ActiveSerial, NewPort, clock.elapsed()});
        };
        w->SetActive(active);
        return w;
    }
    bool waitReports(std::size_t n, int ms = 15000) {
        return WaitFor([&] { return reports.size() >= n; }, ms);
    }

    TSim sim;
    std::vector<TReport> reports;
    QElapsedTimer clock;
};

#define START_SIM(config)                                                                                    \
    if (!sim.Start(config))                                                                                  \
    GTEST_SKIP() << "the D2XX simulator is not built"

const QString TwoAdapters =
    Adapter(QStringLiteral("A1"), QStringLiteral("ttyUSB0"), QStringLiteral("ua_size = 32\n")) +
    Adapter(QStringLiteral("B2"), QStringLiteral("ttyUSB1"));

TEST_F(WatcherTest, ReportsAboutASecondAfterStart) {
    START_SIM(TwoAdapters);
    auto w = make();
    EXPECT_TRUE(w->TimerEnabled());
    ASSERT_TRUE(waitReports(1));
    const TReport& r = reports[0];
    EXPECT_GE(r.at, 900); // the timer's interval, never earlier
    EXPECT_FALSE(r.InOut);
    EXPECT_EQ(r.DevCount, 2);
    EXPECT_EQ(r.ActiveSerial, QStringLiteral("A1"));
    EXPECT_TRUE(r.NewPort.isEmpty());
    EXPECT_FALSE(w->TimerEnabled());
    EXPECT_TRUE(seekport.get().isEmpty());
    EXPECT_EQ(w->GetActiveComPort(), QStringLiteral("ttyUSB0"));
    Pump(1500);
    EXPECT_EQ(reports.size(), 1u); // nothing more without a device change
}

TEST_F(WatcherTest, NoAdaptersIsReportedToo) {
    START_SIM(QString());
    auto w = make();
    ASSERT_TRUE(waitReports(1));
    EXPECT_EQ(reports[0].DevCount, 0);
    EXPECT_TRUE(reports[0].ActiveSerial.isEmpty());
    EXPECT_TRUE(w->GetActiveComPort().isEmpty());
}

TEST_F(WatcherTest, InactiveWatcherDoesNotScan) {
    START_SIM(TwoAdapters);
    auto w = make(false);
    Pump(1500);
    EXPECT_FALSE(w->TimerEnabled());
    w->WMDeviceChange(DBT_DEVNODES_CHANGED, nullptr);
    EXPECT_TRUE(w->TimerEnabled());
    Pump(1500);
    EXPECT_FALSE(w->TimerEnabled()); // the tick found it inactive; the next change arms it again
    EXPECT_TRUE(reports.empty());
    EXPECT_EQ(sim.Count(QStringLiteral("FT_CreateDeviceInfoList")), 0);
}

TEST_F(WatcherTest, BurstOfChangesGivesOneScan) {
    START_SIM(TwoAdapters);
    auto w = make();
    ASSERT_TRUE(waitReports(1));
    sim.ClearJournal();
    const qint64 first = clock.elapsed();
    w->WMDeviceChange(DBT_DEVNODES_CHANGED, nullptr);
    Pump(200);
    if (clock.elapsed() - first >= 900)
        GTEST_SKIP() << "the machine is too loaded to send two changes within one interval";
    w->WMDeviceChange(DBT_DEVNODES_CHANGED, nullptr); // must not restart the interval
    ASSERT_TRUE(waitReports(2));
    EXPECT_GE(reports[1].at - first, 900);
    Pump(1500);
    EXPECT_EQ(reports.size(), 2u);
    EXPECT_EQ(sim.Count(QStringLiteral("FT_CreateDeviceInfoList")), 1);
}

TEST_F(WatcherTest, PluggedAdapterIsReportedAsArrivedOnce) {
    START_SIM(Adapter(QStringLiteral("A1"), QStringLiteral("ttyUSB0")));
    auto w = make();
    ASSERT_TRUE(waitReports(1));
    // The simulator announces the plug-in through the same entry point as the system would.
    sim.Change(Adapter(QStringLiteral("A1"), QStringLiteral("ttyUSB0")) +
               Adapter(QStringLiteral("N7"), QStringLiteral("ttyUSB7")));
    ASSERT_TRUE(waitReports(2));
    EXPECT_TRUE(reports[1].InOut);
    EXPECT_EQ(reports[1].NewPort, QStringLiteral("ttyUSB7"));
    EXPECT_EQ(reports[1].DevCount, 2);
    EXPECT_EQ(w->FTOrvakDefListFlags[1].JustDiscovered, 1);
    EXPECT_EQ(w->FTOrvakDefListFlags[0].JustDiscovered, 0);

    // Unplugging: "something changed" only; the old port name stays, InOut is false now.
    sim.Change(Adapter(QStringLiteral("A1"), QStringLiteral("ttyUSB0")));
    ASSERT_TRUE(waitReports(3));
    EXPECT_FALSE(reports[2].InOut);
    EXPECT_EQ(reports[2].NewPort, QStringLiteral("ttyUSB7"));
    EXPECT_EQ(reports[2].DevCount, 1);
    EXPECT_EQ(w->FListCount, 1);
}

TEST_F(WatcherTest, ConfigFileChangeIsNoticedByTheSimulator) {
    START_SIM(Adapter(QStringLiteral("A1"), QStringLiteral("ttyUSB0")));
    auto w = make();
    ASSERT_TRUE(waitReports(1));
    sim.Rewrite(Adapter(QStringLiteral("A1"), QStringLiteral("ttyUSB0")) +
                Adapter(QStringLiteral("N9"), QStringLiteral("ttyUSB9")));
    ASSERT_TRUE(waitReports(2, 30000));
    EXPECT_EQ(reports.back().NewPort, QStringLiteral("ttyUSB9"));
    EXPECT_EQ(reports.back().DevCount, 2);
}

TEST_F(WatcherTest, ArrivalOfAPortThatIsNoAdapterIsReportedAfterARescan) {
    START_SIM(Adapter(QStringLiteral("A1"), QStringLiteral("ttyUSB0")));
    auto w = make();
    ASSERT_TRUE(waitReports(1));
    sim.ClearJournal();
    TTevFT232a::DeviceChangeNotify(DBT_DEVICEARRIVAL, QStringLiteral("ttyACM0"));
    ASSERT_TRUE(waitReports(2));
    EXPECT_EQ(sim.Count(QStringLiteral("FT_CreateDeviceInfoList")), 2); // the first scan was not reported
    EXPECT_TRUE(reports[1].InOut);
    EXPECT_EQ(reports[1].NewPort, QStringLiteral("ttyACM0"));
    // InOut stays true until an arrived port is found.
    w->WMDeviceChange(DBT_DEVNODES_CHANGED, nullptr);
    ASSERT_TRUE(waitReports(3));
    EXPECT_TRUE(reports[2].InOut);
}

TEST_F(WatcherTest, UnusableAdapterIsRescannedUntilItIsFixed) {
    START_SIM(Adapter(QStringLiteral("A1"), QStringLiteral("ttyUSB0")) +
              Adapter(QStringLiteral("B2"), QString()));
    auto w = make();
    ASSERT_TRUE(WaitFor([&] { return sim.Count(QStringLiteral("FT_CreateDeviceInfoList")) >= 3; }, 20000));
    EXPECT_TRUE(reports.empty());
    EXPECT_EQ(w->FTOrvakDefListFlags[1].Active, 2);
    EXPECT_TRUE(w->FActiveSerial.isEmpty());
    // The third pass may still be running when its list call is seen: it must end, not stay busy.
    EXPECT_TRUE(WaitFor([] { return !bseekportBusy.load(); }));

    sim.Change(Adapter(QStringLiteral("A1"), QStringLiteral("ttyUSB0")) +
               Adapter(QStringLiteral("B2"), QStringLiteral("ttyUSB1")));
    ASSERT_TRUE(waitReports(1));
    EXPECT_EQ(reports[0].ActiveSerial, QStringLiteral("A1"));
}

TEST_F(WatcherTest, BlankSerialBlocksReports) {
    START_SIM(Adapter(QStringLiteral("   "), QStringLiteral("ttyUSB0")));
    auto w = make();
    ASSERT_TRUE(WaitFor([&] { return sim.Count(QStringLiteral("FT_CreateDeviceInfoList")) >= 2; }, 20000));
    EXPECT_TRUE(reports.empty());
    EXPECT_TRUE(w->bDiscoverError);
}

TEST_F(WatcherTest, ActiveAdapterChoiceAndQueries) {
    START_SIM(Adapter(QStringLiteral("A1"), QStringLiteral("ttyUSB0"), QStringLiteral("location = 0x11\n")) +
              Adapter(QStringLiteral("B2"), QStringLiteral("ttyUSB1"), QStringLiteral("location = 0x12\n")) +
              Adapter(QStringLiteral("C3"), QStringLiteral("ttyUSB2"),
                      QStringLiteral("location = 0x13\ntype = 6\nua_text = \"box\"\n")));
    auto w = make();
    ASSERT_TRUE(waitReports(1));
    EXPECT_EQ(w->GetActiveIDX(), 0);

    EXPECT_TRUE(w->SetActiveSerial(QStringLiteral("C3")));
    EXPECT_EQ(w->FTOrvakDefListFlags[0].Active, 1);
    EXPECT_EQ(w->FTOrvakDefListFlags[1].Active, 1);
    EXPECT_EQ(w->FTOrvakDefListFlags[2].Active, 0);
    EXPECT_EQ(w->FActiveSerial, QStringLiteral("C3"));
    EXPECT_EQ(w->GetActiveIDX(), 2);
    EXPECT_EQ(w->GetActiveComPort(), QStringLiteral("ttyUSB2"));
    EXPECT_EQ(w->GetActiveLocation(), 0x13u);
    EXPECT_EQ(w->GetActiveChipType(), QStringLiteral("FT2232H"));
    EXPECT_EQ(w->GetActiveDescription(), QStringLiteral("Desc C3"));
    EXPECT_EQ(w->GetActiveOrvakDesc(), QStringLiteral("box"));

    // Absent serials and unusable adapters change nothing.
    EXPECT_FALSE(w->SetActiveSerial(QStringLiteral("ZZ")));
    w->FTOrvakDefListFlags[1].Active = 2;
    EXPECT_FALSE(w->SetActiveSerial(QStringLiteral("B2")));
    EXPECT_EQ(w->FActiveSerial, QStringLiteral("C3"));
    EXPECT_EQ(w->FTOrvakDefListFlags[1].Active, 2);

    // An active serial whose record is not marked active: not found.
    w->FActiveSerial = QStringLiteral("A1");
    EXPECT_EQ(w->GetActiveComPort(), QStringLiteral("COM?"));
    EXPECT_EQ(w->GetActiveIDX(), -1);
    EXPECT_EQ(w->GetActiveLocation(), 0u);
    EXPECT_TRUE(w->GetActiveChipType().isEmpty());
    EXPECT_TRUE(w->GetActiveDescription().isEmpty());

    w->FActiveSerial = QStringLiteral("  ");
    EXPECT_TRUE(w->GetActiveComPort().isEmpty());
    EXPECT_EQ(w->GetActiveIDX(), -1);
    EXPECT_TRUE(w->GetActiveDescription().isEmpty());
    EXPECT_TRUE(w->GetActiveOrvakDesc().isEmpty());
}

TEST_F(WatcherTest, ReportHandlerChangesTheWatchersFields) {
    START_SIM(TwoAdapters);
    auto w = std::make_unique<TTevFT232a>();
    w->OnDetectUSB = [](QObject*, bool, TFTOrvakDefListFlags& list, int&, QString& ActiveSerial,
                        const QString&) {
        list[1].Active = 0;
        ActiveSerial = QStringLiteral("B2");
    };
    int chip = -1;
    w->OnChangeChip = [&](QObject*, int idx, const QString&) { chip = idx; };
    w->SetActive(true);
    ASSERT_TRUE(WaitFor([&] { return w->FActiveSerial == QStringLiteral("B2"); }));
    EXPECT_EQ(w->GetActiveComPort(), QStringLiteral("ttyUSB1"));
    w->DoOnChangeChip(4, QStringLiteral("x"));
    EXPECT_EQ(chip, 4);
}

TEST_F(WatcherTest, UserAreaWritesReadBackAndShowInTheNextScan) {
    START_SIM(TwoAdapters);
    auto w = make();
    ASSERT_TRUE(waitReports(1));

    ASSERT_TRUE(w->WriteFTUserData(QStringLiteral("ABC")));
    EXPECT_EQ(sim.UserArea(QStringLiteral("A1")), QByteArray("ABC") + QByteArray(29, '\0'));
    EXPECT_EQ(w->ReadFTUserData(), QStringLiteral("ABC"));

    // Too long for the area: cut to leave its NUL.
    ASSERT_TRUE(w->WriteFTUserData(QString(40, QLatin1Char('z'))));
    EXPECT_EQ(sim.UserArea(QStringLiteral("A1")), QByteArray(31, 'z') + QByteArray(1, '\0'));

    ASSERT_TRUE(w->WriteFTUserDataWLEN(3, QStringLiteral("ABC")));
    EXPECT_EQ(sim.UserArea(QStringLiteral("A1")).left(5), QByteArray("\x03"
                                                                     "ABC\0",
                                                                     5));
    EXPECT_EQ(w->ReadFTUserDataWLEN(), QStringLiteral("ABC"));
    EXPECT_TRUE(D2xxHandle == nullptr);

    // A length beyond the text or the buffer never reads or writes past them.
    ASSERT_TRUE(w->WriteFTUserDataWLEN(200, QStringLiteral("ab")));
    EXPECT_EQ(sim.UserArea(QStringLiteral("A1")).left(4), QByteArray("\x3e"
                                                                     "ab\0",
                                                                     4));

    ASSERT_TRUE(w->WriteFTUserDataWLEN(3, QStringLiteral("ABC")));
    w->WMDeviceChange(DBT_DEVNODES_CHANGED, nullptr);
    ASSERT_TRUE(waitReports(2));
    EXPECT_EQ(w->FTOrvakDefListFlags[0].OrvakDesc, QStringLiteral("ABC"));
    EXPECT_EQ(w->GetActiveOrvakDesc(), QStringLiteral("ABC"));

    // GetFFTUserData reads whatever the layer holds, without opening.
    ASSERT_TRUE(w->OpenPortBySerial(QStringLiteral("A1")));
    EXPECT_EQ(w->GetFFTUserData(), QStringLiteral("ABC"));
    w->CloseUsbPort();

    // No active adapter: nothing is opened.
    w->FActiveSerial.clear();
    sim.ClearJournal();
    EXPECT_TRUE(w->ReadFTUserData().isEmpty());
    EXPECT_FALSE(w->WriteFTUserData(QStringLiteral("x")));
    EXPECT_EQ(sim.Count(QStringLiteral("FT_OpenEx")), 0);
}

TEST_F(WatcherTest, ResultsAppearAllAtOnceOnTheGuiThread) {
    START_SIM(TwoAdapters);
    auto w = make();
    ASSERT_TRUE(waitReports(1));
    sim.Change(Adapter(QStringLiteral("X9"), QStringLiteral("ttyUSB5")));
    {
        D2xxSession hold; // the scan waits for the layer
        w->DetectFT232();
        ASSERT_TRUE(WaitFor([] { return bseekportBusy.load(); }));
        Pump(100);
        EXPECT_TRUE(w->Active());
        // Readers still see the last complete result.
        EXPECT_EQ(w->FListCount, 2);
        EXPECT_EQ(w->FActiveSerial, QStringLiteral("A1"));
        EXPECT_EQ(w->FTOrvakDefListFlags[0].SerialNumber, QStringLiteral("A1"));
        // A tick while the scan runs does nothing.
        w->WMDeviceChange(DBT_DEVNODES_CHANGED, nullptr);
    }
    ASSERT_TRUE(WaitFor([&] { return w->FActiveSerial == QStringLiteral("X9"); }));
    EXPECT_EQ(w->FListCount, 1);
    EXPECT_EQ(w->FTOrvakDefListFlags[0].ComPort, QStringLiteral("ttyUSB5"));
    EXPECT_EQ(w->FTOrvakDefListFlags[1].SerialNumber, QStringLiteral("B2")); // beyond the count: kept
}

TEST_F(WatcherTest, BrokenOffScanPublishesNothingAndIsRetried) {
    START_SIM(TwoAdapters);
    auto w = make();
    ASSERT_TRUE(waitReports(1));
    sim.Change(Adapter(QStringLiteral("X9"), QStringLiteral("ttyUSB5")));
    ScanLayerWaitMs = 300;
    auto* hold = new D2xxSession;
    w->DetectFT232();
    ASSERT_TRUE(w->Active());
    ASSERT_TRUE(WaitFor([&] { return !w->Active(); }));
    EXPECT_EQ(w->FListCount, 2);
    EXPECT_EQ(w->FActiveSerial, QStringLiteral("A1"));
    EXPECT_EQ(reports.size(), 1u);
    EXPECT_TRUE(w->TimerEnabled());
    delete hold;
    ASSERT_TRUE(waitReports(2));
    EXPECT_EQ(reports[1].ActiveSerial, QStringLiteral("X9"));
    EXPECT_EQ(w->FListCount, 1);
}

TEST_F(WatcherTest, DestroyedDuringAScanWaitsAndNeverRunsTheEndHandler) {
    START_SIM(TwoAdapters);
    auto w = make();
    ASSERT_TRUE(waitReports(1));
    auto* hold = new D2xxSession;
    w->DetectFT232();
    ASSERT_TRUE(WaitFor([] { return bseekportBusy.load(); }));
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        delete hold;
    });
    w.reset(); // waits for the scan, which goes on once the layer is free
    releaser.join();
    Pump(300);
    EXPECT_EQ(reports.size(), 1u);
    EXPECT_FALSE(bseekportBusy);
}

TEST_F(WatcherTest, ScanOutlastingTheWaitIsLeftToEndOnItsOwn) {
    START_SIM(TwoAdapters);
    auto w = make();
    ASSERT_TRUE(waitReports(1));
    auto* hold = new D2xxSession;
    w->DetectFT232();
    ASSERT_TRUE(WaitFor([] { return bseekportBusy.load(); }));
    w.reset(); // gives up after its bounded wait
    delete hold;
    ASSERT_TRUE(WaitFor([] { return !bseekportBusy.load(); }));
    Pump(300); // the detached thread ends and frees itself; no handler runs
    EXPECT_EQ(reports.size(), 1u);
}

// Stands in for the chip watcher window: counts the scan-indicator calls.
class TEyeWindow : public QWidget {
    Q_OBJECT
public:
    QStringList calls;
    Q_INVOKABLE void MagentaEyeOn() { calls << QStringLiteral("on"); }
    Q_INVOKABLE void MagentaEyeOff() { calls << QStringLiteral("off"); }
};

TEST_F(WatcherTest, ChipWatcherWindowLink) {
    START_SIM(TwoAdapters);
    QWidget owner;
    auto* w = new TTevFT232a(&owner);
    EXPECT_EQ(w->FParent, &owner);
    w->OnDetectUSB = [this](QObject*, bool, TFTOrvakDefListFlags&, int& n, QString&, const QString&) {
        reports.push_back({false, n, {}, {}, 0});
    };
    w->SetActive(true);
    auto* eye = new TEyeWindow;
    eye->show();
    w->FfrmList = eye;
    ASSERT_TRUE(waitReports(1));
    EXPECT_EQ(eye->calls, QStringList({QStringLiteral("on"), QStringLiteral("off")}));

    w->CloseFrmList();
    EXPECT_FALSE(eye->isVisible());
    w->SetParentFocus();
    delete eye; // the window goes away on its own: the link clears itself
    EXPECT_TRUE(w->FfrmList.isNull());
    w->DetectFT232();
    ASSERT_TRUE(waitReports(2));
}

TEST_F(WatcherTest, UserAreaWritesSayWhetherTheyHappened) {
    START_SIM(TwoAdapters);
    auto w = make(false);
    // B2's size was read last: a write to A1 must never use it.
    w->FActiveSerial = QStringLiteral("B2");
    EXPECT_TRUE(w->ReadFTUserData().isEmpty());
    const struct {
        const char* name;
        const char* serial;
        const char* a1Extra; // added to A1's block
        bool writes;         // whether a user-area write may reach the library
    } cases[] = {
        {"adapter not attached", "GONE", "", false},
        {"open fails", "A1", "fail = FT_OpenEx 3\n", false},
        {"size query fails", "A1", "fail = FT_EE_UASize 4\n", false},
        {"write fails", "A1", "fail = FT_EE_UAWrite 12\n", true},
        {"close fails", "A1", "fail = FT_Close 4\n", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim.Change(Adapter(QStringLiteral("A1"), QStringLiteral("ttyUSB0"),
                           QStringLiteral("ua_size = 32\n") + QLatin1String(c.a1Extra)) +
                   Adapter(QStringLiteral("B2"), QStringLiteral("ttyUSB1")));
        w->FActiveSerial = QLatin1String(c.serial);
        sim.ClearJournal();
        EXPECT_FALSE(w->WriteFTUserData(QStringLiteral("ABC")));
        EXPECT_FALSE(w->WriteFTUserDataWLEN(3, QStringLiteral("ABC")));
        if (!c.writes) {
            EXPECT_EQ(sim.Count(QStringLiteral("FT_EE_UAWrite")), 0);
        }
        for (const QString& call : sim.CallsOf({QStringLiteral("FT_EE_UAWrite")}))
            EXPECT_TRUE(call.contains(QStringLiteral("length=32"))) << call.toStdString();
        EXPECT_TRUE(D2xxHandle == nullptr);
    }
}

TEST_F(WatcherTest, AFailedDeviceListIsAnInterruptedScanTriedAgain) {
    // The first list fails; the watcher reports nothing of that pass, not "no adapters".
    START_SIM(QStringLiteral("fail = FT_GetDeviceInfoList 4 1\n") + TwoAdapters);
    auto w = make();
    ASSERT_TRUE(waitReports(1));
    EXPECT_EQ(reports[0].DevCount, 2);
    EXPECT_EQ(reports[0].ActiveSerial, QStringLiteral("A1"));
    EXPECT_EQ(sim.Count(QStringLiteral("FT_CreateDeviceInfoList")), 2);
}

} // namespace

#include "tst_watcher.moc"
