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

int TChannelReader::String2Bin(const std::string& line, uint8_t* buff)
{
    int written = 0;
    int high = 0;
    for (size_t k = 0; k < line.size(); ++k) {
        const int code = static_cast<unsigned char>(line[k]);
        if (code < '0') throw ERangeError();
        const int value = code <= '9' ? code - '0' : code - 55;
        if (k % 2 == 0) {
            high = 16 * value;
        } else {
            buff[written++] = static_cast<uint8_t>((high + value) % 256);
        }
    }
    return written;
}

float TChannelReader::ReadChannel(const std::string& frame)
{
    exceptionCode_ = 0;
    if (frame.size() / 2 > txBuf.size()) throw ERangeError();
    const int n = String2Bin(frame, txBuf.data());

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
    return outcome_ == TExchangeOutcome::Ok && !std::isnan(value) ? value : NoReading();
}

} // namespace kelvara
