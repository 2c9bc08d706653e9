// The simulator as the layer's backend for tests, and its journal parsed into entries.
#include "d2xx_helpers.h"

#include <QRegularExpression>
#include <gtest/gtest.h>

namespace d2xxtest {

bool UseSimulator(const QString& configText, QString* configPath) {
    QString error;
    if (!simtest::StartSimulator(configText, &error)) {
        ADD_FAILURE() << error.toStdString();
        return false;
    }
    if (configPath)
        *configPath = simtest::SimulatorConfigPath();
    return true;
}

void ReloadSimulator(const QString& configPath, const QString& configText) {
    WriteFileAtomically(configPath, configText);
    ASSERT_TRUE(simtest::ReloadSimulator());
}

std::vector<JournalEntry> Journal() {
    std::vector<JournalEntry> entries;
    static const QRegularExpression field(QStringLiteral("(\\w+)=(\"[^\"]*\"|\\S+)"));
    for (const QString& line : JournalText().split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QStringList parts = line.split(QLatin1Char(' '));
        if (parts.size() < 2)
            continue;
        JournalEntry e;
        e.time = parts.at(0).toDouble();
        e.name = parts.at(1);
        auto it = field.globalMatch(line.section(QLatin1Char(' '), 2));
        while (it.hasNext()) {
            const auto m = it.next();
            QString value = m.captured(2);
            if (value.startsWith(QLatin1Char('"')))
                value = value.mid(1, value.size() - 2);
            e.args.insert(m.captured(1), value);
        }
        entries.push_back(e);
    }
    return entries;
}

std::vector<JournalEntry> JournalOf(const QString& name) {
    std::vector<JournalEntry> all = Journal();
    std::vector<JournalEntry> result;
    for (const JournalEntry& e : all)
        if (e.name == name)
            result.push_back(e);
    return result;
}

} // namespace d2xxtest
