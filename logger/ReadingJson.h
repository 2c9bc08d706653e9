// What pravex-log publishes to MQTT: a reading as one JSON object, the topic name of an adapter, and
// the Home Assistant discovery configs that make its readings appear there without configuration.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

struct Reading {
    QDateTime time;    // when the line arrived
    QDateTime session; // when the logging session started: counters start again with a new file
    qint64 counter = 0;
    double voltage = 0;
    QString text; // the number as received ("3,92")
    bool converterOn = false;
    bool lowBattery = false;
    QString serial; // empty: not known (a named port)
    QString alias;
    QString port;
};

// {"time":..., "counter":..., ...} on one line: a spool record never holds a line end.
QByteArray ReadingJson(const Reading& reading);

// A topic level naming an adapter: its alias, else its serial number, else the port name (without
// "/dev/"), made safe by SafeAdapterName.
QString AdapterTopicId(const QString& serial, const QString& alias, const QString& port);

// One file name and one MQTT topic level: characters MQTT gives a meaning to (/ + #), spaces, controls and
// format characters become '_', no leading '_' or '.', at most MaxAdapterNameBytes of UTF-8 (a longer name
// is cut and ends in a short hash of the whole, so it stays apart from its neighbours); never empty.
QString SafeAdapterName(const QString& text);
constexpr int MaxAdapterNameBytes = 100;

// The name of the adapter `serial` in files, spools and topics, the same on every run whatever else is
// plugged in: its alias only when that alias (as a safe name, ignoring case) is no other adapter's alias
// in the settings store and no other known or listed adapter's serial number; else its serial number.
// aliases: every stored alias by serial number; serials: the adapters listed or plugged in.
QString StableAdapterName(const QString& serial, const QHash<QString, QString>& aliases,
                          const QStringList& serials);

struct RetainedMessage {
    QByteArray topic;
    QByteArray payload;
};

// Retained configs for the voltage, the converter and the low-battery flag of one adapter, reading the
// retained latest sample on pravex/ID/state. Their ids come from the serial number (the topic id without
// one), so renaming an adapter keeps its history in Home Assistant; the name shown is the alias.
QList<RetainedMessage> HaDiscoveryMessages(const QString& id, const QString& serial, const QString& alias,
                                           const QString& version);
