// Window position store: a component that a window carries to keep its place and size between runs, in
// the per-user settings store or in an INI file beside the executable. Also the window base class whose
// show, close-query and destroy events components may take over while keeping the window's own handlers.
#pragma once

#include <QObject>
#include <QString>
#include <QWidget>
#include <functional>

class QCloseEvent;

using TNotifyEvent = std::function<void(QObject* Sender)>;
using TCloseQueryEvent = std::function<void(QObject* Sender, bool& CanClose)>;

// A top-level window with the three events of the class library's forms. Handlers are plain values so
// that a component can keep the current one and put its own in its place. A derived window calls
// DoDestroy() first in its destructor, so the destroy handlers still see the whole window.
class TTevForm : public QWidget {
    Q_OBJECT
public:
    explicit TTevForm(QWidget* parent = nullptr, Qt::WindowFlags flags = {});
    ~TTevForm() override;

    TNotifyEvent OnShow;
    TCloseQueryEvent OnCloseQuery;
    TNotifyEvent OnDestroy;

    // Asks the close-query handler, as a close by the user would; true when the window may close.
    bool CloseQuery();

    // The show handler runs here, before the native window is made or mapped: a place set then is where
    // the window manager puts the frame, while one set later (from the show event) places the inner area.
    void setVisible(bool visible) override;

protected:
    void closeEvent(QCloseEvent* event) override;
    void DoDestroy();

private:
    bool FDestroyed = false;
};

enum class TApplicationIniName { asAppIniName, asCustom };

inline const QString ApplicationExeIniName = QStringLiteral("[ApplicationExeName.ini]");

class TTevFormStorage : public QObject {
    Q_OBJECT
public:
    // The owner must be a window (a TTevForm); anything else throws std::invalid_argument.
    explicit TTevFormStorage(QObject* owner);
    ~TTevFormStorage() override;

    // Takes over the window's show, close-query and destroy handlers; call once the window is built.
    void Loaded();

    bool Active() const { return FActive; }
    void SetActive(bool value) { FActive = value; }
    bool UseRegistry() const { return FUseRegistry; }
    void SetUseRegistry(bool value) { FUseRegistry = value; }
    QString IniFileName() const { return FIniFileName; }
    void SetIniFileName(const QString& value);
    TApplicationIniName TypeIniName() const { return FTypeIniName; }
    void SetTypeIniName(TApplicationIniName value);
    QString AppRegKey() const { return FAppRegKey; }
    // The INI file the INI mode uses.
    QString IniPath() const;

    void RestorePos();
    // Throws std::runtime_error when the INI file cannot be written; the registry mode never reports.
    void SavePos();

    static bool IsWindowsAdmin();
    // The executable's name as the keys use it: its base name, without an ".exe" extension.
    static QString ExeKeyName(const QString& exePath);
    // The INI file derived from the executable: lower case, "ini" as extension, in the executable's folder.
    static QString DerivedIniName(const QString& exePath);

private:
    void FormShow(QObject* sender);
    void FormCloseQuery(QObject* sender, bool& canClose);
    void FormDestroy(QObject* sender);
    bool eventFilter(QObject* watched, QEvent* event) override;
    // Once the frame is known, what RestorePos could only guess: the inner size that gives the stored
    // outer size, and a centre for the outer size.
    void FitToFrame();
    int ReadValue(const QString& name, int defaultValue, bool* found = nullptr) const;
    void ReportFailure(const char* what) const;

    TTevForm* FMasterForm = nullptr;
    QString FAppRegKey;
    QString FIniFileName = ApplicationExeIniName;
    TApplicationIniName FTypeIniName = TApplicationIniName::asAppIniName;
    bool FActive = true;
    bool FUseRegistry = false;
    bool FLoaded = false;
    // Only a window shown in this run has a place worth keeping: one never shown would store where it
    // never was over the place the user left it.
    bool FShownThisRun = false;
    // Set by a restore made before the frame was known; cleared once FitToFrame has run or the window hides.
    bool FFitPending = false;
    QSize FOuterSize;      // stored outer size, or an invalid size when none was stored
    bool FCentreX = false; // no stored Left: centred
    bool FCentreY = false;
    TNotifyEvent FSaveFormShow;
    TCloseQueryEvent FSaveFormCloseQuery;
    TNotifyEvent FSaveFormDestroy;
};
