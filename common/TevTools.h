// Shared helpers of the monitor and its components: per-user settings values, the coloured log append,
// a message-pumping delay, a silent check box and window z-order. All of them belong on the GUI thread.
#pragma once

#include <QColor>
#include <QString>
#include <cstdint>

class QCheckBox;
class QTextEdit;
class QWidget;

// Window-system colour as 0xBBGGRR (blue in the high byte), the form the stored settings and captions use.
using TColor = std::uint32_t;

inline QColor toQColor(TColor c) {
    return QColor(int(c & 0xFF), int((c >> 8) & 0xFF), int((c >> 16) & 0xFF));
}
inline TColor toTColor(const QColor& c) {
    return TColor(c.red()) | (TColor(c.green()) << 8) | (TColor(c.blue()) << 16);
}

// Font style set of a log line.
enum TFontStyle : unsigned { fsBold = 1, fsItalic = 2, fsUnderline = 4, fsStrikeOut = 8 };
using TFontStyles = unsigned;

// Root of a key path. Only the current user's branch exists on Linux; the argument stays so that callers
// read as they would against a registry.
enum class HKEY { CurrentUser, LocalMachine };
inline constexpr HKEY HKEY_CURRENT_USER = HKEY::CurrentUser;
inline constexpr HKEY HKEY_LOCAL_MACHINE = HKEY::LocalMachine;

// How long the value helpers wait while another program holds the settings store. They run on the GUI
// thread, so the wait is short (200 ms) and a value that cannot be had in that time is a failure as any
// other; an instance of this class allows a longer wait on this thread while it lives (saves at shutdown).
class TRegBusyWait {
public:
    explicit TRegBusyWait(int milliseconds);
    ~TRegBusyWait();
    TRegBusyWait(const TRegBusyWait&) = delete;
    TRegBusyWait& operator=(const TRegBusyWait&) = delete;
    static constexpr int InteractiveMs = 200;

private:
    int FPrevious;
};

// Reads give the default on any failure; writes return whether the value was stored. Nothing is reported.
QString RegReadString(const QString& valueName, const QString& defaultValue, const QString& keyPath,
                      HKEY root = HKEY_CURRENT_USER);
int RegReadInteger(const QString& valueName, int defaultValue, const QString& keyPath,
                   HKEY root = HKEY_CURRENT_USER);
bool RegReadBool(const QString& valueName, bool defaultValue, const QString& keyPath,
                 HKEY root = HKEY_CURRENT_USER);
bool RegWriteString(const QString& valueName, const QString& value, const QString& keyPath,
                    HKEY root = HKEY_CURRENT_USER);
bool RegWriteInteger(const QString& valueName, int value, const QString& keyPath,
                     HKEY root = HKEY_CURRENT_USER);
bool RegWriteBool(const QString& valueName, bool value, const QString& keyPath,
                  HKEY root = HKEY_CURRENT_USER);

// Appends one line with its own attributes; keeps the view at most 401 lines. The text is always plain text.
void AddColoredLine(QTextEdit* view, const QString& text, int length, TColor colour, TFontStyles style,
                    const QString& fontName, int size);
void RichEditScrollToEnd(QTextEdit* view);
void SetCheckedSilently(QCheckBox* box, bool checked);
void DelayProcessMessages(int milliseconds);
bool SetWindowTopmost(QWidget* window, bool topmost, bool activate);
