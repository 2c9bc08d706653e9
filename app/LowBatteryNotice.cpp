#include "LowBatteryNotice.h"

#include "ProgramVersion.h"
#include "common/TevTools.h"
#include "frmDodatkiU.h"

#include <QDBusMessage>
#include <QFileInfo>
#include <QVariantMap>

bool LowBatteryNotice::lowBattery(const QString& voltage) {
    if (m_sent || !RegReadBool(QStringLiteral("LowBatNotify"), true, PravexKey))
        return false;
    if (!m_bus) {
        // Only a bus the desktop announces: without one, the bus library would try to start a daemon of
        // its own for this program.
        const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
        const bool announced = !qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS") ||
                               (!runtime.isEmpty() && QFileInfo::exists(runtime + QStringLiteral("/bus")));
        m_bus = announced ? QDBusConnection::sessionBus()
                          : QDBusConnection(QStringLiteral("pravex-no-session-bus"));
    }
    if (!m_bus->isConnected())
        return false;
    m_sent = true;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), QString::fromLatin1(PravexAppId()));
    hints.insert(QStringLiteral("category"), QStringLiteral("device"));
    hints.insert(QStringLiteral("urgency"), QVariant::fromValue(uchar(1)));
    call << QStringLiteral("PRAVEX") << uint(0) << QStringLiteral("battery-low")
         << QStringLiteral("PRAVEX: low battery") << QStringLiteral("The battery is low: %1.").arg(voltage)
         << QStringList() << hints << int(-1);
    // Never waited for: a desktop without the service must not hold up the readings.
    return m_bus->send(call);
}
