// The readout recorder's parts that need more than a line.
#include "readout_test_helpers.h"

#include <QTextBlock>
#include <stdexcept>

QTextEdit* ReadoutRecorder::logView() {
    if (failLog)
        throw std::runtime_error("log view gone");
    return toolsWindow ? view.get() : nullptr;
}

QString ReadoutRecorder::lastLog() const {
    return logLines() ? view->document()->lastBlock().text() : QString();
}
