#include "mqtt/MqttClient.h"

#include <mosquitto.h>

#include <QTimer>
#include <algorithm>
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

}  // namespace

// Makes the first connection, retrying with back-off, on a thread of its own so that
// connecting never blocks the client's thread. libmosquitto's network thread reconnects by
// itself, but only once a first connection has been made.
class MqttClient::Connector : public QObject {
public:
    explicit Connector(MqttClient* client)
        : client_(client),
          delay_(std::chrono::seconds(std::max(1, client->m_options.reconnectDelayFirstSeconds))),
          lastDelay_(
              std::chrono::seconds(std::max(1, client->m_options.reconnectDelayLastSeconds))) {
        retry_.setSingleShot(true);
        connect(&retry_, &QTimer::timeout, this, &Connector::Try);
    }

    void Try() {
        const MqttEndpoint& endpoint = client_->m_options.endpoint;
        const int rc = mosquitto_connect_async(client_->m_mosq, endpoint.host.toUtf8().constData(),
                                               endpoint.port, client_->m_options.keepAliveSeconds);
        if (rc == MOSQ_ERR_SUCCESS) {
            mosquitto_loop_start(client_->m_mosq);
            // Its work is done: the client's thread lets it go.
            client_->post([client = client_] { client->m_connector.reset(); });
            return;
        }
        if (!reported_) {
            const QString reason =
                rc == MOSQ_ERR_ERRNO
                    ? QString::fromStdString(
                          std::error_code(errno, std::generic_category()).message())
                    : ErrorText(rc);
            client_->post([client = client_, reason] {
                emit client->offline(QStringLiteral("cannot reach the broker: ") + reason);
            });
            reported_ = true;
        }
        retry_.start(delay_);
        delay_ = std::min(delay_ * 2, lastDelay_);
    }

    void Finish() { retry_.stop(); }

private:
    MqttClient* client_;
    QTimer retry_{this};
    std::chrono::milliseconds delay_;
    const std::chrono::milliseconds lastDelay_;
    bool reported_ = false;
};

MqttClient::MqttClient(MqttClientOptions options, QObject* parent)
    : QObject(parent), m_options(std::move(options)) {
    InitLibraryOnce();
}

MqttClient::~MqttClient() {
    stop();
    if (m_mosq) mosquitto_destroy(m_mosq);
}

bool MqttClient::start(QString* error) {
    if (m_running) return true;
    if (!m_options.cleanSession && m_options.clientId.isEmpty()) {
        return Fail(error, QStringLiteral("a kept session needs a fixed client id"));
    }
    if (m_mosq) {
        mosquitto_destroy(m_mosq);
        m_mosq = nullptr;
    }
    m_generation.fetch_add(1);
    const QByteArray clientId = m_options.clientId.toUtf8();
    m_mosq = mosquitto_new(clientId.isEmpty() ? nullptr : clientId.constData(),
                           m_options.cleanSession, this);
    if (!m_mosq) return Fail(error, QStringLiteral("cannot create an MQTT client"));

    mosquitto_int_option(m_mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_connect_with_flags_callback_set(m_mosq, &MqttClient::OnConnect);
    mosquitto_disconnect_callback_set(m_mosq, &MqttClient::OnDisconnect);
    mosquitto_publish_callback_set(m_mosq, &MqttClient::OnPublish);
    mosquitto_subscribe_callback_set(m_mosq, &MqttClient::OnSubscribe);
    mosquitto_message_callback_set(m_mosq, &MqttClient::OnMessage);
    mosquitto_reconnect_delay_set(m_mosq, std::max(1, m_options.reconnectDelayFirstSeconds),
                                  std::max(1, m_options.reconnectDelayLastSeconds), true);

    const MqttEndpoint& endpoint = m_options.endpoint;
    int rc = MOSQ_ERR_SUCCESS;
    if (!endpoint.user.isEmpty()) {
        const QByteArray user = endpoint.user.toUtf8();
        const QByteArray password = endpoint.password.toUtf8();
        rc = mosquitto_username_pw_set(
            m_mosq, user.constData(), endpoint.password.isEmpty() ? nullptr : password.constData());
        if (rc != MOSQ_ERR_SUCCESS) return Fail(error, ErrorText(rc));
    }
    if (m_options.will) {
        const MqttWill& will = *m_options.will;
        rc = mosquitto_will_set(m_mosq, will.topic.constData(), int(will.payload.size()),
                                will.payload.constData(), will.qos, will.retain);
        if (rc != MOSQ_ERR_SUCCESS)
            return Fail(error, QStringLiteral("last will: ") + ErrorText(rc));
    }
    if (endpoint.tls) {
        if (m_options.caFile.isEmpty()) {
            rc = mosquitto_int_option(m_mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        } else {
            // libmosquitto says only "Invalid function arguments provided." for a missing file.
            if (const auto problem = config::ReadableFileProblem(m_options.caFile))
                return Fail(error, QStringLiteral("TLS: the CA file ") + *problem);
            const QByteArray caFile = m_options.caFile.toLocal8Bit();
            rc = mosquitto_tls_set(m_mosq, caFile.constData(), nullptr, nullptr, nullptr, nullptr);
        }
        if (rc != MOSQ_ERR_SUCCESS) return Fail(error, QStringLiteral("TLS: ") + ErrorText(rc));
    }

    m_running = true;
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
        emit this->online(sessionPresent);
    } else {
        emit offline(reason);
    }
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
    // Subscribing here, before anything is handed to the client's thread, means no message of a
    // fresh session can slip past between the connection and the subscription.
    client->subscribeAll();
    const bool sessionPresent = (flags & 1) != 0;
    client->post([client, sessionPresent] { client->setOnline(true, sessionPresent, {}); });
}

void MqttClient::OnDisconnect(mosquitto*, void* self, int rc) {
    auto* client = static_cast<MqttClient*>(self);
    const QString reason = rc == 0 ? QStringLiteral("disconnected") : ErrorText(rc);
    client->post([client, reason] { client->setOnline(false, false, reason); });
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
