// The worker's send step, modem lines and end under a faulty system-call table; the owner window's close
// hook, a worker that hangs in a hand-over, hand-overs ordered by nothing but themselves, and repeated
// sessions that must leave nothing behind.
// labels: threaded sim
#include "comport_helpers.h"
#include "serial/SerialSysCalls.h"

#include <QCloseEvent>
#include <QRegularExpression>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <linux/serial.h>
#include <mutex>
#include <sys/ioctl.h>
#include <thread>
#include <vector>

namespace {

// The real system with chosen faults: failing writes, a transmit queue that never empties, framing
// errors on every write, and modem inputs that a pseudo-terminal does not have.
class TFaultySys : public TSerialSysCalls {
public:
    std::atomic<int> WriteFailures{0};
    std::atomic<int> OutQueueMode{0}; // 0 real, 1 stuck, 2 empty twice then stuck, 3 EIO after the first
    std::atomic<int> OutQueueCalls{0};
    std::atomic<bool> FrameErrors{false};
    std::atomic<unsigned> FrameCount{0};
    std::atomic<int> ModemBits{-1}; // -1: the pty's own answer
    // > 0: the transmit queue empties at this many bits per second, ten bits a byte, as a UART's does.
    std::atomic<int> DrainBaud{0};

    ssize_t write(int fd, const void* buf, std::size_t count) override {
        if (WriteFailures.load() > 0) {
            --WriteFailures;
            errno = EIO;
            return -1;
        }
        const ssize_t n = TSerialSysCalls::write(fd, buf, count);
        if (n > 0 && DrainBaud.load() > 0) {
            std::lock_guard lock(FDrainLock);
            FBacklog = Backlog() + double(n);
            FBacklogAt = std::chrono::steady_clock::now();
        }
        return n;
    }
    int ioctl(int fd, unsigned long request, void* arg) override {
        if (request == TIOCOUTQ && DrainBaud.load() > 0) {
            std::lock_guard lock(FDrainLock);
            *static_cast<int*>(arg) = int(std::ceil(Backlog()));
            return 0;
        }
        if (request == TIOCOUTQ && OutQueueMode.load() != 0) {
            const int call = OutQueueCalls++;
            const int mode = OutQueueMode.load();
            if (mode == 3 && call > 0) {
                errno = EIO;
                return -1;
            }
            *static_cast<int*>(arg) = (mode >= 2 && call < 2) ? 0 : 10;
            return 0;
        }
        if (request == TIOCGICOUNT && FrameErrors.load()) {
            auto* c = static_cast<serial_icounter_struct*>(arg);
            std::memset(c, 0, sizeof *c);
            c->frame = int(FrameCount++);
            return 0;
        }
        if (request == TIOCMGET && ModemBits.load() >= 0) {
            *static_cast<int*>(arg) = ModemBits.load();
            return 0;
        }
        return TSerialSysCalls::ioctl(fd, request, arg);
    }

private:
    double Backlog() const {
        const double gone =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - FBacklogAt).count() *
            DrainBaud.load() / 10.0;
        return std::max(0.0, FBacklog - gone);
    }
    std::mutex FDrainLock;
    double FBacklog = 0;
    std::chrono::steady_clock::time_point FBacklogAt;
};

struct FaultySession {
    TFaultySys sys;
    TPtyDevice dev;
    TTevComPort port;
    TEventLog log{port};

    FaultySession() { port.SetSysCalls(&sys); }
    // The worker uses sys: it must have ended before sys goes.
    ~FaultySession() {
        sys.OutQueueMode = 0;
        port.SetActive(false);
        WaitUntil([&] { return port.ComThread() == nullptr; });
    }
    void Open() { OpenPort(port, dev, log); }
    void Close() { ClosePort(port); }
    QStringList Errors() const { return log.Of(QStringLiteral("Err:")); }
};

const QString EioText = QString::fromLocal8Bit(strerror(EIO));

} // namespace

TEST(ComThreadSend, FailedWritesAreReportedAtOnceAndDroppedAtTheFourth) {
    FaultySession s;
    s.Open();
    s.sys.WriteFailures = 4;
    ASSERT_TRUE(s.port.SendString("lost"));
    ASSERT_TRUE(s.log.WaitFor("Disc"));
    EXPECT_EQ(s.port.GetQueue(), 0);
    const QString immediate = "Err:5:err - " + EioText;
    EXPECT_EQ(s.Errors(), QStringList({immediate, immediate, immediate, immediate, immediate}));
    EXPECT_EQ(s.log.Events.last(), "Disc");
    EXPECT_EQ(s.log.Count("Tx:"), 0);
    EXPECT_FALSE(s.port.Connected());
    // Reported disconnected means closed: the worker stays and opens the line again when asked.
    ASSERT_NE(s.port.ComThread(), nullptr);
    EXPECT_FALSE(s.port.ComThread()->Connected());
    s.port.SetConnected(true);
    ASSERT_TRUE(WaitUntil([&] { return s.log.Count("Connected") == 2; }));
    s.dev.Write("alive\r");
    ASSERT_TRUE(s.log.WaitFor("Rx:alive"));
    s.Close();
}

TEST(ComThreadSend, FailureCountSurvivesASuccessfulSend) {
    FaultySession s;
    s.Open();
    s.sys.WriteFailures = 3;
    ASSERT_TRUE(s.port.SendString("first"));
    ASSERT_TRUE(s.log.WaitFor("Tx:0"));
    EXPECT_EQ(s.dev.ReadUntil([](const std::string& b) { return b.size() >= 6; }), "first\r");
    s.sys.WriteFailures = 1;
    ASSERT_TRUE(s.port.SendString("second"));
    ASSERT_TRUE(s.log.WaitFor("Disc"));
    EXPECT_EQ(s.Errors().size(), 5);
    EXPECT_EQ(s.port.GetQueue(), 0);
    s.Close();
}

TEST(ComThreadSend, FramingErrorsRepeatAndAreNeverDropped) {
    FaultySession s;
    s.Open();
    s.sys.FrameErrors = true;
    ASSERT_TRUE(s.port.SendString("frame"));
    ASSERT_TRUE(WaitUntil([&] { return s.Errors().size() >= 6; }));
    for (const QString& e : s.Errors())
        EXPECT_EQ(e, "Err:9999:9999 - Serial Eror: ErrFrame");
    EXPECT_EQ(s.port.GetQueue(), 1);
    EXPECT_EQ(s.port.GetLine(), "frame");
    EXPECT_EQ(s.log.Count("Disc"), 0);
    s.port.PurgeTx();
    EXPECT_EQ(s.port.GetQueue(), 0);
    EXPECT_EQ(s.port.GetLine(), "");
    s.sys.FrameErrors = false;
    s.Close();
}

TEST(ComThreadSend, ChecksumFramesReportOnlyAtTheDrop) {
    FaultySession s;
    s.port.SetUseCRC(true);
    s.Open();
    s.sys.WriteFailures = 4;
    ASSERT_TRUE(s.port.SendString("abc"));
    ASSERT_TRUE(s.log.WaitFor("Disc"));
    EXPECT_EQ(s.Errors(), QStringList({"Err:5:err - " + EioText}));
    s.Close();
}

// Nothing written is not a send: a transmit queue that stays full fails the entry like any other fault.
TEST(ComThreadSend, UnwritableLineIsAFailureNotASuccess) {
    FaultySession s;
    s.Open();
    s.sys.OutQueueMode = 1;
    ASSERT_TRUE(s.port.SendString("held"));
    ASSERT_TRUE(s.log.WaitFor("Disc"));
    const QString timeout = "Err:9997:9997 - Serial Eror: ErrTimeout";
    EXPECT_EQ(s.Errors(),
              QStringList({timeout, timeout, timeout, timeout, "Err:9997:999 - Serial ErrFrame"}));
    EXPECT_EQ(s.log.Count("Tx:"), 0);
    EXPECT_EQ(s.dev.ReadAvailable(), "");
    s.sys.OutQueueMode = 0;
    s.Close();
}

// The wait for the frame to leave ends when the line fails, and when the worker is asked to stop.
TEST(ComThreadSend, WaitAfterAWriteEndsOnLineErrorOrStop) {
    {
        FaultySession s;
        s.Open();
        s.sys.OutQueueMode = 3;
        ASSERT_TRUE(s.port.SendString("x"));
        // Each try fails at once instead of waiting for a queue that cannot empty; the fourth drops it.
        ASSERT_TRUE(s.log.WaitFor("Disc"));
        EXPECT_EQ(s.Errors().size(), 5);
        s.sys.OutQueueMode = 0;
        s.Close();
    }
    {
        FaultySession s;
        s.Open();
        s.sys.OutQueueMode = 2;
        ASSERT_TRUE(s.port.SendString("x"));
        // The frame was handed over; the worker now waits for a queue that never empties.
        EXPECT_EQ(s.dev.ReadUntil([](const std::string& b) { return b.size() >= 2; }), "x\r");
        ASSERT_TRUE(WaitUntil([&] { return s.sys.OutQueueCalls.load() > 3; }));
        s.port.SetActive(false);
        ASSERT_TRUE(WaitUntil([&] { return s.port.ComThread() == nullptr; }));
        EXPECT_EQ(s.log.Events.last(), "Disc");
        EXPECT_EQ(s.Errors().size(), 0);
    }
}

TEST(ComThreadModem, ActiveInputsReportOnceThenOnChange) {
    FaultySession s;
    s.sys.ModemBits = TIOCM_CTS;
    s.Open();
    ASSERT_TRUE(s.log.WaitFor("CTS:1"));
    EXPECT_TRUE(s.port._CTS());
    EXPECT_FALSE(s.port._DSR());
    s.sys.ModemBits = TIOCM_CTS | TIOCM_DSR;
    ASSERT_TRUE(s.log.WaitFor("DSR:1"));
    s.sys.ModemBits = TIOCM_DSR;
    ASSERT_TRUE(s.log.WaitFor("CTS:0"));
    EXPECT_EQ(s.log.Count("CTS:"), 2);
    s.Close();
    // The states stay as last seen after the line closed.
    EXPECT_TRUE(s.port._DSR());
}

namespace {

class TRefusingForm : public QWidget {
public:
    bool Refuse = false;

protected:
    void closeEvent(QCloseEvent* e) override {
        if (Refuse)
            e->ignore();
        else
            e->accept();
    }
};

} // namespace

TEST(ComCloseHook, ClosingTheFormStopsTheWorkerDuringTheClose) {
    TPtyDevice dev;
    TRefusingForm form;
    auto* port = new TTevComPort(&form);
    TEventLog log(*port);
    port->Loaded();
    port->SetComPort(dev.Path());
    port->SetActive(true);
    port->SetConnected(true);
    ASSERT_TRUE(log.WaitFor("Connected"));

    form.Refuse = true;
    form.close();
    EXPECT_NE(port->ComThread(), nullptr);
    EXPECT_EQ(log.Count("Disc"), 0);

    form.Refuse = false;
    form.close();
    // Everything ran inside the close itself.
    EXPECT_EQ(port->ComThread(), nullptr);
    EXPECT_EQ(log.Events.mid(log.Events.size() - 3), QStringList({"Disc", "Active:0", "Disc"}));
}

TEST(ComCloseHook, CloseWhileTheWorkerWaitsInAHandOverDoesNotDeadlock) {
    TPtyDevice dev;
    TRefusingForm form;
    auto* port = new TTevComPort(&form);
    TEventLog log(*port);
    port->Loaded();
    port->SetComPort(dev.Path());
    port->SetActive(true);
    port->SetConnected(true);
    ASSERT_TRUE(log.WaitFor("Connected"));
    dev.Write("pending\r");
    // No events processed: the worker is now blocked handing the line over.
    QThread::msleep(300);
    form.close();
    EXPECT_EQ(port->ComThread(), nullptr);
    EXPECT_TRUE(log.Has("Rx:pending"));
    EXPECT_EQ(log.Events.last(), "Disc");
}

// A handler that never lets its hand-over finish in time: the close gives up, abandons the worker, and the
// component and window can be freed while the worker is still inside the hand-over.
TEST(ComCloseHook, HungWorkerIsAbandonedAndNeverTouchesTheFreedComponent) {
    const int threadsBefore = ThreadCount();
    TPtyDevice dev;
    auto* form = new TRefusingForm;
    auto* port = new TTevComPort(form);
    port->SetCloseWaitSteps(20);
    port->Loaded();
    std::atomic<bool> handlerDone{false};
    bool closed = false;
    port->OnRxString = [&](QObject*, const QString&) {
        closed = form->close();
        handlerDone = true;
    };
    port->SetComPort(dev.Path());
    port->SetActive(true);
    port->SetConnected(true);
    ASSERT_TRUE(WaitUntil([&] { return port->ComThread() && port->ComThread()->Connected(); }));
    dev.Write("line\r");
    ASSERT_TRUE(WaitUntil([&] { return handlerDone.load(); }));
    EXPECT_TRUE(closed);
    EXPECT_EQ(port->ComThread(), nullptr);
    delete form; // frees the component too
    // The abandoned worker finishes its pass, finds itself cut off and ends.
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount() <= threadsBefore; }));
}

TEST(ComCloseHook, DestroyingAnActiveComponentLeavesNoWorkerBehind) {
    const int threadsBefore = ThreadCount();
    TPtyDevice dev;
    {
        TTevComPort port;
        port.SetComPort(dev.Path());
        port.SetActive(true);
        port.SetConnected(true);
        dev.Write("a\rb\rc\r");
        QThread::msleep(50);
    }
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount() <= threadsBefore; }));
}

TEST(ComLifecycle, RepeatedSessionsLeaveNoThreadDescriptorOrMemory) {
#if defined(__SANITIZE_THREAD__)
    const int cycles = 200;
#else
    const int cycles = 1000;
#endif
    TPtyDevice dev;
    TTevComPort port;
    int connected = 0;
    port.OnConnected = [&](QObject*) { ++connected; };
    port.SetComPort(dev.Path());
    auto cycle = [&] {
        const int before = connected;
        port.SetActive(true);
        port.SetConnected(true);
        EXPECT_TRUE(WaitUntil([&] { return connected == before + 1; }));
        port.SetConnected(false);
        port.SetActive(false);
        EXPECT_TRUE(WaitUntil([&] { return port.ComThread() == nullptr; }));
    };
    cycle();
    const int threadsBefore = ThreadCount();
    const int fdsBefore = FdCount();
    for (int i = 0; i < cycles && !HasFailure(); ++i)
        cycle();
    EXPECT_EQ(connected, cycles + 1);
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount() <= threadsBefore; })) << ThreadCount();
    EXPECT_EQ(FdCount(), fdsBefore);
}

TEST(ComHandOver, LinesNeedNoOrderingBeyondTheirOwnHandOver) {
    // The GUI thread takes the worker's calls straight from the posted-event queue, never reading the
    // wake-up descriptor: the hand-over alone must order what the worker prepared before its use, visibly
    // so for the thread sanitizer. A flood makes the worker reuse memory the GUI thread has just freed.
    TPtyDevice dev;
    ASSERT_TRUE(dev.Ok());
    TTevComPort port;
    bool connected = false;
    QStringList lines;
    port.OnConnected = [&](QObject*) { connected = true; };
    port.OnRxString = [&](QObject*, const QString& line) { lines.append(line); };
    const auto deliverUntil = [&](const std::function<bool()>& cond) {
        QElapsedTimer clock;
        clock.start();
        while (!cond() && clock.elapsed() < 20000) {
            QCoreApplication::sendPostedEvents(&port);
            QThread::usleep(200);
        }
        return cond();
    };
    port.SetComPort(dev.Path());
    port.SetActive(true);
    port.SetConnected(true);
    ASSERT_TRUE(deliverUntil([&] { return connected; }));
    constexpr int Lines = 300;
    for (int i = 0; i < Lines; ++i)
        dev.Write("line " + std::to_string(i) + "\r");
    ASSERT_TRUE(deliverUntil([&] { return lines.size() >= Lines; })) << lines.size();
    EXPECT_EQ(lines.first(), QStringLiteral("line 0"));
    EXPECT_EQ(lines.last(), QStringLiteral("line 299"));
    ClosePort(port);
}

TEST(ComThreadSend, LongFrameGoesOutWholeAtItsRate) {
    FaultySession s;
    s.port.SetBaudRate("9600");
    s.sys.DrainBaud = 9600;
    s.Open();
    // Two and a half seconds on the wire: far past the one second every write used to get.
    const std::string frame(2400, 'L');
    ASSERT_TRUE(s.port.SendString(QString::fromStdString(frame)));
    EXPECT_EQ(s.dev.ReadUntil([](const std::string& b) { return b.size() >= 2401; }, 30000), frame + "\r");
    ASSERT_TRUE(s.log.WaitFor("Tx:0", 30000));
    EXPECT_EQ(s.Errors(), QStringList());
    EXPECT_EQ(s.dev.ReadAvailable(), "") << "sent once";
    s.sys.DrainBaud = 0;
    s.Close();
}

// A device that streams without CR: the loop keeps sending, watching the modem lines and honouring the
// time-out while the line comes in, keeps every byte of it, and a stop ends the worker.
TEST(ComStop, EndlessLineKeepsTheLoopServingAndStopStops) {
    FaultySession s;
    s.sys.ModemBits = 0;
    s.Open();
    std::atomic<bool> quit{false};
    std::atomic<bool> endLine{false};
    std::atomic<int> lineLength{-1};
    std::thread device([&] {
        int sent = 0;
        while (!quit.load()) {
            if (endLine.exchange(false)) {
                lineLength = sent;
                s.dev.Write("\r", &quit);
                sent = 0;
            }
            s.dev.Write("x", &quit);
            ++sent;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    struct Join {
        std::atomic<bool>& quit;
        std::thread& t;
        ~Join() {
            quit = true;
            t.join();
        }
    } join{quit, device};

    ASSERT_TRUE(s.port.SendString("ping"));
    ASSERT_TRUE(s.log.WaitFor("Tx:0"));
    EXPECT_EQ(s.dev.ReadUntil([](const std::string& b) { return b.size() >= 5; }), "ping\r");
    s.sys.ModemBits = TIOCM_CTS;
    ASSERT_TRUE(s.log.WaitFor("CTS:1"));
    EXPECT_EQ(s.log.Count("Rx:"), 0);

    endLine = true;
    ASSERT_TRUE(WaitUntil([&] { return s.log.Count("Rx:") == 1; }));
    const QString line = s.log.Of("Rx:").first().mid(3);
    EXPECT_EQ(line, QString(lineLength.load(), QLatin1Char('x')));

    // No line for three check intervals: the time-out closes the line although bytes keep coming.
    s.port.SetCheckInterval(50);
    s.port.SetEnableCheckTimer(true);
    ASSERT_TRUE(s.log.WaitFor("Disc"));
    EXPECT_TRUE(s.log.Has("ATTimeOut"));
    s.port.SetEnableCheckTimer(false);
    s.port.SetConnected(true);
    ASSERT_TRUE(WaitUntil([&] { return s.log.Count("Connected") == 2; }));

    s.port.SetActive(false);
    ASSERT_TRUE(WaitUntil([&] { return s.port.ComThread() == nullptr; }));
    EXPECT_EQ(s.log.Events.mid(s.log.Events.size() - 3), QStringList({"Disc", "Active:0", "Disc"}));
    TBlockSerial again;
    again.Connect(s.dev.Path().toStdString());
    EXPECT_EQ(again.LastError(), 0) << again.LastErrorDesc() << ": the port was given back";
}

// START written while the stopped worker is already on its way out: a new worker follows it.
TEST(ComStop, StartWhileTheOldWorkerEndsGivesARunningWorker) {
    FaultySession s;
    s.Open();
    bool restarted = false;
    s.port.OnDisconnected = [&](QObject*) {
        s.log.Add("Disc");
        if (!restarted) {
            restarted = true; // the worker has left its loop: this is its end reporting the closed line
            s.port.SetActive(true);
        }
    };
    s.port.SetActive(false);
    ASSERT_TRUE(WaitUntil([&] { return s.log.Count("Active:1") == 2; }));
    EXPECT_TRUE(s.port.Active());
    ASSERT_NE(s.port.ComThread(), nullptr);
    s.port.SetConnected(true);
    ASSERT_TRUE(WaitUntil([&] { return s.log.Count("Connected") == 2; }));
    s.dev.Write("again\r");
    ASSERT_TRUE(s.log.WaitFor("Rx:again"));
    s.Close();
}

// The same session, line by line and as one flood: a handler that answers, one that changes the framing, a
// modem line that changes after a line. The events and their order must not depend on how the bytes came.
TEST(ComEventOrder, FloodGivesTheSameTraceAsLineByLine) {
    struct Step {
        std::string bytes;
        QString waitFor; // pacing of the line-by-line run
    };
    const std::vector<Step> script = {{"a\r", "Tx:0"},  {"b\r", "Tx:0"}, {"\r", ""},       {"\r", "Rx:#END#"},
                                      {"c\r", "CTS:1"}, {"d\r", "Rx:d"}, {"e\r", "Rx:e\r"}};
    const QStringList expected = {"Rx:a",     "SendStr:ack", "Tx:0",  "Rx:b", "SendStr:q", "Tx:0",
                                  "Rx:#END#", "Rx:c",        "CTS:1", "Rx:d", "Rx:e\r"};
    for (const bool flood : {false, true}) {
        FaultySession s;
        s.sys.ModemBits = 0;
        s.port.OnRxString = [&](QObject*, const QString& text) {
            s.log.Add("Rx:" + text);
            if (text == "a")
                s.port.SendString("ack");
            else if (text == "b")
                s.port.SendStringEx("q", "#END#", true);
            else if (text == "c")
                s.sys.ModemBits = TIOCM_CTS;
            else if (text == "d")
                s.port.SetAutoCR(false);
        };
        s.Open();
        s.dev.Write("go\r");
        ASSERT_TRUE(s.log.WaitFor("Rx:go"));
        const qsizetype start = s.log.Events.size();
        if (flood) {
            std::string all;
            for (const Step& step : script)
                all += step.bytes;
            s.dev.Write(all);
            // The GUI thread stays away meanwhile, so the worker holds every line when the first goes over.
            QThread::msleep(200);
        } else {
            for (const Step& step : script) {
                const int before = s.log.Count(step.waitFor);
                s.dev.Write(step.bytes);
                if (step.waitFor.isEmpty())
                    WaitUntil([] { return false; }, 100);
                else
                    ASSERT_TRUE(WaitUntil([&] { return s.log.Count(step.waitFor) > before; }));
            }
        }
        ASSERT_TRUE(s.log.WaitFor("Rx:e\r"));
        EXPECT_EQ(s.log.Events.mid(start), expected) << (flood ? "flood" : "line by line");
        s.Close();
    }
}

// Scripted sessions, each with the trace a caller must see: a send waits for the line coming in, timers
// come back after CheckInterval 0, a stop lets a short frame finish, checksum frames keep line errors for
// the drop, a time-out delivers the line coming in before the disconnect, and a batch of held lines lets the
// GUI thread run its own events. Each script returns the part of the trace its row is about.
TEST(ComSession, ScriptedSessionsGiveTheirTraces) {
    struct Row {
        const char* name;
        std::function<QStringList(FaultySession&)> script;
        QStringList expected;
    };
    const auto only = [](const QStringList& events, const QStringList& kinds) {
        QStringList out;
        for (const QString& e : events)
            if (std::any_of(kinds.begin(), kinds.end(), [&](const QString& k) { return e.startsWith(k); }))
                out.append(e);
        return out;
    };
    const std::string slowLine = "0123456789abcdefghijklmnopqrstuvwxyzABCD";
    const std::vector<Row> rows = {
        {"send waits for the line coming in",
         [&](FaultySession& s) {
             s.Open();
             std::atomic<int> written{0};
             std::atomic<int> sendSeenAt{-1};
             std::thread device([&] {
                 std::string seen;
                 for (char c : slowLine + "\r") {
                     s.dev.Write(std::string(1, c));
                     ++written;
                     seen += s.dev.ReadAvailable();
                     if (sendSeenAt.load() < 0 && seen.find('Q') != std::string::npos)
                         sendSeenAt = written.load();
                     std::this_thread::sleep_for(std::chrono::milliseconds(2));
                 }
                 for (int i = 0; i < 1000 && sendSeenAt.load() < 0; ++i) {
                     seen += s.dev.ReadAvailable();
                     if (seen.find('Q') != std::string::npos)
                         sendSeenAt = written.load();
                     std::this_thread::sleep_for(std::chrono::milliseconds(5));
                 }
             });
             WaitUntil([&] { return written.load() >= 15; });
             s.port.SendString("Q");
             WaitUntil([&] { return s.log.Has("Tx:0") && s.log.Count("Rx:") > 0; });
             device.join();
             return only(s.log.Events, {"SendStr:", "Rx:", "Tx:"}) +
                    QStringList{QStringLiteral("Q after byte %1").arg(sendSeenAt.load())};
         },
         {"SendStr:Q", "Rx:" + QString::fromStdString(slowLine), "Tx:0", "Q after byte 41"}},

        {"timers come back after CheckInterval 0",
         [&](FaultySession& s) {
             s.Open();
             s.port.SetCheckInterval(200);
             s.port.SetEnableCheckTimer(true);
             s.port.SetCheckInterval(0);
             s.port.SetCheckInterval(200);
             s.log.WaitFor("Disc", 5000);
             s.port.SetEnableCheckTimer(false);
             return only(s.log.Events, {"ATTimeOut", "Disc"});
         },
         {"ATTimeOut", "Disc"}},

        {"a stop lets a short frame finish",
         [&](FaultySession& s) {
             s.port.SetBaudRate("9600");
             s.sys.DrainBaud = 9600;
             s.Open();
             // About 105 ms on the wire; the stop comes 30 ms in.
             s.port.SendString(QString(100, QLatin1Char('F')));
             s.dev.ReadUntil([](const std::string& b) { return b.size() >= 101; });
             QThread::msleep(30);
             s.port.SetActive(false);
             WaitUntil([&] { return s.port.ComThread() == nullptr; });
             s.sys.DrainBaud = 0;
             return only(s.log.Events, {"Tx:", "Err:", "Disc", "Active:0"});
         },
         {"Tx:0", "Disc", "Active:0", "Disc"}},

        {"checksum frames keep line errors for the drop",
         [&](FaultySession& s) {
             s.port.SetUseCRC(true);
             s.Open();
             s.sys.FrameErrors = true;
             s.port.SendString("abc");
             // The frame goes out whole, pass after pass, each time followed by an error flag.
             s.dev.ReadUntil([](const std::string& b) {
                 std::size_t n = 0;
                 for (std::size_t at = b.find("$#294@abc\r"); at != std::string::npos;
                      at = b.find("$#294@abc\r", at + 1))
                     ++n;
                 return n >= 5;
             });
             s.sys.FrameErrors = false;
             s.log.WaitFor("Tx:0");
             return only(s.log.Events, {"Err:", "Tx:"});
         },
         {"Tx:0"}},

        {"a time-out delivers the line coming in first",
         [&](FaultySession& s) {
             s.Open();
             std::atomic<bool> quit{false};
             std::thread device([&] {
                 while (!quit.load()) {
                     s.dev.Write("x", &quit);
                     std::this_thread::sleep_for(std::chrono::milliseconds(10));
                 }
             });
             s.port.SetCheckInterval(100);
             s.port.SetEnableCheckTimer(true);
             s.log.WaitFor("Disc");
             s.port.SetEnableCheckTimer(false);
             quit = true;
             device.join();
             QStringList trace = only(s.log.Events, {"ATTimeOut", "Rx:", "Disc"});
             // The line is cut wherever the close finds it.
             const QRegularExpression cutLine(QStringLiteral("^Rx:x+$"));
             for (QString& e : trace)
                 if (cutLine.match(e).hasMatch())
                     e = "Rx:x...";
             return trace;
         },
         {"ATTimeOut", "Rx:x...", "Disc"}},

        {"held lines let the GUI thread run",
         [&](FaultySession& s) {
             s.Open();
             // A handler that takes a while: a batch of 300 lines then lasts at least 30 ms.
             s.port.OnRxString = [&](QObject*, const QString& text) {
                 s.log.Add("Rx:" + text);
                 QThread::usleep(100);
                 if (text == "line 1")
                     QTimer::singleShot(0, &s.port, [&] { s.log.Add("Timer"); });
             };
             std::string flood;
             for (int i = 1; i <= 300; ++i)
                 flood += "line " + std::to_string(i) + "\r";
             s.dev.Write(flood);
             // The GUI thread stays away meanwhile, so the worker holds every line when the first goes over.
             QThread::msleep(200);
             s.log.WaitFor("Rx:line 300");
             s.log.WaitFor("Timer");
             const QStringList lines = s.log.Of("Rx:");
             bool inOrder = lines.size() == 300;
             for (int i = 0; inOrder && i < 300; ++i)
                 inOrder = lines[i] == QStringLiteral("Rx:line %1").arg(i + 1);
             const bool early = s.log.Events.indexOf("Timer") < s.log.Events.indexOf("Rx:line 100");
             return QStringList{inOrder ? "300 lines in order" : "lines lost or out of order",
                                early ? "timer before line 100" : "timer after line 100"};
         },
         {"300 lines in order", "timer before line 100"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FaultySession s;
        EXPECT_EQ(row.script(s), row.expected) << row.name;
        s.Close();
    }
}
