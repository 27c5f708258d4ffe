// Which line settings a device refuses. A driver that cannot apply a setting
// makes SetCommState fail as a whole and leaves the line as it was, which
// tells the operator nothing about what to change; trying the wanted settings
// one at a time does.
#pragma once

#include "serial/SerialChannel.h"

#include <string>
#include <vector>

namespace kelvara {

// The wanted settings in words: "19200 baud", "7 data bits", "even parity",
// "two stop bits", "hardware flow control", ...
std::string DescribeBaud(const DCB& dcb);
std::string DescribeDataBits(const DCB& dcb);
std::string DescribeParity(const DCB& dcb);
std::string DescribeStopBits(const DCB& dcb);
std::string DescribeFlow(const DCB& dcb);

// Called right after a Config whose SetCommState failed: ser.DCB holds the
// wanted settings. Applies each wanted setting that differs from the line's
// present one on its own and restores the line after each try; returns those
// the device refuses by themselves, in the order baud, data bits, parity, stop
// bits, flow control. Empty when each is accepted alone (only their
// combination is refused) or the line cannot be read. Leaves the line as it
// was, ser.DCB as wanted and LastError as the failed Config left it.
std::vector<std::string> RefusedLineSettings(TSerialChannel& ser);

// "even parity", "19200 baud and even parity", "7 data bits, even parity and
// two stop bits"; "the line settings" for an empty list.
std::string JoinSettings(const std::vector<std::string>& settings);

// What the operator is told: "\"/dev/ttyUSB0\" refused even parity: Invalid
// argument".
std::string RefusalMessage(const std::string& device, const std::vector<std::string>& refused,
                           const std::string& reason);

} // namespace kelvara
