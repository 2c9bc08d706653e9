// The per-user settings store: named string and 32-bit integer values under key paths such as
// "Software\Pravex", kept in one SQLite database per user and shared by every program that uses it.
// Key and value names compare case-insensitively; each call is its own transaction.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <cstdint>

namespace pravex {

struct StoredValue {
    enum Type { String = 1, DWord = 4 }; // the registry's REG_SZ and REG_DWORD codes
    Type type = String;
    QString text;
    std::uint32_t dword = 0;

    static StoredValue ofString(const QString& s) { return {String, s, 0}; }
    static StoredValue ofDWord(std::uint32_t v) { return {DWord, {}, v}; }
};

enum class StoreStatus {
    Ok,
    NotFound, // the key or value does not exist (or the store does not exist yet)
    Failed,   // the store cannot be opened, read or written; see lastError()
};

class SettingsStore {
public:
    // The store at PRAVEX_REGISTRY when set, else $XDG_CONFIG_HOME/pravex/registry.db (~/.config by default).
    SettingsStore();
    explicit SettingsStore(const QString& path);

    static QString defaultPath();
    // "\Software\\Pravex\" -> "Software\Pravex": empty parts dropped. Empty when nothing is left.
    static QString normalizeKey(const QString& keyPath);

    // How long a call waits while another program holds the store, in milliseconds.
    static constexpr int DefaultBusyTimeoutMs = 15000;
    int busyTimeout() const { return m_busyTimeoutMs; }
    void setBusyTimeout(int ms) { m_busyTimeoutMs = ms < 0 ? 0 : ms; }

    const QString& path() const { return m_path; }
    const QString& lastError() const { return m_error; }

    StoreStatus read(const QString& keyPath, const QString& name, StoredValue* out);
    // Creates the key and its missing parents. A store that is not a database is moved aside with a
    // time-stamped name and made anew.
    bool write(const QString& keyPath, const QString& name, const StoredValue& value);
    StoreStatus deleteValue(const QString& keyPath, const QString& name);
    // Removes the key with all its subkeys and values.
    StoreStatus deleteKey(const QString& keyPath);

    struct Listing {
        QString key;                               // stored spelling of the key ("" for the root)
        QStringList subkeys;                       // names of the direct subkeys, sorted case-insensitively
        QList<QPair<QString, StoredValue>> values; // sorted case-insensitively by name
    };
    // Direct subkeys and values of a key, read at one moment; an empty path lists the root.
    StoreStatus list(const QString& keyPath, Listing* out);

private:
    QString m_path;
    QString m_error;
    int m_busyTimeoutMs = DefaultBusyTimeoutMs;
};

} // namespace pravex
