#include "serial/LineRefusal.h"

#include <functional>

namespace kelvara {

namespace {

constexpr uint32_t kFlowFlags = dcb_OutxCtsFlow | dcb_OutxDsrFlow | dcb_OutX | dcb_InX | dcb_RtsControlMask;

struct TAspect {
    std::function<bool(const DCB& a, const DCB& b)> Same;
    std::function<void(DCB& to, const DCB& from)> Take;
    std::function<std::string(const DCB&)> Describe;
};

const TAspect kAspects[] = {
    {[](const DCB& a, const DCB& b) { return a.BaudRate == b.BaudRate; },
     [](DCB& to, const DCB& from) { to.BaudRate = from.BaudRate; }, DescribeBaud},
    {[](const DCB& a, const DCB& b) { return a.ByteSize == b.ByteSize; },
     [](DCB& to, const DCB& from) { to.ByteSize = from.ByteSize; }, DescribeDataBits},
    {[](const DCB& a, const DCB& b) {
         return a.Parity == b.Parity && (a.Flags & dcb_ParityCheck) == (b.Flags & dcb_ParityCheck);
     },
     [](DCB& to, const DCB& from) {
         to.Parity = from.Parity;
         to.Flags = (to.Flags & ~dcb_ParityCheck) | (from.Flags & dcb_ParityCheck);
     },
     DescribeParity},
    {[](const DCB& a, const DCB& b) { return a.StopBits == b.StopBits; },
     [](DCB& to, const DCB& from) { to.StopBits = from.StopBits; }, DescribeStopBits},
    {[](const DCB& a, const DCB& b) { return (a.Flags & kFlowFlags) == (b.Flags & kFlowFlags); },
     [](DCB& to, const DCB& from) { to.Flags = (to.Flags & ~kFlowFlags) | (from.Flags & kFlowFlags); }, DescribeFlow},
};

} // namespace

std::string DescribeBaud(const DCB& dcb)
{
    return std::to_string(dcb.BaudRate) + " baud";
}

std::string DescribeDataBits(const DCB& dcb)
{
    return std::to_string(dcb.ByteSize) + " data bits";
}

std::string DescribeParity(const DCB& dcb)
{
    switch (dcb.Parity) {
    case NOPARITY: return "no parity";
    case ODDPARITY: return "odd parity";
    case EVENPARITY: return "even parity";
    case MARKPARITY: return "mark parity";
    case SPACEPARITY: return "space parity";
    }
    return "parity " + std::to_string(dcb.Parity);
}

std::string DescribeStopBits(const DCB& dcb)
{
    switch (dcb.StopBits) {
    case ONESTOPBIT: return "one stop bit";
    case ONE5STOPBITS: return "one and a half stop bits";
    case TWOSTOPBITS: return "two stop bits";
    }
    return "stop bits " + std::to_string(dcb.StopBits);
}

std::string DescribeFlow(const DCB& dcb)
{
    const bool hard = (dcb.Flags & (dcb_OutxCtsFlow | dcb_RtsControlHandshake)) != 0;
    const bool soft = (dcb.Flags & (dcb_OutX | dcb_InX)) != 0;
    if (hard && soft) return "hardware and software flow control";
    if (hard) return "hardware flow control";
    if (soft) return "software flow control";
    return "no flow control";
}

std::vector<std::string> RefusedLineSettings(TSerialChannel& ser)
{
    const int code = ser.LastError();
    const DCB wanted = ser.DCB;
    std::vector<std::string> refused;

    ser.GetCommState();
    if (ser.LastError() == 0) {
        const DCB present = ser.DCB;
        for (const TAspect& aspect : kAspects) {
            if (aspect.Same(present, wanted)) continue;
            ser.DCB = present;
            aspect.Take(ser.DCB, wanted);
            ser.SetCommState();
            if (ser.LastError() != 0) {
                refused.push_back(aspect.Describe(wanted));
                continue;
            }
            ser.DCB = present;
            ser.SetCommState();
        }
    }
    ser.DCB = wanted;
    ser.SetVornError(code);
    return refused;
}

std::string JoinSettings(const std::vector<std::string>& settings)
{
    if (settings.empty()) return "the line settings";
    std::string text = settings.front();
    for (size_t k = 1; k < settings.size(); ++k) text += (k + 1 == settings.size() ? " and " : ", ") + settings[k];
    return text;
}

std::string RefusalMessage(const std::string& device, const std::vector<std::string>& refused,
                           const std::string& reason)
{
    return "\"" + device + "\" refused " + JoinSettings(refused) + ": " + reason;
}

} // namespace kelvara
