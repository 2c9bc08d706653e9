// Arbitrary and mangled status lines, from a fixed seed: no exception, no crash, and the readout's
// invariants hold after every line (garbage logged as such and nothing else, chart x rising, CSV rows =
// header + valid lines).
// labels: unit
#include "readout_fuzz_helpers.h"

#include <gtest/gtest.h>
#include <random>

namespace {

QByteArray mangled(std::mt19937& rng) {
    static const QByteArray seeds[] = {"PVEX: 3.9V ON", "LBAT: 3.1V OFF", " PVEX : 4,2V   OFF", "PVEX:3.9 ON",
                                       "\0PVEX: 3.9V ON"};
    static const char alphabet[] = "PVEXLBATONF:0123456789.,- V\t\n\0\xff<>";
    QByteArray s = seeds[rng() % std::size(seeds)];
    const int edits = int(rng() % 4);
    for (int e = 0; e < edits; ++e) {
        const int at = s.isEmpty() ? 0 : int(rng() % s.size());
        const char c = alphabet[rng() % (sizeof alphabet - 1)];
        switch (rng() % 3) {
        case 0:
            s.insert(at, c);
            break;
        case 1:
            s.remove(at, 1);
            break;
        default:
            if (!s.isEmpty())
                s[at] = c;
        }
    }
    return s;
}

QByteArray randomBytes(std::mt19937& rng) {
    QByteArray s(int(rng() % 64), '\0');
    for (char& c : s)
        c = char(rng());
    return s;
}

} // namespace

TEST(ReadoutFuzz, ArbitraryLinesKeepTheInvariants) {
    std::mt19937 rng(20261209);
    ReadoutFuzzer fuzzer;
    for (int i = 0; i < 20000; ++i) {
        if (i % 5000 == 4999)
            fuzzer.start();
        const QByteArray input = (rng() % 3 == 0) ? randomBytes(rng) : mangled(rng);
        const QString broken = fuzzer.feed(input);
        ASSERT_TRUE(broken.isEmpty()) << qPrintable(broken) << " after input " << input.toHex().constData();
    }
    // Both kinds of line were really exercised.
    EXPECT_GT(fuzzer.validLines(), 1000);
    EXPECT_GT(fuzzer.garbageLines(), 1000);
}

TEST(ReadoutFuzz, LongAndNastyLines) {
    ReadoutFuzzer fuzzer;
    const QByteArray cases[] = {
        QByteArray(100000, ':'),
        "PVEX: " + QByteArray(5000, '9') + "V ON",
        "PVEX: " + QByteArray(300, '0') + "1V ON",
        "PVEX: 3.9V ON" + QByteArray(1000, ' '),
        QByteArray(1000, '\0'),
        "LBAT: 3.9V ON\nPVEX: 3.9V ON",
        "PVEX: -0V OFF",
    };
    for (const QByteArray& c : cases)
        EXPECT_TRUE(fuzzer.feed(c).isEmpty()) << c.left(40).toHex().constData();
}
