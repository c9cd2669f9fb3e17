#include "web/StationWeb.h"

#include "station/Station.h"
#include "store/DataDir.h"
#include "store/HistoryWriter.h"

namespace web {

StationWeb::StationWeb(Station& station, const QString& site, int periodMs,
                       std::function<QByteArray()> renderMetrics, QObject* parent)
    : QObject(parent),
      station_(station),
      historyPath_(station.Writer() ? store::HistoryFilePath(station.Options().dataDir)
                                    : QString()),
      watcher_(
          std::make_unique<RoomWatcher>(station, board_, site, periodMs, std::move(renderMetrics))),
      hub_(std::make_shared<EventHub>()) {
    if (historyPath_.isEmpty()) return;
    tail_ = std::make_unique<threads::WorkerThread<StoreTail>>(QStringLiteral("web-tail"),
                                                               historyPath_, hub_);
    tail_->CallAndWait([](StoreTail& tail) { tail.Start(); });
    // Every commit may bring readings or alarm events for the streams.
    connect(station.Writer(), &store::HistoryWriter::Committed, this, &StationWeb::PokeTail);
    connect(&station, &Station::ReadingRecorded, this, &StationWeb::PokeTail);
}

StationWeb::~StationWeb() {
    hub_->CloseAll();
    tail_.reset();
}

void StationWeb::PokeTail() {
    if (tail_ && tail_->Worker()->MarkDue()) tail_->Post([](StoreTail& tail) { tail.Poll(); });
}

std::unique_ptr<WebServer> StationWeb::MakeServer(WebServerOptions options, QString* error) {
    if (options.historyPath.isEmpty()) options.historyPath = historyPath_;
    Station* station = &station_;
    auto server = std::make_unique<WebServer>(
        std::move(options), board_, hub_,
        [station](const alarms::AlarmKey& key, const QString& user) {
            threads::Post(&station->Alarms(),
                          [station, key, user] { station->Alarms().Acknowledge({key}, user); });
        });
    if (!server->Start(error)) return nullptr;
    return server;
}

}  // namespace web
