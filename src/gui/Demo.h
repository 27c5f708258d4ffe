// The window's demo mode: the window starts a simulated bus of seven slaves
// with moving temperatures, so that a newcomer sees readings and log lines
// without hardware.
#pragma once

#include "gui/Form1.h"

// Does what the operator would: enters the port box, chooses the simulated
// bus's port without parity, which a pseudo-terminal cannot carry, and
// presses Run.
void StartDemo(TForm1& form);
