// Event-loop waits and scratch files for the adapter watcher tests.
#include "watcher_helpers.h"
#include "D2XXUnit.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QUuid>

namespace watchertest {

bool WaitFor(const std::function<bool()>& pred, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!pred()) {
        if (deadline.hasExpired())
            return pred();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
    return true;
}

void Pump(int ms) {
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(2);
    }
}

QString ScratchDir(const QString& name) {
    QString base = qEnvironmentVariable("PRAVEX_TEST_TMP");
    if (base.isEmpty())
        base = QDir::tempPath() + QStringLiteral("/pravex-ftdi-tests");
    const QString dir = base + QLatin1Char('/') + name + QLatin1Char('-') +
                        QUuid::createUuid().toString(QUuid::WithoutBraces);
    QDir().mkpath(dir);
    return dir;
}

void WriteTextFile(const QString& path, const QString& text) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(text.toUtf8());
}

namespace {

template <class F> F simSymbol(const char* name) {
    return reinterpret_cast<F>(D2xxLibrarySymbol(name));
}

QString journalText() {
    auto journal = simSymbol<FT_DWORD (*)(char*, FT_DWORD)>("PravexSim_Journal");
    if (!journal)
        return {};
    const FT_DWORD size = journal(nullptr, 0);
    QByteArray buf(qsizetype(size) + 1, '\0');
    journal(buf.data(), FT_DWORD(buf.size()));
    buf.truncate(qsizetype(qstrlen(buf.constData())));
    return QString::fromLatin1(buf);
}

} // namespace

bool TSim::Start(const QString& config) {
    const QString lib = qEnvironmentVariable("PRAVEX_BIN_PRAVEX_D2XX_SIM");
    if (lib.isEmpty() || !QFileInfo::exists(lib))
        return false;
    // One file for the whole process: the simulator keeps watching the file it was first given.
    static const QString path = ScratchDir(QStringLiteral("sim")) + QStringLiteral("/adapters.conf");
    FPath = path;
    WriteTextFile(FPath, config);
    qputenv("PRAVEX_D2XX_SIM_CONFIG", QFile::encodeName(FPath));
    qputenv("PRAVEX_D2XX_LIBRARY", QFile::encodeName(lib));
    D2xxSelectBackend();
    if (D2xxBackendKindInUse() != D2xxBackendKind::Library)
        return false;
    // The library may stay loaded from an earlier test: make it read this test's file now.
    if (auto reload = simSymbol<int (*)()>("PravexSim_Reload"))
        reload();
    ClearJournal();
    return true;
}

void TSim::Change(const QString& config) {
    WriteTextFile(FPath, config);
    if (auto reload = simSymbol<int (*)()>("PravexSim_Reload"))
        reload();
}

void TSim::Rewrite(const QString& config) {
    WriteTextFile(FPath, config);
}

void TSim::ClearJournal() {
    if (auto clear = simSymbol<void (*)()>("PravexSim_ClearJournal"))
        clear();
}

QStringList TSim::Calls() const {
    QStringList out;
    for (const QString& line : journalText().split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        out << line.section(QLatin1Char(' '), 1);
    return out;
}

std::vector<double> TSim::Times() const {
    std::vector<double> out;
    for (const QString& line : journalText().split(QLatin1Char('\n'), Qt::SkipEmptyParts))
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
    auto ua = simSymbol<int (*)(const char*, FT_UCHAR*, FT_DWORD)>("PravexSim_UserArea");
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
