#include "mqtt/MqttClient.h"

#include <mosquitto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <QFileInfo>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <mutex>
#include <system_error>

#include "config/Setting.h"
#include "threads/Worker.h"

namespace {

void InitLibraryOnce() {
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

QString ErrorText(int rc) { return QString::fromUtf8(mosquitto_strerror(rc)); }

bool Fail(QString* error, const QString& reason) {
    if (error) *error = reason;
    return false;
}

// libmosquitto opens the CA file when it is set but reads it only when it connects, and then
// says little more than "TLS error": a file without a certificate is caught here.
std::optional<QString> CaFileProblem(const QString& path) {
    if (const auto problem = config::ReadableFileProblem(path))
        return QStringLiteral("the CA file ") + *problem;
    X509_STORE* store = X509_STORE_new();
    ERR_clear_error();
    const bool loaded = X509_STORE_load_file(store, path.toLocal8Bit().constData()) == 1;
    const unsigned long code = ERR_peek_last_error();
    ERR_clear_error();
    X509_STORE_free(store);
    if (loaded) return std::nullopt;
    const char* reason = ERR_reason_error_string(code);
    return QStringLiteral("the CA file %1 holds no certificate (%2)")
        .arg(path, QString::fromUtf8(reason ? reason : "unreadable"));
}

struct CaStore {
    QByteArray file;
    QByteArray folder;
};

// The system's CA certificates where OpenSSL looks for them (SSL_CERT_FILE and SSL_CERT_DIR
// override), named to libmosquitto as a file and a folder: its own option for the system's
// store connects once, but then refuses every reconnection.
CaStore SystemCaStore() {
    const auto chosen = [](const char* variable, const char* fallback) {
        const QByteArray set = qgetenv(variable);
        return set.isEmpty() ? QByteArray(fallback) : set;
    };
    CaStore store{chosen(X509_get_default_cert_file_env(), X509_get_default_cert_file()),
                  chosen(X509_get_default_cert_dir_env(), X509_get_default_cert_dir())};
    if (!QFileInfo(QString::fromLocal8Bit(store.file)).isReadable()) store.file.clear();
    if (!QFileInfo(QString::fromLocal8Bit(store.folder)).isDir()) store.folder.clear();
    return store;
}

// What went wrong in a TLS handshake, from libmosquitto's error lines and the connection's
// certificate check. The network thread (or the one connecting) keeps it from the first line of
// a failure to the last.
thread_local QString tTlsCause;
// Set while the connecting thread makes an attempt, which reports its own failure.
thread_local bool tConnecting = false;

QString VerifyFailure(long result) {
    switch (result) {
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
            return QStringLiteral("certificate verify failed: unknown CA (%1)")
                .arg(QString::fromUtf8(X509_verify_cert_error_string(result)));
        default:
            return QStringLiteral("certificate verify failed: %1")
                .arg(QString::fromUtf8(X509_verify_cert_error_string(result)));
    }
}

// One of libmosquitto's error lines: "OpenSSL Error[0]: error:0A000086:SSL routines::certificate
// verify failed", "Error: host name verification failed.". True when it ends a failed
// handshake, with its cause in tTlsCause.
bool NoteTlsError(mosquitto* mosq, const QString& line, const QString& host, bool handshake) {
    if (line.contains(QStringLiteral("host name verification failed"))) {
        tTlsCause = QStringLiteral(
                        "certificate verify failed: wrong host name (the broker's certificate "
                        "is not for %1)")
                        .arg(host);
        return false;
    }
    if (!line.startsWith(QStringLiteral("OpenSSL Error[0]"))) return false;
    if (!tTlsCause.isEmpty()) return true;  // the host name check said more
    const auto* ssl = static_cast<const SSL*>(mosquitto_ssl_get(mosq));
    if (const long verified = ssl ? SSL_get_verify_result(ssl) : X509_V_OK; verified != X509_V_OK) {
        tTlsCause = VerifyFailure(verified);
        return true;
    }
    // "error:0A000126:SSL routines::unexpected eof while reading": the reason is the last field.
    tTlsCause = line.mid(line.lastIndexOf(u':') + 1).trimmed();
    // A plain listener answers a TLS greeting by hanging up, or with bytes that are no TLS.
    if (handshake && (tTlsCause.contains(QStringLiteral("unexpected eof")) ||
                      tTlsCause.contains(QStringLiteral("wrong version number"))))
        tTlsCause += QStringLiteral(" (is the broker's port a TLS listener?)");
    return true;
}

// A handle with every option of `options` applied; nothing, with `error` set, when one cannot
// be. Callbacks reach `self`.
mosquitto* ConfiguredHandle(const MqttClientOptions& options, void* self, QString* error) {
    if (!options.cleanSession && options.clientId.isEmpty()) {
        Fail(error, QStringLiteral("a kept session needs a fixed client id"));
        return nullptr;
    }
    const QByteArray clientId = options.clientId.toUtf8();
    mosquitto* mosq = mosquitto_new(clientId.isEmpty() ? nullptr : clientId.constData(),
                                    options.cleanSession, self);
    if (!mosq) {
        Fail(error, QStringLiteral("cannot create an MQTT client"));
        return nullptr;
    }
    const auto refuse = [&](const QString& reason) {
        mosquitto_destroy(mosq);
        Fail(error, reason);
        return nullptr;
    };
    mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_reconnect_delay_set(mosq, std::max(1, options.reconnectDelayFirstSeconds),
                                  std::max(1, options.reconnectDelayLastSeconds), true);
    const MqttEndpoint& endpoint = options.endpoint;
    int rc = MOSQ_ERR_SUCCESS;
    if (!endpoint.user.isEmpty()) {
        const QByteArray user = endpoint.user.toUtf8();
        const QByteArray password = endpoint.password.toUtf8();
        rc = mosquitto_username_pw_set(
            mosq, user.constData(), endpoint.password.isEmpty() ? nullptr : password.constData());
        if (rc != MOSQ_ERR_SUCCESS) return refuse(ErrorText(rc));
    }
    if (options.will) {
        const MqttWill& will = *options.will;
        rc = mosquitto_will_set(mosq, will.topic.constData(), int(will.payload.size()),
                                will.payload.constData(), will.qos, will.retain);
        if (rc != MOSQ_ERR_SUCCESS) return refuse(QStringLiteral("last will: ") + ErrorText(rc));
    }
    if (endpoint.tls) {
        CaStore store;
        if (options.caFile.isEmpty()) {
            store = SystemCaStore();
            if (store.file.isEmpty() && store.folder.isEmpty())
                return refuse(QStringLiteral("TLS: no CA file given and the system has no CA "
                                             "store (%1 or %2)")
                                  .arg(QString::fromUtf8(X509_get_default_cert_file()),
                                       QString::fromUtf8(X509_get_default_cert_dir())));
        } else {
            if (const auto problem = CaFileProblem(options.caFile))
                return refuse(QStringLiteral("TLS: ") + *problem);
            store.file = options.caFile.toLocal8Bit();
        }
        rc = mosquitto_tls_set(mosq, store.file.isEmpty() ? nullptr : store.file.constData(),
                               store.folder.isEmpty() ? nullptr : store.folder.constData(), nullptr,
                               nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) return refuse(QStringLiteral("TLS: ") + ErrorText(rc));
    }
    return mosq;
}

}  // namespace

// Makes the first connection, retrying with back-off, on a thread of its own so that
// connecting never blocks the client's thread. libmosquitto's network thread reconnects by
// itself once a first connection has been made, except after a failed TLS handshake, which
// ends that thread for good: then this connector joins it and starts over.
class MqttClient::Connector : public QObject {
public:
    explicit Connector(MqttClient* client)
        : client_(client),
          firstDelay_(
              std::chrono::seconds(std::max(1, client->m_options.reconnectDelayFirstSeconds))),
          delay_(firstDelay_),
          lastDelay_(
              std::chrono::seconds(std::max(1, client->m_options.reconnectDelayLastSeconds))) {
        retry_.setSingleShot(true);
        connect(&retry_, &QTimer::timeout, this, &Connector::Try);
    }

    void Try() {
        if (replaceNetworkThread_) {
            replaceNetworkThread_ = false;
            // A connection made meanwhile after all is kept.
            if (client_->connected_) return;
            // Marks the client as leaving, so that the network thread ends if it still runs,
            // and joins it.
            mosquitto_disconnect(client_->m_mosq);
            mosquitto_loop_stop(client_->m_mosq, false);
        }
        const MqttEndpoint& endpoint = client_->m_options.endpoint;
        tConnecting = true;
        tTlsCause.clear();
        const int rc = mosquitto_connect_async(client_->m_mosq, endpoint.host.toUtf8().constData(),
                                               endpoint.port, client_->m_options.keepAliveSeconds);
        tConnecting = false;
        if (rc == MOSQ_ERR_SUCCESS) {
            mosquitto_loop_start(client_->m_mosq);
            return;
        }
        QString reason;
        if (rc == MOSQ_ERR_TLS) {
            reason = QStringLiteral("TLS: ") + (tTlsCause.isEmpty() ? ErrorText(rc) : tTlsCause);
        } else {
            reason = QStringLiteral("cannot reach the broker: ") +
                     (rc == MOSQ_ERR_ERRNO
                          ? QString::fromStdString(
                                std::error_code(errno, std::generic_category()).message())
                          : ErrorText(rc));
        }
        client_->post([client = client_, reason] { client->reportFailure(reason); });
        Retry();
    }

    // libmosquitto's network thread gave up after a failed TLS handshake.
    void ReplaceNetworkThread() {
        if (retry_.isActive()) return;  // an attempt of this thread failed: it retries anyway
        replaceNetworkThread_ = true;
        Retry();
    }

    void Connected() { delay_ = firstDelay_; }

    void Finish() { retry_.stop(); }

private:
    void Retry() {
        retry_.start(delay_);
        delay_ = std::min(delay_ * 2, lastDelay_);
    }

    MqttClient* client_;
    QTimer retry_{this};
    const std::chrono::milliseconds firstDelay_;
    std::chrono::milliseconds delay_;
    const std::chrono::milliseconds lastDelay_;
    bool replaceNetworkThread_ = false;
};

MqttClient::MqttClient(MqttClientOptions options, QObject* parent)
    : QObject(parent), m_options(std::move(options)) {
    InitLibraryOnce();
}

MqttClient::~MqttClient() {
    stop();
    if (m_mosq) mosquitto_destroy(m_mosq);
}

std::optional<QString> MqttClient::SetupProblem(const MqttClientOptions& options) {
    InitLibraryOnce();
    QString error;
    mosquitto* mosq = ConfiguredHandle(options, nullptr, &error);
    if (!mosq) return error;
    mosquitto_destroy(mosq);
    return std::nullopt;
}

bool MqttClient::start(QString* error) {
    if (m_running) return true;
    if (m_mosq) {
        mosquitto_destroy(m_mosq);
        m_mosq = nullptr;
    }
    m_generation.fetch_add(1);
    m_mosq = ConfiguredHandle(m_options, this, error);
    if (!m_mosq) return false;
    mosquitto_connect_with_flags_callback_set(m_mosq, &MqttClient::OnConnect);
    mosquitto_disconnect_callback_set(m_mosq, &MqttClient::OnDisconnect);
    mosquitto_publish_callback_set(m_mosq, &MqttClient::OnPublish);
    mosquitto_subscribe_callback_set(m_mosq, &MqttClient::OnSubscribe);
    mosquitto_message_callback_set(m_mosq, &MqttClient::OnMessage);
    mosquitto_log_callback_set(m_mosq, &MqttClient::OnLog);

    m_running = true;
    connected_ = false;
    lastFailure_.clear();
    m_connector =
        std::make_unique<threads::WorkerThread<Connector>>(QStringLiteral("mqtt-connect"), this);
    m_connector->Post([](Connector& connector) { connector.Try(); });
    return true;
}

void MqttClient::stop() {
    if (!m_running) return;
    m_running = false;
    m_connector.reset();  // waits for an attempt under way
    // Marks the client as leaving, which also ends the network thread's reconnect loop.
    mosquitto_disconnect(m_mosq);
    mosquitto_loop_stop(m_mosq, false);
    setOnline(false, false, QStringLiteral("disconnected"));
}

int MqttClient::publish(const QByteArray& topic, const QByteArray& payload, int qos, bool retain) {
    if (!m_mosq) return -1;
    int mid = 0;
    const int rc = mosquitto_publish(m_mosq, &mid, topic.constData(), int(payload.size()),
                                     payload.constData(), qos, retain);
    // Without a connection libmosquitto still keeps a QoS 1 or 2 message and sends it once it is
    // connected again, acknowledgement included: that message is on its way, not refused.
    const bool queued = rc == MOSQ_ERR_NO_CONN && qos > 0;
    return rc == MOSQ_ERR_SUCCESS || queued ? mid : -1;
}

void MqttClient::subscribe(const QByteArray& filter, int qos) {
    {
        std::lock_guard lock(m_subscriptionsMutex);
        m_subscriptions.push_back({filter, qos});
    }
    if (m_mosq && m_online) mosquitto_subscribe(m_mosq, nullptr, filter.constData(), qos);
}

void MqttClient::subscribeAll() {
    std::lock_guard lock(m_subscriptionsMutex);
    for (const Subscription& s : m_subscriptions) {
        mosquitto_subscribe(m_mosq, nullptr, s.filter.constData(), s.qos);
    }
}

void MqttClient::setOnline(bool online, bool sessionPresent, const QString& reason) {
    if (m_online == online) return;
    m_online = online;
    if (online) {
        lastFailure_.clear();
        if (m_connector) m_connector->Post([](Connector& connector) { connector.Connected(); });
        emit this->online(sessionPresent);
    } else {
        emit offline(reason);
    }
}

void MqttClient::reportFailure(const QString& reason) {
    if (reason == lastFailure_) return;
    lastFailure_ = reason;
    emit offline(reason);
}

void MqttClient::post(std::function<void()> stateChange) {
    // A connection event that reaches this thread after stop(), or after a later start(), no
    // longer describes the connection: it is dropped by its generation.
    const int generation = m_generation;
    threads::Post(this, [this, generation, stateChange = std::move(stateChange)] {
        if (m_running && generation == m_generation) stateChange();
    });
}

void MqttClient::OnConnect(mosquitto*, void* self, int rc, int flags) {
    auto* client = static_cast<MqttClient*>(self);
    if (rc != 0) {
        const QString reason = QString::fromUtf8(mosquitto_connack_string(rc));
        client->post(
            [client, reason] { emit client->offline(QStringLiteral("refused: ") + reason); });
        return;
    }
    client->connected_ = true;
    // Subscribing here, before anything is handed to the client's thread, means no message of a
    // fresh session can slip past between the connection and the subscription.
    client->subscribeAll();
    const bool sessionPresent = (flags & 1) != 0;
    client->post([client, sessionPresent] { client->setOnline(true, sessionPresent, {}); });
}

void MqttClient::OnDisconnect(mosquitto*, void* self, int rc) {
    const int savedErrno = errno;
    auto* client = static_cast<MqttClient*>(self);
    client->connected_ = false;
    // A TLS error on the connection ends the network thread too: the connector makes a new one.
    const bool tlsError = !tTlsCause.isEmpty();
    QString reason = rc == 0 ? QStringLiteral("disconnected") : ErrorText(rc);
    if (tlsError) reason = QStringLiteral("TLS: ") + tTlsCause;
    tTlsCause.clear();
    client->post([client, reason, tlsError] {
        client->setOnline(false, false, reason);
        if (tlsError) client->replaceNetworkThread();
    });
    errno = savedErrno;
}

void MqttClient::OnPublish(mosquitto*, void* self, int mid) {
    auto* client = static_cast<MqttClient*>(self);
    // Message ids start again with each start(): an acknowledgement from before a restart must
    // not be taken for one of the new ids, so it goes with the connection events.
    client->post([client, mid] { emit client->acknowledged(mid); });
}

void MqttClient::OnSubscribe(mosquitto*, void* self, int, int, const int*) {
    auto* client = static_cast<MqttClient*>(self);
    threads::Post(client, [client] { emit client->subscribed(); });
}

void MqttClient::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
    auto* client = static_cast<MqttClient*>(self);
    QByteArray topic(message->topic);
    QByteArray payload(static_cast<const char*>(message->payload), message->payloadlen);
    const bool retained = message->retain;
    threads::Post(client, [client, topic = std::move(topic), payload = std::move(payload),
                           retained] { emit client->messageReceived(topic, payload, retained); });
}

void MqttClient::OnLog(mosquitto* mosq, void* self, int level, const char* text) {
    if (level != MOSQ_LOG_ERR) return;
    // libmosquitto decides whether to reconnect by errno after some of its callbacks.
    const int savedErrno = errno;
    auto* client = static_cast<MqttClient*>(self);
    const bool handshake = !client->connected_;
    // An attempt of the connecting thread reports its own failure, and the end of a connection
    // the broker had accepted is reported as it is lost.
    if (NoteTlsError(mosq, QString::fromUtf8(text), client->m_options.endpoint.host, handshake) &&
        handshake && !tConnecting) {
        const QString reason = QStringLiteral("TLS: ") + tTlsCause;
        tTlsCause.clear();
        client->post([client, reason] {
            client->reportFailure(reason);
            client->replaceNetworkThread();
        });
    }
    errno = savedErrno;
}

void MqttClient::replaceNetworkThread() {
    if (m_connector)
        m_connector->Post([](Connector& connector) { connector.ReplaceNetworkThread(); });
}
