// The window position store against the real settings store and INI files: first-run centring, restoring
// what was stored, bad values, refused closes, the Active switch and the handlers it must keep calling.
// labels: unit gui
#include "FormStorage_AppError.h"
#include "SettingsStore.h"
#include "TevFormStorage.h"
#include "TevTools.h"

#include <QCoreApplication>
#include <QDir>
#include <QGuiApplication>
#include <QScreen>
#include <QSettings>
#include <QStringList>
#include <gtest/gtest.h>
#include <memory>
#include <unistd.h>

namespace {

QString key(const TTevFormStorage& s) {
    return s.AppRegKey().mid(1);
}

QString stored(const TTevFormStorage& s, const char* name) {
    return RegReadString(QString::fromLatin1(name), QStringLiteral("<none>"), key(s));
}

struct Window {
    std::unique_ptr<TTevForm> form;
    TTevFormStorage* storage = nullptr;

    // A fixed 226 x 181 window, as the main window is; a distinct name keeps tests apart in the store.
    explicit Window(const QString& name, bool fixed = true, std::function<void(TTevForm&)> before = {}) {
        form = std::make_unique<TTevForm>();
        form->setObjectName(name);
        if (fixed)
            form->setFixedSize(226, 181);
        else
            form->resize(300, 200);
        storage = new TTevFormStorage(form.get());
        storage->SetUseRegistry(true);
        // Left over from an earlier run of this test program.
        pravex::SettingsStore().deleteKey(storage->AppRegKey().mid(1));
        if (before)
            before(*form);
        storage->Loaded();
    }
};

QSize screenSize() {
    return QGuiApplication::primaryScreen()->geometry().size();
}

} // namespace

TEST(FormStorage, FirstRunCentresTheWindowAndKeepsItsSize) {
    Window w(QStringLiteral("FirstRun"));
    w.form->show();
    const QSize screen = screenSize();
    const QRect frame = w.form->frameGeometry();
    EXPECT_EQ(frame.size(), QSize(226, 181) + (frame.size() - w.form->size()));
    EXPECT_EQ(frame.left(), (screen.width() - frame.width()) / 2);
    EXPECT_EQ(frame.top(), (screen.height() - frame.height()) / 2);
}

TEST(FormStorage, StoredPlacesOffEveryScreenOpenOnItAndVisibleOnesAreKept) {
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    struct Case {
        const char* name;
        QRect stored;
        QRect expected;
    };
    const QList<Case> cases{
        // Far away below left: the nearest corner of the screen, the size kept.
        {"Restored", QRect(-5000, 7000, 410, 320), QRect(screen.left(), screen.bottom() - 319, 410, 320)},
        // Partly outside on the right, but its title bar can be grabbed: to the pixel.
        {"PartlyOut", QRect(screen.right() - 100, 40, 410, 320), QRect(screen.right() - 100, 40, 410, 320)},
        // Inside: to the pixel.
        {"Inside", QRect(13, 17, 410, 320), QRect(13, 17, 410, 320)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Window w(QString::fromLatin1(c.name), false);
        const QString k = key(*w.storage);
        EXPECT_TRUE(k.endsWith(QLatin1Char('\\') + QString::fromLatin1(c.name)));
        ASSERT_TRUE(RegWriteString(QStringLiteral("Left"), QString::number(c.stored.left()), k));
        ASSERT_TRUE(RegWriteString(QStringLiteral("Top"), QString::number(c.stored.top()), k));
        ASSERT_TRUE(RegWriteString(QStringLiteral("Width"), QString::number(c.stored.width()), k));
        ASSERT_TRUE(RegWriteString(QStringLiteral("Height"), QString::number(c.stored.height()), k));
        w.form->show();
        EXPECT_EQ(w.form->frameGeometry(), c.expected);
    }
}

TEST(FormStorage, UnreadableValuesGiveTheDefaults) {
    Window w(QStringLiteral("BadValues"), false);
    const QString k = key(*w.storage);
    ASSERT_TRUE(RegWriteString(QStringLiteral("Width"), QStringLiteral("abc"), k));
    ASSERT_TRUE(RegWriteString(QStringLiteral("Height"), QStringLiteral("250"), k));
    ASSERT_TRUE(RegWriteString(QStringLiteral("Left"), QStringLiteral("12px"), k));
    w.form->show();
    // Stored sizes are outer sizes; the unreadable width leaves the window's own.
    const QRect frame = w.form->frameGeometry();
    EXPECT_EQ(w.form->width(), 300);
    EXPECT_EQ(frame.height(), 250);
    EXPECT_EQ(frame.left(), (screenSize().width() - frame.width()) / 2);
    EXPECT_EQ(frame.top(), (screenSize().height() - 250) / 2);
}

TEST(FormStorage, CloseStoresTextValuesAfterTheWindowsOwnHandler) {
    QStringList calls;
    Window w(QStringLiteral("Closing"), false, [&](TTevForm& f) {
        f.OnShow = [&](QObject*) { calls << QStringLiteral("show"); };
        f.OnCloseQuery = [&](QObject*, bool&) { calls << QStringLiteral("query"); };
    });
    w.form->show();
    w.form->move(40, 50);
    w.form->resize(333, 222);
    ASSERT_TRUE(w.form->close());
    EXPECT_EQ(calls, QStringList({QStringLiteral("show"), QStringLiteral("query")}));
    EXPECT_EQ(stored(*w.storage, "Left"), QStringLiteral("40"));
    EXPECT_EQ(stored(*w.storage, "Top"), QStringLiteral("50"));
    EXPECT_EQ(stored(*w.storage, "Width"), QString::number(w.form->frameGeometry().width()));
    EXPECT_EQ(stored(*w.storage, "Height"), QString::number(w.form->frameGeometry().height()));

    // Shown again, the window comes back where it was closed.
    w.form->move(0, 0);
    w.form->show();
    EXPECT_EQ(w.form->frameGeometry().topLeft(), QPoint(40, 50));
}

TEST(FormStorage, RefusedCloseStoresNothing) {
    int queries = 0;
    Window w(QStringLiteral("Refused"), true, [&](TTevForm& f) {
        f.OnCloseQuery = [&](QObject*, bool& canClose) {
            ++queries;
            canClose = false;
        };
    });
    w.form->show();
    EXPECT_FALSE(w.form->close());
    EXPECT_EQ(queries, 1);
    EXPECT_TRUE(w.form->isVisible());
    EXPECT_EQ(stored(*w.storage, "Left"), QStringLiteral("<none>"));
}

TEST(FormStorage, InactiveStoreNeitherRestoresNorStores) {
    Window w(QStringLiteral("Inactive"), false);
    const QString k = key(*w.storage);
    ASSERT_TRUE(RegWriteString(QStringLiteral("Width"), QStringLiteral("500"), k));
    w.storage->SetActive(false);
    w.form->show();
    EXPECT_EQ(w.form->width(), 300);
    w.form->close();
    w.form.reset();
    EXPECT_EQ(RegReadString(QStringLiteral("Left"), QStringLiteral("<none>"), k), QStringLiteral("<none>"));
    EXPECT_EQ(RegReadString(QStringLiteral("Width"), QString(), k), QStringLiteral("500"));
}

TEST(FormStorage, DestroyStoresThenRunsTheWindowsHandler) {
    QString k;
    QString leftSeenByHandler = QStringLiteral("<not run>");
    Window w(QStringLiteral("Destroyed"), false, [&](TTevForm& f) {
        f.OnDestroy = [&](QObject*) {
            leftSeenByHandler = RegReadString(QStringLiteral("Left"), QString(), k);
        };
    });
    k = key(*w.storage);
    w.form->show();
    w.form->move(12, 34);
    w.form.reset();
    EXPECT_EQ(leftSeenByHandler, QStringLiteral("12"));
}

TEST(FormStorage, IniModeWritesTheWindowsSectionAndReportsWriteFailures) {
    const QString dir = qEnvironmentVariable("PRAVEX_TEST_TMP");
    ASSERT_FALSE(dir.isEmpty());
    QDir().mkpath(dir);
    const QString ini = dir + QStringLiteral("/positions.ini");
    {
        Window w(QStringLiteral("IniWindow"), false);
        w.storage->SetUseRegistry(false);
        w.storage->SetIniFileName(ini);
        EXPECT_EQ(w.storage->TypeIniName(), TApplicationIniName::asCustom);
        w.form->show();
        w.form->move(21, 22);
        ASSERT_TRUE(w.form->close());
    }
    QSettings check(ini, QSettings::IniFormat);
    EXPECT_EQ(check.value(QStringLiteral("IniWindow/Left")).toInt(), 21);
    EXPECT_EQ(check.value(QStringLiteral("IniWindow/Top")).toInt(), 22);

    QStringList errors;
    auto previous = SetApplicationErrorHandler([&](const QString& text) { errors << text; });
    {
        bool keptRan = false;
        Window w(QStringLiteral("IniFails"), false,
                 [&](TTevForm& f) { f.OnDestroy = [&](QObject*) { keptRan = true; }; });
        w.storage->SetUseRegistry(false);
        w.storage->SetIniFileName(QStringLiteral("/proc/no-such-dir/positions.ini"));
        w.form->show();
        EXPECT_TRUE(w.form->close()) << "a failed save must not keep the window open";
        EXPECT_EQ(errors.size(), 1);
        w.form.reset();
        EXPECT_TRUE(keptRan);
        EXPECT_EQ(errors.size(), 2);
    }
    SetApplicationErrorHandler(previous);
}

TEST(FormStorage, NamesComeFromTheExecutable) {
    EXPECT_EQ(TTevFormStorage::ExeKeyName(QStringLiteral("/opt/x/Pravex.exe")), QStringLiteral("Pravex"));
    EXPECT_EQ(TTevFormStorage::ExeKeyName(QStringLiteral("/usr/bin/pravex")), QStringLiteral("pravex"));
    // Without an extension nothing is cut off.
    EXPECT_EQ(TTevFormStorage::ExeKeyName(QStringLiteral("/usr/bin/monitor1")), QStringLiteral("monitor1"));
    EXPECT_EQ(TTevFormStorage::DerivedIniName(QStringLiteral("/tools/Monitor.EXE")),
              QStringLiteral("/tools/monitor.ini"));
    EXPECT_EQ(TTevFormStorage::DerivedIniName(QStringLiteral("/usr/bin/Pravex")),
              QStringLiteral("/usr/bin/pravex.ini"));

    TTevForm form;
    form.setObjectName(QStringLiteral("Form1"));
    TTevFormStorage s(&form);
    // Only a user without administrator rights gets the settings store by default (root is one).
    EXPECT_EQ(s.UseRegistry(), !TTevFormStorage::IsWindowsAdmin());
    if (geteuid() == 0) {
        EXPECT_TRUE(TTevFormStorage::IsWindowsAdmin());
    }
    EXPECT_TRUE(s.AppRegKey().startsWith(QStringLiteral("\\Software\\")));
    EXPECT_TRUE(s.AppRegKey().endsWith(QStringLiteral("\\Form1")));
    // The default derived name applies once the placeholder is set; a custom name is taken as given.
    EXPECT_EQ(s.IniFileName(), ApplicationExeIniName);
    // Even before the rule has run, the INI mode never writes a file named after the placeholder.
    EXPECT_EQ(s.IniPath(), TTevFormStorage::DerivedIniName(QCoreApplication::applicationFilePath()));
    s.SetIniFileName(QStringLiteral(" [ApplicationExeName.ini]\t"));
    EXPECT_EQ(s.TypeIniName(), TApplicationIniName::asAppIniName);
    EXPECT_TRUE(s.IniFileName().endsWith(QStringLiteral(".ini")));
    EXPECT_NE(s.IniFileName(), ApplicationExeIniName);
    s.SetIniFileName(QStringLiteral(" my.ini "));
    EXPECT_EQ(s.IniFileName(), QStringLiteral(" my.ini "));
    s.SetTypeIniName(TApplicationIniName::asAppIniName);
    EXPECT_NE(s.IniFileName(), QStringLiteral(" my.ini "));
}

TEST(FormStorage, OwnerMustBeAWindow) {
    QObject notAWindow;
    EXPECT_THROW(TTevFormStorage{&notAWindow}, std::invalid_argument);
    EXPECT_THROW(TTevFormStorage{nullptr}, std::invalid_argument);
}

TEST(FormStorage, AWindowNeverShownInARunKeepsItsStoredPlace) {
    QString k;
    {
        Window w(QStringLiteral("NeverShown"), false);
        k = key(*w.storage);
        ASSERT_TRUE(RegWriteString(QStringLiteral("Left"), QStringLiteral("77"), k));
        ASSERT_TRUE(RegWriteString(QStringLiteral("Width"), QStringLiteral("640"), k));
        // Closed and destroyed without ever being shown, as the tools window of a run that never opens it.
        w.form->close();
    }
    EXPECT_EQ(RegReadString(QStringLiteral("Left"), QString(), k), QStringLiteral("77"));
    EXPECT_EQ(RegReadString(QStringLiteral("Width"), QString(), k), QStringLiteral("640"));
    EXPECT_EQ(RegReadString(QStringLiteral("Top"), QStringLiteral("<none>"), k), QStringLiteral("<none>"));
}
