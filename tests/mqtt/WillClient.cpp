// Test helper: an MqttClient with a last will, announcing itself online, that runs until it is
// killed. Usage: will_client URL STATUS_TOPIC
#include <QCoreApplication>
#include <cstdio>

#include "mqtt/BatmonMessages.h"
#include "mqtt/MqttClient.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 3) return 2;
    MqttClientOptions options;
    options.endpoint = *ParseMqttUrl(QString::fromLocal8Bit(argv[1]));
    options.will = MqttWill{argv[2], kOfflinePayload, 1, true};
    MqttClient client(options);
    QObject::connect(&client, &MqttClient::online,
                     [&] { client.publish(argv[2], kOnlinePayload, 1, true); });
    client.start();
    return app.exec();
}
