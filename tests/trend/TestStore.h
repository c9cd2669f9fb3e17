#pragma once

#include <QSqlDatabase>
#include <QString>
#include <QTemporaryDir>
#include <span>

#include "battery/BatteryId.h"
#include "trend/TrendTypes.h"

// A history store file in a temporary folder, made by the store, with readings written through
// a connection of the test's own (as the store's writer would).
class TestStore {
public:
    TestStore();
    ~TestStore();

    QString Path() const { return dir_.filePath(QStringLiteral("history.sqlite")); }
    void Insert(battery::BatteryId battery, std::span<const TrendSample> samples);
    QSqlDatabase Writer() const;

private:
    QTemporaryDir dir_;
    QString connection_;
};
