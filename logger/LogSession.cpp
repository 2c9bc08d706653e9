// The session's state machine: waiting for an adapter, opening, connected, lost (looking for the same
// adapter or port again), finishing. Runs on the main thread; the serial worker and the watcher's scan
// reach it only through their events, which arrive there.
#include "LogSession.h"
#include "readout/CsvRows.h"

#include "ReadingJson.h"
#include "chipwatch/ChipSettings.h"
#include "common/PortAccessHint.h"
#include "common/SettingsStore.h"
#include "ftdi/TevFT232a.h"
#include "serial/NetworkPortName.h"
#include "serial/TevComPort.h"

#include <QFile>
#include <cmath>
#include <unistd.h>

namespace {

// The kept rows and chart points are only for windows; a log running for weeks drops them now and then.
constexpr int TrimRows = 1000;
// How long a stopping worker is given before the session ends without it.
constexpr int StopWaitMs = 5000;
constexpr int StopPollMs = 20;

bool numberArg(const QString& text, double min, double* out) {
    bool ok = false;
    const double v = text.toDouble(&ok);
    if (!ok || !std::isfinite(v) || v < min)
        return false;
    *out = v;
    return true;
}

bool networkPort(const QString& name) {
    return IsNetworkPortName(name.toStdString());
}

QString portPath(const QString& name) {
    return name.startsWith(QLatin1Char('/')) || networkPort(name) ? name : QStringLiteral("/dev/") + name;
}

} // namespace

const char* LogUsageText() {
    return "usage: pravex-log [options]\n"
           "Logs a PRAVEX's status lines without a window: each received line to standard output, the\n"
           "readings to a CSV file. Runs until --count, --duration, Ctrl+C or SIGTERM; an unplugged adapter\n"
           "is waited for and the same log carried on when it is plugged in again.\n"
           "\n"
           "  --port NAME        the serial port (ttyUSB0 or a path); default: the FTDI adapter found\n"
           "                     (the chip watcher's default adapter when one is set); a device\n"
           "                     server's port as rfc2217://HOST:PORT or socket://HOST:PORT (clear text\n"
           "                     on the network)\n"
           "  --baud N           line speed (default 9600; always 8 data bits, no parity, 1 stop bit)\n"
           "  --csv FILE         write the readings as CSV (\" ;voltage;time\", then counter;voltage;time,\n"
           "                     the time in UTC, 2026-12-09T18:51:07.412Z; CR LF)\n"
           "  --plain-csv        new CSV files without the time column (\" ;voltage\", as the monitor\n"
           "                     saves them); --append always continues a file in its own columns\n"
           "  --all              log every FTDI adapter found, each followed by its serial number;\n"
           "                     adapters plugged in later join (standard output: each line after\n"
           "                     the adapter's alias or serial number in brackets)\n"
           "  --serial S         log only the adapter S (may be given more than once)\n"
           "  --csv-dir DIR      with --all or --serial: one CSV file per adapter, DIR/ALIAS.csv when\n"
           "                     no other adapter has that alias (else DIR/SERIAL.csv), with --append\n"
           "                     or --force applying to each\n"
           "  --append           continue an existing FILE and its counter (an existing FILE is\n"
           "                     refused without --append or --force)\n"
           "  --force            replace an existing FILE\n"
           "  --count N          end after N valid lines\n"
           "  --duration SECONDS end this long after the port first opened\n"
           "  --wait SECONDS     give up when no adapter is found, or its port does not open, in time\n"
           "                     (default: wait for ever)\n"
           "  --mqtt URL         publish each reading to an MQTT broker (mqtt://host[:port],\n"
           "                     mqtts://host[:port]) as pravex/ID/reading, QoS 1; readings wait in a\n"
           "                     spool in $XDG_STATE_HOME/pravex while the broker is away; the nodes\n"
           "                     of a cluster: --mqtt URL,URL... (or --mqtt again), tried in turn\n"
           "  --mqtt-user NAME   log in as NAME; the password comes from PRAVEX_MQTT_PASSWORD or\n"
           "  --mqtt-password-file F  the first line of F\n"
           "  --mqtt-ca FILE     trust this CA for mqtts:// (default: the system's CAs)\n"
           "  --spool-max N      readings the spool keeps at most (default 1000000)\n"
           "  --ha-discovery     announce the adapter to Home Assistant (retained discovery configs)\n"
           "  -h, --help         this text\n"
           "  --version          the program's version\n"
           "\n"
           "Adapters are found through the FTDI driver layer; PRAVEX_D2XX_LIBRARY names another\n"
           "D2XX library (libpravex-d2xx-sim.so, the simulated driver, is found by name).\n"
           "\n"
           "Exit codes: 0 session ended normally, 2 bad command line, 3 CSV file refused, in use by\n"
           "another pravex-log, or not writable, or readings that did not reach it (the last message\n"
           "says how many), 4 port cannot be opened, 5 no adapter found within --wait, 6 MQTT spool\n"
           "not usable, or readings not published because it was full or could not be written.\n";
}

bool ParseLogArgs(const QStringList& args, LogOptions* o, QString* error, bool* help) {
    *help = false;
    bool append = false, force = false;
    for (qsizetype i = 0; i < args.size(); ++i) {
        QString name = args[i];
        QString value;
        bool hasValue = false;
        if (name.startsWith(QLatin1String("--")) && name.contains(QLatin1Char('='))) {
            value = name.mid(name.indexOf(QLatin1Char('=')) + 1);
            name = name.left(name.indexOf(QLatin1Char('=')));
            hasValue = true;
        }
        const auto takeValue = [&]() -> bool {
            if (hasValue)
                return true;
            if (i + 1 >= args.size()) {
                *error = name + QStringLiteral(" needs a value");
                return false;
            }
            value = args[++i];
            return true;
        };
        const auto flag = [&]() -> bool {
            if (hasValue)
                *error = name + QStringLiteral(" takes no value");
            return !hasValue;
        };
        double number = 0;
        if (name == QLatin1String("-h") || name == QLatin1String("--help")) {
            *help = true;
            return true;
        } else if (name == QLatin1String("--all")) {
            if (!flag())
                return false;
            o->all = true;
        } else if (name == QLatin1String("--serial")) {
            if (!takeValue())
                return false;
            if (value.trimmed().isEmpty()) {
                *error = QStringLiteral("--serial needs a serial number");
                return false;
            }
            if (!o->serials.contains(value))
                o->serials.append(value);
        } else if (name == QLatin1String("--csv-dir")) {
            if (!takeValue())
                return false;
            if (value.isEmpty()) {
                *error = QStringLiteral("--csv-dir needs a folder");
                return false;
            }
            o->csvDir = value;
        } else if (name == QLatin1String("--port")) {
            if (!takeValue())
                return false;
            if (value.trimmed().isEmpty()) {
                *error = QStringLiteral("--port needs a port name");
                return false;
            }
            o->port = value;
        } else if (name == QLatin1String("--baud")) {
            if (!takeValue())
                return false;
            bool ok = false;
            const int baud = value.toInt(&ok);
            if (!ok || baud <= 0) {
                *error = QStringLiteral("--baud needs a positive whole number, not \"") + value + '"';
                return false;
            }
            o->baud = QString::number(baud);
        } else if (name == QLatin1String("--csv")) {
            if (!takeValue())
                return false;
            if (value.isEmpty()) {
                *error = QStringLiteral("--csv needs a file name");
                return false;
            }
            o->csvPath = value;
        } else if (name == QLatin1String("--plain-csv")) {
            if (!flag())
                return false;
            o->plainCsv = true;
        } else if (name == QLatin1String("--append")) {
            if (!flag())
                return false;
            append = true;
        } else if (name == QLatin1String("--force")) {
            if (!flag())
                return false;
            force = true;
        } else if (name == QLatin1String("--count")) {
            if (!takeValue())
                return false;
            bool ok = false;
            o->count = value.toLongLong(&ok);
            if (!ok || o->count <= 0) {
                *error = QStringLiteral("--count needs a positive whole number, not \"") + value + '"';
                return false;
            }
        } else if (name == QLatin1String("--duration")) {
            if (!takeValue())
                return false;
            if (!numberArg(value, 0, &number) || number <= 0 || number > 1e9) {
                *error =
                    QStringLiteral("--duration needs a positive number of seconds, not \"") + value + '"';
                return false;
            }
            o->durationSec = number;
        } else if (name == QLatin1String("--wait")) {
            if (!takeValue())
                return false;
            if (!numberArg(value, 0, &number) || number > 1e9) {
                *error = QStringLiteral("--wait needs a number of seconds, not \"") + value + '"';
                return false;
            }
            o->waitSec = number;
        } else if (name == QLatin1String("--mqtt")) {
            if (!takeValue() || !ParseMqttUrl(value, &o->mqtt, error))
                return false;
        } else if (name == QLatin1String("--mqtt-user")) {
            if (!takeValue())
                return false;
            o->mqtt.user = value;
        } else if (name == QLatin1String("--mqtt-password-file")) {
            if (!takeValue())
                return false;
            QFile f(value);
            if (!f.open(QIODevice::ReadOnly)) {
                *error = QStringLiteral("cannot read the password file ") + value + QStringLiteral(": ") +
                         f.errorString();
                return false;
            }
            QByteArray pass = f.readLine(4096);
            while (pass.endsWith('\n') || pass.endsWith('\r'))
                pass.chop(1);
            o->mqtt.password = pass;
            o->mqtt.hasPassword = true;
        } else if (name == QLatin1String("--mqtt-password")) {
            *error = QStringLiteral("a password on the command line is visible to every user; give it in "
                                    "PRAVEX_MQTT_PASSWORD or --mqtt-password-file");
            return false;
        } else if (name == QLatin1String("--mqtt-ca")) {
            if (!takeValue())
                return false;
            if (!QFile::exists(value)) {
                *error = QStringLiteral("--mqtt-ca: no file ") + value;
                return false;
            }
            o->mqtt.caFile = value;
        } else if (name == QLatin1String("--spool-max")) {
            if (!takeValue())
                return false;
            bool ok = false;
            o->mqtt.spoolMax = value.toLongLong(&ok);
            if (!ok || o->mqtt.spoolMax <= 0) {
                *error = QStringLiteral("--spool-max needs a positive whole number, not \"") + value + '"';
                return false;
            }
        } else if (name == QLatin1String("--ha-discovery")) {
            if (!flag())
                return false;
            o->mqtt.haDiscovery = true;
        } else {
            *error = QStringLiteral("unknown option ") + args[i];
            return false;
        }
    }
    if (!o->mqtt.hasPassword && qEnvironmentVariableIsSet("PRAVEX_MQTT_PASSWORD")) {
        o->mqtt.password = qgetenv("PRAVEX_MQTT_PASSWORD");
        o->mqtt.hasPassword = true;
    }
    const bool mqttDetail = !o->mqtt.user.isEmpty() || !o->mqtt.caFile.isEmpty() || o->mqtt.haDiscovery;
    if (o->mqtt.url.isEmpty() && mqttDetail) {
        *error = QStringLiteral("--mqtt-user, --mqtt-ca and --ha-discovery need --mqtt URL");
        return false;
    }
    if (!o->mqtt.caFile.isEmpty() && !o->mqtt.tls) {
        *error = QStringLiteral("--mqtt-ca needs an mqtts:// broker");
        return false;
    }
    if (o->mqtt.spoolDir.isEmpty())
        o->mqtt.spoolDir = DefaultSpoolDir();
    if (append && force) {
        *error = QStringLiteral("--append and --force exclude each other");
        return false;
    }
    if ((append || force || o->plainCsv) && o->csvPath.isEmpty() && o->csvDir.isEmpty()) {
        *error = QStringLiteral("--append, --force and --plain-csv need --csv FILE or --csv-dir DIR");
        return false;
    }
    const bool many = o->all || !o->serials.isEmpty();
    if (many && (!o->port.isEmpty() || !o->csvPath.isEmpty())) {
        *error =
            QStringLiteral("--all and --serial log many adapters: use --csv-dir DIR, not --port or --csv");
        return false;
    }
    if (!o->csvDir.isEmpty() && !many) {
        *error = QStringLiteral("--csv-dir needs --all or --serial S");
        return false;
    }
    o->csvMode = append ? CsvLog::Mode::Append : force ? CsvLog::Mode::Force : CsvLog::Mode::New;
    return true;
}

QString EscapeLogText(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        char32_t c = text[i].unicode();
        if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            c = QChar::surrogateToUcs4(text[i], text[i + 1]);
            ++i;
        }
        const auto category = QChar::category(c);
        const bool printable =
            QChar::isPrint(c) && category != QChar::Separator_Line && category != QChar::Separator_Paragraph;
        if (printable)
            out += QString::fromUcs4(&c, 1);
        else if (c <= 0xFF)
            out += QStringLiteral("\\x%1").arg(uint(c), 2, 16, QLatin1Char('0'));
        else if (c <= 0xFFFF)
            out += QStringLiteral("\\u%1").arg(uint(c), 4, 16, QLatin1Char('0'));
        else
            out += QStringLiteral("\\U%1").arg(uint(c), 8, 16, QLatin1Char('0'));
    }
    return out;
}

LogSession::LogSession(const LogOptions& options, Writer out, Writer err, QObject* parent)
    : QObject(parent), m_options(options), m_out(std::move(out)), m_err(std::move(err)) {
    m_readout.setLog(this);
    m_readout.setCsv(this);
    m_retryTimer.setInterval(m_options.retryMs);
    connect(&m_retryTimer, &QTimer::timeout, this, [this] {
        if (m_state == State::Lost)
            tryReconnect();
    });
    connect(&m_waitTimer, &LongTimer::timeout, this, [this] {
        if (m_state == State::WaitingAdapter)
            fail(LogExitNoAdapter, QStringLiteral("no adapter found within %1 s").arg(m_options.waitSec));
        else if (!m_everConnected && m_firstOpenFailed)
            fail(LogExitPort, m_openFailure);
    });
    connect(&m_durationTimer, &LongTimer::timeout, this, [this] { requestFinish(LogExitOk); });
    m_stopPoll.setInterval(StopPollMs);
    connect(&m_stopPoll, &QTimer::timeout, this, [this] {
        ++m_stopPolls;
        if (!m_port || !m_port->ComThread() || m_stopPolls * StopPollMs >= StopWaitMs) {
            m_stopPoll.stop();
            m_csv.close();
            if (m_everConnected)
                m_err(QStringLiteral("session ended after %1 reading%2")
                          .arg(m_validLines)
                          .arg(m_validLines == 1 ? "" : "s"));
            endSession();
        }
    });
}

LogSession::~LogSession() {
    m_readout.setLog(nullptr);
    m_readout.setCsv(nullptr);
    m_csv.close();
}

bool LogSession::start() {
    m_sessionStart = QDateTime::currentDateTimeUtc();
    // START: the readout's rows and counter begin here; the header comes from it.
    m_readout.start();
    if (!m_options.csvPath.isEmpty()) {
        QString error;
        const QString header = m_options.plainCsv ? m_header : CsvRows::timedHeader();
        if (!m_csv.prepare(m_options.csvPath, m_options.csvMode, header, &error)) {
            m_exitCode = LogExitCsv;
            m_err(error);
            return false;
        }
        m_timedCsv = m_csv.header() == CsvRows::timedHeader();
        m_readout.setCsvCounter(m_csv.lastCounter());
        if (m_csv.brokenTail() > 0 && m_csv.lastCounter() > 0)
            m_err(QStringLiteral("%1: an incomplete last row (%2 bytes) will be dropped")
                      .arg(m_csv.path())
                      .arg(m_csv.brokenTail()));
    }

    m_port = new TTevComPort(this);
    m_port->SetBaudRate(m_options.baud);
    m_port->SetDataBits(QStringLiteral("8"));
    m_port->SetParityBits(prNone);
    m_port->SetStopBits(sbOneStopBit);
    m_port->SetAutoCR(true);
    m_port->OnConnected = [this](QObject*) { onConnected(); };
    m_port->OnComError = [this](QObject*, int code, const QString& desc) {
        // A failed open is followed by errors of the steps after it; the first one says why.
        if (m_state == State::Opening && !m_lastError.isEmpty())
            return;
        m_lastError = desc.isEmpty() ? QStringLiteral("error %1").arg(code) : desc;
        if (const QString remedy = PortAccessRemedy(code); !remedy.isEmpty())
            m_lastError += QStringLiteral("; ") + remedy;
    };
    m_port->OnActive = [this](QObject*) {
        if (!m_port->Active())
            onWorkerEnded();
    };
    m_port->OnRxString = [this](QObject*, const QString& line) { onLine(line); };

    if (!m_watcher) {
        m_watcher = new TTevFT232a(this);
        m_watcher->OnDetectUSB = [this](QObject*, bool, TFTOrvakDefListFlags&, int&, QString& activeSerial,
                                        const QString&) { onDetect(activeSerial); };
        m_watcher->SetActive(true);
    }

    if (!m_options.mqtt.url.isEmpty() && !m_hub) {
        m_ownHub = std::make_unique<MqttHub>(m_options.mqtt);
        m_hub = m_ownHub.get();
        connect(m_hub, &MqttHub::message, this, [this](const QString& text) { m_err(text); });
        m_portName = m_options.port;
        if (!m_options.port.isEmpty() && !startPublisher(QString())) {
            m_csv.close();
            return false;
        }
    }

    m_retryTimer.start();
    if (m_options.port.isEmpty()) {
        m_state = State::WaitingAdapter;
        if (m_options.followSerial.isEmpty())
            m_err(QStringLiteral("waiting for an FTDI adapter"));
        if (m_options.waitSec > 0)
            m_waitTimer.start(std::chrono::duration<double>(m_options.waitSec));
    } else {
        m_portName = m_options.port;
        openPort();
    }
    return true;
}

void LogSession::onDetect(const QString& activeSerial) {
    if (m_state == State::Finishing)
        return;
    const int n = std::clamp(m_watcher->FListCount, 0, FTOrvakMaxAdapters);
    if (!m_options.port.isEmpty()) {
        // A named port: any report may be its adapter coming back.
        if (m_state == State::Lost)
            tryReconnect();
        return;
    }
    if (m_serial.isEmpty()) {
        if (m_state != State::WaitingAdapter)
            return;
        // As the monitor's START: the default adapter chosen in the chip watcher whenever it is listed,
        // otherwise the scan's active one.
        const QString chosen =
            !m_options.followSerial.isEmpty()
                ? m_options.followSerial
                : chipwatch::TChipSettings(chipwatch::SpinkaKeyFor(m_options.settingsTitle))
                      .ReadDefaultChip();
        QString serial, port;
        if (!chosen.trimmed().isEmpty()) {
            for (int i = 0; i < n; ++i) {
                const auto& r = m_watcher->FTOrvakDefListFlags[std::size_t(i)];
                if (r.SerialNumber == chosen && r.Active != 2) {
                    serial = r.SerialNumber;
                    port = r.ComPort;
                }
            }
            if (serial.isEmpty() && !m_defaultAwaited) {
                m_defaultAwaited = true;
                QString text =
                    QStringLiteral("waiting for the default adapter %1").arg(EscapeLogText(chosen));
                if (m_options.followSerial.isEmpty())
                    text += QStringLiteral(" (chosen in the monitor's adapter window; to take any adapter, "
                                           "clear it with: pravex-registry delete '%1' DefaultChip)")
                                .arg(chipwatch::SpinkaKeyFor(m_options.settingsTitle));
                m_err(text);
            }
        } else {
            serial = activeSerial;
            port = m_watcher->GetActiveComPort();
        }
        if (serial.isEmpty() || port.isEmpty() || port == QLatin1String("COM?"))
            return;
        m_serial = serial;
        m_portName = port;
        m_adapterSeen = true;
        // The serial number comes from the adapter's EEPROM: never raw to the terminal.
        m_err(QStringLiteral("adapter %1 on %2").arg(EscapeLogText(m_serial), m_portName));
        if (m_hub && !startPublisher(m_serial)) {
            requestFinish(LogExitMqtt);
            return;
        }
        openPort();
        return;
    }
    // Following one physical adapter: its serial number, wherever its port now is.
    m_adapterSeen = false;
    for (int i = 0; i < n; ++i) {
        const auto& r = m_watcher->FTOrvakDefListFlags[std::size_t(i)];
        if (r.SerialNumber == m_serial && !r.ComPort.isEmpty() && r.ComPort != QLatin1String("COM?")) {
            m_adapterSeen = true;
            m_portName = r.ComPort;
            break;
        }
    }
    if (m_state == State::Lost && m_adapterSeen)
        tryReconnect();
}

bool LogSession::portPresent() const {
    // A network port has no node to look for: each retry is an attempt to connect.
    if (networkPort(m_portName))
        return true;
    return ::access(QFile::encodeName(portPath(m_portName)).constData(), F_OK) == 0;
}

void LogSession::openPort() {
    m_state = State::Opening;
    m_lastError.clear();
    m_port->SetComPort(m_portName);
    m_port->SetConnected(true);
    m_port->SetActive(true);
}

void LogSession::tryReconnect() {
    // The old worker must be gone: a new one is started only on a component without one.
    if (m_state != State::Lost || m_port->ComThread())
        return;
    if (m_options.port.isEmpty() && !m_adapterSeen)
        return;
    if (!portPresent())
        return;
    openPort();
}

void LogSession::onConnected() {
    if (m_state == State::Finishing)
        return;
    const bool first = !m_everConnected;
    m_everConnected = true;
    m_state = State::Connected;
    if (first) {
        m_waitTimer.stop();
        QString error;
        if (m_csv.isOpen() && !m_csv.begin(&error)) {
            fail(LogExitCsv, error);
            return;
        }
        if (m_options.durationSec > 0)
            m_durationTimer.start(std::chrono::duration<double>(m_options.durationSec));
        m_err(QStringLiteral("logging %1").arg(portPath(m_portName)));
    } else {
        m_err(QStringLiteral("reconnected on %1").arg(portPath(m_portName)));
    }
}

void LogSession::onWorkerEnded() {
    if (m_state == State::Finishing)
        return;
    if (!m_everConnected) {
        const QString why =
            QStringLiteral("cannot open %1: %2")
                .arg(portPath(m_portName), m_lastError.isEmpty() ? QStringLiteral("failed") : m_lastError);
        // A named port that does not open is a mistake to report at once. A detected adapter's port may
        // still be on its way (device node, permissions): tried again until --wait runs out.
        if (!m_options.port.isEmpty()) {
            fail(LogExitPort, why);
            return;
        }
        if (m_state == State::Opening && !m_firstOpenFailed)
            m_err(why + QStringLiteral("; trying again"));
        m_firstOpenFailed = true;
        m_openFailure = why;
        m_state = State::Lost;
        return;
    }
    if (m_state == State::Connected)
        m_err(QStringLiteral("%1 failed (%2); waiting for the %3 to come back")
                  .arg(portPath(m_portName), m_lastError.isEmpty() ? QStringLiteral("closed") : m_lastError,
                       m_options.port.isEmpty() ? QStringLiteral("adapter") : QStringLiteral("port")));
    // A reconnect attempt that failed is retried quietly.
    m_state = State::Lost;
}

void LogSession::onLine(const QString& line) {
    if (m_finishRequested || m_state == State::Finishing)
        return;
    const qint64 before = m_validLines;
    m_readout.update(line);
    // Published once its CSV row is written: a crash in between costs the broker a reading, never gives
    // two readings one counter.
    if (m_validLines != before && !m_readout.csvRows().isEmpty())
        publish(m_readout.csvRows().constLast());
    if (m_rowsSinceTrim >= TrimRows) {
        m_rowsSinceTrim = 0;
        const qint64 counter = m_readout.csvCounter();
        m_readout.start();
        m_readout.setCsvCounter(counter);
    }
    if (m_options.count > 0 && m_validLines >= m_options.count)
        requestFinish(LogExitOk);
}

void LogSession::entryAdded(const QString& text, TColor) {
    m_out(EscapeLogText(text));
}

void LogSession::rowAdded(const QString& row) {
    // One time a reading: the CSV file's and the broker's are the same.
    m_rowTime = QDateTime::currentDateTimeUtc();
    ++m_validLines;
    ++m_rowsSinceTrim;
    if (!m_csv.begun())
        return;
    QString error;
    const QString line = m_timedCsv ? CsvRows::timedRow(row, m_rowTime) : row;
    if (!m_csv.appendRow(line, &error)) {
        ++m_lostRows;
        ++m_lostInStretch;
        if (!m_csvFailing)
            m_err(error + QStringLiteral("; readings go on to standard output only until it works again"));
        m_csvFailing = true;
    } else if (m_csvFailing) {
        m_csvFailing = false;
        m_err(QStringLiteral("%1 is written again (%2 readings were not written)")
                  .arg(m_csv.path())
                  .arg(m_lostInStretch));
        m_lostInStretch = 0;
    }
}

void LogSession::fail(int code, const QString& message) {
    m_err(message);
    requestFinish(code);
}

void LogSession::requestFinish(int code) {
    if (m_finishRequested)
        return;
    m_finishRequested = true;
    m_exitCode = code;
    // Never inside the serial component's own hand-over: the stop runs from the event loop.
    QTimer::singleShot(0, this, [this, code] { finishNow(code); });
}

void LogSession::finishNow(int code) {
    m_state = State::Finishing;
    m_exitCode = code;
    m_retryTimer.stop();
    m_waitTimer.stop();
    m_durationTimer.stop();
    if (m_port && m_port->ComThread()) {
        m_port->SetConnected(false);
        m_port->SetActive(false);
    }
    m_stopPolls = 0;
    m_stopPoll.start();
}

QStringList LogSession::listed() const {
    QStringList out;
    const int n = m_watcher ? std::clamp(m_watcher->FListCount, 0, FTOrvakMaxAdapters) : 0;
    for (int i = 0; i < n; ++i)
        out.append(m_watcher->FTOrvakDefListFlags[std::size_t(i)].SerialNumber);
    return out;
}

QHash<QString, QString> StoredAliases() {
    QHash<QString, QString> out;
    pravex::SettingsStore store;
    pravex::SettingsStore::Listing listing;
    if (store.list(chipwatch::kAliasKey, &listing) != pravex::StoreStatus::Ok)
        return out;
    for (const auto& [serial, value] : std::as_const(listing.values))
        if (value.type == pravex::StoredValue::String)
            out.insert(serial, value.text);
    return out;
}

bool LogSession::startPublisher(const QString& serial) {
    m_alias = serial.isEmpty() ? QString() : chipwatch::ReadAlias(serial);
    // An adapter's name follows from its serial number alone, as in a session of many adapters.
    const QString id = !m_options.adapterId.isEmpty() ? m_options.adapterId
                       : serial.isEmpty()             ? AdapterTopicId(serial, m_alias, m_portName)
                                                      : StableAdapterName(serial, StoredAliases(), listed());
    QString error;
    m_publisher = m_hub->publisher(id, serial, m_alias, &error);
    if (!m_publisher) {
        m_exitCode = LogExitMqtt;
        m_err(error);
        return false;
    }
    if (const qint64 waiting = m_publisher->spool().pending(); waiting > 0)
        m_err(QStringLiteral("%1 readings of an earlier session wait in %2; they go out first")
                  .arg(waiting)
                  .arg(m_publisher->spool().path()));
    return true;
}

void LogSession::publish(const QString& row) {
    if (!m_publisher)
        return;
    Reading r;
    r.time = m_rowTime;
    r.counter = m_readout.csvCounter();
    r.session = m_sessionStart;
    r.voltage = m_readout.lastVoltage();
    r.text = row.mid(row.indexOf(QLatin1Char(';')) + 1);
    r.converterOn = m_readout.converterText() == QLatin1String("ON");
    r.lowBattery = m_readout.lowBatBlinking();
    r.serial = m_serial;
    r.alias = m_alias;
    r.port = portPath(m_portName);
    QString error;
    // Never held up by the broker: a reading that is not kept is counted, the CSV goes on.
    if (m_publisher->submit(r, &error)) {
        if (m_spoolFailing)
            m_err(QStringLiteral("the MQTT spool %1 is written again (%2 readings were not published)")
                      .arg(m_publisher->spool().path())
                      .arg(m_spoolLostInStretch));
        else if (m_spoolFull)
            m_err(QStringLiteral("the MQTT spool %1 has room again (%2 readings were not published)")
                      .arg(m_publisher->spool().path())
                      .arg(m_spoolLostInStretch));
        m_spoolFailing = m_spoolFull = false;
        m_spoolLostInStretch = 0;
        return;
    }
    ++m_spoolLostInStretch;
    if (!error.isEmpty()) {
        if (!m_spoolFailing)
            m_err(error + QStringLiteral("; readings are not published until it works again"));
        m_spoolFailing = true;
    } else if (!m_spoolFull) {
        m_spoolFull = true;
        m_err(QStringLiteral("the MQTT spool %1 is full (%2 readings, --spool-max); readings are not "
                             "published until the broker takes some")
                  .arg(m_publisher->spool().path())
                  .arg(m_options.mqtt.spoolMax));
    }
}

void LogSession::endSession() {
    // A shared MQTT side is ended by its owner, once every adapter has ended.
    if (!m_ownHub) {
        lastWords();
        return;
    }
    m_ownHub->finishAll(m_options.mqttGraceMs, [this] {
        ReportMqttEnd(*m_ownHub, &m_exitCode, m_err);
        lastWords();
    });
}

void ReportMqttEnd(const MqttHub& hub, int* exitCode, const LogSession::Writer& err) {
    if (hub.pending() > 0)
        err(QStringLiteral("%1 readings wait in the MQTT spool for the broker; the next session sends them")
                .arg(hub.pending()));
    if (hub.failed() > 0) {
        err(QStringLiteral("%1 readings not published: could not write the MQTT spool").arg(hub.failed()));
        if (*exitCode == LogExitOk)
            *exitCode = LogExitMqtt;
    }
    if (hub.dropped() > 0) {
        err(QStringLiteral("%1 readings not published: the MQTT spool was full").arg(hub.dropped()));
        if (*exitCode == LogExitOk)
            *exitCode = LogExitMqtt;
    }
}

void LogSession::lastWords() {
    // A session that lost readings did not do what it was asked: its last word says so.
    if (m_lostRows > 0) {
        if (m_exitCode == LogExitOk || m_exitCode == LogExitMqtt)
            m_exitCode = LogExitCsv;
        m_err(QStringLiteral("%1 readings not written to %2").arg(m_lostRows).arg(m_csv.path()));
    }
    emit finished(m_exitCode);
}
