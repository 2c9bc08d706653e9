// The recordings opened in the tools window's chart: each loaded and followed by its own loader, given a
// colour of its own, and put on the chart once loaded. What happened is said in one short text (what each
// file holds, or why it was not opened); the live series is never touched.
#pragma once

#include "RecordingLoader.h"

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>
#include <memory>
#include <vector>

#include "TevChart.h"

class RecordingSet : public QObject {
    Q_OBJECT
public:
    explicit RecordingSet(TTevChart* chart, QObject* parent = nullptr);
    ~RecordingSet() override;

    void open(const QStringList& paths);
    void closeAll();
    void cancelLoading();

    // Recordings on the chart (loaded), and those still loading.
    int openCount() const;
    // Every open recording has times (and at least one is open): they can be placed by the clock.
    bool allHaveTimes() const;
    bool loading() const;
    int progressPercent() const;
    const RecordingLoader* loader(int i) const { return m_loaders[size_t(i)].get(); }
    // What the last opening said, one line a file; while loading, the progress.
    QString statusText() const;

signals:
    void statusChanged();

private:
    void loaderEnded(RecordingLoader* loader, const QString& message, bool ok);
    void updateChart();

    QPointer<TTevChart> m_chart; // may go first when the window is torn down
    std::vector<std::unique_ptr<RecordingLoader>> m_loaders;
    QStringList m_messages;
    QTimer m_progress;
    int m_colours = 0;
};
