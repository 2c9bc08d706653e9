#include "RecordingSet.h"

#include "TevChart.h"

#include <algorithm>

namespace {

// Apart from the live series' red and from each other.
const QColor Palette[] = {QColor(0, 90, 200),   QColor(0, 150, 60),  QColor(230, 130, 0),
                          QColor(130, 60, 180), QColor(0, 160, 170), QColor(140, 90, 40),
                          QColor(210, 0, 160),  QColor(110, 130, 0), QColor(40, 40, 120),
                          QColor(110, 110, 110)};

} // namespace

RecordingSet::RecordingSet(TTevChart* chart, QObject* parent) : QObject(parent), m_chart(chart) {
    m_progress.setInterval(100);
    connect(&m_progress, &QTimer::timeout, this, [this] {
        if (!loading())
            m_progress.stop();
        emit statusChanged();
    });
}

RecordingSet::~RecordingSet() {
    // The chart must not keep pointers to series that go with their loaders.
    if (m_chart)
        m_chart->SetRecordings({});
}

void RecordingSet::open(const QStringList& paths) {
    m_messages.clear();
    for (const QString& path : paths) {
        auto loader = std::make_unique<RecordingLoader>(path);
        RecordingLoader* l = loader.get();
        connect(l, &RecordingLoader::loaded, this, [this, l](const QString& m) { loaderEnded(l, m, true); });
        connect(l, &RecordingLoader::failed, this, [this, l](const QString& m) { loaderEnded(l, m, false); });
        connect(l, &RecordingLoader::grew, this, [this] {
            if (m_chart)
                m_chart->RecordingsChanged();
        });
        m_loaders.push_back(std::move(loader));
        l->start();
    }
    m_progress.start();
    emit statusChanged();
}

void RecordingSet::loaderEnded(RecordingLoader* loader, const QString& message, bool ok) {
    m_messages.append(message);
    if (!ok && !loader->opened()) {
        const auto it = std::find_if(m_loaders.begin(), m_loaders.end(),
                                     [&](const auto& p) { return p.get() == loader; });
        if (it != m_loaders.end()) {
            std::unique_ptr<RecordingLoader> gone = std::move(*it);
            m_loaders.erase(it);
            gone.release()->deleteLater(); // it is inside its own signal
        }
    }
    // One that stops being followed keeps what it holds.
    updateChart();
    emit statusChanged();
}

void RecordingSet::updateChart() {
    if (!m_chart)
        return;
    std::vector<const RecordingSeries*> shown;
    for (const auto& l : m_loaders) {
        if (l->opened()) {
            if (!l->series().colour.isValid())
                l->setColour(Palette[m_colours++ % std::size(Palette)]);
            shown.push_back(&l->series());
        }
    }
    m_chart->SetRecordings(std::move(shown));
}

void RecordingSet::closeAll() {
    if (m_chart)
        m_chart->SetRecordings({});
    m_loaders.clear();
    m_messages.clear();
    m_colours = 0;
    emit statusChanged();
}

void RecordingSet::cancelLoading() {
    for (const auto& l : m_loaders)
        l->cancel();
}

int RecordingSet::openCount() const {
    return int(std::count_if(m_loaders.begin(), m_loaders.end(), [](const auto& l) { return l->opened(); }));
}

bool RecordingSet::allHaveTimes() const {
    return openCount() > 0 && std::all_of(m_loaders.begin(), m_loaders.end(),
                                          [](const auto& l) { return !l->opened() || l->series().hasTimes; });
}

bool RecordingSet::loading() const {
    return std::any_of(m_loaders.begin(), m_loaders.end(), [](const auto& l) { return l->loading(); });
}

int RecordingSet::progressPercent() const {
    int sum = 0, n = 0;
    for (const auto& l : m_loaders) {
        if (l->loading()) {
            sum += l->progressPercent();
            ++n;
        }
    }
    return n ? sum / n : 100;
}

QString RecordingSet::statusText() const {
    QStringList lines = m_messages;
    if (loading())
        lines.append(tr("Loading… %1 %").arg(progressPercent()));
    return lines.join(QLatin1Char('\n'));
}
