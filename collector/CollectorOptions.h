#pragma once

#include <QString>
#include <QStringList>

#include "config/CommandLine.h"
#include "mqtt/MqttUrl.h"

struct CollectorOptions {
    MqttEndpoint broker;
    QString postgres;  // libpq connection string
    // The broker keeps this client's session (subscriptions and unsent messages) while it is
    // away; two collectors with one id would take the session from each other.
    QString clientId = QStringLiteral("batmon-collector");
    QString caFile;
    int batchRows = 5000;       // a batch is written at once when it reaches this many rows
    int flushIntervalMs = 100;  // and at the latest this long after its first row arrived
    // Rows held in memory while the database is slower than the broker or away; beyond this the
    // collector stops taking messages and the broker keeps them.
    int maxHeldRows = 200000;
};

// batmon-collector --mqtt URL --postgres CONNINFO [--config FILE] [--client-id ID]
//                  [--ca-file FILE]
// The INI file (keys mqtt, postgres, client_id, mqtt_user, mqtt_password, ca_file, batch_rows,
// flush_ms, max_held_rows) gives defaults; the command line wins. Passwords come from the file
// only: a connection string with a password is refused on the command line. An unknown key in
// the file is refused.
config::Parsed<CollectorOptions> ParseCollectorOptions(const QStringList& arguments);
