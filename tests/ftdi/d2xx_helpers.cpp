// The simulator as the layer's backend for tests, and its journal parsed into entries.
#include "d2xx_helpers.h"

#include "D2xxBackend.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QThread>
#include <QUuid>
#include <gtest/gtest.h>

namespace d2xxtest {

bool WaitFor(const std::function<bool()>& pred, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!pred()) {
        if (deadline.hasExpired())
            return pred();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

QString TestDir(const QString& name) {
    QString base = qEnvironmentVariable("PRAVEX_TEST_TMP");
    if (base.isEmpty())
        base = QDir::tempPath() + QStringLiteral("/pravex-d2xx-tests");
    const QString dir = base + QLatin1Char('/') + name + QLatin1Char('-') +
                        QUuid::createUuid().toString(QUuid::WithoutBraces);
    QDir().mkpath(dir);
    return dir;
}

void WriteFileAtomically(const QString& path, const QString& text) {
    const QString temp = path + QStringLiteral(".part");
    QFile file(temp);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text.toUtf8());
    file.close();
    ASSERT_TRUE(std::rename(QFile::encodeName(temp).constData(), QFile::encodeName(path).constData()) == 0);
}

bool UseSimulator(const QString& configText, QString* configPath) {
    const QString library = qEnvironmentVariable("PRAVEX_BIN_PRAVEX_D2XX_SIM");
    if (library.isEmpty() || !QFileInfo::exists(library)) {
        ADD_FAILURE() << "simulator library not built: " << library.toStdString();
        return false;
    }
    const QString path = TestDir(QStringLiteral("sim")) + QStringLiteral("/adapters.conf");
    WriteFileAtomically(path, configText);
    qputenv("PRAVEX_D2XX_SIM_CONFIG", QFile::encodeName(path));
    QString error;
    if (!D2xxLoadLibrary(library, &error)) {
        ADD_FAILURE() << error.toStdString();
        return false;
    }
    auto reload = reinterpret_cast<int (*)()>(D2xxLibrarySymbol("PravexSim_Reload"));
    if (reload)
        reload();
    ClearJournal();
    if (configPath)
        *configPath = path;
    return true;
}

void ReloadSimulator(const QString& configPath, const QString& configText) {
    WriteFileAtomically(configPath, configText);
    auto reload = reinterpret_cast<int (*)()>(D2xxLibrarySymbol("PravexSim_Reload"));
    ASSERT_TRUE(reload != nullptr);
    reload();
}

QString JournalText() {
    auto journal =
        reinterpret_cast<std::uint32_t (*)(char*, std::uint32_t)>(D2xxLibrarySymbol("PravexSim_Journal"));
    if (!journal)
        return QString();
    const std::uint32_t size = journal(nullptr, 0);
    QByteArray bytes(int(size) + 1, '\0');
    journal(bytes.data(), std::uint32_t(bytes.size()));
    bytes.truncate(int(size));
    return QString::fromLatin1(bytes);
}

std::vector<JournalEntry> Journal() {
    std::vector<JournalEntry> entries;
    static const QRegularExpression field(QStringLiteral("(\\w+)=(\"[^\"]*\"|\\S+)"));
    for (const QString& line : JournalText().split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QStringList parts = line.split(QLatin1Char(' '));
        if (parts.size() < 2)
            continue;
        JournalEntry e;
        e.time = parts.at(0).toDouble();
        e.name = parts.at(1);
        auto it = field.globalMatch(line.section(QLatin1Char(' '), 2));
        while (it.hasNext()) {
            const auto m = it.next();
            QString value = m.captured(2);
            if (value.startsWith(QLatin1Char('"')))
                value = value.mid(1, value.size() - 2);
            e.args.insert(m.captured(1), value);
        }
        entries.push_back(e);
    }
    return entries;
}

std::vector<JournalEntry> JournalOf(const QString& name) {
    std::vector<JournalEntry> all = Journal();
    std::vector<JournalEntry> result;
    for (const JournalEntry& e : all)
        if (e.name == name)
            result.push_back(e);
    return result;
}

void ClearJournal() {
    auto clear = reinterpret_cast<void (*)()>(D2xxLibrarySymbol("PravexSim_ClearJournal"));
    if (clear)
        clear();
}

} // namespace d2xxtest
