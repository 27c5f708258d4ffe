// What the front ends use of the alarms besides the session's events: the
// rules and their file (the window's dialog and the chart's limit lines),
// and the program the logger runs for each raise and clear (--on-alarm).
#pragma once

#include "alarm/AlarmMachine.h"
#include "alarm/AlarmProgram.h"
#include "alarm/AlarmRules.h"
