#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <memory>

#include "threads/Worker.h"
#include "web/EventHub.h"
#include "web/RoomState.h"
#include "web/RoomWatcher.h"
#include "web/StoreTail.h"
#include "web/WebServer.h"

class Station;

namespace web {

// A station's outlet to the web, for the window and for batmond alike: the copy of its state
// the servers read (RoomWatcher, RoomBoard), the tail that turns the store's commits into
// events, and the servers built on them. Lives on the station's thread.
class StationWeb : public QObject {
    Q_OBJECT
public:
    StationWeb(Station& station, const QString& site, int periodMs,
               std::function<QByteArray()> renderMetrics = {}, QObject* parent = nullptr);
    ~StationWeb() override;

    // A started server on this station; nothing, with `error`, when it cannot start. The
    // server must be destroyed before this object.
    std::unique_ptr<WebServer> MakeServer(WebServerOptions options, QString* error);

    RoomWatcher& Watcher() { return *watcher_; }
    const RoomBoard& Board() const { return board_; }
    const std::shared_ptr<EventHub>& Hub() const { return hub_; }
    QString HistoryPath() const { return historyPath_; }

private:
    void PokeTail();

    Station& station_;
    QString historyPath_;
    RoomBoard board_;
    std::unique_ptr<RoomWatcher> watcher_;
    std::shared_ptr<EventHub> hub_;
    std::unique_ptr<threads::WorkerThread<StoreTail>> tail_;
};

}  // namespace web
