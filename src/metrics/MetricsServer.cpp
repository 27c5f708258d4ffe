#include "metrics/MetricsServer.h"

#include "base/Errors.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kelvara {

namespace {

constexpr const char* kPlain = "text/plain; charset=utf-8";

// A bound, listening socket for address; raises EError with the reason.
int Listen(const TListenAddress& address)
{
    sockaddr_storage storage{};
    socklen_t length = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    if (inet_pton(AF_INET, address.Host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(address.Port);
        length = sizeof *v4;
    } else if (inet_pton(AF_INET6, address.Host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(address.Port);
        length = sizeof *v6;
    } else {
        throw EError("'" + address.Host + "' is not a numeric IPv4 or IPv6 address");
    }
    const int fd = ::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw EError("Cannot make a socket for the metrics: " + SysErrorMessage(errno));
    const int on = 1;
    // A restart binds again at once, while the last run's connections linger.
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0 || ::listen(fd, 16) != 0) {
        const int err = errno;
        ::close(fd);
        throw EError("Cannot serve the metrics on " + address.Host + " port " + std::to_string(address.Port) + ": " +
                     SysErrorMessage(err));
    }
    return fd;
}

uint16_t BoundPort(int fd)
{
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length) != 0) return 0;
    if (storage.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
}

} // namespace

struct TMhdGlue {
    static MHD_Result Handle(void* cls, MHD_Connection* connection, const char* url, const char* method,
                             const char* /*version*/, const char* /*upload*/, size_t* /*uploadSize*/, void** /*state*/)
    {
        const auto* server = static_cast<const TMetricsServer*>(cls);
        const char* accept = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_ACCEPT);
        const TMetricsServer::TReply reply = server->Answer(url, method, accept ? accept : "");
        MHD_Response* response = MHD_create_response_from_buffer(
            reply.Body.size(), const_cast<char*>(reply.Body.data()), MHD_RESPMEM_MUST_COPY);
        if (!response) return MHD_NO;
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, reply.ContentType);
        if (reply.Allow) MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
        // libmicrohttpd leaves the body out of the answer to a HEAD.
        const MHD_Result queued = MHD_queue_response(connection, reply.Status, response);
        MHD_destroy_response(response);
        return queued;
    }
};

TListenAddress ParseListenAddress(const std::string& text)
{
    TListenAddress address;
    std::string port = text;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find("]:");
        if (close == std::string::npos) throw EError("'" + text + "' is not [ADDRESS]:PORT");
        address.Host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else if (const size_t colon = text.rfind(':'); colon != std::string::npos) {
        address.Host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    unsigned number = 0;
    for (const char c : port)
        number = c >= '0' && c <= '9' && number <= 65535 ? number * 10 + unsigned(c - '0') : 99999;
    if (port.empty() || port.size() > 5 || number > 65535)
        throw EError("'" + port + "' is not a port number (0 to 65535)");
    address.Port = static_cast<uint16_t>(number);
    in6_addr probe{};
    if (inet_pton(AF_INET, address.Host.c_str(), &probe) != 1 && inet_pton(AF_INET6, address.Host.c_str(), &probe) != 1)
        throw EError("'" + address.Host + "' is not a numeric IPv4 or IPv6 address");
    return address;
}

TMetricsServer::TMetricsServer(const TListenAddress& address, TRender render, TServerLimits limits)
    : address_(address), render_(std::move(render))
{
    const int fd = Listen(address);
    port_ = BoundPort(fd);
    daemon_ = MHD_start_daemon(MHD_USE_AUTO_INTERNAL_THREAD |
                                   (address.Host.find(':') != std::string::npos ? MHD_USE_IPv6 : 0),
                               0, nullptr, nullptr, &TMhdGlue::Handle, this, MHD_OPTION_LISTEN_SOCKET, fd,
                               MHD_OPTION_CONNECTION_LIMIT, limits.Connections, MHD_OPTION_PER_IP_CONNECTION_LIMIT,
                               limits.PerAddress, MHD_OPTION_CONNECTION_TIMEOUT, limits.TimeoutSeconds, MHD_OPTION_END);
    if (!daemon_) {
        const int err = errno;
        ::close(fd);
        throw EError("Cannot serve the metrics: " + SysErrorMessage(err));
    }
}

TMetricsServer::~TMetricsServer()
{
    MHD_stop_daemon(static_cast<MHD_Daemon*>(daemon_));
}

std::string TMetricsServer::Url() const
{
    const bool v6 = address_.Host.find(':') != std::string::npos;
    const std::string host = v6 ? "[" + address_.Host + "]" : address_.Host;
    return "http://" + host + ":" + std::to_string(port_) + "/metrics";
}

TMetricsServer::TReply TMetricsServer::Answer(const char* path, const char* method, const char* accept) const
{
    if (std::strcmp(path, "/metrics") != 0) return {404, kPlain, "Not found: the metrics are at /metrics.\n"};
    if (std::strcmp(method, "GET") != 0 && std::strcmp(method, "HEAD") != 0)
        return {405, kPlain, "Method not allowed: /metrics answers GET and HEAD.\n", true};
    const TExposition format = ExpositionFor(accept);
    return {200, ContentTypeOf(format), render_(format)};
}

} // namespace kelvara
