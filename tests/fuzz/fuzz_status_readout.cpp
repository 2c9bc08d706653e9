// libFuzzer entry for the status-line readout: any bytes, framed as the serial link frames them, must
// leave the readout's invariants intact. Run: build/fuzz/tests/fuzz/fuzz_status_readout -max_total_time=60
#include "readout_fuzz_helpers.h"

#include <QApplication>
#include <cstdio>
#include <cstdlib>

namespace {
ReadoutFuzzer* fuzzer = nullptr;
}

// Font lookup keeps its caches for the life of the process; that is not ours to report.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig\nleak:libdbus\nleak:libglib\n";
}

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static QApplication app(*argc, *argv);
    static ReadoutFuzzer instance;
    fuzzer = &instance;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The first byte, when odd, starts a new session first.
    if (size > 0 && (data[0] & 1))
        fuzzer->start();
    const QString broken = fuzzer->feed(QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)));
    if (!broken.isEmpty()) {
        std::fprintf(stderr, "invariant broken: %s\n", qPrintable(broken));
        std::abort();
    }
    return 0;
}
