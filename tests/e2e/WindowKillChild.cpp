// Test helper: the real window with its history store in DATA_DIR, monitoring the bus on PORT
// once a second. Prints "shown DEVICE BATTERY T_MS STATUS VOLTAGE_DV TEMPERATURE_DC" for every
// reading once the window has shown it (and handed it to the store), so that a test can kill it
// with SIGKILL at any moment and look for every shown reading in the file. Arguments: DATA_DIR
// PORT.

#include <QApplication>
#include <cstdio>

#include "station/Station.h"
#include "tests/common/WindowRig.h"

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    StationOptions options;
    options.dataDir = QString::fromLocal8Bit(argv[1]);
    testsupport::WindowRig window(options);
    // Connected after the window's own handlers, so it runs once they have shown the reading.
    QObject::connect(
        &window.Form().Monitoring(), &Station::ReadingRecorded, [](const battery::Reading& r) {
            std::printf("shown %d %d %lld %d %d %d\n", r.device, r.battery,
                        static_cast<long long>(r.t_ms), r.status, r.voltage_dv, r.temperature_dc);
            std::fflush(stdout);
        });
    if (!window.OpenPort(QString::fromLocal8Bit(argv[2]))) {
        std::fprintf(stderr, "%s\n", qPrintable(window.ErrorText()));
        return 1;
    }
    window.StartMonitoring(QStringLiteral("1"));
    return app.exec();
}
