#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <map>
#include <memory>

#include "notify/ChannelWorker.h"
#include "notify/NotifySettings.h"
#include "threads/Worker.h"

class Station;
namespace store {
class HistoryWriter;
}

namespace notify {

// Delivers a station's alarm events to the configured channels (mail, webhook, command): each
// channel has its outbox in the history store, so that nothing is lost while its server is away
// or the program restarts, and a worker thread that sends it. Lives on the thread that owns the
// writer. Failures and recoveries are reported once each with DeliveryChanged.
class Notifier : public QObject {
    Q_OBJECT
public:
    Notifier(const NotifySettings& settings, const QString& site, store::HistoryWriter& writer,
             const QString& historyFile, QObject* parent = nullptr);
    ~Notifier() override;

    void Start();
    // Stops the channels; a message under way is given up and sent again on the next start.
    void Stop();
    // One test message to every channel, beside their queues; each answers with TestResult.
    void SendTest();
    QStringList Channels() const;
    const NotifySettings& Settings() const { return settings_; }

signals:
    void TestResult(const QString& channel, const QString& error);
    // A channel stopped or started delivering; `error` is empty when it delivers again.
    void DeliveryChanged(const QString& channel, const QString& error);

private:
    struct Channel {
        Sender* sender = nullptr;  // owned by the worker; for Abort
        std::unique_ptr<threads::WorkerThread<ChannelWorker>> thread;
        bool failing = false;
    };

    void AddChannel(const QString& name, alarms::AlarmLevel minLevel,
                    std::unique_ptr<Sender> sender);
    void OnSent(const QString& channel, const QString& error);

    NotifySettings settings_;
    QString site_;
    store::HistoryWriter& writer_;
    QString historyFile_;
    std::map<QString, Channel> channels_;
};

// A notifier of what `station` records, its channels entered in the station's store; not started
// yet. Nothing, with `error`, when the station keeps no store or no channel is configured.
std::unique_ptr<Notifier> NotifyStation(Station& station, const NotifySettings& settings,
                                        const QString& site, QString* error);

// Sends a test message through every channel of `settings` on the calling thread and returns
// each channel's outcome (an empty error when it was accepted). For `batmond --test-notify`.
std::map<QString, QString> TestChannels(const NotifySettings& settings, const QString& site);

}  // namespace notify
