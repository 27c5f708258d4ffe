// The metrics endpoint: GET and HEAD of /metrics over HTTP, any other path
// 404 and any other method on it 405. Served by libmicrohttpd from one
// thread of its own that polls every connection, so a client that is slow to
// send or to read holds only its own connection, and only until its time-out;
// the number of connections is bounded, and one past the bound is refused.
// The page comes from a render callback on that thread: it must not wait for
// anything a scan holds (a session's snapshot is copied under its lock).
// Linux only; the Windows build has no endpoint.
#pragma once

#include "metrics/OpenMetrics.h"

#include <cstdint>
#include <functional>
#include <string>

namespace kelvara {

// Where the endpoint listens: a numeric IPv4 or IPv6 address and a port.
struct TListenAddress {
    std::string Host = "127.0.0.1";
    uint16_t Port = 0; // 0: one the system chooses
};

// "PORT" (on the loopback address), "ADDRESS:PORT" or "[IPv6]:PORT".
// Raises EError naming what is wrong.
TListenAddress ParseListenAddress(const std::string& text);

// What a client may take from the endpoint.
struct TServerLimits {
    unsigned Connections = 16;    // at once, from all clients
    unsigned PerAddress = 8;      // at once, from one client address
    unsigned TimeoutSeconds = 10; // a connection idle this long is closed
};

class TMetricsServer {
public:
    using TRender = std::function<std::string(TExposition)>;

    // Binds and starts serving. Raises EError with the system's reason when
    // the address cannot be had.
    TMetricsServer(const TListenAddress& address, TRender render, TServerLimits limits = {});
    // Stops serving; a page being rendered is finished first.
    ~TMetricsServer();
    TMetricsServer(const TMetricsServer&) = delete;
    TMetricsServer& operator=(const TMetricsServer&) = delete;

    // The port it listens on (the one chosen, for port 0).
    uint16_t Port() const { return port_; }
    // "http://127.0.0.1:9465/metrics"
    std::string Url() const;

private:
    friend struct TMhdGlue;
    struct TReply {
        unsigned Status;
        const char* ContentType;
        std::string Body;
        bool Allow = false; // a 405: says which methods are allowed
    };
    TReply Answer(const char* path, const char* method, const char* accept) const;

    TListenAddress address_;
    TRender render_;
    uint16_t port_ = 0;
    void* daemon_ = nullptr;
};

} // namespace kelvara
