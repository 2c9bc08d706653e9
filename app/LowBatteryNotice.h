// The desktop notification for a low battery: once a session, when the first "LBAT" reading arrives, with
// its voltage, through the freedesktop notification service on the session bus (GNOME, KDE and others).
// The setting "LowBatNotify" (a number, 0 off) under the monitor's key switches it off.
#pragma once

#include <QDBusConnection>
#include <QString>
#include <optional>

class LowBatteryNotice {
public:
    // The bus to notify on; the session bus by default, reached only when a notice is due.
    void setBus(const QDBusConnection& bus) { m_bus = bus; }
    // START: the next low reading notifies again.
    void sessionStarted() { m_sent = false; }
    // A low-battery reading with its voltage as shown ("3.31 V"). True when a notification went out.
    bool lowBattery(const QString& voltage);

private:
    std::optional<QDBusConnection> m_bus;
    bool m_sent = false;
};
