// Where the settings store lives and how key paths are spelled; the database work is in
// SettingsStore_sqlite.cpp.
#include "SettingsStore.h"

#include <QDir>

namespace pravex {

SettingsStore::SettingsStore() : m_path(defaultPath()) {}
SettingsStore::SettingsStore(const QString& path) : m_path(path) {}

QString SettingsStore::defaultPath() {
    QString over = qEnvironmentVariable("PRAVEX_REGISTRY");
    if (!over.isEmpty())
        return over;
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    // The XDG rules ignore a relative value.
    if (config.isEmpty() || !QDir::isAbsolutePath(config))
        config = QDir::homePath() + QStringLiteral("/.config");
    return config + QStringLiteral("/pravex/registry.db");
}

QString SettingsStore::normalizeKey(const QString& keyPath) {
    const QStringList parts = keyPath.split(QLatin1Char('\\'), Qt::SkipEmptyParts);
    return parts.join(QLatin1Char('\\'));
}

} // namespace pravex
