// pravex-adapters as a user runs it: over the simulator (list, then --watch with an adapter plugged in by
// changing the adapter file), over the native backend on a machine without adapters and on one whose
// adapter has non-ASCII names, and with a backend library that is not there.
// labels: sim
#include "SimD2xx.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <gtest/gtest.h>

namespace {

const QByteArray oneAdapter = "[adapter]\nserial = FT5PRAVX\ndescription = PRAVEX link\ntype = FT232R\n"
                              "tty = ttyUSB0\nua_size = 48\nua_text = \"\\x0bPRAVEX test\\x00\"\n";

QProcessEnvironment toolEnvironment(const QString& config) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PRAVEX_D2XX_LIBRARY"), qEnvironmentVariable("PRAVEX_BIN_PRAVEX_D2XX_SIM"));
    env.insert(QStringLiteral("PRAVEX_D2XX_SIM_CONFIG"), config);
    return env;
}

QString tool() {
    return qEnvironmentVariable("PRAVEX_BIN_PRAVEX_ADAPTERS");
}

} // namespace

TEST(AdaptersTool, ListsTheSimulatedAdapters) {
    ASSERT_FALSE(tool().isEmpty());
    const QString config = simtest::ScratchDir(QStringLiteral("tool")) + QStringLiteral("/adapters.conf");
    simtest::WriteFileAtomically(config, oneAdapter + "[adapter]\nserial = FT6NOPRT\ntype = 6\n");
    QProcess p;
    p.setProcessEnvironment(toolEnvironment(config));
    p.start(tool(), {});
    ASSERT_TRUE(p.waitForFinished(60000));
    const QString out = QString::fromLocal8Bit(p.readAllStandardOutput());
    EXPECT_EQ(p.exitCode(), 0) << out.toStdString();
    EXPECT_TRUE(out.contains(QRegularExpression(
        QStringLiteral("0\\s+ready\\s+ttyUSB0\\s+FT232R\\s+FT5PRAVX\\s+PRAVEX link\\s+48\\s+PRAVEX test"))))
        << out.toStdString();
    // The second adapter has no port: it is shown as such and nobody is active.
    EXPECT_TRUE(
        out.contains(QRegularExpression(QStringLiteral("1\\s+no-port\\s+COM\\?\\s+FT2232H\\s+FT6NOPRT"))))
        << out.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("active serial: (none)"))) << out.toStdString();
}

TEST(AdaptersTool, NativeBackendWithoutAdaptersIsAnEmptyListNotAnError) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("PRAVEX_D2XX_LIBRARY"));
    env.insert(QStringLiteral("PRAVEX_SYSFS_ROOT"), simtest::ScratchDir(QStringLiteral("tool")));
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(tool(), {});
    ASSERT_TRUE(p.waitForFinished(60000));
    const QString out = QString::fromLocal8Bit(p.readAllStandardOutput());
    EXPECT_EQ(p.exitCode(), 0);
    EXPECT_TRUE(out.contains(QStringLiteral("backend: native"))) << out.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("No FTDI adapters found."))) << out.toStdString();
    EXPECT_TRUE(p.readAllStandardError().isEmpty());
}

TEST(AdaptersTool, NativeBackendShowsUtf8NamesWholeAndInTheirColumns) {
    const QString root = simtest::ScratchDir(QStringLiteral("utf8-sysfs"));
    const QString dev = root + QStringLiteral("/bus/usb/devices/1-3");
    ASSERT_TRUE(QDir().mkpath(dev + QStringLiteral("/1-3:1.0/ttyUSB7/tty/ttyUSB7")));
    const std::pair<const char*, QByteArray> attributes[] = {
        {"idVendor", "0403"},
        {"idProduct", "6001"},
        {"bcdDevice", "0600"},
        {"serial", "PR\xc3\x9c"
                   "F1"},
        {"product", "Pr\xc3\xbc"
                    "fger\xc3\xa4t"},
        {"busnum", "1"},
        {"devpath", "3"},
        {"bNumInterfaces", "1"},
    };
    for (const auto& [name, value] : attributes)
        simtest::WriteFileAtomically(dev + QLatin1Char('/') + QLatin1String(name), value + '\n');
    simtest::WriteFileAtomically(dev + QStringLiteral("/1-3:1.0/bInterfaceNumber"), QByteArray("00\n"));

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("PRAVEX_D2XX_LIBRARY"));
    env.insert(QStringLiteral("PRAVEX_SYSFS_ROOT"), root);
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), simtest::ScratchDir(QStringLiteral("utf8-run")));
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(tool(), {});
    ASSERT_TRUE(p.waitForFinished(60000));
    const QString out = QString::fromUtf8(p.readAllStandardOutput());
    EXPECT_EQ(p.exitCode(), 0);
    const QStringList lines = out.split(QLatin1Char('\n'));
    const auto header = lines.indexOf(QRegularExpression(QStringLiteral("^#.*description.*")));
    ASSERT_GE(header, 0) << out.toStdString();
    ASSERT_LT(header + 1, lines.size());
    const QString row = lines[header + 1];
    EXPECT_EQ(row.indexOf(QStringLiteral("PR\u00dcF1")), lines[header].indexOf(QStringLiteral("serial")))
        << out.toStdString();
    EXPECT_EQ(row.indexOf(QStringLiteral("Pr\u00fcfger\u00e4t")),
              lines[header].indexOf(QStringLiteral("description")))
        << out.toStdString();
}

TEST(AdaptersTool, AMissingLibraryIsReported) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PRAVEX_D2XX_LIBRARY"), QStringLiteral("/nonexistent/libftd2xx.so"));
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(tool(), {});
    ASSERT_TRUE(p.waitForFinished(60000));
    EXPECT_EQ(p.exitCode(), 1);
    EXPECT_TRUE(p.readAllStandardError().contains("/nonexistent/libftd2xx.so"));
}

TEST(AdaptersTool, WatchPrintsAReportWhenAnAdapterIsPlugged) {
    const QString config = simtest::ScratchDir(QStringLiteral("tool")) + QStringLiteral("/adapters.conf");
    simtest::WriteFileAtomically(config, oneAdapter);
    QProcess p;
    p.setProcessEnvironment(toolEnvironment(config));
    p.start(tool(), {QStringLiteral("--watch"), QStringLiteral("--reports"), QStringLiteral("2")});
    ASSERT_TRUE(p.waitForStarted());
    QByteArray out;
    auto waitForText = [&](const QByteArray& text) {
        QDeadlineTimer deadline(60000);
        while (!out.contains(text) && !deadline.hasExpired() && p.state() == QProcess::Running) {
            p.waitForReadyRead(200);
            out += p.readAllStandardOutput();
        }
        return out.contains(text);
    };
    ASSERT_TRUE(waitForText("report: InOut=0 count=1 active=FT5PRAVX newport=-")) << out.toStdString();
    simtest::WriteFileAtomically(config, oneAdapter + "[adapter]\nserial = FT7NEW\ntty = ttyUSB2\n");
    EXPECT_TRUE(waitForText("report: InOut=1 count=2 active=FT5PRAVX")) << out.toStdString();
    EXPECT_TRUE(out.toLower().contains("newport=ttyusb2")) << out.toStdString();
    ASSERT_TRUE(p.waitForFinished(60000));
    EXPECT_EQ(p.exitCode(), 0);
}
