// Scratch places for the common tests.
#include "common_test_helpers.h"

#include <QDir>
#include <gtest/gtest.h>

QString scratchDir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    QString base = qEnvironmentVariable("PRAVEX_TEST_TMP");
    if (base.isEmpty())
        base = QDir::tempPath() + QStringLiteral("/pravex-test");
    const QString dir = base + QLatin1Char('/') + QString::fromUtf8(info->test_suite_name()) +
                        QLatin1Char('.') + QString::fromUtf8(info->name());
    QDir(dir).removeRecursively();
    QDir().mkpath(dir);
    return dir;
}

QString freshStore() {
    const QString path = scratchDir() + QStringLiteral("/store/registry.db");
    qputenv("PRAVEX_REGISTRY", path.toLocal8Bit());
    return path;
}
