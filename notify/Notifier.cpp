#include "notify/Notifier.h"

#include <QDateTime>

#include "station/Station.h"
#include "store/DataDir.h"
#include "store/HistoryWriter.h"

namespace notify {
namespace {

// The channels of `settings`, each with its minimum level and sender.
template <class Use>
void ForEachChannel(const NotifySettings& settings, Use&& use) {
    if (settings.mail)
        use(kMailChannel, settings.mail->minLevel, MakeMailSender(*settings.mail, settings.caFile));
    if (settings.webhook)
        use(kWebhookChannel, settings.webhook->minLevel,
            MakeWebhookSender(*settings.webhook, settings.caFile));
    if (settings.command)
        use(kCommandChannel, settings.command->minLevel, MakeCommandSender(*settings.command));
}

}  // namespace

Notifier::Notifier(const NotifySettings& settings, const QString& site,
                   store::HistoryWriter& writer, const QString& historyFile, QObject* parent)
    : QObject(parent),
      settings_(settings),
      site_(site),
      writer_(writer),
      historyFile_(historyFile) {
    ForEachChannel(settings_, [this](const QString& name, alarms::AlarmLevel minLevel,
                                     std::unique_ptr<Sender> sender) {
        AddChannel(name, minLevel, std::move(sender));
    });
    connect(
        &writer_, &store::HistoryWriter::OutboxCommitted, this,
        [this](const store::OutboxBatch& added) {
            for (auto& [name, channel] : channels_) {
                std::vector<store::AlarmOutboxEntry> entries;
                for (const store::AlarmOutboxEntry& entry : added.alarms)
                    if (entry.channel == name) entries.push_back(entry);
                if (!entries.empty())
                    channel.thread->Post([entries](ChannelWorker& worker) { worker.Add(entries); });
            }
        });
}

Notifier::~Notifier() { Stop(); }

void Notifier::AddChannel(const QString& name, alarms::AlarmLevel minLevel,
                          std::unique_ptr<Sender> sender) {
    ChannelOptions options{name,        site_, minLevel, settings_.acknowledged, settings_.pacing,
                           historyFile_};
    Channel channel;
    channel.sender = sender.get();
    channel.thread = std::make_unique<threads::WorkerThread<ChannelWorker>>(
        QStringLiteral("notify-%1").arg(name), options, std::move(sender));
    ChannelWorker* worker = channel.thread->Worker();
    connect(worker, &ChannelWorker::Removable, this,
            [this](const threads::Handed<std::vector<qint64>>& seqs) {
                writer_.MarkAlarmsPublished(seqs.Get());
            });
    connect(worker, &ChannelWorker::Sent, this, &Notifier::OnSent);
    connect(worker, &ChannelWorker::TestSent, this, &Notifier::TestResult);
    channels_.emplace(name, std::move(channel));
}

void Notifier::Start() {
    for (auto& [name, channel] : channels_)
        channel.thread->Post([](ChannelWorker& worker) { worker.Start(); });
}

void Notifier::Stop() {
    disconnect(&writer_, nullptr, this, nullptr);
    for (auto& [name, channel] : channels_) {
        if (!channel.thread->Running()) continue;
        channel.sender->Abort();
        channel.thread->Stop();
    }
}

void Notifier::SendTest() {
    const Notice notice = TestNotice(site_, QDateTime::currentMSecsSinceEpoch());
    for (auto& [name, channel] : channels_)
        channel.thread->Post([notice](ChannelWorker& worker) { worker.SendTest(notice); });
}

QStringList Notifier::Channels() const { return settings_.Channels(); }

void Notifier::OnSent(const QString& channel, const QString& error) {
    const auto it = channels_.find(channel);
    if (it == channels_.end() || it->second.failing == !error.isEmpty()) return;
    it->second.failing = !error.isEmpty();
    emit DeliveryChanged(channel, error);
}

std::unique_ptr<Notifier> NotifyStation(Station& station, const NotifySettings& settings,
                                        const QString& site, QString* error) {
    store::HistoryWriter* writer = station.Writer();
    if (!writer) {
        if (error)
            *error = QStringLiteral(
                "notifications need the history store: they wait there until delivered");
        return nullptr;
    }
    if (!settings.Any()) {
        if (error) *error = QStringLiteral("no notification channel is configured");
        return nullptr;
    }
    writer->SetNotifyChannels(settings.Channels());
    return std::make_unique<Notifier>(settings, site, *writer,
                                      store::HistoryFilePath(station.Options().dataDir));
}

std::map<QString, QString> TestChannels(const NotifySettings& settings, const QString& site) {
    std::map<QString, QString> results;
    const Notice notice = TestNotice(site, QDateTime::currentMSecsSinceEpoch());
    ForEachChannel(settings,
                   [&](const QString& name, alarms::AlarmLevel, std::unique_ptr<Sender> sender) {
                       results[name] = sender->Send(notice).error;
                   });
    return results;
}

}  // namespace notify
