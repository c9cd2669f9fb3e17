// MqttClient against a real Mosquitto broker: QoS 1 publishing with acknowledgements, delivery on
// the client's own thread, and reconnecting after the broker was away.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>
#include <csignal>
#include <memory>
#include <set>
#include <vector>

#include "mqtt/BatmonMessages.h"
#include "mqtt/MqttClient.h"
#include "tests/common/ThreadNames.h"
#include "tests/common/WaitFor.h"
#include "tests/servers/ChildProcess.h"
#include "tests/servers/MosquittoServer.h"

using testservers::MosquittoServer;
using testsupport::kSlowdown;
using testsupport::WaitUntil;

namespace {

MqttClientOptions Options(const MosquittoServer& broker, const QString& clientId = {}) {
    MqttClientOptions options;
    options.endpoint = *ParseMqttUrl(broker.url());
    options.clientId = clientId;
    options.cleanSession = clientId.isEmpty();
    return options;
}

std::chrono::seconds Seconds(int s) { return std::chrono::seconds(s * kSlowdown); }

TEST(MqttClientTest, publishesAreAcknowledgedAndDeliveredInOrderOnTheClientsThread) {
    MosquittoServer broker;
    QString error;
    ASSERT_TRUE(broker.start(&error)) << error.toStdString();

    MqttClient subscriber(Options(broker));
    subscriber.subscribe("batmon/test/#", 1);
    std::vector<QByteArray> received;
    bool allOnTestThread = true;
    QObject::connect(&subscriber, &MqttClient::messageReceived,
                     [&](const QByteArray& topic, const QByteArray& payload, bool) {
                         allOnTestThread &= QThread::currentThread() == qApp->thread();
                         received.push_back(topic + ' ' + payload);
                     });
    int subscriptions = 0;
    QObject::connect(&subscriber, &MqttClient::subscribed, [&] { ++subscriptions; });
    ASSERT_TRUE(subscriber.start(&error)) << error.toStdString();
    ASSERT_TRUE(WaitUntil([&] { return subscriptions == 1; }, Seconds(5)));

    MqttClient publisher(Options(broker));
    std::set<int> acknowledged;
    QObject::connect(&publisher, &MqttClient::acknowledged, [&](int id) {
        allOnTestThread &= QThread::currentThread() == qApp->thread();
        acknowledged.insert(id);
    });
    ASSERT_TRUE(publisher.start(&error));
    ASSERT_TRUE(WaitUntil([&] { return publisher.isOnline(); }, Seconds(5)));

    constexpr int kCount = 500;
    std::set<int> sent;
    for (int i = 0; i < kCount; ++i) {
        const int id =
            publisher.publish("batmon/test/" + QByteArray::number(i % 3), QByteArray::number(i));
        ASSERT_GT(id, 0);
        EXPECT_TRUE(sent.insert(id).second) << "message id reused while in flight";
    }
    ASSERT_TRUE(WaitUntil([&] { return acknowledged.size() == sent.size(); }, Seconds(10)));
    EXPECT_EQ(acknowledged, sent);
    ASSERT_TRUE(WaitUntil([&] { return received.size() == size_t(kCount); }, Seconds(10)));
    for (int i = 0; i < kCount; ++i) {
        EXPECT_EQ(received[size_t(i)],
                  "batmon/test/" + QByteArray::number(i % 3) + ' ' + QByteArray::number(i));
    }
    EXPECT_TRUE(allOnTestThread);
}

TEST(MqttClientTest, reconnectsWhenTheBrokerComesBackAndKeepsItsSession) {
    MosquittoServer broker;
    // Started before the broker: the client keeps trying until it is there.
    MqttClient client(Options(broker, QStringLiteral("reconnect-test")));
    client.subscribe("batmon/kept/#", 1);
    std::vector<bool> sessions;
    int offline = 0;
    QObject::connect(&client, &MqttClient::online, [&](bool kept) { sessions.push_back(kept); });
    QObject::connect(&client, &MqttClient::offline, [&] { ++offline; });
    std::vector<QByteArray> received;
    QObject::connect(
        &client, &MqttClient::messageReceived,
        [&](const QByteArray&, const QByteArray& payload, bool) { received.push_back(payload); });
    QString error;
    ASSERT_TRUE(client.start(&error)) << error.toStdString();
    ASSERT_TRUE(broker.start(&error)) << error.toStdString();
    ASSERT_TRUE(WaitUntil([&] { return client.isOnline(); }, Seconds(10)));
    EXPECT_FALSE(sessions.front());
    EXPECT_EQ(offline, 1) << "the unreachable broker is reported once, not at every attempt";

    broker.stop();
    ASSERT_TRUE(WaitUntil([&] { return !client.isOnline(); }, Seconds(5)));
    EXPECT_EQ(offline, 2);
    // Published while the broker is away: kept by the client, sent and acknowledged once the
    // broker is back, and not reported as refused.
    std::set<int> acknowledgedOwn;
    QObject::connect(&client, &MqttClient::acknowledged,
                     [&](int id) { acknowledgedOwn.insert(id); });
    const int keptId = client.publish("batmon/kept/0", "published while the broker was away");
    EXPECT_GT(keptId, 0);
    EXPECT_EQ(client.publish("batmon/kept/0", "at most once", 0), -1);
    ASSERT_TRUE(broker.start(&error)) << error.toStdString();
    ASSERT_TRUE(WaitUntil([&] { return client.isOnline(); }, Seconds(10)));
    EXPECT_TRUE(sessions.back()) << "the broker should have kept the session across its restart";
    ASSERT_TRUE(WaitUntil([&] { return acknowledgedOwn.count(keptId) == 1; }, Seconds(10)));
    ASSERT_TRUE(WaitUntil([&] { return received.size() == 1; }, Seconds(10)));
    EXPECT_EQ(received.front(), "published while the broker was away");
    received.clear();

    // Published while the client is away: the kept session holds it for the client.
    client.stop();
    EXPECT_FALSE(client.isOnline());
    MqttClient publisher(Options(broker));
    std::set<int> acknowledged;
    QObject::connect(&publisher, &MqttClient::acknowledged,
                     [&](int id) { acknowledged.insert(id); });
    ASSERT_TRUE(publisher.start(&error));
    ASSERT_TRUE(WaitUntil([&] { return publisher.isOnline(); }, Seconds(5)));
    const int id = publisher.publish("batmon/kept/1", "while away");
    ASSERT_TRUE(WaitUntil([&] { return acknowledged.count(id) == 1; }, Seconds(5)));
    ASSERT_TRUE(client.start(&error));
    ASSERT_TRUE(WaitUntil([&] { return received.size() == 1; }, Seconds(10)));
    EXPECT_EQ(received.front(), "while away");
}

TEST(MqttClientTest, stopWhileWaitingToRetryReturnsAtOnceAndLeavesNoThreadBehind) {
    MosquittoServer broker;  // never started: every attempt is refused
    auto options = Options(broker);
    options.reconnectDelayFirstSeconds = 30;
    MqttClient client(options);
    int offline = 0;
    QObject::connect(&client, &MqttClient::offline, [&] { ++offline; });
    QString error;
    ASSERT_TRUE(client.start(&error)) << error.toStdString();
    ASSERT_TRUE(WaitUntil([&] { return offline == 1; }, Seconds(5)));

    EXPECT_TRUE(testsupport::ThreadNames().contains(QStringLiteral("mqtt-connect")));

    QElapsedTimer stopping;
    stopping.start();
    client.stop();
    EXPECT_LT(stopping.elapsed(), 1000 * kSlowdown) << "the retry wait must not hold up stop()";
    // Qt lets a joined thread's last steps run on after the join returns.
    EXPECT_TRUE(WaitUntil(
        [] { return !testsupport::ThreadNames().contains(QStringLiteral("mqtt-connect")); },
        Seconds(2)));
    ASSERT_TRUE(client.start(&error)) << "and it starts again";
}

TEST(MqttClientTest, tlsConnectsOnlyToABrokerItsCaVouchesFor) {
    MosquittoServer broker;
    QString error;
    ASSERT_TRUE(broker.enableTls(&error)) << error.toStdString();
    ASSERT_TRUE(broker.start(&error)) << error.toStdString() << broker.log().toStdString();

    MqttClientOptions options;
    options.endpoint = *ParseMqttUrl(broker.tlsUrl());
    options.caFile = broker.caFile();
    MqttClient trusted(options);
    std::set<int> acknowledged;
    QObject::connect(&trusted, &MqttClient::acknowledged, [&](int id) { acknowledged.insert(id); });
    ASSERT_TRUE(trusted.start(&error)) << error.toStdString();
    ASSERT_TRUE(WaitUntil([&] { return trusted.isOnline(); }, Seconds(10)));
    const int id = trusted.publish("batmon/tls/A0/0", "over TLS");
    ASSERT_TRUE(WaitUntil([&] { return acknowledged.count(id) == 1; }, Seconds(5)));

    // The system's CA store does not know the test's CA: no connection, ever.
    options.caFile.clear();
    MqttClient untrusting(options);
    ASSERT_TRUE(untrusting.start(&error)) << error.toStdString();
    EXPECT_TRUE(testsupport::HoldsFor([&] { return !untrusting.isOnline(); },
                                      std::chrono::milliseconds(2500)));

    options.caFile = broker.folder() + QStringLiteral("/missing.crt");
    MqttClient misconfigured(options);
    EXPECT_FALSE(misconfigured.start(&error));
    EXPECT_EQ(error.toStdString(),
              "TLS: the CA file " + options.caFile.toStdString() + " does not exist");

    // A file that is there but holds no certificate can never work either, and is known
    // before connecting.
    options.caFile = broker.folder() + QStringLiteral("/mosquitto.conf");
    EXPECT_EQ(MqttClient::SetupProblem(options).value_or(QString()).toStdString(),
              "TLS: the CA file " + options.caFile.toStdString() +
                  " holds no certificate (no certificate or crl found)");
    MqttClient garbage(options);
    EXPECT_FALSE(garbage.start(&error));
    options.caFile = broker.caFile();
    EXPECT_FALSE(MqttClient::SetupProblem(options));
}

// Every refused handshake is named by its cause, once while the cause stays the same, and the
// client keeps trying (libmosquitto's own network thread gives up after one): a broker whose
// TLS listener is mended is reached without a restart.
TEST(MqttClientTest, tlsFailuresAreNamedOnceAndRetriedUntilTheBrokerIsMended) {
    MosquittoServer broker;
    QString error;
    ASSERT_TRUE(broker.enableTls(&error)) << error.toStdString();
    ASSERT_TRUE(broker.start(&error)) << error.toStdString() << broker.log().toStdString();
    const auto failures = [](MqttClient& client) {
        auto reasons = std::make_shared<std::vector<QString>>();
        QObject::connect(&client, &MqttClient::offline,
                         [reasons](const QString& reason) { reasons->push_back(reason); });
        return reasons;
    };
    const auto tlsClient = [&](const QString& url, const QString& caFile) {
        MqttClientOptions options;
        options.endpoint = *ParseMqttUrl(url);
        options.caFile = caFile;
        return options;
    };

    // The system's CA store does not know the test's CA; the certificate is for 127.0.0.1, not
    // for localhost; and the plain listener hangs up on a TLS greeting.
    MqttClient unknownCa(tlsClient(broker.tlsUrl(), {}));
    MqttClient wrongHost(
        tlsClient(QStringLiteral("mqtts://localhost:%1").arg(broker.tlsPort()), broker.caFile()));
    MqttClient plainListener(
        tlsClient(QStringLiteral("mqtts://127.0.0.1:%1").arg(broker.port()), broker.caFile()));
    const auto unknownCaReasons = failures(unknownCa);
    const auto wrongHostReasons = failures(wrongHost);
    const auto plainListenerReasons = failures(plainListener);
    for (MqttClient* client : {&unknownCa, &wrongHost, &plainListener})
        ASSERT_TRUE(client->start(&error)) << error.toStdString();
    ASSERT_TRUE(WaitUntil(
        [&] {
            return !unknownCaReasons->empty() && !wrongHostReasons->empty() &&
                   !plainListenerReasons->empty();
        },
        Seconds(10)));
    // Attempts 1 s and 2 s apart: at least two more of each meanwhile, none reported again.
    EXPECT_TRUE(testsupport::HoldsFor(
        [&] {
            return unknownCaReasons->size() == 1 && wrongHostReasons->size() == 1 &&
                   plainListenerReasons->size() == 1;
        },
        std::chrono::milliseconds(3500)))
        << (QStringList(unknownCaReasons->begin(), unknownCaReasons->end()) +
            QStringList(wrongHostReasons->begin(), wrongHostReasons->end()) +
            QStringList(plainListenerReasons->begin(), plainListenerReasons->end()))
               .join(u'|')
               .toStdString();
    EXPECT_TRUE(unknownCaReasons->front().startsWith(
        QStringLiteral("TLS: certificate verify failed: unknown CA (")))
        << unknownCaReasons->front().toStdString();
    EXPECT_EQ(wrongHostReasons->front(),
              QStringLiteral("TLS: certificate verify failed: wrong host name (the broker's "
                             "certificate is not for localhost)"));
    EXPECT_EQ(plainListenerReasons->front(),
              QStringLiteral("TLS: unexpected eof while reading (is the broker's port a TLS "
                             "listener?)"));
    EXPECT_FALSE(unknownCa.isOnline() || wrongHost.isOnline() || plainListener.isOnline());

    // The port the client keeps trying becomes a TLS listener.
    plainListener.publish("batmon/tls/A0/1", "sent while the handshake failed");
    MosquittoServer mended;
    ASSERT_TRUE(mended.enableTls(&error, broker.port())) << error.toStdString();
    MqttClient plainUntilMended(
        tlsClient(QStringLiteral("mqtts://127.0.0.1:%1").arg(broker.port()), mended.caFile()));
    ASSERT_TRUE(plainUntilMended.start(&error)) << error.toStdString();
    const auto mendedReasons = failures(plainUntilMended);
    ASSERT_TRUE(WaitUntil([&] { return !mendedReasons->empty(); }, Seconds(10)));
    broker.stop();
    ASSERT_TRUE(mended.start(&error)) << error.toStdString() << mended.log().toStdString();
    EXPECT_TRUE(WaitUntil([&] { return plainUntilMended.isOnline(); }, Seconds(15)))
        << mendedReasons->back().toStdString();
}

// Without a CA file the system's CA store vouches for the broker, and the client reconnects
// after the broker restarts, as it does with a CA file.
TEST(MqttClientTest, tlsWithTheSystemCaStoreReconnectsAfterTheBrokerRestarts) {
    MosquittoServer broker;
    QString error;
    ASSERT_TRUE(broker.enableTls(&error)) << error.toStdString();
    ASSERT_TRUE(broker.start(&error)) << error.toStdString() << broker.log().toStdString();
    // The store as OpenSSL finds it: here one that holds the test's CA only.
    const QTemporaryDir noFolder;
    const QByteArray savedFile = qgetenv("SSL_CERT_FILE");
    const QByteArray savedFolder = qgetenv("SSL_CERT_DIR");
    qputenv("SSL_CERT_FILE", broker.caFile().toLocal8Bit());
    qputenv("SSL_CERT_DIR", noFolder.path().toLocal8Bit());
    MqttClientOptions options;
    options.endpoint = *ParseMqttUrl(broker.tlsUrl());
    std::vector<QString> reasons;  // outlives the client, which reports its stop
    MqttClient client(options);
    const bool started = client.start(&error);
    for (const auto& [name, value] :
         {std::pair{"SSL_CERT_FILE", savedFile}, std::pair{"SSL_CERT_DIR", savedFolder}}) {
        if (value.isEmpty())
            qunsetenv(name);
        else
            qputenv(name, value);
    }
    ASSERT_TRUE(started) << error.toStdString();
    QObject::connect(&client, &MqttClient::offline,
                     [&](const QString& reason) { reasons.push_back(reason); });
    ASSERT_TRUE(WaitUntil([&] { return client.isOnline(); }, Seconds(10)));

    broker.stop();
    ASSERT_TRUE(WaitUntil([&] { return !client.isOnline(); }, Seconds(10)));
    ASSERT_TRUE(broker.start(&error)) << error.toStdString();
    EXPECT_TRUE(WaitUntil([&] { return client.isOnline(); }, Seconds(15)))
        << QStringList(reasons.begin(), reasons.end()).join(u'|').toStdString();
}

TEST(MqttClientTest, theLastWillMarksAVanishedClientOffline) {
    MosquittoServer broker;
    QString error;
    ASSERT_TRUE(broker.start(&error)) << error.toStdString();
    const QString site = QStringLiteral("room-7");

    MqttClient watcher(Options(broker));
    watcher.subscribe(StatusTopic(site), 1);
    std::vector<std::pair<QByteArray, bool>> statuses;
    QObject::connect(&watcher, &MqttClient::messageReceived,
                     [&](const QByteArray&, const QByteArray& payload, bool retained) {
                         statuses.emplace_back(payload, retained);
                     });
    ASSERT_TRUE(watcher.start(&error));

    QTemporaryDir dir;
    testservers::ChildProcess client;
    ASSERT_TRUE(client.start(QStringLiteral(WILL_CLIENT_PATH),
                             {broker.url(), QString::fromUtf8(StatusTopic(site))},
                             dir.filePath(QStringLiteral("client.log"))));
    ASSERT_TRUE(WaitUntil([&] { return statuses.size() == 1; }, Seconds(10)));
    EXPECT_EQ(statuses.back().first, kOnlinePayload);

    client.stop(SIGKILL);  // no DISCONNECT: the broker publishes the will
    ASSERT_TRUE(WaitUntil([&] { return statuses.size() == 2; }, Seconds(10)));
    EXPECT_EQ(statuses.back().first, kOfflinePayload);

    // Retained: a client that subscribes later learns the site is offline.
    MqttClient late(Options(broker));
    late.subscribe(StatusTopic(site), 1);
    std::vector<std::pair<QByteArray, bool>> lateStatuses;
    QObject::connect(&late, &MqttClient::messageReceived,
                     [&](const QByteArray&, const QByteArray& payload, bool retained) {
                         lateStatuses.emplace_back(payload, retained);
                     });
    ASSERT_TRUE(late.start(&error));
    ASSERT_TRUE(WaitUntil([&] { return lateStatuses.size() == 1; }, Seconds(10)));
    EXPECT_EQ(lateStatuses.front(), std::make_pair(kOfflinePayload, true));
}

}  // namespace
