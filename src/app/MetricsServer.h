#pragma once

#include "net/NativeSocket.h"
#include "net/ReadinessBackend.h"

#include <QByteArray>
#include <QTimer>

#include <functional>
#include <memory>

struct MHD_Daemon;

// Answers "GET /metrics" on one address and port with the text its source gives, in the Prometheus
// text format's content type; anything else 404. The HTTP itself
// is libmicrohttpd's, run on the main thread: its epoll set sits in a readiness backend, and a timer
// wakes it for its own time-outs. A client that sends what is no request, or never finishes one, is
// dropped without holding up anything else.
class MetricsServer final : private ReadinessTarget {
public:
    using Source = std::function<QByteArray()>;

    // A connection that has sent nothing for this long is closed, request finished or not.
    static constexpr unsigned DefaultIdleTimeoutSeconds = 5;
    // Scrapers are few; more connections than this at once are refused, so memory stays bounded.
    static constexpr unsigned MaxConnections = 32;
    // The most a request may send before it is answered with an error and closed.
    static constexpr size_t RequestMemoryBytes = 16 * 1024;
    static constexpr char ContentType[] = "text/plain; version=0.0.4; charset=utf-8";

    explicit MetricsServer(Source source, unsigned idleTimeoutSeconds = DefaultIdleTimeoutSeconds);
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // Starts serving on the IPv4 address (0: all) and port (0: any free one); throws Failure when it
    // cannot, and then serves nothing. Stops first when already serving.
    void Start(quint32 ipv4, quint16 port);
    // Closes the listener and every connection; nothing when not serving.
    void Stop();
    bool IsServing() const { return m_daemon != nullptr; }
    // The port it listens on, 0 when not serving.
    quint16 Port() const { return m_port; }

private:
    void OnReady(int readiness) override;
    void OnDeferred() override;
    // Lets the library do what is ready and arms the wake-up for its next time-out.
    void Run();

    Source m_source;
    unsigned m_idleTimeoutSeconds;
    std::unique_ptr<ReadinessBackend> m_backend;
    MHD_Daemon* m_daemon = nullptr;
    NativeSocket::Handle m_epoll = NativeSocket::InvalidHandle;
    quint16 m_port = 0;
    QTimer m_wakeUp;
};
