#include "ReadingJson.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <cmath>

namespace {

QJsonValue textOrNull(const QString& s) {
    return s.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(s);
}

// Home Assistant takes [a-zA-Z0-9_-] in its object ids.
QString haObjectId(const QString& id) {
    QString out = QStringLiteral("pravex_");
    for (const QChar c : id)
        out += (c.isLetterOrNumber() && c.unicode() < 0x80) || c == QLatin1Char('-') ? c : QLatin1Char('_');
    return out;
}

} // namespace

QByteArray ReadingJson(const Reading& r) {
    QJsonObject adapter;
    adapter.insert(QStringLiteral("serial"), textOrNull(r.serial));
    adapter.insert(QStringLiteral("alias"), textOrNull(r.alias));
    adapter.insert(QStringLiteral("port"), textOrNull(r.port));
    QJsonObject o;
    o.insert(QStringLiteral("time"), r.time.toUTC().toString(Qt::ISODateWithMs));
    o.insert(QStringLiteral("counter"), r.counter);
    if (r.session.isValid())
        o.insert(QStringLiteral("session"), r.session.toUTC().toString(Qt::ISODateWithMs));
    // JSON has no NaN or infinity.
    o.insert(QStringLiteral("voltage"), std::isfinite(r.voltage) ? QJsonValue(r.voltage) : QJsonValue());
    o.insert(QStringLiteral("text"), r.text);
    o.insert(QStringLiteral("converter"), r.converterOn ? QStringLiteral("ON") : QStringLiteral("OFF"));
    o.insert(QStringLiteral("lowBattery"), r.lowBattery);
    o.insert(QStringLiteral("adapter"), adapter);
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

QString AdapterTopicId(const QString& serial, const QString& alias, const QString& port) {
    QString id = !alias.trimmed().isEmpty()    ? alias.trimmed()
                 : !serial.trimmed().isEmpty() ? serial.trimmed()
                                               : port;
    if (id.startsWith(QLatin1String("/dev/")))
        id = id.mid(5);
    QString out;
    for (const QChar c : id) {
        const bool special = c == QLatin1Char('/') || c == QLatin1Char('+') || c == QLatin1Char('#') ||
                             c.isSpace() || !c.isPrint() || c == QChar(0);
        out += special ? QLatin1Char('_') : c;
    }
    while (out.startsWith(QLatin1Char('_')))
        out.remove(0, 1);
    // A name made only of dots would make a strange spool file name.
    if (out.isEmpty() || out == QLatin1String(".") || out == QLatin1String(".."))
        out = QStringLiteral("adapter");
    return out;
}

QList<RetainedMessage> HaDiscoveryMessages(const QString& id, const QString& serial, const QString& version) {
    const QString object = haObjectId(id);
    const QString base = QStringLiteral("pravex/") + id;
    QJsonObject device{{QStringLiteral("identifiers"), QJsonArray{object}},
                       {QStringLiteral("name"), QStringLiteral("PRAVEX ") + id},
                       {QStringLiteral("model"), QStringLiteral("PRAVEX")}};
    if (!serial.isEmpty())
        device.insert(QStringLiteral("serial_number"), serial);
    if (!version.isEmpty())
        device.insert(QStringLiteral("sw_version"), version);
    const auto entity = [&](const QString& component, const QString& suffix, const QString& name,
                            QJsonObject extra) {
        extra.insert(QStringLiteral("name"), name);
        extra.insert(QStringLiteral("unique_id"), object + QLatin1Char('_') + suffix);
        extra.insert(QStringLiteral("state_topic"), base + QStringLiteral("/state"));
        extra.insert(QStringLiteral("availability_topic"), base + QStringLiteral("/status"));
        extra.insert(QStringLiteral("payload_available"), QStringLiteral("online"));
        extra.insert(QStringLiteral("payload_not_available"), QStringLiteral("offline"));
        extra.insert(QStringLiteral("qos"), 1);
        extra.insert(QStringLiteral("device"), device);
        extra.insert(QStringLiteral("origin"),
                     QJsonObject{{QStringLiteral("name"), QStringLiteral("pravex-log")}});
        return RetainedMessage{(QStringLiteral("homeassistant/") + component + QLatin1Char('/') + object +
                                QLatin1Char('_') + suffix + QStringLiteral("/config"))
                                   .toUtf8(),
                               QJsonDocument(extra).toJson(QJsonDocument::Compact)};
    };
    return {
        entity(QStringLiteral("sensor"), QStringLiteral("voltage"), QStringLiteral("Battery voltage"),
               {{QStringLiteral("value_template"), QStringLiteral("{{ value_json.voltage }}")},
                {QStringLiteral("device_class"), QStringLiteral("voltage")},
                {QStringLiteral("unit_of_measurement"), QStringLiteral("V")},
                {QStringLiteral("state_class"), QStringLiteral("measurement")},
                {QStringLiteral("suggested_display_precision"), 2}}),
        entity(QStringLiteral("binary_sensor"), QStringLiteral("converter"), QStringLiteral("Converter"),
               {{QStringLiteral("value_template"), QStringLiteral("{{ value_json.converter }}")},
                {QStringLiteral("device_class"), QStringLiteral("power")}}),
        entity(QStringLiteral("binary_sensor"), QStringLiteral("battery_low"), QStringLiteral("Battery low"),
               {{QStringLiteral("value_template"),
                 QStringLiteral("{{ 'ON' if value_json.lowBattery else 'OFF' }}")},
                {QStringLiteral("device_class"), QStringLiteral("battery")}}),
    };
}
