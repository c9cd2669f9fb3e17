// Test helper: the real window with its history store in DATA_DIR, monitoring the bus on PORT
// once a second. Prints "shown STEP T_MS STATUS VOLTAGE_DV TEMPERATURE_DC" for every reading
// once the window has shown it (and handed it to the store), so that a test can kill it with
// SIGKILL at any moment and look for every shown reading in the file.
// Arguments: DATA_DIR PORT.

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <cstdio>

#include "app/TForm1.h"
#include "station/Station.h"
#include "tests/common/FormControls.h"

using testsupport::Control;

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    StationOptions options;
    options.dataDir = QString::fromLocal8Bit(argv[1]);
    TForm1 form(options);
    form.show();
    // Connected after the window's own handlers, so it runs once they have shown the reading.
    QObject::connect(&form.Monitoring(), &Station::ReadingRecorded,
                     [](int step, const BatteryReading& r, qint64 arrivalMs) {
                         std::printf("shown %d %lld %d %d %d\n", step,
                                     static_cast<long long>(arrivalMs), r.StatusCode, r.RawVoltage,
                                     r.RawTemperature);
                         std::fflush(stdout);
                     });
    Control<QComboBox>(form, "Com_combox")->setEditText(QString::fromLocal8Bit(argv[2]));
    Control<QPushButton>(form, "Button1")->click();
    Control<QLineEdit>(form, "sample_time")->setText(QStringLiteral("1"));
    Control<QPushButton>(form, "RzBitBtn14")->click();
    Control<QPushButton>(form, "RzBitBtn7")->click();
    return app.exec();
}
