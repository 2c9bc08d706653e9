// Line control checked against the D2XX simulator's journal: both reset-pulse forms byte by byte with their
// spacing, failed open and failed bit mode, CBUS levels across calls, bit-bang on and off, and operations
// that would interleave with another one or with a scan.
// labels: sim threaded
#include "D2XXUnit.h"
#include "TevFT232a.h"
#include "tevFT232LibA.h"
#include "watcher_helpers.h"

#include <QRegularExpression>
#include <QTimer>
#include <condition_variable>
#include <functional>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

using namespace watchertest;

namespace {

const QStringList PinCalls = {QStringLiteral("FT_OpenEx"),      QStringLiteral("FT_Close"),
                              QStringLiteral("FT_Write"),       QStringLiteral("FT_SetBitMode"),
                              QStringLiteral("FT_ResetDevice"), QStringLiteral("FT_ResetPort"),
                              QStringLiteral("FT_GetBitMode"),  QStringLiteral("FT_SetLatencyTimer")};

class LineControlTest : public ::testing::Test {
protected:
    void SetUp() override {
        qputenv("PRAVEX_DEVICE_MONITOR", "none");
        if (!sim.Start(
                Adapter(QStringLiteral("RST1"), QStringLiteral("ttyUSB0"), QStringLiteral("pins = 0xa5\n")) +
                Adapter(QStringLiteral("RST2"), QStringLiteral("ttyUSB1"))))
            GTEST_SKIP() << "the D2XX simulator is not built";
        w = std::make_unique<TTevFT232a>();
        w->FActiveSerial = QStringLiteral("RST1");
    }
    void TearDown() override {
        w.reset();
        qunsetenv("PRAVEX_DEVICE_MONITOR");
    }

    // The pin-related calls without handles and statuses of 0, e.g. "FT_Write data=00".
    QStringList pinCalls() const {
        QStringList out;
        static const QRegularExpression noise(
            QStringLiteral(" handle=\\d+| status=0$| flags=1| count=1| written=1"));
        for (QString c : sim.CallsOf(PinCalls))
            out << c.remove(noise);
        return out;
    }

    TSim sim;
    std::unique_ptr<TTevFT232a> w;
};

QStringList pulseHead(const QString& serial, const QString& mask) {
    return {QStringLiteral("FT_ResetDevice status=1"), QStringLiteral("FT_ResetPort status=1"),
            QStringLiteral("FT_Close status=1"), QStringLiteral("FT_OpenEx serial=\"%1\"").arg(serial),
            QStringLiteral("FT_SetBitMode mask=%1 mode=0x01").arg(mask)};
}

TEST_F(LineControlTest, PulseTrainOfElevenCycles) {
    sim.ClearJournal();
    w->ResetPulse(QStringLiteral("RST2"), true, FT_RESET_RI);
    QStringList expected = pulseHead(QStringLiteral("RST2"), QStringLiteral("0x80"));
    for (int i = 0; i < 11; ++i)
        expected << QStringLiteral("FT_Write data=00") << QStringLiteral("FT_SetBitMode mask=0x20 mode=0x20")
                 << QStringLiteral("FT_Write data=80") << QStringLiteral("FT_SetBitMode mask=0x22 mode=0x20");
    expected << QStringLiteral("FT_SetBitMode mask=0xff mode=0x00") << QStringLiteral("FT_Close");
    EXPECT_EQ(pinCalls(), expected);

    // Each low and each high phase lasts at least the 40 ms wait.
    const QStringList calls = sim.Calls();
    const std::vector<double> times = sim.Times();
    std::vector<double> writes;
    for (int i = 0; i < calls.size(); ++i)
        if (calls[i].startsWith(QLatin1String("FT_Write ")))
            writes.push_back(times[std::size_t(i)]);
    ASSERT_EQ(writes.size(), 22u);
    for (std::size_t i = 1; i < writes.size(); ++i)
        EXPECT_GE(writes[i] - writes[i - 1], 0.038) << "phase " << i;
    EXPECT_TRUE(D2xxHandle == nullptr);
}

TEST_F(LineControlTest, SinglePulseLeavesCbus1Low) {
    sim.ClearJournal();
    w->ResetPulse(QString(), false, FT_RESET_DTR); // the active adapter
    QStringList expected = pulseHead(QStringLiteral("RST1"), QStringLiteral("0x10"));
    expected << QStringLiteral("FT_Write data=00") << QStringLiteral("FT_SetBitMode mask=0x20 mode=0x20")
             << QStringLiteral("FT_Write data=10") << QStringLiteral("FT_SetBitMode mask=0xff mode=0x00")
             << QStringLiteral("FT_Close");
    EXPECT_EQ(pinCalls(), expected);
    const QStringList calls = sim.Calls();
    const std::vector<double> times = sim.Times();
    const auto first = calls.indexOf(QRegularExpression(QStringLiteral("FT_Write .*data=00 .*")));
    const auto second = calls.indexOf(QRegularExpression(QStringLiteral("FT_Write .*data=10 .*")));
    ASSERT_GE(first, 0);
    ASSERT_GT(second, first);
    EXPECT_GE(times[std::size_t(second)] - times[std::size_t(first)], 0.038);
}

TEST_F(LineControlTest, NoSerialMeansNoCall) {
    w->FActiveSerial.clear();
    sim.ClearJournal();
    w->ResetPulse(QString(), true, FT_RESET_RI);
    EXPECT_TRUE(sim.Calls().isEmpty());
}

TEST_F(LineControlTest, FailedOpenSendsNothing) {
    sim.Change(
        Adapter(QStringLiteral("RST1"), QStringLiteral("ttyUSB0"), QStringLiteral("fail = FT_OpenEx 2\n")));
    sim.ClearJournal();
    w->ResetPulse(QString(), true, FT_RESET_RTS);
    EXPECT_EQ(sim.Count(QStringLiteral("FT_Write")), 0);
    EXPECT_EQ(sim.Count(QStringLiteral("FT_SetBitMode")), 0);
    EXPECT_TRUE(D2xxHandle == nullptr);
    EXPECT_FALSE(w->Init_ControllerBySerial(QString()));
    EXPECT_FALSE(w->OpenPortBySerial(QStringLiteral("RST1")));
    EXPECT_EQ(w->GetCbusVal(), 0);
}

TEST_F(LineControlTest, FailedBitModeLeavesTheAdapterOpen) {
    sim.Change(Adapter(QStringLiteral("RST1"), QStringLiteral("ttyUSB0"),
                       QStringLiteral("fail = FT_SetBitMode 4 1\n")));
    sim.ClearJournal();
    w->ResetPulse(QString(), true, FT_RESET_RTS);
    EXPECT_EQ(sim.Count(QStringLiteral("FT_Write")), 0);
    EXPECT_TRUE(D2xxHandle != nullptr);
    w->CloseUsbPort();
    EXPECT_TRUE(D2xxHandle == nullptr);
}

TEST_F(LineControlTest, CbusLevelsAreRememberedAcrossCalls) {
    sim.ClearJournal();
    w->SetCbusPinVal(2, 0); // CBUS2 high, the others low
    w->SetCbusPinVal(0, 1); // CBUS0 low, CBUS2 stays high
    w->SetCbusPinVal(0, 0); // CBUS0 high
    w->SetCbusPinVal(7, 0); // no such pin: levels kept, all four driven
    EXPECT_EQ(w->CBusBitIO(), 0x05);
    const QStringList one = {QStringLiteral("FT_OpenEx serial=\"RST1\"")};
    EXPECT_EQ(pinCalls(), QStringList() << one << QStringLiteral("FT_SetBitMode mask=0xf4 mode=0x20")
                                        << QStringLiteral("FT_Close") << one
                                        << QStringLiteral("FT_SetBitMode mask=0xf4 mode=0x20")
                                        << QStringLiteral("FT_Close") << one
                                        << QStringLiteral("FT_SetBitMode mask=0xf5 mode=0x20")
                                        << QStringLiteral("FT_Close") << one
                                        << QStringLiteral("FT_SetBitMode mask=0xf5 mode=0x20")
                                        << QStringLiteral("FT_Close"));
}

TEST_F(LineControlTest, CbusReadGivesTheLowNibble) {
    sim.ClearJournal();
    EXPECT_EQ(w->GetCbusVal(), 0x05); // pins 0xa5
    EXPECT_EQ(pinCalls(), QStringList()
                              << QStringLiteral("FT_OpenEx serial=\"RST1\"")
                              << QStringLiteral("FT_GetBitMode value=0xa5") << QStringLiteral("FT_Close"));
    // The user-area read takes over the pin byte as the remembered CBUS state.
    w->ReadFTUserData();
    EXPECT_EQ(w->CBusBitIO(), 0xa5);
}

TEST_F(LineControlTest, BitBangOnWriteReadOff) {
    sim.ClearJournal();
    w->BitBangWrite(0x11);
    EXPECT_EQ(w->BitBangRead(), 0);
    w->BitBangOFF();
    EXPECT_TRUE(sim.Calls().isEmpty());

    w->BitBangON(0xF0, 0x55);
    EXPECT_TRUE(w->BitBangMode());
    w->BitBangWrite(0xA0);
    EXPECT_EQ(w->BitBangRead(), 0xA5); // outputs D7..D4 from the write, inputs from the pins
    w->BitBangOFF();
    EXPECT_FALSE(w->BitBangMode());
    EXPECT_TRUE(D2xxHandle == nullptr);
    const QString open = QStringLiteral("FT_OpenEx serial=\"RST1\"");
    EXPECT_EQ(pinCalls(), QStringList()
                              << open << QStringLiteral("FT_SetLatencyTimer ms=16")
                              << QStringLiteral("FT_SetBitMode mask=0xf0 mode=0x01")
                              << QStringLiteral("FT_Write data=55") << QStringLiteral("FT_Write data=a0")
                              << QStringLiteral("FT_GetBitMode value=0xa5")
                              << QStringLiteral("FT_SetBitMode mask=0x20 mode=0x20")
                              << QStringLiteral("FT_SetBitMode mask=0xff mode=0x00")
                              << QStringLiteral("FT_Close") << open
                              << QStringLiteral("FT_SetLatencyTimer ms=16") << QStringLiteral("FT_Close"));
    sim.ClearJournal();
    w->BitBangOFF();
    EXPECT_TRUE(sim.Calls().isEmpty());
}

TEST_F(LineControlTest, PulseAskedForDuringAPulseIsDroppedOtherCallsRunAfterIt) {
    int fired = 0;
    std::uint8_t cbus = 0;
    QString text = QStringLiteral("not read");
    bool pulseReturned = false;
    QTimer t;
    t.setInterval(15);
    QObject::connect(&t, &QTimer::timeout, [&] {
        if (++fired > 1)
            return;
        EXPECT_FALSE(pulseReturned);
        w->ResetPulse(QStringLiteral("RST2"), false, FT_RESET_RTS);
        w->SetCbusPinVal(0, 0);
        cbus = w->GetCbusVal();
        text = w->ReadFTUserData();
    });
    t.start();
    sim.ClearJournal();
    w->ResetPulse(QStringLiteral("RST1"), true, FT_RESET_RI);
    pulseReturned = true;
    t.stop();
    EXPECT_GT(fired, 0); // the timer did run inside the waits
    // The pulse asked for again never reached the adapter; the other three ran after the train, in order.
    EXPECT_EQ(sim.Count(QStringLiteral("FT_Write")), 22);
    const QStringList opens = sim.CallsOf({QStringLiteral("FT_OpenEx")});
    ASSERT_EQ(opens.size(), 4);
    for (const QString& open : opens)
        EXPECT_TRUE(open.contains(QLatin1String("serial=\"RST1\""))) << open.toStdString();
    const QStringList calls = pinCalls();
    const auto trainEnd = calls.indexOf(QStringLiteral("FT_SetBitMode mask=0xff mode=0x00"));
    const auto cbusSet = calls.indexOf(QStringLiteral("FT_SetBitMode mask=0xf1 mode=0x20"));
    const auto cbusRead = calls.indexOf(QStringLiteral("FT_GetBitMode value=0xa5"));
    EXPECT_LT(trainEnd, cbusSet);
    EXPECT_LT(cbusSet, cbusRead);
    EXPECT_EQ(cbus, 0x05);
    EXPECT_TRUE(text.isEmpty()); // this adapter has no user text
    EXPECT_EQ(w->CBusBitIO(), 0xa5);
}

// A call made from an event dispatched during another call has the effect and the result it has when its
// caller waits for the other call to return: the same D2XX calls in the same order, the same value.
TEST_F(LineControlTest, CallMadeDuringAnotherRunsAfterItWithItsOwnResult) {
    using Call = std::function<QString(TTevFT232a&)>;
    const struct {
        const char* name;
        Call call;
    } hosts[] = {
        {"user-area read", [](TTevFT232a& w) { return w.ReadFTUserData(); }},
        {"reset pulse",
         [](TTevFT232a& w) {
             w.ResetPulse(QString(), false, FT_RESET_RTS);
             return QString();
         }},
        // The nested call lands in the session, and the session is ended afterwards.
        {"bit-bang on",
         [](TTevFT232a& w) {
             w.BitBangON(0xF0, 0x55);
             return QString::number(w.BitBangMode());
         }},
        // The nested call lands after the session.
        {"bit-bang off",
         [](TTevFT232a& w) {
             w.BitBangOFF();
             return QString::number(w.BitBangMode());
         }},
    };
    const struct {
        const char* name;
        Call call;
    } kinds[] = {
        {"CBUS set",
         [](TTevFT232a& w) {
             w.SetCbusPinVal(2, 0);
             return QString::number(w.CBusBitIO());
         }},
        {"CBUS read", [](TTevFT232a& w) { return QString::number(w.GetCbusVal()); }},
        {"bit-bang write",
         [](TTevFT232a& w) {
             w.BitBangWrite(0x0A);
             return QString();
         }},
        {"bit-bang read", [](TTevFT232a& w) { return QString::number(w.BitBangRead()); }},
        {"user-area read", [](TTevFT232a& w) { return w.ReadFTUserData(); }},
        {"user-area write",
         [](TTevFT232a& w) { return QString::number(w.WriteFTUserData(QStringLiteral("nested"))); }},
        {"reset pulse",
         [](TTevFT232a& w) {
             w.ResetPulse(QStringLiteral("RST2"), false, FT_RESET_CTS);
             return QString();
         }},
    };
    // Each run starts from fresh adapters: the simulator keeps the state of a block that did not change.
    int runs = 0;
    auto config = [&runs] {
        const QString fresh = QStringLiteral("location = %1\n").arg(++runs);
        return Adapter(QStringLiteral("RST1"), QStringLiteral("ttyUSB0"),
                       QStringLiteral("pins = 0xa5\nua_size = 32\nua_text = \"outer\"\n") + fresh) +
               Adapter(QStringLiteral("RST2"), QStringLiteral("ttyUSB1"), fresh);
    };
    const QStringList watched =
        PinCalls + QStringList{QStringLiteral("FT_EE_UARead"), QStringLiteral("FT_EE_UAWrite")};
    // A later call, made after the nested one, shows that the turns keep the order the calls were made in.
    const Call marker = [](TTevFT232a& w) { return QString::number(w.GetCbusVal()); };

    for (const auto& host : hosts) {
        for (const auto& kind : kinds) {
            SCOPED_TRACE(std::string(host.name) + " / " + kind.name);
            const bool bitBangOn = QLatin1String(host.name) == QLatin1String("bit-bang on");
            const bool bitBangOff = QLatin1String(host.name) == QLatin1String("bit-bang off");
            // A pulse asked for during a pulse is dropped, not run afterwards.
            const bool dropped = QLatin1String(host.name) == QLatin1String("reset pulse") &&
                                 QLatin1String(kind.name) == QLatin1String(host.name);
            struct Run {
                QStringList calls;
                QStringList results;
            };
            auto run = [&](bool nested) {
                w.reset();
                sim.Change(config());
                w = std::make_unique<TTevFT232a>();
                w->FActiveSerial = QStringLiteral("RST1");
                if (bitBangOff)
                    w->BitBangON(0xF0, 0x55);
                sim.ClearJournal();
                Run r;
                QString hostResult;
                QString kindResult;
                QString markerResult;
                if (nested) {
                    bool hostReturned = false;
                    int fired = 0;
                    QTimer first;
                    QTimer second;
                    for (QTimer* t : {&first, &second}) {
                        t->setSingleShot(true);
                        t->setInterval(0);
                    }
                    QObject::connect(&first, &QTimer::timeout, [&] {
                        EXPECT_FALSE(hostReturned);
                        ++fired;
                        kindResult = kind.call(*w);
                    });
                    QObject::connect(&second, &QTimer::timeout, [&] {
                        EXPECT_FALSE(hostReturned);
                        ++fired;
                        markerResult = marker(*w);
                    });
                    first.start();
                    second.start();
                    hostResult = host.call(*w);
                    hostReturned = true;
                    EXPECT_EQ(fired, 2);
                } else {
                    hostResult = host.call(*w);
                    if (!dropped)
                        kindResult = kind.call(*w);
                    markerResult = marker(*w);
                }
                if (bitBangOn)
                    w->BitBangOFF();
                r.results << hostResult << kindResult << markerResult;
                static const QRegularExpression handle(QStringLiteral(" handle=\\d+"));
                for (QString c : sim.CallsOf(watched))
                    r.calls << c.remove(handle);
                r.results << QString::fromLatin1(sim.UserArea(QStringLiteral("RST1")).toHex());
                return r;
            };
            const Run waited = run(false);
            const Run nested = run(true);
            EXPECT_EQ(nested.calls, waited.calls);
            EXPECT_EQ(nested.results, waited.results);
            EXPECT_FALSE(waited.calls.isEmpty());
            EXPECT_FALSE(w->BitBangMode());
        }
    }
}

// A handler may destroy the watcher while a call runs and others wait: the running one still returns its
// result, the waiting ones return without touching the adapter, and the layer is free again.
TEST_F(LineControlTest, WatcherGoneWhileCallsWaitEndsThemCleanly) {
    sim.Change(Adapter(QStringLiteral("RST1"), QStringLiteral("ttyUSB0"),
                       QStringLiteral("pins = 0xa5\nua_size = 32\nua_text = \"kept\"\n")));
    int cbus = -1;
    QTimer first;
    QTimer second;
    for (QTimer* t : {&first, &second}) {
        t->setSingleShot(true);
        t->setInterval(0);
    }
    QObject::connect(&first, &QTimer::timeout, [&] { cbus = w->GetCbusVal(); });
    QObject::connect(&second, &QTimer::timeout, [&] { w.reset(); });
    first.start();
    second.start();
    sim.ClearJournal();
    TTevFT232a* watcher = w.get();
    EXPECT_EQ(watcher->ReadFTUserData(), QStringLiteral("kept"));
    EXPECT_FALSE(w);
    EXPECT_EQ(cbus, 0);
    EXPECT_EQ(sim.Count(QStringLiteral("FT_OpenEx")), 1);
    EXPECT_EQ(sim.Count(QStringLiteral("FT_GetBitMode")), 1); // the read's own, none for the CBUS read
    EXPECT_FALSE(D2xxLayerBusy());
}

TEST_F(LineControlTest, BitBangSessionKeepsOtherOperationsAndScansOut) {
    w->BitBangON(0xFF, 0x00);
    ASSERT_TRUE(w->BitBangMode());
    sim.ClearJournal();
    w->ResetPulse(QString(), true, FT_RESET_RI);
    w->SetCbusPinVal(1, 0);
    EXPECT_TRUE(sim.Calls().isEmpty());

    // A scan waits until the session ends.
    std::vector<int> counts;
    w->OnDetectUSB = [&](QObject*, bool, TFTOrvakDefListFlags&, int& n, QString&, const QString&) {
        counts.push_back(n);
    };
    w->SetActive(true);
    w->DetectFT232();
    Pump(300);
    EXPECT_TRUE(counts.empty());
    EXPECT_EQ(sim.Count(QStringLiteral("FT_CreateDeviceInfoList")), 0);
    w->BitBangWrite(0x0F);
    w->BitBangOFF();
    ASSERT_TRUE(WaitFor([&] { return !counts.empty(); }));
    EXPECT_EQ(counts[0], 2);
}

TEST_F(LineControlTest, ScanStartedDuringAPulseWaitsForIt) {
    w->SetActive(true);
    QTimer::singleShot(100, [&] { w->DetectFT232(); });
    sim.ClearJournal();
    w->ResetPulse(QStringLiteral("RST1"), true, FT_RESET_RI);
    ASSERT_TRUE(WaitFor([&] { return !bseekportBusy.load() && !w->Active(); }));
    const QStringList calls = sim.Calls();
    const auto listed = calls.indexOf(QRegularExpression(QStringLiteral("FT_CreateDeviceInfoList .*")));
    const auto lastPulse =
        calls.lastIndexOf(QRegularExpression(QStringLiteral("FT_SetBitMode .*mode=0x00 .*")));
    ASSERT_GE(listed, 0);
    EXPECT_GT(listed, lastPulse);
}

TEST_F(LineControlTest, CbusHelpersShapeTheMasks) {
    w->OpenPortBySerial(QStringLiteral("RST1"));
    sim.ClearJournal();
    DriveSingleCbusPin(QStringLiteral("  "), 1, 1); // blank serial: nothing
    DriveSingleCbusPin(QStringLiteral("x"), 3, 1);
    DriveSingleCbusPin(QStringLiteral("x"), 4, 1);
    std::uint8_t state = 0xF2;
    WriteCbusPin(QString(), 3, 1, state);
    EXPECT_EQ(state, 0x0A);
    EXPECT_EQ(ReadCbusPins(QString()), 0);
    EXPECT_EQ(SetCbusBitBang(0x1F, 0xF3), 0u);
    w->CloseUsbPort();
    EXPECT_EQ(pinCalls(), QStringList() << QStringLiteral("FT_SetBitMode mask=0x88 mode=0x20")
                                        << QStringLiteral("FT_SetBitMode mask=0x00 mode=0x20")
                                        << QStringLiteral("FT_SetBitMode mask=0xfa mode=0x20")
                                        << QStringLiteral("FT_SetBitMode mask=0xf3 mode=0x20")
                                        << QStringLiteral("FT_Close"));
}

TEST_F(LineControlTest, WaitsForTheLayerWithTheEventLoopRunning) {
    // Another thread holds the layer until a timer of the GUI thread lets it go: an operation that
    // blocked the GUI thread while waiting would be refused after its time-out instead.
    const struct {
        const char* name;
        std::function<void(TTevFT232a&)> op;
        const char* call; // one call the operation must have made
    } cases[] = {
        {"reset pulse", [](TTevFT232a& w) { w.ResetPulse(QString(), false, FT_RESET_RTS); }, "FT_OpenEx"},
        {"user-area read", [](TTevFT232a& w) { w.ReadFTUserData(); }, "FT_EE_UARead"},
        {"user-area write", [](TTevFT232a& w) { EXPECT_TRUE(w.WriteFTUserData(QStringLiteral("x"))); },
         "FT_EE_UAWrite"},
        {"CBUS read", [](TTevFT232a& w) { EXPECT_EQ(w.GetCbusVal(), 0x05); }, "FT_GetBitMode"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::mutex m;
        std::condition_variable cv;
        bool held = false;
        bool letGo = false;
        std::thread holder([&] {
            D2xxSession session;
            std::unique_lock lock(m);
            held = true;
            cv.notify_all();
            cv.wait(lock, [&] { return letGo; });
        });
        {
            std::unique_lock lock(m);
            cv.wait(lock, [&] { return held; });
        }
        bool timerRan = false;
        QTimer::singleShot(0, [&] {
            timerRan = true;
            std::lock_guard lock(m);
            letGo = true;
            cv.notify_all();
        });
        sim.ClearJournal();
        c.op(*w);
        // Run by now; were it not, the loop here lets it run so that the holder can end.
        ASSERT_TRUE(WaitFor([&] { return timerRan; }));
        holder.join();
        EXPECT_TRUE(timerRan);
        EXPECT_EQ(sim.Count(QLatin1String(c.call)), 1);
    }
}

} // namespace
