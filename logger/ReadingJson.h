// What pravex-log publishes to MQTT: a reading as one JSON object, the topic name of an adapter, and
// the Home Assistant discovery configs that make its readings appear there without configuration.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

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
// "/dev/"). Characters MQTT gives a meaning to (/ + #), spaces and controls become '_'; never empty.
QString AdapterTopicId(const QString& serial, const QString& alias, const QString& port);

struct RetainedMessage {
    QByteArray topic;
    QByteArray payload;
};

// Retained configs for the voltage, the converter and the low-battery flag of one adapter, reading the
// retained latest sample on pravex/ID/state.
QList<RetainedMessage> HaDiscoveryMessages(const QString& id, const QString& serial, const QString& version);
