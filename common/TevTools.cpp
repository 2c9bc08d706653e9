// The shared helpers: settings values over the per-user store, the coloured log append, a delay that
// keeps the event loop running, a silent check box and the topmost window flag.
#include "TevTools.h"

#include "SettingsStore.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>
#include <QThread>
#include <QTimer>
#include <QWidget>
#include <QWindow>
#include <algorithm>

using pravex::SettingsStore;
using pravex::StoredValue;
using pravex::StoreStatus;

namespace {
thread_local int t_busyWaitMs = TRegBusyWait::InteractiveMs;
} // namespace

TRegBusyWait::TRegBusyWait(int milliseconds) : FPrevious(t_busyWaitMs) {
    t_busyWaitMs = milliseconds;
}

TRegBusyWait::~TRegBusyWait() {
    t_busyWaitMs = FPrevious;
}

namespace {

// Only the current user's branch exists here; another root has no values and takes no writes.
bool usable(const QString& valueName, const QString& keyPath, HKEY root) {
    return root == HKEY_CURRENT_USER && !valueName.isEmpty() &&
           !SettingsStore::normalizeKey(keyPath).isEmpty();
}

bool readValue(const QString& valueName, const QString& keyPath, HKEY root, StoredValue* out) {
    if (!usable(valueName, keyPath, root))
        return false;
    try {
        SettingsStore store;
        store.setBusyTimeout(t_busyWaitMs);
        return store.read(keyPath, valueName, out) == StoreStatus::Ok;
    } catch (...) {
        return false;
    }
}

bool writeValue(const QString& valueName, const QString& keyPath, HKEY root, const StoredValue& value) {
    if (!usable(valueName, keyPath, root))
        return false;
    try {
        SettingsStore store;
        store.setBusyTimeout(t_busyWaitMs);
        return store.write(keyPath, valueName, value);
    } catch (...) {
        return false;
    }
}

// Decimal text of a 32-bit integer, optionally signed; nothing else around it.
bool parseInteger(const QString& text, int* value) {
    qsizetype i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == QLatin1Char('-') || text[i] == QLatin1Char('+')))
        negative = text[i++] == QLatin1Char('-');
    if (i == text.size())
        return false;
    long long v = 0;
    for (; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
        v = v * 10 + (c.unicode() - '0');
        if (v > 2147483648LL)
            return false;
    }
    if (negative)
        v = -v;
    if (v > 2147483647LL)
        return false;
    *value = int(v);
    return true;
}

} // namespace

QString RegReadString(const QString& valueName, const QString& defaultValue, const QString& keyPath,
                      HKEY root) {
    StoredValue v;
    if (readValue(valueName, keyPath, root, &v) && v.type == StoredValue::String)
        return v.text;
    return defaultValue;
}

int RegReadInteger(const QString& valueName, int defaultValue, const QString& keyPath, HKEY root) {
    StoredValue v;
    int result = defaultValue;
    if (readValue(valueName, keyPath, root, &v) && v.type == StoredValue::String &&
        parseInteger(v.text, &result))
        return result;
    return defaultValue;
}

bool RegReadBool(const QString& valueName, bool defaultValue, const QString& keyPath, HKEY root) {
    StoredValue v;
    if (readValue(valueName, keyPath, root, &v) && v.type == StoredValue::DWord)
        return v.dword != 0;
    return defaultValue;
}

bool RegWriteString(const QString& valueName, const QString& value, const QString& keyPath, HKEY root) {
    return writeValue(valueName, keyPath, root, StoredValue::ofString(value));
}

bool RegWriteInteger(const QString& valueName, int value, const QString& keyPath, HKEY root) {
    return writeValue(valueName, keyPath, root, StoredValue::ofString(QString::number(value)));
}

bool RegWriteBool(const QString& valueName, bool value, const QString& keyPath, HKEY root) {
    return writeValue(valueName, keyPath, root, StoredValue::ofDWord(value ? 1 : 0));
}

namespace {

// Lines as the log counts them: an empty view has none, otherwise one per text block.
int lineCount(const QTextDocument* doc) {
    return doc->isEmpty() ? 0 : doc->blockCount();
}

// The text goes in as characters only. Line breaks would split one device line into several log lines,
// and the document's own frame markers would corrupt its structure; they become visible symbols.
QString plainLine(const QString& text) {
    QString out = text;
    for (QChar& c : out) {
        const char16_t u = c.unicode();
        if ((u < 0x20 && u != u'\t') || u == 0x7F)
            c = QChar(u == 0x7F ? char16_t(0x2421) : char16_t(0x2400 + u));
        else if (u == 0x2028 || u == 0x2029)
            c = QChar(0x2424);
        else if (u == 0xFDD0 || u == 0xFDD1 || u == 0xFFFC)
            c = QChar(QChar::ReplacementCharacter);
    }
    return out;
}

QTextCharFormat lineFormat(TColor colour, TFontStyles style, const QString& fontName, int size) {
    QTextCharFormat f;
    f.setForeground(toQColor(colour));
    f.setFontWeight((style & fsBold) ? QFont::Bold : QFont::Normal);
    f.setFontItalic(style & fsItalic);
    f.setFontUnderline(style & fsUnderline);
    f.setFontStrikeOut(style & fsStrikeOut);
    if (!fontName.isEmpty())
        f.setFontFamilies({fontName});
    if (size > 0)
        f.setFontPointSize(size);
    return f;
}

} // namespace

void AddColoredLine(QTextEdit* view, const QString& text, int length, TColor colour, TFontStyles style,
                    const QString& fontName, int size) {
    if (!view)
        return;
    QTextDocument* doc = view->document();
    // A log keeps no undo history: it would grow without bound.
    doc->setUndoRedoEnabled(false);
    const bool updates = view->updatesEnabled();
    view->setUpdatesEnabled(false);
    QTextCursor cursor(doc);
    struct Finish {
        QTextEdit* view;
        QTextCursor& cursor;
        bool updates;
        ~Finish() {
            cursor.endEditBlock();
            view->setUpdatesEnabled(updates);
            RichEditScrollToEnd(view);
        }
    } finish{view, cursor, updates};
    cursor.beginEditBlock();

    if (lineCount(doc) > 400) {
        // The 50 oldest lines go in one cut.
        cursor.movePosition(QTextCursor::Start);
        cursor.setPosition(doc->findBlockByNumber(50).position(), QTextCursor::KeepAnchor);
        cursor.removeSelectedText();
    }

    const QString line = plainLine(text);
    cursor.movePosition(QTextCursor::End);
    if (!doc->isEmpty())
        cursor.insertBlock(QTextBlockFormat(), QTextCharFormat());
    else
        cursor.setCharFormat(QTextCharFormat());
    const qsizetype formatted = (length <= 0 || length > line.size()) ? line.size() : length;
    // The new line's attributes owe nothing to the line before it: the unformatted rest is plain.
    cursor.insertText(line.left(formatted), lineFormat(colour, style, fontName, size));
    if (formatted < line.size())
        cursor.insertText(line.mid(formatted), QTextCharFormat());
}

void RichEditScrollToEnd(QTextEdit* view) {
    if (!view)
        return;
    QTextCursor end(view->document());
    end.movePosition(QTextCursor::End);
    view->setTextCursor(end);
    view->ensureCursorVisible();
    // The caret in view can still leave the bottom margin hidden; a log shows its very end.
    if (QScrollBar* bar = view->verticalScrollBar())
        bar->setValue(bar->maximum());
}

void SetCheckedSilently(QCheckBox* box, bool checked) {
    if (!box)
        return;
    const QSignalBlocker block(box);
    box->setChecked(checked);
}

void DelayProcessMessages(int milliseconds) {
    QElapsedTimer clock;
    clock.start();
    if (!QCoreApplication::instance()) {
        if (milliseconds > 0)
            QThread::msleep(milliseconds);
        return;
    }
    // Pending events run at least once, also for 0 ms; then the thread sleeps in a nested loop that a
    // timer ends, so the wait costs no CPU while every event keeps being dispatched.
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    for (qint64 left = milliseconds - clock.elapsed(); left > 0; left = milliseconds - clock.elapsed()) {
        QEventLoop loop;
        QTimer timer;
        timer.setSingleShot(true);
        timer.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
        timer.start(int(left));
        // A quitting application refuses new loops; sleep in small steps then, rather than spin.
        loop.exec(QEventLoop::AllEvents);
        if (timer.isActive())
            QThread::msleep(std::min<qint64>(left, 10));
    }
}

bool SetWindowTopmost(QWidget* window, bool topmost, bool activate) {
    if (!window)
        return false;
    window = window->window();
    Qt::WindowFlags flags = window->windowFlags();
    flags.setFlag(Qt::WindowStaysOnTopHint, topmost);
    if (flags != window->windowFlags()) {
        if (window->isVisible() && window->windowHandle()) {
            // QWidget::setWindowFlags would hide the window and show it again, which moves and activates
            // it; the native window changes its band in place.
            window->overrideWindowFlags(flags);
            window->windowHandle()->setFlags(flags);
        } else {
            window->setWindowFlags(flags);
        }
    }
    if (activate && window->isVisible()) {
        window->raise();
        window->activateWindow();
    }
    return true;
}
