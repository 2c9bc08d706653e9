// Numbered lines ("... 123") counted as a reader takes them: the rate between the first and the last one
// timed, and how many went missing from the first one seen on (a reader may come in late).
#pragma once

#include <QString>
#include <chrono>
#include <cstdlib>
#include <string>

struct LineRate {
    double linesPerSecond = 0;
    long lost = 0;
};

inline long LineNumber(const QString& line) {
    return line.mid(line.lastIndexOf(QLatin1Char(' ')) + 1).toLong();
}
inline long LineNumber(const std::string& line) {
    return std::atol(line.c_str() + line.rfind(' ') + 1);
}

struct LineTally {
    using Clock = std::chrono::steady_clock;
    long count = 0;
    long first = 0;
    Clock::time_point t0, t1;

    // The line's number is read for the first line only, so the count costs the reader nothing more.
    template <class Line> void Add(const Line& line) {
        if (count++ == 0) {
            first = LineNumber(line);
            t0 = Clock::now();
        }
    }
    // The end of the timed span; a reader marks it after each line or after each read.
    void Mark() { t1 = Clock::now(); }
    LineRate Of(long total) const {
        LineRate r;
        const double seconds = std::chrono::duration<double>(t1 - t0).count();
        r.linesPerSecond = seconds > 0 ? double(count - 1) / seconds : 0;
        r.lost = count == 0 ? total : (total - first + 1) - count;
        return r;
    }
};
