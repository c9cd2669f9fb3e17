#pragma once

#include <QComboBox>
#include <QPushButton>
#include <cstdio>

#include "app/TForm1.h"
#include "bench/app/BenchSupport.h"
#include "engine/MonitorSession.h"
#include "serial/SerialComm.h"
#include "tests/common/FormControls.h"
#include "tools/simctl/SimProcess.h"

using testsupport::Comm1;
using testsupport::Control;
using testsupport::HistoryGrid;

namespace bench {

// Starts batmon-sim (on a pseudo-terminal, or serving its bus over TCP like a serial device
// server) and opens its port in `form` through the port box and the open button, as the
// operator does. False (with a message) when either fails.
inline bool OpenOnSimulatedBus(TForm1& form, SimProcess& sim, bool overTcp = false) {
    if (!(overTcp ? sim.StartTcp() : sim.Start())) {
        std::fprintf(stderr, "batmon-sim: %s\n", qPrintable(sim.ErrorText()));
        return false;
    }
    form.show();
    Control<QComboBox>(form, "Com_combox")->setEditText(sim.PortPath());
    Control<QPushButton>(form, "Button1")->click();
    RunUntil([&] { return form.Session().PortOpen(); }, 4000);
    if (!form.Session().PortOpen()) {
        std::fprintf(stderr, "could not open %s\n", qPrintable(sim.PortPath()));
        return false;
    }
    return true;
}

}  // namespace bench
