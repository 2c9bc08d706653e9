// Feeds arbitrary bytes to a StatusReadout the way the serial link frames them and checks what must hold
// whatever arrives. Shared by the randomized test and the libFuzzer target.
#pragma once

#include "readout_test_helpers.h"

#include <QByteArray>
#include <QString>

class ReadoutFuzzer {
public:
    ReadoutFuzzer();
    // Splits at CR, drops one leading LF per line, reads bytes as ISO-8859-1. Returns the first broken
    // invariant, or an empty text.
    QString feed(const QByteArray& bytes);
    void start() { m_readout.start(); }

    int validLines() const { return m_valid; }
    int garbageLines() const { return m_garbage; }
    const StatusReadout& readout() const { return m_readout; }

private:
    QString check(const QString& line);

    StatusReadout m_readout;
    ReadoutRecorder m_rec;
    int m_valid = 0;
    int m_garbage = 0;
};
