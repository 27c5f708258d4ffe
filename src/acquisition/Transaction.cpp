#include "acquisition/Transaction.h"

#include "base/Errors.h"
#include "serial/SerialChannel.h"

#include <cmath>
#include <cstring>

namespace kelvara {

float NoReading()
{
    const uint32_t bits = 0xFFC00000u;
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

float TChannelReader::ReadChannel(const TFrame& frame)
{
    exceptionCode_ = 0;
    if (frame.size() > txBuf.size()) throw ERangeError();
    if (!Ser_.InstanceActive() || Ser_.DeviceLost() != 0) {
        outcome_ = TExchangeOutcome::NoPort;
        return NoReading();
    }
    const int n = static_cast<int>(frame.size());
    std::copy(frame.begin(), frame.end(), txBuf.begin());

    // A late reply or line noise from an earlier exchange must never be read
    // as this channel's reply.
    Ser_.DiscardInput();
    Ser_.SendBuffer(txBuf.data(), n);

    rxBuf.fill(0);
    int length = Ser_.RecvBufferEx(rxBuf.data(), kExceptionReplyLength, kReadTimeoutMs);
    // Four more bytes complete a normal reply. None are asked for after an
    // exception reply, whose five bytes are already in, nor after a short
    // first read, which has already waited its time-out for a further byte.
    if (length == kExceptionReplyLength && rxBuf[1] < kExceptionBit)
        length += Ser_.RecvBufferEx(rxBuf.data() + kExceptionReplyLength, kValueReplyLength - kExceptionReplyLength,
                                    kReadTimeoutMs);
    const uint8_t address = n > 0 ? txBuf[0] : 0;
    const uint8_t function = n > 1 ? txBuf[1] : 0;
    float value = NoReading();
    outcome_ = ClassifyReply(address, function, rxBuf.data(), length, value, exceptionCode_);
    // Any NaN the slave sends, signalling or quiet, is no reading; it must
    // not raise on the way through the conversions.
    if (outcome_ != TExchangeOutcome::Ok) return NoReading();
    if (std::isnan(value)) {
        outcome_ = TExchangeOutcome::NotANumber;
        return NoReading();
    }
    return value;
}

} // namespace kelvara
