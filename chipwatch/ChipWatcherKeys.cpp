#include "ChipWatcherKeys.h"

#include "frmFTListU.h"

#include <QKeySequence>
#include <QLabel>
#include <QShortcut>

void SetUpChipWatcherKeys(TfrmFTList& watcher) {
    watcher.setAccessibleName(QStringLiteral("FTDI chip watcher"));
    watcher.Image2->setAccessibleName(QStringLiteral("Close"));
    watcher.imgSpinkaOFF->setAccessibleName(QStringLiteral("Pin: keep the window shown"));
    watcher.imgSpinkaON->setAccessibleName(QStringLiteral("Unpin: hide the window after a while"));
    auto* close = new QShortcut(QKeySequence(Qt::Key_Escape), &watcher);
    close->setContext(Qt::WindowShortcut);
    QObject::connect(close, &QShortcut::activated, &watcher, [&watcher] { watcher.Image2Click(); });
}
