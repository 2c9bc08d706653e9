// The message box behind ShowApplicationError, and the switch tests use to collect the texts instead.
#include "FormStorage_AppError.h"

#include <QApplication>
#include <QMessageBox>

namespace {
TApplicationErrorHandler& handlerSlot() {
    static TApplicationErrorHandler handler;
    return handler;
}
} // namespace

void ShowApplicationError(const QString& text) {
    if (auto& handler = handlerSlot()) {
        handler(text);
        return;
    }
    QMessageBox::critical(QApplication::activeWindow(), QApplication::applicationName(), text);
}

TApplicationErrorHandler SetApplicationErrorHandler(TApplicationErrorHandler handler) {
    auto& slot = handlerSlot();
    auto previous = std::move(slot);
    slot = std::move(handler);
    return previous;
}
