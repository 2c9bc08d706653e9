// Port enumeration from /sys/class/tty: a port is an entry backed by a real device (a "device" link).
// The kernel registers every possible 8250 port (ttyS0..ttyS31); only those whose UART was found
// (type not 0, PORT_UNKNOWN) are real, the rest fail when opened.
#include "EnumComPorts.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>

namespace {

bool Is8250WithoutUart(const QString& entryPath) {
    QFile type(entryPath + QStringLiteral("/type"));
    if (!type.open(QIODevice::ReadOnly))
        return false;
    return type.readAll().trimmed() == "0";
}

} // namespace

void EnumComPorts(QStringList& target, const QString& sysClassTty) {
    const QString root = sysClassTty.isEmpty() ? QStringLiteral("/sys/class/tty") : sysClassTty;
    QStringList ports;
    const QDir dir(root);
    for (const QString& name : dir.entryList(QDir::Dirs | QDir::System | QDir::NoDotAndDotDot)) {
        const QString entry = root + QLatin1Char('/') + name;
        if (!QFileInfo::exists(entry + QStringLiteral("/device")))
            continue;
        if (Is8250WithoutUart(entry))
            continue;
        const QString trimmed = name.trimmed();
        if (!trimmed.isEmpty())
            ports.append(trimmed);
    }
    std::sort(ports.begin(), ports.end(),
              [](const QString& a, const QString& b) { return a.compare(b, Qt::CaseInsensitive) < 0; });
    target = ports;
}
