#include "metrics/MetricsServer.h"

#include "base/Errors.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <map>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kelvara {
namespace {

// A client connection to the server on the loopback address; a read waits
// at most a minute, so that a server that never answers fails the test
// instead of hanging it.
int Connect(uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const timeval limit{60, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    return fd;
}

// Everything the server sends until it closes, or until the read fails.
std::string ReadAll(int fd)
{
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) text.append(buf, size_t(n));
    ::close(fd);
    return text;
}

std::string Exchange(uint16_t port, const std::string& head)
{
    const int fd = Connect(port);
    const std::string request = head + "\r\nHost: test\r\nConnection: close\r\n\r\n";
    EXPECT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL), ssize_t(request.size()));
    return ReadAll(fd);
}

std::string Render(TExposition format)
{
    return format == TExposition::OpenMetrics ? "om\n" : "text\n";
}

TEST(MetricsServer, AnswersGetAndHeadOfTheMetricsPathAlone)
{
    TMetricsServer server({"127.0.0.1", 0}, Render);
    const struct {
        std::string Head, Status, Contains, Body;
    } cases[] = {
        {"GET /metrics HTTP/1.1", "HTTP/1.1 200", "text/plain; version=0.0.4", "text\n"},
        {"GET /metrics HTTP/1.1\r\nAccept: application/openmetrics-text;version=1.0.0,text/plain;q=0.5", "HTTP/1.1 200",
         "application/openmetrics-text; version=1.0.0", "om\n"},
        {"HEAD /metrics HTTP/1.1", "HTTP/1.1 200", "Content-Length: 5\r\n", ""},
        {"GET / HTTP/1.1", "HTTP/1.1 404", "", "Not found: the metrics are at /metrics.\n"},
        {"GET /metrics/x HTTP/1.1", "HTTP/1.1 404", "", "Not found: the metrics are at /metrics.\n"},
        {"POST /metrics HTTP/1.1\r\nContent-Length: 0", "HTTP/1.1 405", "Allow: GET, HEAD\r\n",
         "Method not allowed: /metrics answers GET and HEAD.\n"},
        {"DELETE /metrics HTTP/1.1", "HTTP/1.1 405", "Allow: GET, HEAD\r\n",
         "Method not allowed: /metrics answers GET and HEAD.\n"},
    };
    for (const auto& c : cases) {
        const std::string answer = Exchange(server.Port(), c.Head);
        EXPECT_TRUE(answer.starts_with(c.Status)) << c.Head << "\n" << answer;
        EXPECT_NE(answer.find(c.Contains), std::string::npos) << c.Head << "\n" << answer;
        EXPECT_TRUE(answer.ends_with("\r\n\r\n" + c.Body)) << c.Head << "\n" << answer;
    }
}

// Clients that send half a request and wait take every connection one
// address may have: one more from there is turned away without an answer,
// and each is closed once its time-out passes, after which the endpoint
// answers again.
TEST(MetricsServer, SlowClientsHoldOnlyTheirConnectionsAndOnlyUntilTheirTimeOut)
{
    TServerLimits limits;
    limits.Connections = 8;
    limits.PerAddress = 3;
    limits.TimeoutSeconds = 1;
    TMetricsServer server({"127.0.0.1", 0}, Render, limits);
    int slow[3];
    for (int& fd : slow) {
        fd = Connect(server.Port());
        ::send(fd, "GET /met", 8, MSG_NOSIGNAL);
    }
    // Not refused by the system: the connection is taken and closed at once.
    EXPECT_EQ(Exchange(server.Port(), "GET /metrics HTTP/1.1"), "");
    for (int fd : slow) EXPECT_EQ(ReadAll(fd), "");
    // The server counts a closed connection out just after closing it.
    std::string answer;
    for (int k = 0; k < 100 && answer.empty(); ++k) {
        if (k > 0) usleep(50000);
        answer = Exchange(server.Port(), "GET /metrics HTTP/1.1");
    }
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 200")) << answer;
}

TEST(MetricsServer, ListensOnTheLoopbackAddressUnlessTold)
{
    const std::map<std::string, std::pair<std::string, uint16_t>> good = {{"9465", {"127.0.0.1", 9465}},
                                                                          {"0.0.0.0:80", {"0.0.0.0", 80}},
                                                                          {"[::1]:9465", {"::1", 9465}},
                                                                          {"0", {"127.0.0.1", 0}},
                                                                          {"[::]:65535", {"::", 65535}}};
    for (const auto& [text, address] : good) {
        EXPECT_EQ(ParseListenAddress(text).Host, address.first) << text;
        EXPECT_EQ(ParseListenAddress(text).Port, address.second) << text;
    }
    for (const char* bad : {"", "65536", "127.0.0.1:", "localhost:9465", "::1", "[::1]9465", "+80", "9465x"})
        EXPECT_THROW(ParseListenAddress(bad), EError) << bad;
}

} // namespace
} // namespace kelvara
