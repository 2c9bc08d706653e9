// Helpers of the chip watcher tests.
#include "chip_helpers.h"

#include "common/SettingsStore.h"

#include <QCoreApplication>
#include <QDir>
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

QStringList JournalOf(const QStringList& names) {
    QStringList out;
    for (const QString& line : simtest::JournalText().split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
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
