#pragma once

#include <QComboBox>
#include <QPushButton>
#include <cstdio>

#include "SerialComm.h"
#include "SimProcess.h"
#include "TForm1.h"

namespace bench {

// Starts batmon-sim and opens its port in `form` through the port box and the open button, as
// the operator does. False (with a message) when either fails.
inline bool OpenOnSimulatedBus(TForm1& form, SimProcess& sim) {
    if (!sim.Start()) {
        std::fprintf(stderr, "batmon-sim: %s\n", qPrintable(sim.ErrorText()));
        return false;
    }
    form.show();
    form.Com_combox->setEditText(sim.PortPath());
    form.Button1->click();
    if (form.Comm1->ComHandle() == 0) {
        std::fprintf(stderr, "could not open %s\n", qPrintable(sim.PortPath()));
        return false;
    }
    return true;
}

}  // namespace bench
