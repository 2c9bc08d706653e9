// The simulator loaded as the D2XX layer's backend, its adapter file and its test hooks; linked only into
// tests that link pravex_ftdi.
#include "SimD2xx.h"

#include "../../ftdi/D2xxBackend.h"

#include <QFileInfo>

namespace simtest {

namespace {

QString& configPath() {
    static QString path;
    return path;
}

} // namespace

bool StartSimulator(const QString& config, QString* error) {
    const QString library = qEnvironmentVariable("PRAVEX_BIN_PRAVEX_D2XX_SIM");
    if (library.isEmpty() || !QFileInfo::exists(library)) {
        if (error)
            *error = QStringLiteral("simulator library not built: ") + library;
        return false;
    }
    if (configPath().isEmpty())
        configPath() = ScratchDir(QStringLiteral("sim")) + QStringLiteral("/adapters.conf");
    WriteFileAtomically(configPath(), config);
    qputenv("PRAVEX_D2XX_SIM_CONFIG", QFile::encodeName(configPath()));
    qputenv("PRAVEX_D2XX_LIBRARY", QFile::encodeName(library));
    if (!D2xxLoadLibrary(library, error))
        return false;
    // The library may stay loaded from an earlier test: make it read this test's file now.
    ReloadSimulator();
    ClearJournal();
    return true;
}

void ChangeSimulator(const QString& config) {
    RewriteSimulator(config);
    ReloadSimulator();
}

void RewriteSimulator(const QString& config) {
    WriteFileAtomically(configPath(), config);
}

QString SimulatorConfigPath() {
    return configPath();
}

bool ReloadSimulator() {
    auto reload = SimSymbol<int (*)()>("PravexSim_Reload");
    if (reload)
        reload();
    return reload != nullptr;
}

void ClearJournal() {
    if (auto clear = SimSymbol<void (*)()>("PravexSim_ClearJournal"))
        clear();
}

QString JournalText() {
    auto journal = SimSymbol<FT_DWORD (*)(char*, FT_DWORD)>("PravexSim_Journal");
    if (!journal)
        return {};
    QByteArray buf(qsizetype(journal(nullptr, 0)) + 1, '\0');
    journal(buf.data(), FT_DWORD(buf.size()));
    // The journal may have grown between the two calls: what was copied ends at the first NUL.
    return QString::fromLatin1(buf.constData());
}

void* SimSymbolAddress(const char* name) {
    return D2xxLibrarySymbol(name);
}

} // namespace simtest
