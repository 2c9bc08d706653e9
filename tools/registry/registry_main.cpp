// pravex-registry: lists, reads, writes and deletes values of the per-user settings store, which Linux
// has no editor for. Uses the same store as the programs, PRAVEX_REGISTRY included.
#include "ProgramVersion.h"
#include "common/SettingsStore.h"

#include <QStringList>
#include <cstdio>
#include <functional>

using pravex::SettingsStore;
using pravex::StoredValue;
using pravex::StoreStatus;

namespace {

enum Exit { Ok = 0, NotFound = 1, Usage = 2, StoreError = 3 };

const char* const Help =
    "usage: pravex-registry COMMAND ...\n"
    "  list [KEY]                          keys and values below KEY (all when no KEY)\n"
    "  get KEY VALUE                       print one value\n"
    "  set KEY VALUE --string TEXT         store a string value\n"
    "  set KEY VALUE --dword N             store a 32-bit integer (decimal, or hex with 0x)\n"
    "  delete KEY [VALUE]                  delete one value, or KEY with everything below it\n"
    "  path                                print where the store is\n"
    "  --version                           print the version\n"
    "KEY is a path such as Software\\Pravex; names compare case-insensitively.\n"
    "The store is $PRAVEX_REGISTRY, else $XDG_CONFIG_HOME/pravex/registry.db.\n"
    "Exit status: 0 done, 1 key or value not found, 2 usage error, 3 store not readable or writable.\n";

void out(const QString& s) {
    const QByteArray b = s.toLocal8Bit();
    std::fwrite(b.constData(), 1, size_t(b.size()), stdout);
}

int fail(int code, const QString& message) {
    std::fflush(stdout);
    std::fprintf(stderr, "pravex-registry: %s\n", message.toLocal8Bit().constData());
    return code;
}

int usage(const QString& message) {
    fail(Usage, message);
    std::fputs(Help, stderr);
    return Usage;
}

// Keeps one value on one line: quotes, backslashes and control characters are escaped.
QString quoted(const QString& s) {
    QString q = QStringLiteral("\"");
    for (QChar c : s) {
        switch (c.unicode()) {
        case '"':
            q += QStringLiteral("\\\"");
            break;
        case '\\':
            q += QStringLiteral("\\\\");
            break;
        case '\n':
            q += QStringLiteral("\\n");
            break;
        case '\r':
            q += QStringLiteral("\\r");
            break;
        case '\t':
            q += QStringLiteral("\\t");
            break;
        default:
            if (c.unicode() < 0x20 || c.unicode() == 0x7F)
                q += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
            else
                q += c;
        }
    }
    return q + QLatin1Char('"');
}

QString shown(const StoredValue& v) {
    if (v.type == StoredValue::DWord)
        return QStringLiteral("dword:%1").arg(v.dword, 8, 16, QLatin1Char('0'));
    return quoted(v.text);
}

bool parseDWord(const QString& text, std::uint32_t* value) {
    bool ok = false;
    if (text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)) {
        const qulonglong v = text.mid(2).toULongLong(&ok, 16);
        if (!ok || v > 0xFFFFFFFFull || text.size() == 2)
            return false;
        *value = std::uint32_t(v);
        return true;
    }
    const qlonglong v = text.toLongLong(&ok, 10);
    if (!ok || v < -2147483648LL || v > 0xFFFFFFFFLL || text.trimmed() != text)
        return false;
    *value = std::uint32_t(v);
    return true;
}

int storeFailure(SettingsStore& store) {
    return fail(StoreError, store.lastError());
}

int list(SettingsStore& store, const QString& key) {
    std::function<int(const QString&, bool)> walk = [&](const QString& k, bool top) -> int {
        SettingsStore::Listing l;
        const StoreStatus st = store.list(k, &l);
        if (st == StoreStatus::NotFound)
            return top ? fail(NotFound, QStringLiteral("key \"%1\" not found").arg(k)) : Ok;
        if (st == StoreStatus::Failed)
            return storeFailure(store);
        if (!l.key.isEmpty()) {
            out(QStringLiteral("\n[%1]\n").arg(l.key));
            for (const auto& [name, value] : l.values)
                out(quoted(name) + QLatin1Char('=') + shown(value) + QLatin1Char('\n'));
        }
        for (const QString& sub : l.subkeys) {
            const int rc = walk(l.key.isEmpty() ? sub : l.key + QLatin1Char('\\') + sub, false);
            if (rc != Ok)
                return rc;
        }
        return Ok;
    };
    out(QStringLiteral("; settings store: %1\n").arg(store.path()));
    return walk(SettingsStore::normalizeKey(key), true);
}

int run(const QStringList& args) {
    if (args.isEmpty())
        return usage(QStringLiteral("no command given"));
    const QString& command = args[0];
    const QStringList rest = args.mid(1);
    SettingsStore store;

    if (command == QLatin1String("-h") || command == QLatin1String("--help") ||
        command == QLatin1String("help")) {
        std::fputs(Help, stdout);
        return Ok;
    }
    if (command == QLatin1String("path")) {
        if (!rest.isEmpty())
            return usage(QStringLiteral("path takes no arguments"));
        out(store.path() + QLatin1Char('\n'));
        return Ok;
    }
    if (command == QLatin1String("list")) {
        if (rest.size() > 1)
            return usage(QStringLiteral("list takes at most one KEY"));
        return list(store, rest.value(0));
    }
    if (command == QLatin1String("get")) {
        if (rest.size() != 2)
            return usage(QStringLiteral("get needs KEY and VALUE"));
        StoredValue v;
        switch (store.read(rest[0], rest[1], &v)) {
        case StoreStatus::Ok:
            out((v.type == StoredValue::DWord ? QString::number(v.dword) : v.text) + QLatin1Char('\n'));
            return Ok;
        case StoreStatus::NotFound:
            return fail(NotFound,
                        QStringLiteral("value \"%1\" not found under key \"%2\"").arg(rest[1], rest[0]));
        case StoreStatus::Failed:
            break;
        }
        return storeFailure(store);
    }
    if (command == QLatin1String("set")) {
        if (rest.size() != 4)
            return usage(QStringLiteral("set needs KEY VALUE --string TEXT or KEY VALUE --dword N"));
        if (SettingsStore::normalizeKey(rest[0]).isEmpty() || rest[1].isEmpty())
            return usage(QStringLiteral("KEY and VALUE must not be empty"));
        StoredValue v;
        if (rest[2] == QLatin1String("--string")) {
            v = StoredValue::ofString(rest[3]);
        } else if (rest[2] == QLatin1String("--dword")) {
            std::uint32_t n = 0;
            if (!parseDWord(rest[3], &n))
                return usage(QStringLiteral("\"%1\" is not a 32-bit integer").arg(rest[3]));
            v = StoredValue::ofDWord(n);
        } else {
            return usage(QStringLiteral("unknown option \"%1\"").arg(rest[2]));
        }
        return store.write(rest[0], rest[1], v) ? Ok : storeFailure(store);
    }
    if (command == QLatin1String("delete")) {
        if (rest.isEmpty() || rest.size() > 2)
            return usage(QStringLiteral("delete needs KEY and at most one VALUE"));
        if (SettingsStore::normalizeKey(rest[0]).isEmpty())
            return usage(QStringLiteral("KEY must not be empty"));
        const StoreStatus st =
            rest.size() == 2 ? store.deleteValue(rest[0], rest[1]) : store.deleteKey(rest[0]);
        if (st == StoreStatus::Ok)
            return Ok;
        if (st == StoreStatus::NotFound)
            return rest.size() == 2
                       ? fail(NotFound,
                              QStringLiteral("value \"%1\" not found under key \"%2\"").arg(rest[1], rest[0]))
                       : fail(NotFound, QStringLiteral("key \"%1\" not found").arg(rest[0]));
        return storeFailure(store);
    }
    return usage(QStringLiteral("unknown command \"%1\"").arg(command));
}

} // namespace

int main(int argc, char** argv) {
    if (PravexVersionAsked(argc, argv, "pravex-registry"))
        return 0;
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args.append(QString::fromLocal8Bit(argv[i]));
    const int rc = run(args);
    std::fflush(stdout);
    return rc;
}
