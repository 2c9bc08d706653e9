// What a first-time user meets outside the windows' layout: the picture's format by its name, the program
// started for help or with no display, permission errors that name the remedy, the demo's settings kept
// apart, the tools' own messages, and the low-battery notice reaching a notification service on a
// session bus of the test's own.
// labels: sim
#include "ConnectionReport.h"
#include "LowBatteryNotice.h"
#include "TevChart.h"
#include "Unit1.h"
#include "app_helpers.h"
#include "chipwatch/frmFTListU.h"
#include "common/TevTools.h"
#include "frmDodatkiU.h"

#include <QDBusConnection>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QImageReader>
#include <QProcess>
#include <QStandardPaths>
#include <QVariantMap>
#include <cerrno>
#include <gtest/gtest.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

using namespace apptest;

namespace {

struct Outcome {
    int code = -1;
    QString out;
    QString err;
};

// A program that would wait for ever is ended once its standard error has said `until`.
constexpr int StoppedOnceSaid = -2;

Outcome RunProgram(const QString& program, const QStringList& args, const QProcessEnvironment& env,
                   const QString& until = QString()) {
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    Outcome r;
    if (!until.isEmpty() && p.waitForStarted(30000)) {
        QByteArray err;
        const bool said = WaitFor(
            [&] {
                err += p.readAllStandardError();
                return QString::fromLocal8Bit(err).contains(until) || p.state() == QProcess::NotRunning;
            },
            120000);
        p.terminate();
        p.waitForFinished(30000);
        r.code = said && QString::fromLocal8Bit(err).contains(until) ? StoppedOnceSaid : p.exitCode();
        r.err = QString::fromLocal8Bit(err + p.readAllStandardError());
        return r;
    }
    if (!p.waitForStarted(30000) || !p.waitForFinished(120000)) {
        p.kill();
        p.waitForFinished(5000);
        r.err = QStringLiteral("did not run to its end");
        return r;
    }
    r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
    r.err = QString::fromLocal8Bit(p.readAllStandardError());
    return r;
}

QString Bin(const char* var) {
    return qEnvironmentVariable(var);
}

// A notification service as a desktop runs one, on the test's own bus: it keeps what it is told.
class NotificationService : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    QStringList bodies;
    QStringList summaries;
    QVariantMap lastHints;

public Q_SLOTS:
    uint Notify(const QString& app, uint replaces, const QString& icon, const QString& summary,
                const QString& body, const QStringList& actions, const QVariantMap& hints, int timeout) {
        Q_UNUSED(app);
        Q_UNUSED(replaces);
        Q_UNUSED(icon);
        Q_UNUSED(actions);
        Q_UNUSED(timeout);
        summaries << summary;
        bodies << body;
        lastHints = hints;
        return uint(bodies.size());
    }
    QStringList GetCapabilities() { return {QStringLiteral("body")}; }
};

// A session bus daemon of the test's own, ended with the test.
class OwnBus {
public:
    ~OwnBus() {
        if (FDaemon.state() != QProcess::NotRunning) {
            FDaemon.terminate();
            if (!FDaemon.waitForFinished(5000)) {
                FDaemon.kill();
                FDaemon.waitForFinished(5000);
            }
        }
    }
    bool Start() {
        FDaemon.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--session"), QStringLiteral("--nofork"),
                                                      QStringLiteral("--print-address")});
        if (!FDaemon.waitForStarted(10000))
            return false;
        WaitFor([&] { return FDaemon.canReadLine() || FDaemon.state() == QProcess::NotRunning; });
        FAddress = QString::fromLatin1(FDaemon.readLine()).trimmed();
        return !FAddress.isEmpty();
    }
    QDBusConnection Connect(const QString& name) { return QDBusConnection::connectToBus(FAddress, name); }

private:
    QProcess FDaemon;
    QString FAddress;
};

} // namespace

TEST(FirstUseTools, ChartPictureIsWrittenInTheFormatItsNameAsksFor) {
    ClearSettings();
    ASSERT_TRUE(StartSimulator(QString()));
    TfrmDodatki tools;
    tools.resize(593, 409);
    tools.Chart1->AddXY(2, 3.9);
    tools.Chart1->AddXY(4, 3.7);
    const QString dir = ScratchDir(QStringLiteral("pictures"));
    struct Row {
        const char* chosen;
        const char* written;
        const char* format; // as QImageReader names what it finds in the file
    };
    const Row rows[] = {
        {"chart.png", "chart.png", "png"},    {"chart.PNG", "chart.PNG", "png"},
        {"chart.jpg", "chart.jpg", "jpeg"},   {"chart.jpeg", "chart.jpeg", "jpeg"},
        {"chart.JPG", "chart.JPG", "jpeg"},   {"chart", "chart.jpg", "jpeg"},
        {"chart.v2", "chart.v2.jpg", "jpeg"}, {"chart.png.old", "chart.png.old.jpg", "jpeg"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.chosen);
        const QString chosen = dir + QLatin1Char('/') + QLatin1String(row.chosen);
        tools.ExecuteDialog = [&](QFileDialog* d) {
            d->selectFile(chosen);
            return true;
        };
        tools.Zapiszwykresdopliku1Click();
        const QString written = dir + QLatin1Char('/') + QLatin1String(row.written);
        QImageReader reader(written);
        EXPECT_EQ(reader.format(), QByteArray(row.format)) << written.toStdString();
        const QImage image = reader.read();
        EXPECT_EQ(image.size(), tools.Chart1->size());
        if (QString::fromLatin1(row.written) != QString::fromLatin1(row.chosen)) {
            EXPECT_FALSE(QFileInfo::exists(chosen)) << "nothing under the bare name";
        }
    }
}

TEST(FirstUseTools, TheProgramAnswersHelpAndSaysSoWhenThereIsNoDisplay) {
    const QString pravex = Bin("PRAVEX_BIN_PRAVEX");
    if (pravex.isEmpty())
        GTEST_SKIP() << "the program is not built";
    QProcessEnvironment base = QProcessEnvironment::systemEnvironment();
    for (const char* var : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        base.remove(QString::fromLatin1(var));
    struct Row {
        const char* name;
        QStringList args;
        const char* display; // null: none
        int code;
        const char* out;
        const char* err;
    };
    const Row rows[] = {
        {"--help", {QStringLiteral("--help")}, nullptr, 0, "usage: pravex", nullptr},
        {"-h, with a display unset", {QStringLiteral("-h")}, nullptr, 0, "pravex-log", nullptr},
        {"no display", {}, nullptr, 1, nullptr, "pravex: no display to show the window on (DISPLAY=unset"},
        {"a display nobody serves",
         {},
         ":4711",
         1,
         nullptr,
         "pravex: no display to show the window on (DISPLAY=:4711"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QProcessEnvironment env = base;
        if (row.display)
            env.insert(QStringLiteral("DISPLAY"), QString::fromLatin1(row.display));
        const Outcome r = RunProgram(pravex, row.args, env);
        EXPECT_EQ(r.code, row.code) << r.err.toStdString();
        if (row.out) {
            EXPECT_TRUE(r.out.contains(QLatin1String(row.out))) << r.out.toStdString();
        }
        if (row.err) {
            EXPECT_TRUE(r.err.startsWith(QLatin1String(row.err))) << r.err.toStdString();
            EXPECT_EQ(r.err.count(QLatin1Char('\n')), 1) << "one line: " << r.err.toStdString();
            EXPECT_TRUE(r.err.contains(QStringLiteral("pravex-log")));
        }
    }
}

TEST(FirstUseTools, APortTheUserMayNotOpenNamesTheRemedy) {
    const QString remedy = QStringLiteral("join it (sudo usermod -aG dialout $USER) and log in again");
    // The monitor's panel, told what the serial worker reports.
    struct ReportRow {
        int code;
        const char* description;
        bool remedy;
    };
    const ReportRow reports[] = {{EACCES, "Permission denied", true},
                                 {EPERM, "Operation not permitted", true},
                                 {ENOENT, "No such file or directory", false},
                                 {EBUSY, "Device or resource busy", false}};
    for (const ReportRow& row : reports) {
        SCOPED_TRACE(row.description);
        ConnectionReport report;
        report.started(QStringLiteral("ttyS0"));
        report.error(row.code, QString::fromLatin1(row.description));
        EXPECT_TRUE(report.text().startsWith(QStringLiteral("cannot open ttyS0: ") + row.description));
        EXPECT_EQ(report.text().contains(remedy), row.remedy) << report.text().toStdString();
    }

    // The tools, run as a user outside the port's group.
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to run the tools as an unprivileged user";
    if (QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty())
        GTEST_SKIP() << "setpriv (util-linux) is not installed";
    const QString log = Bin("PRAVEX_BIN_PRAVEX_LOG");
    const QString adapters = Bin("PRAVEX_BIN_PRAVEX_ADAPTERS");
    const QString sim = Bin("PRAVEX_BIN_PRAVEX_D2XX_SIM");
    if (log.isEmpty() || adapters.isEmpty() || sim.isEmpty())
        GTEST_SKIP() << "tools not built";
    // Everything the unprivileged user needs in a folder it may enter; the port itself is root's alone.
    const QString dir = QDir::tempPath() + QStringLiteral("/pravex-first-use-%1").arg(::getpid());
    QDir(dir).removeRecursively();
    ASSERT_TRUE(QDir().mkpath(dir));
    ::chmod(QFile::encodeName(dir).constData(), 0777);
    const QString port = dir + QStringLiteral("/ttyS0");
    ASSERT_TRUE(WriteFile(port, QByteArray()));
    ::chmod(QFile::encodeName(port).constData(), 0600);
    const QString config = dir + QStringLiteral("/adapters.conf");
    ASSERT_TRUE(WriteFile(config, OneAdapter(port).toUtf8()));
    ::chmod(QFile::encodeName(config).constData(), 0644);

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PRAVEX_REGISTRY"), dir + QStringLiteral("/registry.db"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir);
    env.insert(QStringLiteral("HOME"), dir);
    env.insert(QStringLiteral("PRAVEX_D2XX_LIBRARY"), sim);
    env.insert(QStringLiteral("PRAVEX_D2XX_SIM_CONFIG"), config);
    struct Row {
        const char* name;
        QString program;
        QStringList args;
        bool onStdout;
    };
    const Row rows[] = {
        {"pravex-log", log, {QStringLiteral("--port"), port}, false},
        {"pravex-adapters", adapters, {}, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QStringList args{QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"),
                         QStringLiteral("--clear-groups"), QStringLiteral("--"), row.program};
        args << row.args;
        const Outcome r = RunProgram(QStringLiteral("setpriv"), args, env);
        const QString said = row.onStdout ? r.out : r.err;
        EXPECT_TRUE(said.contains(QStringLiteral("cannot open %1: Permission denied").arg(port)))
            << r.out.toStdString() << r.err.toStdString();
        EXPECT_TRUE(said.contains(remedy)) << said.toStdString();
        EXPECT_TRUE(said.contains(QStringLiteral("70-pravex-ftdi.rules"))) << said.toStdString();
    }
    QDir(dir).removeRecursively();
}

TEST(FirstUseTools, TheLowBatteryNoticeReachesTheDesktopOncePerSession) {
    if (QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty())
        GTEST_SKIP() << "dbus-daemon is not installed";
    OwnBus bus;
    ASSERT_TRUE(bus.Start());
    QDBusConnection serviceSide = bus.Connect(QStringLiteral("notification-service"));
    ASSERT_TRUE(serviceSide.isConnected());
    NotificationService service;
    ASSERT_TRUE(serviceSide.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &service,
                                           QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(serviceSide.registerService(QStringLiteral("org.freedesktop.Notifications")));
    ASSERT_TRUE(StartSimulator(QString()));

    // "START" begins a session; the other entries are lines as the device sends them.
    struct Row {
        const char* name;
        bool enabled;
        QStringList lines;
        QStringList expected;
    };
    const Row rows[] = {
        {"the first low reading, once",
         true,
         {"PVEX: 3.90V ON", "LBAT: 3.35V ON", "LBAT: 3.30V ON", "PVEX: 3.60V ON", "LBAT: 3.20V OFF"},
         {"The battery is low: 3.35 V."}},
        {"a garbled low line waits for a reading",
         true,
         {"LBAT: x.yV ON", "LBAT: 3,31V OFF"},
         {"The battery is low: 3.31 V."}},
        {"each session once",
         true,
         {"LBAT: 3.30V ON", "START", "PVEX: 3.9V ON", "LBAT: 3.28V ON"},
         {"The battery is low: 3.30 V.", "The battery is low: 3.28 V."}},
        {"switched off", false, {"LBAT: 3.30V ON", "LBAT: 3.10V ON"}, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ClearSettings();
        service.bodies.clear();
        service.summaries.clear();
        TForm1 form1;
        form1.LowBatNotice().setBus(bus.Connect(QStringLiteral("monitor")));
        RegWriteBool(QStringLiteral("LowBatNotify"), row.enabled, PravexKey);
        form1.LowBatNotice().sessionStarted();
        for (const QString& line : row.lines) {
            if (line == QLatin1String("START"))
                form1.LowBatNotice().sessionStarted();
            else
                form1.TevComPort3RxString(nullptr, line);
        }
        // A last notice that must come: all the row's own have arrived before it, on the same connection.
        RegWriteBool(QStringLiteral("LowBatNotify"), true, PravexKey);
        form1.LowBatNotice().sessionStarted();
        form1.TevComPort3RxString(nullptr, QStringLiteral("LBAT: 1.11V ON"));
        ASSERT_TRUE(
            WaitFor([&] { return service.bodies.contains(QStringLiteral("The battery is low: 1.11 V.")); }));
        service.bodies.removeLast();
        EXPECT_EQ(service.bodies, row.expected);
        EXPECT_EQ(service.summaries.value(0), QStringLiteral("PRAVEX: low battery"));
        EXPECT_EQ(service.lastHints.value(QStringLiteral("desktop-entry")).toString(),
                  QStringLiteral("example.pravex.monitor"));
        delete frmFTList.data();
    }
}

TEST(FirstUseTools, WithoutAnAnnouncedSessionBusTheNoticeIsLeftOut) {
    ClearSettings();
    const QByteArray address = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    qputenv("XDG_RUNTIME_DIR", ScratchDir(QStringLiteral("no-bus")).toLocal8Bit());
    LowBatteryNotice notice;
    notice.sessionStarted();
    EXPECT_FALSE(notice.lowBattery(QStringLiteral("3.30 V")));
    qputenv("DBUS_SESSION_BUS_ADDRESS", address);
    qputenv("XDG_RUNTIME_DIR", runtime);
    if (address.isEmpty())
        qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    if (runtime.isEmpty())
        qunsetenv("XDG_RUNTIME_DIR");
}

TEST(FirstUseTools, ToolsSayWhatTheyReadAndHowToUndoIt) {
    const QString log = Bin("PRAVEX_BIN_PRAVEX_LOG");
    const QString adapters = Bin("PRAVEX_BIN_PRAVEX_ADAPTERS");
    const QString registry = Bin("PRAVEX_BIN_PRAVEX_REGISTRY");
    const QString sim = Bin("PRAVEX_BIN_PRAVEX_D2XX_SIM");
    const QString devsim = Bin("PRAVEX_BIN_PRAVEX_DEVSIM");
    if (log.isEmpty() || adapters.isEmpty() || registry.isEmpty() || sim.isEmpty() || devsim.isEmpty())
        GTEST_SKIP() << "tools not built";
    const QString dir = ScratchDir(QStringLiteral("tool-messages"));
    const QString config = dir + QStringLiteral("/adapters.conf");
    ASSERT_TRUE(WriteFile(config, QByteArray("# nothing plugged\n")));
    DevSim dev;
    ASSERT_TRUE(dev.Start({QStringLiteral("--interval"), QStringLiteral("20")}));

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PRAVEX_REGISTRY"), dir + QStringLiteral("/registry.db"));
    env.insert(QStringLiteral("PRAVEX_D2XX_LIBRARY"), sim);
    QProcessEnvironment noConfig = env;
    noConfig.remove(QStringLiteral("PRAVEX_D2XX_SIM_CONFIG"));
    env.insert(QStringLiteral("PRAVEX_D2XX_SIM_CONFIG"), config);
    // A default adapter left by a demo run: pravex-log waits for it and says how to let it go.
    ASSERT_EQ(
        RunProgram(registry,
                   {QStringLiteral("set"), QStringLiteral("Software\\PRAVEX_spinka"),
                    QStringLiteral("DefaultChip"), QStringLiteral("--string"), QStringLiteral("PVXSIM02")},
                   env)
            .code,
        0);

    struct Row {
        const char* name;
        QString program;
        QStringList args;
        const QProcessEnvironment* env;
        int code;
        QString out;      // must appear on standard output
        QString err;      // must appear on standard error
        QString notInOut; // must not appear on standard output
    };
    const Row rows[] = {
        {"adapters' help in the tools' style",
         adapters,
         {QStringLiteral("--help")},
         &env,
         0,
         QStringLiteral("usage: pravex-adapters [--watch [--reports N]]\n"),
         QString(),
         QStringLiteral("--help-all")},
        {"adapters with the simulator's file empty",
         adapters,
         {},
         &env,
         0,
         QStringLiteral("No FTDI adapters found (simulated driver; adapters read from %1).").arg(config),
         QString(),
         QString()},
        {"adapters with the simulator and no file",
         adapters,
         {},
         &noConfig,
         0,
         QStringLiteral("PRAVEX_D2XX_SIM_CONFIG names no adapter file"),
         QString(),
         QString()},
        {"adapters with an unknown option",
         adapters,
         {QStringLiteral("--wtach")},
         &env,
         2,
         QString(),
         QStringLiteral("--wtach"),
         QString()},
        {"the logger waiting for a stored default",
         log,
         {},
         &env,
         StoppedOnceSaid,
         QString(),
         QStringLiteral(
             "waiting for the default adapter PVXSIM02 (chosen in the monitor's adapter window; to "
             "take any adapter, clear it with: pravex-registry delete 'Software\\PRAVEX_spinka' "
             "DefaultChip)"),
         QString()},
        {"one reading is one reading",
         log,
         {QStringLiteral("--port"), dev.Port(), QStringLiteral("--count"), QStringLiteral("1")},
         &env,
         0,
         QString(),
         QStringLiteral("session ended after 1 reading\n"),
         QString()},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const Outcome r =
            RunProgram(row.program, row.args, *row.env, row.code == StoppedOnceSaid ? row.err : QString());
        EXPECT_EQ(r.code, row.code) << r.out.toStdString() << r.err.toStdString();
        if (!row.out.isEmpty()) {
            EXPECT_TRUE(r.out.contains(row.out)) << r.out.toStdString();
        }
        if (!row.err.isEmpty()) {
            EXPECT_TRUE(r.err.contains(row.err)) << r.err.toStdString();
        }
        if (!row.notInOut.isEmpty()) {
            EXPECT_FALSE(r.out.contains(row.notInOut)) << r.out.toStdString();
        }
    }
}

TEST(FirstUseTools, TheDemoKeepsItsSettingsApartFromARealRun) {
    const QString registry = Bin("PRAVEX_BIN_PRAVEX_REGISTRY");
    // The test data sit in tests/data of the source tree.
    const QString script = QDir::cleanPath(qEnvironmentVariable("PRAVEX_TEST_DATA") +
                                           QStringLiteral("/../../scripts/demo-store.sh"));
    if (registry.isEmpty() || !QFileInfo::exists(script))
        GTEST_SKIP() << "pravex-registry not built, or no source tree";
    const QString home = ScratchDir(QStringLiteral("demo-home"));
    struct Row {
        const char* name;
        const char* configHome; // null: not set, the default under HOME
    };
    const Row rows[] = {{"XDG_CONFIG_HOME unset", nullptr}, {"XDG_CONFIG_HOME set", "/elsewhere"}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("PRAVEX_REGISTRY"));
        env.insert(QStringLiteral("HOME"), home);
        if (row.configHome)
            env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QLatin1String(row.configHome));
        else
            env.remove(QStringLiteral("XDG_CONFIG_HOME"));
        // What run.sh gives the simulators' run, and what a real run uses.
        const Outcome demoPath =
            RunProgram(QStringLiteral("bash"),
                       {QStringLiteral("-c"), QStringLiteral(". \"$1\" && demo_settings_store"),
                        QStringLiteral("bash"), script},
                       env);
        ASSERT_EQ(demoPath.code, 0) << demoPath.err.toStdString();
        const QString demoStore = demoPath.out.trimmed();
        const Outcome realPath = RunProgram(registry, {QStringLiteral("path")}, env);
        ASSERT_EQ(realPath.code, 0);
        EXPECT_NE(demoStore, realPath.out.trimmed());
        EXPECT_TRUE(demoStore.startsWith(home)) << demoStore.toStdString();

        QProcessEnvironment demoEnv = env;
        demoEnv.insert(QStringLiteral("PRAVEX_REGISTRY"), demoStore);
        ASSERT_EQ(RunProgram(registry,
                             {QStringLiteral("set"), QStringLiteral("Software\\PRAVEX_spinka"),
                              QStringLiteral("DefaultChip"), QStringLiteral("--string"),
                              QStringLiteral("PVXSIM02")},
                             demoEnv)
                      .code,
                  0);
        const Outcome real = RunProgram(
            registry,
            {QStringLiteral("get"), QStringLiteral("Software\\PRAVEX_spinka"), QStringLiteral("DefaultChip")},
            env);
        EXPECT_EQ(real.code, 1) << "a real run sees the demo's adapter: " << real.out.toStdString();
    }
}

TEST(FirstUseTools, TheThreeDimensionalChartKeepsItsLineWithinTheAxes) {
    struct Row {
        const char* name;
        QRectF zoom; // empty: everything
    };
    const Row rows[] = {
        {"everything", QRectF()},
        {"the line runs out at the top", QRectF(10, 3.10, 20, 0.30)},
        {"the line runs out at the bottom", QRectF(10, 3.30, 20, 0.30)},
        {"the line runs out at both sides", QRectF(20, 3.00, 6, 0.80)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TTevChart chart;
        chart.resize(577, 360);
        chart.SetLeftAxisRange(2.9, 4.2);
        for (int i = 0; i < 40; ++i)
            chart.AddXY(2 * i, 3.0 + 0.03 * (i % 17));
        chart.SetView3D(true);
        if (!row.zoom.isEmpty())
            chart.ZoomTo(row.zoom, false);
        const QImage image = chart.RenderToImage();
        const QRect front = chart.PlotRect().toAlignedRect();
        // The line's own colour (its ribbon is darker) stays on the front, up to its pen's half width.
        const QRect allowed = front.adjusted(-2, -2, 2, 2);
        int outside = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                if (!allowed.contains(x, y) && QColor(image.pixel(x, y)) == TTevChart::SeriesColor)
                    ++outside;
        EXPECT_EQ(outside, 0);
    }
}

#include "tst_first_use_tools.moc"
