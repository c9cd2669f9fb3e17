#include "notify/Senders.h"

#include <curl/curl.h>

#include <QDateTime>
#include <QDeadlineTimer>
#include <QProcess>
#include <QUrl>
#include <QUuid>
#include <algorithm>
#include <cstring>
#include <mutex>

namespace notify {
namespace {

constexpr long kConnectTimeoutS = 10;
constexpr long kTransferTimeoutS = 60;
constexpr int kCommandPollMs = 200;

void InitCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// One libcurl transfer with the settings every channel shares: time-outs, no signals, the CA
// file, and an abort check while it runs.
class Transfer {
public:
    Transfer(const QString& url, const QString& caFile, const std::atomic<bool>* aborted)
        : curl_(curl_easy_init()), url_(url.toUtf8()), caFile_(caFile.toLocal8Bit()) {
        curl_easy_setopt(curl_, CURLOPT_URL, url_.constData());
        curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl_, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutS);
        curl_easy_setopt(curl_, CURLOPT_TIMEOUT, kTransferTimeoutS);
        curl_easy_setopt(curl_, CURLOPT_ERRORBUFFER, errorText_);
        if (!caFile_.isEmpty()) curl_easy_setopt(curl_, CURLOPT_CAINFO, caFile_.constData());
        curl_easy_setopt(curl_, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(curl_, CURLOPT_XFERINFODATA, aborted);
        curl_easy_setopt(curl_, CURLOPT_XFERINFOFUNCTION, &Transfer::Progress);
    }
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;
    ~Transfer() {
        curl_slist_free_all(list_);
        curl_easy_cleanup(curl_);
    }

    CURL* Handle() const { return curl_; }
    void Append(const QByteArray& text) { list_ = curl_slist_append(list_, text.constData()); }
    curl_slist* List() const { return list_; }

    // Empty when the transfer succeeded, else why not.
    QString Perform() {
        const CURLcode code = curl_easy_perform(curl_);
        if (code == CURLE_OK) return {};
        const QString detail = QString::fromUtf8(errorText_);
        return detail.isEmpty() ? QString::fromUtf8(curl_easy_strerror(code)) : detail;
    }

private:
    static int Progress(void* aborted, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
        return static_cast<const std::atomic<bool>*>(aborted)->load() ? 1 : 0;
    }

    CURL* curl_;
    QByteArray url_;
    QByteArray caFile_;
    curl_slist* list_ = nullptr;
    char errorText_[CURL_ERROR_SIZE] = {};
};

// Feeds libcurl the bytes of an upload.
struct Upload {
    QByteArray data;
    qsizetype at = 0;

    static size_t Read(char* buffer, size_t size, size_t count, void* self) {
        auto* upload = static_cast<Upload*>(self);
        const qsizetype n =
            std::min<qsizetype>(qsizetype(size * count), upload->data.size() - upload->at);
        std::memcpy(buffer, upload->data.constData() + upload->at, size_t(n));
        upload->at += n;
        return size_t(n);
    }
};

size_t Discard(char*, size_t size, size_t count, void*) { return size * count; }

class MailSender final : public Sender {
public:
    MailSender(MailSettings settings, QString caFile)
        : settings_(std::move(settings)), caFile_(std::move(caFile)) {
        InitCurlOnce();
    }

    SendResult Send(const Notice& notice) override {
        const qint64 nowMs = QDateTime::currentMSecsSinceEpoch();
        const QString host = QUrl(settings_.url).host();
        Upload upload{MailMessage(
            notice, settings_.from, settings_.to,
            QUuid::createUuid().toString(QUuid::WithoutBraces) + QStringLiteral("@batmon"), nowMs)};
        Transfer transfer(settings_.url, caFile_, AbortFlag());
        CURL* curl = transfer.Handle();
        const QByteArray from = '<' + settings_.from.toUtf8() + '>';
        curl_easy_setopt(curl, CURLOPT_MAIL_FROM, from.constData());
        for (const QString& to : settings_.to) transfer.Append('<' + to.toUtf8() + '>');
        curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, transfer.List());
        // A login to another machine only ever goes over TLS: STARTTLS is then required, where
        // it is otherwise used when the server offers it.
        const bool clearLoginRisk = !settings_.user.isEmpty() && !IsLoopbackHost(host);
        curl_easy_setopt(curl, CURLOPT_USE_SSL,
                         clearLoginRisk ? long(CURLUSESSL_ALL) : long(CURLUSESSL_TRY));
        const QByteArray user = settings_.user.toUtf8();
        const QByteArray password = settings_.password.toUtf8();
        if (!user.isEmpty()) {
            curl_easy_setopt(curl, CURLOPT_USERNAME, user.constData());
            curl_easy_setopt(curl, CURLOPT_PASSWORD, password.constData());
        }
        curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(curl, CURLOPT_READFUNCTION, &Upload::Read);
        curl_easy_setopt(curl, CURLOPT_READDATA, &upload);
        const QString error = transfer.Perform();
        if (!error.isEmpty()) return {0, error};
        return {notice.events.size(), {}};
    }

private:
    MailSettings settings_;
    QString caFile_;
};

class WebhookSender final : public Sender {
public:
    WebhookSender(WebhookSettings settings, QString caFile)
        : settings_(std::move(settings)), caFile_(std::move(caFile)) {
        InitCurlOnce();
    }

    // json: the document WebhookJson describes. ntfy: the plain text as the body, with the
    // title and the priority in ntfy's headers (the title encoded as RFC 2047 for UTF-8).
    SendResult Send(const Notice& notice) override {
        Transfer transfer(settings_.url, caFile_, AbortFlag());
        CURL* curl = transfer.Handle();
        QByteArray body;
        if (settings_.format == WebhookFormat::Json) {
            body = WebhookJson(notice);
            transfer.Append("Content-Type: application/json");
        } else {
            body = PlainText(notice).toUtf8();
            transfer.Append("Content-Type: text/plain; charset=utf-8");
            transfer.Append("Title: =?UTF-8?B?" + Title(notice).toUtf8().toBase64() + "?=");
            transfer.Append("Priority: " + QByteArray::number(PushPriority(notice)));
        }
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, transfer.List());
        curl_easy_setopt(curl, CURLOPT_POST, 1L);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.constData());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, long(body.size()));
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Discard);
        const QString error = transfer.Perform();
        if (!error.isEmpty()) return {0, error};
        long status = 0;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        if (status < 200 || status >= 300)
            return {0, QStringLiteral("the server answered HTTP %1").arg(status)};
        return {notice.events.size(), {}};
    }

private:
    WebhookSettings settings_;
    QString caFile_;
};

// Runs the operator's program once per event, without a shell, with the event in its
// environment; exit status 0 within the time-out takes the event.
class CommandSender final : public Sender {
public:
    explicit CommandSender(CommandSettings settings) : settings_(std::move(settings)) {}

    SendResult Send(const Notice& notice) override {
        std::size_t accepted = 0;
        for (const alarms::AlarmEvent& event : notice.events) {
            const QString error = Run(CommandEnvironment(notice.site, event, notice.test,
                                                         QProcessEnvironment::systemEnvironment()));
            if (!error.isEmpty()) return {accepted, error};
            ++accepted;
        }
        return {accepted, {}};
    }

private:
    QString Run(const QProcessEnvironment& environment) {
        QProcess process;
        process.setProcessEnvironment(environment);
        process.setStandardInputFile(QProcess::nullDevice());
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        process.start(settings_.program, settings_.arguments);
        if (!process.waitForStarted())
            return QStringLiteral("cannot run %1: %2")
                .arg(settings_.program, process.errorString());
        const QDeadlineTimer deadline(std::chrono::seconds(settings_.timeoutSeconds));
        while (!process.waitForFinished(kCommandPollMs)) {
            if (Aborted() || deadline.hasExpired()) {
                process.kill();
                process.waitForFinished();
                return Aborted() ? QStringLiteral("%1 stopped at exit").arg(settings_.program)
                                 : QStringLiteral("%1 did not end within %2 s")
                                       .arg(settings_.program)
                                       .arg(settings_.timeoutSeconds);
            }
        }
        if (process.exitStatus() != QProcess::NormalExit)
            return QStringLiteral("%1 crashed").arg(settings_.program);
        if (process.exitCode() != 0)
            return QStringLiteral("%1 exited with status %2")
                .arg(settings_.program)
                .arg(process.exitCode());
        return {};
    }

    CommandSettings settings_;
};

}  // namespace

std::unique_ptr<Sender> MakeMailSender(const MailSettings& settings, const QString& caFile) {
    return std::make_unique<MailSender>(settings, caFile);
}

std::unique_ptr<Sender> MakeWebhookSender(const WebhookSettings& settings, const QString& caFile) {
    return std::make_unique<WebhookSender>(settings, caFile);
}

std::unique_ptr<Sender> MakeCommandSender(const CommandSettings& settings) {
    return std::make_unique<CommandSender>(settings);
}

}  // namespace notify
