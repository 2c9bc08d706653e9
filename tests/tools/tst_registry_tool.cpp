// The pravex-registry tool run as a user runs it: every command, its output, its messages and exit codes,
// on the store named by PRAVEX_REGISTRY, including a damaged store and one that cannot be made.
// labels: unit
#include <QDir>
#include <QFile>
#include <QProcess>
#include <gtest/gtest.h>

namespace {

struct Result {
    int code = -1;
    QString out, err;
};

class RegistryTool : public ::testing::Test {
protected:
    void SetUp() override {
        tool = qEnvironmentVariable("PRAVEX_BIN_PRAVEX_REGISTRY");
        ASSERT_FALSE(tool.isEmpty()) << "PRAVEX_BIN_PRAVEX_REGISTRY is not set";
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir =
            qEnvironmentVariable("PRAVEX_TEST_TMP", QDir::tempPath() + QStringLiteral("/pravex-tool-test")) +
            QLatin1Char('/') + QString::fromUtf8(info->name());
        QDir(dir).removeRecursively();
        QDir().mkpath(dir);
        store = dir + QStringLiteral("/registry.db");
    }

    Result run(const QStringList& args, const QString& storePath = QString()) {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("PRAVEX_REGISTRY"), storePath.isEmpty() ? store : storePath);
        env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
        p.setProcessEnvironment(env);
        p.start(tool, args);
        EXPECT_TRUE(p.waitForFinished(60000));
        return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
                QString::fromUtf8(p.readAllStandardOutput()), QString::fromUtf8(p.readAllStandardError())};
    }

    QString tool, dir, store;
};

} // namespace

TEST_F(RegistryTool, SetGetListDeleteRoundTrip) {
    EXPECT_EQ(run({"set", "Software\\Pravex", "naComPort", "--string", "tty\"USB\"0 ö"}).code, 0);
    EXPECT_EQ(run({"set", "Software\\Pravex", "ComPortAutoDetect", "--dword", "1"}).code, 0);
    EXPECT_EQ(run({"set", "Software\\Pravex\\Form1", "Left", "--dword", "0xFFFFFFFF"}).code, 0);

    Result r = run({"get", "SOFTWARE\\pravex", "NACOMPORT"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, QStringLiteral("tty\"USB\"0 ö\n"));
    EXPECT_EQ(run({"get", "Software\\Pravex\\Form1", "Left"}).out, QStringLiteral("4294967295\n"));

    r = run({"list"});
    EXPECT_EQ(r.code, 0);
    EXPECT_TRUE(r.out.contains(QStringLiteral("[Software\\Pravex]\n\"ComPortAutoDetect\"=dword:00000001\n"
                                              "\"naComPort\"=\"tty\\\"USB\\\"0 ö\"\n")))
        << qPrintable(r.out);
    EXPECT_TRUE(r.out.contains(QStringLiteral("[Software\\Pravex\\Form1]\n\"Left\"=dword:ffffffff\n")));
    EXPECT_TRUE(r.out.contains(store));
    EXPECT_FALSE(run({"list", "Software\\Pravex\\Form1"}).out.contains(QStringLiteral("naComPort")));

    EXPECT_EQ(run({"delete", "Software\\Pravex", "naComPort"}).code, 0);
    r = run({"get", "Software\\Pravex", "naComPort"});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.err.contains(QStringLiteral("not found"))) << qPrintable(r.err);
    EXPECT_EQ(run({"delete", "software\\pravex"}).code, 0);
    EXPECT_EQ(run({"get", "Software\\Pravex\\Form1", "Left"}).code, 1);
    EXPECT_EQ(run({"list", "Software\\Pravex"}).code, 1);
    EXPECT_EQ(run({"delete", "Software\\Pravex"}).code, 1);
    EXPECT_EQ(run({"path"}).out, store + QLatin1Char('\n'));
}

TEST_F(RegistryTool, UsageErrorsExplainThemselves) {
    const QList<QStringList> bad = {
        {},
        {"frobnicate"},
        {"get", "Software\\Pravex"},
        {"set", "Software\\Pravex", "x", "--dword", "12abc"},
        {"set", "Software\\Pravex", "x", "--dword", "4294967296"},
        {"set", "Software\\Pravex", "x", "--float", "1"},
        {"set", "Software\\Pravex", "", "--string", "1"},
        {"set", "\\", "x", "--string", "1"},
        {"delete"},
        {"list", "a", "b"},
    };
    for (const QStringList& args : bad) {
        const Result r = run(args);
        EXPECT_EQ(r.code, 2) << qPrintable(args.join(' '));
        EXPECT_TRUE(r.err.startsWith(QStringLiteral("pravex-registry: "))) << qPrintable(r.err);
        EXPECT_TRUE(r.err.contains(QStringLiteral("usage:")));
    }
    EXPECT_FALSE(QFile::exists(store));
    EXPECT_EQ(run({"--help"}).code, 0);
}

TEST_F(RegistryTool, DamagedOrUnreachableStore) {
    {
        QFile f(store);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("not a database at all, but not empty either\n");
    }
    Result r = run({"list"});
    EXPECT_EQ(r.code, 3);
    EXPECT_TRUE(r.err.contains(QStringLiteral("not a database"))) << qPrintable(r.err);
    EXPECT_EQ(run({"get", "a", "b"}).code, 3);
    // A write moves the damaged file aside and starts afresh.
    EXPECT_EQ(run({"set", "a", "b", "--string", "c"}).code, 0);
    EXPECT_EQ(run({"get", "a", "b"}).out, QStringLiteral("c\n"));
    EXPECT_EQ(QDir(dir).entryList({QStringLiteral("registry.db.corrupt-*")}).size(), 1);

    // A store below a plain file can never be made, whoever runs the tool.
    const QString impossible = store + QStringLiteral("/sub/registry.db");
    r = run({"set", "a", "b", "--string", "c"}, impossible);
    EXPECT_EQ(r.code, 3);
    EXPECT_FALSE(r.err.isEmpty());
    EXPECT_EQ(run({"get", "a", "b"}, impossible).code, 1);
}
