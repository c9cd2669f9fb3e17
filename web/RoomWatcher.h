#pragma once

#include <QObject>
#include <QTimer>
#include <functional>

#include "web/RoomState.h"

class Station;

namespace web {

// Follows a station on its own thread and publishes what the web shows of it to a RoomBoard:
// the newest reading of every battery, the active alarms, the port and the last cycle, and the
// /metrics text. Changes that come in a burst (a cycle's readings) are published once, after
// the burst; the whole copy costs a few microseconds, so the poll cycle does not notice it.
class RoomWatcher : public QObject {
    Q_OBJECT
public:
    // `renderMetrics` (may be empty) runs on the station's thread whenever the copy is made.
    RoomWatcher(Station& station, RoomBoard& board, QString site, int periodMs,
                std::function<QByteArray()> renderMetrics = {}, QObject* parent = nullptr);

    void SetSite(const QString& site);
    // How often the copy is refreshed when nothing changes (the metrics' request counts).
    static constexpr int kRefreshMs = 1000;

private:
    void Changed();
    void PublishNow();

    Station& station_;
    RoomBoard& board_;
    std::function<QByteArray()> renderMetrics_;
    RoomState state_;
    QTimer coalesce_;
    QTimer refresh_;
};

}  // namespace web
