// The simulator's journal read as calls and time stamps, and its adapter blocks, for the adapter watcher
// tests.
#include "watcher_helpers.h"
#include "D2XXUnit.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace watchertest {

void WriteTextFile(const QString& path, const QString& text) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(text.toUtf8());
}

namespace {

QStringList journalLines() {
    return simtest::JournalText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

} // namespace

QStringList TSim::Calls() const {
    QStringList out;
    for (const QString& line : journalLines())
        out << line.section(QLatin1Char(' '), 1);
    return out;
}

std::vector<double> TSim::Times() const {
    std::vector<double> out;
    for (const QString& line : journalLines())
        out.push_back(line.section(QLatin1Char(' '), 0, 0).toDouble());
    return out;
}

QStringList TSim::CallsOf(const QStringList& names) const {
    QStringList out;
    for (const QString& c : Calls())
        for (const QString& n : names)
            if (c.startsWith(n + QLatin1Char(' '))) {
                out << c;
                break;
            }
    return out;
}

int TSim::Count(const QString& name) const {
    return int(CallsOf({name}).size());
}

QByteArray TSim::UserArea(const QString& serial) const {
    auto ua = simtest::SimSymbol<int (*)(const char*, FT_UCHAR*, FT_DWORD)>("PravexSim_UserArea");
    if (!ua)
        return {};
    QByteArray buf(256, '\0');
    const int n =
        ua(serial.toLatin1().constData(), reinterpret_cast<FT_UCHAR*>(buf.data()), FT_DWORD(buf.size()));
    return n < 0 ? QByteArray() : buf.left(n);
}

QString Adapter(const QString& serial, const QString& tty, const QString& more) {
    QString block = QStringLiteral("[adapter]\nserial = \"%1\"\ndescription = \"Desc %1\"\n").arg(serial);
    if (!tty.isEmpty())
        block += QStringLiteral("tty = %1\n").arg(tty);
    return block + more + QLatin1Char('\n');
}

} // namespace watchertest
