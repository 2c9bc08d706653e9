#include "ReadingJson.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <cmath>

namespace {

QJsonValue textOrNull(const QString& s) {
    return s.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(s);
}

QString shortHash(const QString& text) {
    return QString::fromLatin1(
        QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha256).toHex().left(8));
}

// Home Assistant takes [a-zA-Z0-9_-] in its object ids; a key that needed changes gets a hash of itself,
// so that "bench.1" and "bench 1" stay two devices.
QString haObjectId(const QString& key) {
    QString out = QStringLiteral("pravex_");
    bool changed = false;
    for (const QChar c : key) {
        const bool keep = (c.isLetterOrNumber() && c.unicode() < 0x80) || c == QLatin1Char('-');
        out += keep ? c : QLatin1Char('_');
        changed = changed || !keep;
    }
    return changed ? out + QLatin1Char('_') + shortHash(key) : out;
}

bool sameName(const QString& a, const QString& b) {
    return a.compare(b, Qt::CaseInsensitive) == 0;
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
    return SafeAdapterName(id);
}

QString SafeAdapterName(const QString& text) {
    const QString trimmed = text.trimmed();
    QString out;
    for (const QChar c : trimmed) {
        // Surrogates and format characters are not printable: no lone half, no hidden direction change.
        const bool special = c == QLatin1Char('/') || c == QLatin1Char('+') || c == QLatin1Char('#') ||
                             c.isSpace() || !c.isPrint() || c == QChar(0);
        out += special ? QLatin1Char('_') : c;
    }
    // A leading dot would hide the files.
    while (out.startsWith(QLatin1Char('_')) || out.startsWith(QLatin1Char('.')))
        out.remove(0, 1);
    if (out.isEmpty())
        return QStringLiteral("adapter");
    if (out.toUtf8().size() <= MaxAdapterNameBytes)
        return out;
    const QString tail = QLatin1Char('-') + shortHash(trimmed);
    const int room = MaxAdapterNameBytes - int(tail.size());
    QString cut;
    for (const QChar c : std::as_const(out)) {
        if (cut.toUtf8().size() + QString(c).toUtf8().size() > room)
            break;
        cut += c;
    }
    return cut + tail;
}

QString StableAdapterName(const QString& serial, const QHash<QString, QString>& aliases,
                          const QStringList& serials) {
    QString alias;
    for (auto it = aliases.cbegin(); it != aliases.cend(); ++it)
        if (sameName(it.key(), serial) && !it.value().trimmed().isEmpty())
            alias = it.value();
    const QString own = SafeAdapterName(serial);
    if (alias.trimmed().isEmpty())
        return own;
    const QString name = SafeAdapterName(alias);
    bool unique = true;
    for (auto it = aliases.cbegin(); unique && it != aliases.cend(); ++it) {
        if (sameName(it.key(), serial))
            continue;
        unique = !sameName(SafeAdapterName(it.key()), name) &&
                 (it.value().trimmed().isEmpty() || !sameName(SafeAdapterName(it.value()), name));
    }
    for (const QString& other : serials)
        unique = unique && (other.trimmed().isEmpty() || sameName(other, serial) ||
                            !sameName(SafeAdapterName(other), name));
    return unique ? name : own;
}

QList<RetainedMessage> HaDiscoveryMessages(const QString& id, const QString& serial, const QString& alias,
                                           const QString& version) {
    const QString object = haObjectId(serial.isEmpty() ? id : serial);
    const QString base = QStringLiteral("pravex/") + id;
    const QString shown = !alias.trimmed().isEmpty() ? alias.trimmed() : !serial.isEmpty() ? serial : id;
    QJsonObject device{{QStringLiteral("identifiers"), QJsonArray{object}},
                       {QStringLiteral("name"), QStringLiteral("PRAVEX ") + shown},
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
