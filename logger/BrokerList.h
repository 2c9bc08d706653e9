// The broker nodes of a site and the order the logger tries them in: the first that answers; when its
// connection drops, the next one at once, round robin; only when every node has failed in a row does it
// wait, with a growing back-off, before the next round. With one node this is the plain back-off.
#pragma once

#include <QList>
#include <QString>

struct BrokerAddress {
    QString url; // as given, for messages
    QString host;
    int port = 0;
    bool tls = false;
};

// One --mqtt value: mqtt://host[:port] or mqtts://host[:port] (IPv6 addresses in brackets), or several
// of them separated by commas; appended to `list`. All of a site's nodes use one scheme.
bool AddBrokerAddresses(const QString& value, QList<BrokerAddress>* list, QString* error);

class BrokerRotation {
public:
    explicit BrokerRotation(QList<BrokerAddress> nodes, int maxBackoffMs = 5000)
        : m_nodes(std::move(nodes)), m_maxBackoffMs(maxBackoffMs) {}

    bool empty() const { return m_nodes.isEmpty(); }
    bool several() const { return m_nodes.size() > 1; }
    const BrokerAddress& current() const { return m_nodes[m_index]; }
    int currentIndex() const { return m_index; }
    // The node failed() moves on to.
    const BrokerAddress& next() const { return m_nodes[(m_index + 1) % int(m_nodes.size())]; }

    // A connection was made: the next failure starts a new round without waiting.
    void connected() {
        m_failedInRow = 0;
        m_backoffMs = 1000;
    }
    // The attempt on current() failed or its connection dropped: moves on to the next node and returns how
    // long to wait before trying it.
    int failed() {
        if (m_nodes.isEmpty())
            return m_backoffMs;
        m_index = (m_index + 1) % int(m_nodes.size());
        if (++m_failedInRow < m_nodes.size())
            return 0;
        m_failedInRow = 0;
        const int wait = m_backoffMs;
        m_backoffMs = std::min(m_backoffMs * 2, m_maxBackoffMs);
        return wait;
    }

private:
    QList<BrokerAddress> m_nodes;
    int m_maxBackoffMs;
    int m_index = 0;
    qsizetype m_failedInRow = 0;
    int m_backoffMs = 1000;
};
