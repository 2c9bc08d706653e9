// The window base class with take-over-able events, and the window position store on top of it: four
// integers per window, in the settings store under the executable's and the window's name, or in an INI file.
#include "TevFormStorage.h"

#include "FormStorage_AppError.h"
#include "TevTools.h"
#include "WindowPlaceFit.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFileInfo>
#include <QGuiApplication>
#include <QScreen>
#include <QSettings>
#include <QShowEvent>
#include <QWindow>
#include <stdexcept>

TTevForm::TTevForm(QWidget* parent, Qt::WindowFlags flags) : QWidget(parent, flags | Qt::Window) {}

TTevForm::~TTevForm() {
    DoDestroy();
}

void TTevForm::DoDestroy() {
    if (FDestroyed)
        return;
    FDestroyed = true;
    if (OnDestroy)
        OnDestroy(this);
}

bool TTevForm::CloseQuery() {
    bool canClose = true;
    if (OnCloseQuery)
        OnCloseQuery(this, canClose);
    return canClose;
}

void TTevForm::setVisible(bool visible) {
    // A window coming back from the task bar does not pass here: it is not shown anew.
    if (visible && !isVisible() && OnShow)
        OnShow(this);
    QWidget::setVisible(visible);
}

void TTevForm::closeEvent(QCloseEvent* event) {
    event->setAccepted(CloseQuery());
}

TTevFormStorage::TTevFormStorage(QObject* owner) : QObject(owner) {
    auto* form = qobject_cast<TTevForm*>(owner);
    if (!form)
        throw std::invalid_argument("TTevFormStorage must be owned by a window");
    FMasterForm = form;
    FAppRegKey = QStringLiteral("\\Software\\") + ExeKeyName(QCoreApplication::applicationFilePath()) +
                 QStringLiteral("\\") + form->objectName();
    if (!IsWindowsAdmin())
        FUseRegistry = true;
}

TTevFormStorage::~TTevFormStorage() {
    // Once the window has run its destroy handlers its events are no longer ours to give back.
    if (FLoaded && FMasterForm) {
        FMasterForm->OnShow = std::move(FSaveFormShow);
        FMasterForm->OnCloseQuery = std::move(FSaveFormCloseQuery);
        FMasterForm->OnDestroy = std::move(FSaveFormDestroy);
    }
}

void TTevFormStorage::Loaded() {
    if (FLoaded || !FMasterForm)
        return;
    FLoaded = true;
    FSaveFormShow = std::move(FMasterForm->OnShow);
    FSaveFormCloseQuery = std::move(FMasterForm->OnCloseQuery);
    FSaveFormDestroy = std::move(FMasterForm->OnDestroy);
    FMasterForm->OnShow = [this](QObject* s) { FormShow(s); };
    FMasterForm->OnCloseQuery = [this](QObject* s, bool& c) { FormCloseQuery(s, c); };
    FMasterForm->OnDestroy = [this](QObject* s) { FormDestroy(s); };
    FMasterForm->installEventFilter(this);
}

void TTevFormStorage::SetIniFileName(const QString& value) {
    if (value.trimmed() != ApplicationExeIniName)
        FTypeIniName = TApplicationIniName::asCustom;
    if (FTypeIniName == TApplicationIniName::asCustom)
        FIniFileName = value;
    else
        FIniFileName = DerivedIniName(QCoreApplication::applicationFilePath());
}

void TTevFormStorage::SetTypeIniName(TApplicationIniName value) {
    FTypeIniName = value;
    if (value == TApplicationIniName::asAppIniName)
        SetIniFileName(ApplicationExeIniName);
}

QString TTevFormStorage::ExeKeyName(const QString& exePath) {
    QString name = QFileInfo(exePath).fileName();
    if (name.endsWith(QStringLiteral(".exe"), Qt::CaseInsensitive))
        name.chop(4);
    return name;
}

QString TTevFormStorage::DerivedIniName(const QString& exePath) {
    const QFileInfo info(exePath);
    QString name = info.fileName().toLower();
    if (name.endsWith(QStringLiteral(".exe")))
        name.chop(3);
    else
        name += QLatin1Char('.');
    return info.absolutePath() + QLatin1Char('/') + name + QStringLiteral("ini");
}

QString TTevFormStorage::IniPath() const {
    // The placeholder stands for the derived name; left as it is, it would become a file of that odd name
    // in whatever folder the program was started from.
    return FIniFileName == ApplicationExeIniName ? DerivedIniName(QCoreApplication::applicationFilePath())
                                                 : FIniFileName;
}

namespace {
// The store's helpers take key paths relative to the root.
QString relativeKey(const QString& key) {
    QString k = key;
    while (k.startsWith(QLatin1Char('\\')))
        k.remove(0, 1);
    return k;
}
} // namespace

int TTevFormStorage::ReadValue(const QString& name, int defaultValue, bool* found) const {
    bool ok = false;
    int value = 0;
    if (FUseRegistry) {
        value = RegReadString(name, QString(), relativeKey(FAppRegKey), HKEY_CURRENT_USER).toInt(&ok);
    } else {
        QSettings ini(IniPath(), QSettings::IniFormat);
        value =
            ini.value(FMasterForm->objectName() + QLatin1Char('/') + name).toString().trimmed().toInt(&ok);
    }
    if (found)
        *found = ok;
    return ok ? value : defaultValue;
}

void TTevFormStorage::RestorePos() {
    if (!FMasterForm)
        return;
    TTevForm* f = FMasterForm;
    // Stored sizes are outer sizes. The frame's share is known once the window has been mapped; before
    // that it counts as none, and FitToFrame makes up the difference when the frame appears.
    const QSize frameExtra = f->frameGeometry().size() - f->geometry().size();
    bool haveWidth = false;
    bool haveHeight = false;
    bool haveTop = false;
    bool haveLeft = false;
    const int width = ReadValue(QStringLiteral("Width"), f->frameGeometry().width(), &haveWidth);
    const int height = ReadValue(QStringLiteral("Height"), f->frameGeometry().height(), &haveHeight);
    f->resize(width - frameExtra.width(), height - frameExtra.height());
    const QScreen* screen = QGuiApplication::primaryScreen();
    const QSize screenSize = screen ? screen->geometry().size() : QSize(0, 0);
    const QSize outer = f->size() + frameExtra;
    const int top = ReadValue(QStringLiteral("Top"), (screenSize.height() - outer.height()) / 2, &haveTop);
    const int left = ReadValue(QStringLiteral("Left"), (screenSize.width() - outer.width()) / 2, &haveLeft);
    // A place left behind by a screen that is gone would open where nobody can reach the window.
    const QRect place = FitWindowPlace(QRect(QPoint(left, top), outer), CurrentScreenAreas());
    if (place.size() != outer)
        f->resize(place.size() - frameExtra);
    // A window's position is its frame's (before the native window exists, QWidget::move records it so).
    f->move(place.topLeft());
    FFitPending = frameExtra.isNull();
    FOuterSize = QSize(haveWidth ? place.width() : -1, haveHeight ? place.height() : -1);
    FCentreX = !haveLeft;
    FCentreY = !haveTop;
}

void TTevFormStorage::FitToFrame() {
    TTevForm* f = FMasterForm;
    const QSize frameExtra = f->frameGeometry().size() - f->geometry().size();
    if (!FFitPending || frameExtra.isNull())
        return;
    FFitPending = false;
    QSize inner = f->size();
    if (FOuterSize.width() >= 0)
        inner.setWidth(FOuterSize.width() - frameExtra.width());
    if (FOuterSize.height() >= 0)
        inner.setHeight(FOuterSize.height() - frameExtra.height());
    if (inner != f->size())
        f->resize(inner);
    if (FCentreX || FCentreY) {
        const QScreen* screen = QGuiApplication::primaryScreen();
        const QSize screenSize = screen ? screen->geometry().size() : QSize(0, 0);
        const QSize outer = f->size() + frameExtra;
        QPoint at = f->pos();
        if (FCentreX)
            at.setX((screenSize.width() - outer.width()) / 2);
        if (FCentreY)
            at.setY((screenSize.height() - outer.height()) / 2);
        if (at != f->pos())
            f->move(at);
    }
}

bool TTevFormStorage::eventFilter(QObject* watched, QEvent* event) {
    // The window manager's frame shows up as a move or a resize of the inner area once it is mapped.
    if (watched == FMasterForm && FFitPending) {
        switch (event->type()) {
        case QEvent::Move:
        case QEvent::Resize:
            FitToFrame();
            break;
        case QEvent::Hide:
            FFitPending = false;
            break;
        default:
            break;
        }
    }
    return QObject::eventFilter(watched, event);
}

void TTevFormStorage::SavePos() {
    if (!FMasterForm)
        return;
    const QRect frame = FMasterForm->frameGeometry();
    if (FUseRegistry) {
        // Places are saved as a window closes, mostly at shutdown: worth a longer wait than a click's.
        const TRegBusyWait patient(5000);
        const QString key = relativeKey(FAppRegKey);
        RegWriteString(QStringLiteral("Width"), QString::number(frame.width()), key, HKEY_CURRENT_USER);
        RegWriteString(QStringLiteral("Height"), QString::number(frame.height()), key, HKEY_CURRENT_USER);
        RegWriteString(QStringLiteral("Top"), QString::number(frame.y()), key, HKEY_CURRENT_USER);
        RegWriteString(QStringLiteral("Left"), QString::number(frame.x()), key, HKEY_CURRENT_USER);
        return;
    }
    QSettings ini(IniPath(), QSettings::IniFormat);
    const QString section = FMasterForm->objectName() + QLatin1Char('/');
    ini.setValue(section + QStringLiteral("Top"), frame.y());
    ini.setValue(section + QStringLiteral("Left"), frame.x());
    ini.setValue(section + QStringLiteral("Width"), frame.width());
    ini.setValue(section + QStringLiteral("Height"), frame.height());
    ini.sync();
    if (ini.status() != QSettings::NoError)
        throw std::runtime_error("Cannot write the window position to " + IniPath().toStdString());
}

void TTevFormStorage::ReportFailure(const char* what) const {
    ShowApplicationError(QString::fromUtf8(what));
}

void TTevFormStorage::FormShow(QObject* sender) {
    FShownThisRun = true;
    if (FActive) {
        try {
            RestorePos();
        } catch (const std::exception& e) {
            ReportFailure(e.what());
        }
    }
    if (FSaveFormShow)
        FSaveFormShow(sender);
}

void TTevFormStorage::FormCloseQuery(QObject* sender, bool& canClose) {
    if (FSaveFormCloseQuery)
        FSaveFormCloseQuery(sender, canClose);
    if (canClose && FMasterForm && FMasterForm->windowHandle() && FActive && FShownThisRun) {
        try {
            SavePos();
        } catch (const std::exception& e) {
            ReportFailure(e.what());
        }
    }
}

void TTevFormStorage::FormDestroy(QObject* sender) {
    if (FActive && FShownThisRun) {
        try {
            SavePos();
        } catch (const std::exception& e) {
            ReportFailure(e.what());
        }
    }
    if (FSaveFormDestroy)
        FSaveFormDestroy(sender);
    // The window is going: its handler slots must not be written from here on.
    FLoaded = false;
}
