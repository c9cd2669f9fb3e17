#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "mqtt/MqttUrl.h"

struct mosquitto;
struct mosquitto_message;
namespace threads {
template <class WorkerType>
class WorkerThread;
}

struct MqttWill {
    QByteArray topic;
    QByteArray payload;
    int qos = 1;
    bool retain = true;
};

struct MqttClientOptions {
    MqttEndpoint endpoint;
    // Empty: the broker picks one, which only works with a clean session.
    QString clientId;
    // false keeps the session (subscriptions and unacknowledged QoS 1 messages) on the broker
    // while the client is away; it needs a fixed client id.
    bool cleanSession = true;
    // TLS (mqtts://): the CA certificate file the broker's certificate is checked against;
    // empty uses the system's CA store.
    QString caFile;
    std::optional<MqttWill> will;
    int keepAliveSeconds = 30;
    // Reconnect back-off: doubles from the first delay up to the last, in whole seconds.
    int reconnectDelayFirstSeconds = 1;
    int reconnectDelayLastSeconds = 30;
};

// A small MQTT client on libmosquitto. The network runs on libmosquitto's own thread; every
// signal is delivered on the thread this object lives on. After start() the client keeps
// (re)connecting with back-off until stop() or destruction.
class MqttClient : public QObject {
    Q_OBJECT
public:
    explicit MqttClient(MqttClientOptions options, QObject* parent = nullptr);
    ~MqttClient() override;

    MqttClient(const MqttClient&) = delete;
    MqttClient& operator=(const MqttClient&) = delete;

    // Starts connecting in the background. False (with `error`) only for a set-up the client
    // can never connect with (bad options, TLS files missing or without a certificate); an
    // unreachable broker, or one whose TLS handshake fails, is retried.
    bool start(QString* error = nullptr);
    // Why a client with `options` could never connect, or nothing when it could: the checks of
    // start(), without connecting. For trying new settings before giving up the running ones.
    static std::optional<QString> SetupProblem(const MqttClientOptions& options);
    // Disconnects cleanly (the broker does not send the last will) and stops retrying.
    void stop();

    bool isOnline() const { return m_online; }
    const MqttClientOptions& options() const { return m_options; }

    // Queues a message; returns its message id, which acknowledged() reports once the broker
    // has taken it (QoS 1 and 2), or -1 when libmosquitto refused it. QoS 1 and 2 messages
    // published while the broker is away are kept in memory and sent after the reconnect; a
    // QoS 0 message is then refused. Messages kept this way do not survive the process.
    int publish(const QByteArray& topic, const QByteArray& payload, int qos = 1,
                bool retain = false);
    // Subscribes now when online and again after every reconnect.
    void subscribe(const QByteArray& filter, int qos = 1);

signals:
    void online(bool sessionPresent);
    // The connection ended, or an attempt to make one failed ("cannot reach the broker: ...",
    // "TLS: certificate verify failed: unknown CA ..."); a failed attempt is reported again
    // only when its reason changes.
    void offline(const QString& reason);
    void subscribed();
    void messageReceived(const QByteArray& topic, const QByteArray& payload, bool retained);
    // Only for ids of the current start(): after stop() the fate of unacknowledged messages is
    // unknown, and publishing them again is the caller's choice.
    void acknowledged(int messageId);

private:
    struct Subscription {
        QByteArray filter;
        int qos;
    };

    // libmosquitto's callbacks, called on its network thread.
    static void OnConnect(mosquitto*, void* self, int rc, int flags);
    static void OnDisconnect(mosquitto*, void* self, int rc);
    static void OnPublish(mosquitto*, void* self, int mid);
    static void OnSubscribe(mosquitto*, void* self, int mid, int count, const int* granted);
    static void OnMessage(mosquitto*, void* self, const mosquitto_message* message);
    static void OnLog(mosquitto*, void* self, int level, const char* text);

    // A connection attempt failed for `reason`: reported once until the reason changes or a
    // connection is made.
    void reportFailure(const QString& reason);
    // libmosquitto's network thread ends for good after a TLS error: a new one is made.
    void replaceNetworkThread();

    void subscribeAll();
    // Runs a connection event's `stateChange` on this object's thread.
    void post(std::function<void()> stateChange);
    void setOnline(bool online, bool sessionPresent, const QString& reason);

    MqttClientOptions m_options;
    mosquitto* m_mosq = nullptr;
    bool m_running = false;
    std::atomic<int> m_generation{0};
    class Connector;
    // Makes the first connection, and a new one whenever a failed TLS handshake has ended
    // libmosquitto's network thread (which then gives up for good); runs until stop().
    std::unique_ptr<threads::WorkerThread<Connector>> m_connector;
    bool m_online = false;  // owned by this object's thread
    QString lastFailure_;   // owned by this object's thread
    // Whether the broker accepted the current connection: set on the network thread, read
    // before a new connection replaces the current one.
    std::atomic<bool> connected_{false};
    std::mutex m_subscriptionsMutex;
    std::vector<Subscription> m_subscriptions;  // read by the network thread on connect
};
