// The settings store on SQLite: WAL journal and a busy time-out so that several programs share it, one
// connection and one transaction per call so that a crash mid-write loses no committed value. A file that
// is not a database is moved aside under a time-stamped name (never deleted) and made anew on a write.
#include "SettingsStore.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pravex {
namespace {

const char* const Schema = "CREATE TABLE IF NOT EXISTS keys(fold TEXT PRIMARY KEY, path TEXT NOT NULL,"
                           " parent TEXT NOT NULL) WITHOUT ROWID;"
                           "CREATE INDEX IF NOT EXISTS keys_parent ON keys(parent);"
                           "CREATE TABLE IF NOT EXISTS vals(key TEXT NOT NULL, fold TEXT NOT NULL,"
                           " name TEXT NOT NULL, type INTEGER NOT NULL, data,"
                           " PRIMARY KEY(key, fold)) WITHOUT ROWID;";

bool isCorruption(int rc) {
    rc &= 0xFF;
    return rc == SQLITE_NOTADB || rc == SQLITE_CORRUPT;
}

QString fold(const QString& s) {
    return s.toCaseFolded();
}

class Fd {
public:
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

class Stmt {
public:
    Stmt(sqlite3* db, const char* sql) { m_rc = sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr); }
    ~Stmt() { sqlite3_finalize(m_stmt); }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;

    int prepared() const { return m_rc; }
    Stmt& bind(int i, const QString& s) {
        const QByteArray u = s.toUtf8();
        sqlite3_bind_text(m_stmt, i, u.constData(), int(u.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Stmt& bind(int i, sqlite3_int64 v) {
        sqlite3_bind_int64(m_stmt, i, v);
        return *this;
    }
    int step() { return m_rc == SQLITE_OK ? sqlite3_step(m_stmt) : m_rc; }
    QString text(int col) const {
        const auto* p = static_cast<const char*>(sqlite3_column_blob(m_stmt, col));
        return QString::fromUtf8(p, sqlite3_column_bytes(m_stmt, col));
    }
    sqlite3_int64 integer(int col) const { return sqlite3_column_int64(m_stmt, col); }
    int columnType(int col) const { return sqlite3_column_type(m_stmt, col); }

private:
    sqlite3_stmt* m_stmt = nullptr;
    int m_rc;
};

// One connection for one call.
class Connection {
public:
    Connection() = default;
    ~Connection() { close(); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    sqlite3* db() const { return m_db; }
    void close() {
        sqlite3_close_v2(m_db);
        m_db = nullptr;
    }

    int open(const QString& path, int flags, int busyTimeoutMs) {
        const QByteArray p = QFile::encodeName(path);
        const int rc = sqlite3_open_v2(p.constData(), &m_db, flags | SQLITE_OPEN_NOMUTEX, nullptr);
        if (rc == SQLITE_OK) {
            sqlite3_busy_timeout(m_db, busyTimeoutMs);
            sqlite3_extended_result_codes(m_db, 1);
        }
        return rc;
    }
    int exec(const char* sql) { return sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr); }
    QString error() const {
        return m_db ? QString::fromUtf8(sqlite3_errmsg(m_db)) : QStringLiteral("out of memory");
    }

private:
    sqlite3* m_db = nullptr;
};

// "a\b\c" -> "a\b"; top-level keys hang below "".
QString parentOf(const QString& foldPath) {
    const qsizetype at = foldPath.lastIndexOf(QLatin1Char('\\'));
    return at < 0 ? QString() : foldPath.left(at);
}

// True when the store holds our tables; false for a new, empty file.
int hasSchema(Connection& c, bool* present) {
    Stmt s(c.db(), "SELECT count(*) FROM sqlite_master WHERE type='table' AND name IN ('keys','vals')");
    const int rc = s.step();
    if (rc != SQLITE_ROW)
        return rc;
    *present = s.integer(0) == 2;
    return SQLITE_OK;
}

// Which file a path names at the moment: device and inode, or nothing.
struct FileId {
    dev_t dev = 0;
    ino_t ino = 0;
    bool operator==(const FileId&) const = default;
};
FileId fileId(const QString& path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return {};
    return {st.st_dev, st.st_ino};
}

QString stampedName(const QString& path) {
    const QString base = path + QStringLiteral(".corrupt-") +
                         QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString name = base;
    for (int n = 1; QFileInfo::exists(name); ++n)
        name = base + QLatin1Char('-') + QString::number(n);
    return name;
}

} // namespace

namespace {

// Opens the store for reading. NotFound when there is no store (nothing has been written yet).
StoreStatus openForRead(const QString& path, Connection& c, QString* error, int busyMs) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return StoreStatus::NotFound;
        *error = path + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
        return StoreStatus::Failed;
    }
    int rc = c.open(path, SQLITE_OPEN_READWRITE, busyMs);
    if ((rc & 0xFF) == SQLITE_CANTOPEN || (rc & 0xFF) == SQLITE_READONLY || (rc & 0xFF) == SQLITE_PERM) {
        c.close();
        rc = c.open(path, SQLITE_OPEN_READONLY, busyMs);
    }
    if (rc != SQLITE_OK) {
        *error = path + QStringLiteral(": ") + c.error();
        return StoreStatus::Failed;
    }
    bool present = false;
    rc = hasSchema(c, &present);
    if (rc != SQLITE_OK) {
        *error = path + QStringLiteral(": ") + c.error();
        return StoreStatus::Failed;
    }
    return present ? StoreStatus::Ok : StoreStatus::NotFound;
}

// Opens (making it when missing, mode 0600 in a 0700 folder) and begins a write transaction with the
// schema in place. Returns the SQLite code; corruption shows as SQLITE_NOTADB or SQLITE_CORRUPT.
int openForWrite(const QString& path, Connection& c, QString* error, int busyMs) {
    const QString dir = QFileInfo(path).absolutePath();
    // The store's own folder is private to the user; folders above it are made as usual.
    if (!QFileInfo::exists(dir) && QDir().mkpath(QFileInfo(dir).absolutePath()))
        ::mkdir(QFile::encodeName(dir).constData(), 0700);
    if (!QFileInfo(dir).isDir()) {
        *error = dir + QStringLiteral(": cannot create the folder");
        return SQLITE_PERM; // not worth a retry, unlike a store moved aside under our feet
    }
    const QByteArray native = QFile::encodeName(path);
    {
        Fd fd(::open(native.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
        if (fd.get() < 0) {
            *error = path + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
            return SQLITE_PERM;
        }
    }
    int rc = c.open(path, SQLITE_OPEN_READWRITE, busyMs);
    if (rc == SQLITE_OK) {
        // Switching to WAL needs the database to itself for a moment; the busy handler covers that.
        rc = c.exec("PRAGMA journal_mode=WAL");
    }
    if (rc == SQLITE_OK)
        rc = c.exec("BEGIN IMMEDIATE");
    if (rc == SQLITE_OK)
        rc = c.exec(Schema);
    if (rc != SQLITE_OK) {
        *error = path + QStringLiteral(": ") + c.error();
        c.exec("ROLLBACK");
    }
    return rc;
}

// Moves a store that is not a database aside, unless another program has already done so. The folder's
// lock keeps two programs from moving each other's fresh store.
bool moveAside(const QString& path, QString* error, int busyMs) {
    const QString dir = QFileInfo(path).absolutePath();
    Fd lock(::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (lock.get() >= 0)
        ::flock(lock.get(), LOCK_EX);
    // Under the lock, a store already moved aside (no file) or already made anew (healthy) means another
    // program has handled it: the caller simply tries again.
    const QByteArray native = QFile::encodeName(path);
    struct stat st {};
    if (::stat(native.constData(), &st) != 0 && errno == ENOENT)
        return true;
    {
        // Only a file that still proves damaged goes; a busy or unreadable one is left where it is.
        Connection check;
        int rc = check.open(path, SQLITE_OPEN_READWRITE, busyMs);
        if (rc == SQLITE_OK) {
            Stmt s(check.db(), "PRAGMA quick_check");
            rc = s.step();
            if (rc == SQLITE_ROW && s.text(0) == QLatin1String("ok"))
                return true; // already replaced
        }
        if (rc != SQLITE_ROW && !isCorruption(rc)) {
            if (::stat(native.constData(), &st) != 0 && errno == ENOENT)
                return true;
            *error = path + QStringLiteral(": ") + check.error();
            return false;
        }
    }
    const QString aside = stampedName(path);
    // The journal files go first: a WAL left beside a new store would be replayed into it.
    for (const char* suffix : {"-wal", "-shm"}) {
        const QByteArray from = QFile::encodeName(path + QLatin1String(suffix));
        const QByteArray to = QFile::encodeName(aside + QLatin1String(suffix));
        if (::rename(from.constData(), to.constData()) != 0 && errno != ENOENT) {
            *error = path + QStringLiteral(": cannot move the damaged store's journal aside: ") +
                     QString::fromLocal8Bit(std::strerror(errno));
            return false;
        }
    }
    if (::rename(native.constData(), QFile::encodeName(aside).constData()) != 0) {
        *error = path + QStringLiteral(": cannot move the damaged store aside: ") +
                 QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    qWarning("settings store %s was damaged; moved aside as %s", qPrintable(path), qPrintable(aside));
    return true;
}

} // namespace

StoreStatus SettingsStore::read(const QString& keyPath, const QString& name, StoredValue* out) {
    m_error.clear();
    const QString key = normalizeKey(keyPath);
    if (key.isEmpty() || name.isEmpty())
        return StoreStatus::NotFound;
    Connection c;
    const StoreStatus st = openForRead(m_path, c, &m_error, m_busyTimeoutMs);
    if (st != StoreStatus::Ok)
        return st;
    Stmt s(c.db(), "SELECT type, data FROM vals WHERE key=?1 AND fold=?2");
    s.bind(1, fold(key)).bind(2, fold(name));
    const int rc = s.step();
    if (rc == SQLITE_DONE)
        return StoreStatus::NotFound;
    if (rc != SQLITE_ROW) {
        m_error = m_path + QStringLiteral(": ") + c.error();
        return StoreStatus::Failed;
    }
    const auto type = s.integer(0);
    if (type == StoredValue::String && s.columnType(1) == SQLITE_TEXT) {
        *out = StoredValue::ofString(s.text(1));
    } else if (type == StoredValue::DWord && s.columnType(1) == SQLITE_INTEGER) {
        *out = StoredValue::ofDWord(std::uint32_t(s.integer(1)));
    } else {
        m_error = m_path + QStringLiteral(": value of an unknown form");
        return StoreStatus::Failed;
    }
    return StoreStatus::Ok;
}

bool SettingsStore::write(const QString& keyPath, const QString& name, const StoredValue& value) {
    m_error.clear();
    const QString key = normalizeKey(keyPath);
    if (key.isEmpty() || name.isEmpty()) {
        m_error = QStringLiteral("empty key path or value name");
        return false;
    }
    bool movedAside = false;
    // Some busy states skip SQLite's busy handler (two programs making the store at the same moment, a
    // journal being recovered): those are waited out here, up to the same time-out.
    QElapsedTimer waited;
    waited.start();
    for (int attempt = 0;; ++attempt) {
        if (attempt > 0) {
            if (waited.elapsed() > m_busyTimeoutMs)
                return false;
            ::usleep(useconds_t(std::min(attempt, 50)) * 1000);
        }
        const FileId before = fileId(m_path);
        Connection c;
        int rc = openForWrite(m_path, c, &m_error, m_busyTimeoutMs);
        if (rc == SQLITE_OK) {
            // The key and every missing parent; an existing key keeps its first spelling.
            const QStringList parts = key.split(QLatin1Char('\\'));
            QString prefix;
            for (const QString& part : parts) {
                prefix = prefix.isEmpty() ? part : prefix + QLatin1Char('\\') + part;
                Stmt s(c.db(), "INSERT OR IGNORE INTO keys(fold, path, parent) VALUES(?1, ?2, ?3)");
                s.bind(1, fold(prefix)).bind(2, prefix).bind(3, parentOf(fold(prefix)));
                rc = s.step();
                if (rc != SQLITE_DONE)
                    break;
                rc = SQLITE_OK;
            }
            if (rc == SQLITE_OK) {
                Stmt s(c.db(),
                       "INSERT INTO vals(key, fold, name, type, data) VALUES(?1, ?2, ?3, ?4, ?5)"
                       " ON CONFLICT(key, fold) DO UPDATE SET type=excluded.type, data=excluded.data");
                s.bind(1, fold(key)).bind(2, fold(name)).bind(3, name).bind(4, sqlite3_int64(value.type));
                if (value.type == StoredValue::DWord)
                    s.bind(5, sqlite3_int64(value.dword));
                else
                    s.bind(5, value.text);
                rc = s.step();
                if (rc == SQLITE_DONE)
                    rc = c.exec("COMMIT");
            }
            if (rc == SQLITE_OK)
                return true;
            m_error = m_path + QStringLiteral(": ") + c.error();
            c.exec("ROLLBACK");
        }
        if (isCorruption(rc) && !movedAside) {
            if (!moveAside(m_path, &m_error, m_busyTimeoutMs))
                return false;
            movedAside = true;
        } else if ((rc & 0xFF) == SQLITE_BUSY || (rc & 0xFF) == SQLITE_LOCKED) {
        } else {
            const FileId now = fileId(m_path);
            const bool replaced = before.ino != 0 && now != before;
            const bool movedAway = (rc & 0xFF) == SQLITE_CANTOPEN && now.ino == 0;
            if (rc == SQLITE_PERM || !(replaced || movedAway))
                return false;
        }
        // Otherwise another program moved the damaged store aside under us (its journal going with it
        // shows as a failure to open or read): the store is a new one now, and worth another try.
        // Busy: the whole transaction is tried again.
    }
}

namespace {

StoreStatus runDelete(const QString& path, const QString& key, const QString& name, QString* error,
                      int busyMs) {
    Connection c;
    // Never make a store just to find nothing in it.
    {
        Connection probe;
        const StoreStatus st = openForRead(path, probe, error, busyMs);
        if (st != StoreStatus::Ok)
            return st;
    }
    int rc = openForWrite(path, c, error, busyMs);
    if (rc != SQLITE_OK)
        return StoreStatus::Failed;
    const QString k = fold(key);
    int changed = 0;
    if (name.isNull()) {
        const QString below = k + QLatin1Char('\\');
        for (const char* sql : {"DELETE FROM vals WHERE key=?1 OR substr(key, 1, length(?2))=?2",
                                "DELETE FROM keys WHERE fold=?1 OR substr(fold, 1, length(?2))=?2"}) {
            Stmt s(c.db(), sql);
            s.bind(1, k).bind(2, below);
            rc = s.step();
            if (rc != SQLITE_DONE)
                break;
            changed = sqlite3_changes(c.db());
            rc = SQLITE_OK;
        }
    } else {
        Stmt s(c.db(), "DELETE FROM vals WHERE key=?1 AND fold=?2");
        s.bind(1, k).bind(2, fold(name));
        rc = s.step();
        if (rc == SQLITE_DONE) {
            changed = sqlite3_changes(c.db());
            rc = SQLITE_OK;
        }
    }
    if (rc == SQLITE_OK)
        rc = c.exec("COMMIT");
    if (rc != SQLITE_OK) {
        *error = path + QStringLiteral(": ") + c.error();
        c.exec("ROLLBACK");
        return StoreStatus::Failed;
    }
    return changed > 0 ? StoreStatus::Ok : StoreStatus::NotFound;
}

} // namespace

StoreStatus SettingsStore::deleteValue(const QString& keyPath, const QString& name) {
    m_error.clear();
    const QString key = normalizeKey(keyPath);
    if (key.isEmpty() || name.isEmpty())
        return StoreStatus::NotFound;
    return runDelete(m_path, key, name, &m_error, m_busyTimeoutMs);
}

StoreStatus SettingsStore::deleteKey(const QString& keyPath) {
    m_error.clear();
    const QString key = normalizeKey(keyPath);
    if (key.isEmpty()) {
        m_error = QStringLiteral("the root cannot be deleted");
        return StoreStatus::Failed;
    }
    return runDelete(m_path, key, QString(), &m_error, m_busyTimeoutMs);
}

StoreStatus SettingsStore::list(const QString& keyPath, Listing* out) {
    m_error.clear();
    *out = Listing();
    const QString key = normalizeKey(keyPath);
    Connection c;
    const StoreStatus st = openForRead(m_path, c, &m_error, m_busyTimeoutMs);
    if (st == StoreStatus::NotFound && key.isEmpty())
        return StoreStatus::Ok; // an empty store has an empty root
    if (st != StoreStatus::Ok)
        return st;
    // One read transaction for the three queries: a write between them must not show half.
    if (c.exec("BEGIN") != SQLITE_OK) {
        m_error = m_path + QStringLiteral(": ") + c.error();
        return StoreStatus::Failed;
    }
    auto failed = [&] {
        m_error = m_path + QStringLiteral(": ") + c.error();
        return StoreStatus::Failed;
    };
    const QString k = fold(key);
    if (!key.isEmpty()) {
        Stmt s(c.db(), "SELECT path FROM keys WHERE fold=?1");
        s.bind(1, k);
        const int rc = s.step();
        if (rc == SQLITE_DONE)
            return StoreStatus::NotFound;
        if (rc != SQLITE_ROW)
            return failed();
        out->key = s.text(0);
    }
    {
        Stmt s(c.db(), "SELECT path FROM keys WHERE parent=?1");
        s.bind(1, k);
        int rc;
        while ((rc = s.step()) == SQLITE_ROW) {
            const QString p = s.text(0);
            out->subkeys.append(p.mid(p.lastIndexOf(QLatin1Char('\\')) + 1));
        }
        if (rc != SQLITE_DONE)
            return failed();
    }
    {
        Stmt s(c.db(), "SELECT name, type, data FROM vals WHERE key=?1");
        s.bind(1, k);
        int rc;
        while ((rc = s.step()) == SQLITE_ROW) {
            StoredValue v = s.integer(1) == StoredValue::DWord
                                ? StoredValue::ofDWord(std::uint32_t(s.integer(2)))
                                : StoredValue::ofString(s.text(2));
            out->values.append({s.text(0), v});
        }
        if (rc != SQLITE_DONE)
            return failed();
    }
    auto less = [](const QString& a, const QString& b) { return a.compare(b, Qt::CaseInsensitive) < 0; };
    std::sort(out->subkeys.begin(), out->subkeys.end(), less);
    std::sort(out->values.begin(), out->values.end(),
              [&](const auto& a, const auto& b) { return less(a.first, b.first); });
    return StoreStatus::Ok;
}

} // namespace pravex
