#include "BrokerList.h"

#include <QUrl>
#include <algorithm>

namespace {

bool parseOne(const QString& text, BrokerAddress* b, QString* error) {
    const QUrl url(text, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || (scheme != QLatin1String("mqtt") && scheme != QLatin1String("mqtts")) ||
        url.host().isEmpty() || (!url.path().isEmpty() && url.path() != QLatin1String("/")) ||
        !url.userInfo().isEmpty() || url.hasQuery() || url.hasFragment()) {
        *error = QStringLiteral("--mqtt needs mqtt://host[:port] or mqtts://host[:port], not \"") + text +
                 QLatin1Char('"');
        if (!url.userInfo().isEmpty())
            *error += QStringLiteral(" (give the user with --mqtt-user and the password in "
                                     "PRAVEX_MQTT_PASSWORD or --mqtt-password-file)");
        return false;
    }
    b->url = text;
    b->tls = scheme == QLatin1String("mqtts");
    b->host = url.host();
    b->port = url.port(b->tls ? 8883 : 1883);
    if (b->port <= 0) {
        *error = QStringLiteral("--mqtt: bad port in \"") + text + QLatin1Char('"');
        return false;
    }
    return true;
}

} // namespace

bool AddBrokerAddresses(const QString& value, QList<BrokerAddress>* list, QString* error) {
    const QStringList parts = value.split(QLatin1Char(','));
    QList<BrokerAddress> added;
    for (const QString& part : parts) {
        BrokerAddress b;
        if (!parseOne(part.trimmed(), &b, error))
            return false;
        // One client object serves every node, and TLS is set on it once.
        const BrokerAddress& first = list->isEmpty() ? (added.isEmpty() ? b : added.first()) : list->first();
        if (b.tls != first.tls) {
            *error = QStringLiteral("--mqtt: every broker address needs the same scheme (mqtt:// or "
                                    "mqtts://), not \"%1\" and \"%2\"")
                         .arg(first.url, b.url);
            return false;
        }
        // A node named twice would only be a move from a node to itself.
        const auto same = [&b](const BrokerAddress& o) { return o.host == b.host && o.port == b.port; };
        if (std::none_of(list->begin(), list->end(), same) && std::none_of(added.begin(), added.end(), same))
            added.append(b);
    }
    *list += added;
    return true;
}
