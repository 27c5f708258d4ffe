// The window's demo mode: a simulated bus of seven slaves in this process,
// with moving temperatures, so that a newcomer sees readings and log lines
// without hardware.
#pragma once

#include "gui/Form1.h"
#include "sim/SimBus.h"

#include <string>

class TDemo {
public:
    static constexpr const char* kProfile = "oven";

    // Starts the bus on its own pseudo-terminal; raises EError when the
    // system has none to give.
    TDemo();

    // The bus's port as the port box names it: the device path below /dev.
    std::string PortName() const;
    // base with the bus's port listed right after "None".
    TFormOptions Options(TFormOptions base = {}) const;
    // Does what the operator would: enters the port box, chooses the bus's
    // port and presses Run.
    void Start(TForm1& form) const;

    kelvara::sim::TSimBus& Bus() { return bus_; }

private:
    kelvara::sim::TSimBus bus_;
};
