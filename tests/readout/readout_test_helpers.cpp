// The readout recorder's parts that need more than a line.
#include "readout_test_helpers.h"

#include <stdexcept>

void ReadoutRecorder::entryAdded(const QString& text, TColor colour) {
    if (failLog)
        throw std::runtime_error("log view gone");
    entries.append(text);
    colours.append(colour);
}
