// Helpers of the chip watcher tests.
#include "chip_helpers.h"

#include "common/SettingsStore.h"

#include "ftdi/D2xxBackend.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QTimer>

void FillWatcher(TTevFT232a& watcher, const std::vector<TAdapterRow>& adapters) {
    watcher.FListCount = int(adapters.size());
    watcher.FActiveSerial.clear();
    for (std::size_t i = 0; i < adapters.size() && i < watcher.FTOrvakDefListFlags.size(); ++i) {
        TRFTOrvakDefListFlags& r = watcher.FTOrvakDefListFlags[i];
        r = TRFTOrvakDefListFlags{};
        r.SerialNumber = adapters[i].serial;
        r.ComPort = adapters[i].port;
        r.Active = adapters[i].active;
        r.Description = adapters[i].description;
        r.OrvakDesc = adapters[i].orvak;
        r.chip = adapters[i].chip;
        r.DeviceType = 5;
        r.OrvakOkFlag = 32;
        if (r.Active == 0)
            watcher.FActiveSerial = r.SerialNumber;
    }
}

void Report(TTevFT232a& watcher) {
    ShowChipWatcher(&watcher, watcher.FTOrvakDefListFlags, watcher.FListCount, watcher.FActiveSerial);
}

void FinishFadeIn(TfrmFTList* form) {
    for (int i = 0; i < 200 && form->Timer1->isActive() && form->Timer1Tag == 0; ++i)
        form->Timer1Timer();
}

void StopTimers(TfrmFTList* form) {
    for (QTimer* t : {form->Timer1, form->Timer2, form->Timer3, form->Timer4})
        t->stop();
}

void DestroyChipWatcher() {
    if (frmFTList)
        frmFTList->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

QString ArtefactPath(const QString& name) {
    QString dir = qEnvironmentVariable("PRAVEX_ARTEFACTS");
    if (dir.isEmpty())
        dir = QDir::tempPath();
    QDir().mkpath(dir);
    return QDir(dir).filePath(name);
}

void ClearSettings() {
    pravex::SettingsStore().deleteKey(QStringLiteral("Software"));
}

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

namespace {

QString gSimConfig;

template <class F> F SimSymbol(const char* name) {
    return reinterpret_cast<F>(D2xxLibrarySymbol(name));
}

void WriteConfig(const QString& text) {
    // Whole-file replacement: the simulator may be reading the old one.
    const QString tmp = gSimConfig + QStringLiteral(".new");
    QFile f(tmp);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(text.toUtf8());
    f.close();
    ::rename(QFile::encodeName(tmp).constData(), QFile::encodeName(gSimConfig).constData());
}

} // namespace

bool StartSimulator(const QString& config) {
    const QString lib = qEnvironmentVariable("PRAVEX_BIN_PRAVEX_D2XX_SIM");
    if (lib.isEmpty() || !QFileInfo::exists(lib))
        return false;
    QString dir = qEnvironmentVariable("PRAVEX_TEST_TMP");
    if (dir.isEmpty())
        dir = QDir::tempPath() + QStringLiteral("/pravex-chipwatch-tests");
    QDir().mkpath(dir);
    gSimConfig = QDir(dir).filePath(QStringLiteral("adapters.conf"));
    WriteConfig(config);
    qputenv("PRAVEX_D2XX_SIM_CONFIG", QFile::encodeName(gSimConfig));
    qputenv("PRAVEX_D2XX_LIBRARY", QFile::encodeName(lib));
    D2xxSelectBackend();
    if (D2xxBackendKindInUse() != D2xxBackendKind::Library)
        return false;
    if (auto reload = SimSymbol<int (*)()>("PravexSim_Reload"))
        reload();
    ClearJournal();
    return true;
}

void ChangeSimulator(const QString& config) {
    WriteConfig(config);
    if (auto reload = SimSymbol<int (*)()>("PravexSim_Reload"))
        reload();
}

void ClearJournal() {
    if (auto clear = SimSymbol<void (*)()>("PravexSim_ClearJournal"))
        clear();
}

QStringList JournalOf(const QStringList& names) {
    auto journal = SimSymbol<unsigned (*)(char*, unsigned)>("PravexSim_Journal");
    if (!journal)
        return {};
    QByteArray buf(qsizetype(journal(nullptr, 0)) + 1, '\0');
    journal(buf.data(), unsigned(buf.size()));
    QStringList out;
    for (const QString& line :
         QString::fromLatin1(buf.constData()).split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QString call = line.section(QLatin1Char(' '), 1);
        if (names.contains(call.section(QLatin1Char(' '), 0, 0)))
            out << call;
    }
    return out;
}

QString SimAdapter(const QString& serial, const QString& tty) {
    return QStringLiteral("[adapter]\nserial = \"%1\"\ndescription = \"Desc %1\"\ntty = %2\n\n")
        .arg(serial, tty);
}
