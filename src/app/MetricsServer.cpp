#include "app/MetricsServer.h"

#include "core/Failure.h"

#include <QLibrary>

#include <microhttpd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <type_traits>
#include <utility>

namespace {

// libmicrohttpd, loaded at the first start of an endpoint rather than linked: it brings a TLS library
// and a dozen others with it, about 3 MiB resident, which a relay without metrics has no use for.
struct HttpLibrary {
    decltype(&MHD_start_daemon) StartDaemon = nullptr;
    decltype(&MHD_stop_daemon) StopDaemon = nullptr;
    decltype(&MHD_run) Run = nullptr;
    decltype(&MHD_get_timeout) GetTimeout = nullptr;
    decltype(&MHD_get_daemon_info) GetDaemonInfo = nullptr;
    decltype(&MHD_create_response_from_buffer) CreateResponse = nullptr;
    decltype(&MHD_add_response_header) AddResponseHeader = nullptr;
    decltype(&MHD_queue_response) QueueResponse = nullptr;
    decltype(&MHD_destroy_response) DestroyResponse = nullptr;
};

// Set once the library is loaded with every function; it stays loaded to the end of the process.
const HttpLibrary* Http = nullptr;

// Loads it when it is not yet; throws Failure when it cannot be (not installed, or too old).
const HttpLibrary& LoadHttpLibrary()
{
    if (Http)
        return *Http;
    static QLibrary library(QStringLiteral("microhttpd"), 12);
    static HttpLibrary functions;
    if (!library.load())
        throw Failure{0, QStringLiteral("the HTTP library could not be loaded: %1").arg(library.errorString())};
    bool all = true;
    const auto resolve = [&](auto& function, const char* name) {
        function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(library.resolve(name));
        all = all && function != nullptr;
    };
    resolve(functions.StartDaemon, "MHD_start_daemon");
    resolve(functions.StopDaemon, "MHD_stop_daemon");
    resolve(functions.Run, "MHD_run");
    resolve(functions.GetTimeout, "MHD_get_timeout");
    resolve(functions.GetDaemonInfo, "MHD_get_daemon_info");
    resolve(functions.CreateResponse, "MHD_create_response_from_buffer");
    resolve(functions.AddResponseHeader, "MHD_add_response_header");
    resolve(functions.QueueResponse, "MHD_queue_response");
    resolve(functions.DestroyResponse, "MHD_destroy_response");
    if (!all)
        throw Failure{
            0, QStringLiteral("the HTTP library %1 lacks a function the endpoint needs").arg(library.fileName())};
    Http = &functions;
    return *Http;
}

MHD_Result Queue(MHD_Connection* connection, unsigned status, const QByteArray& body, const char* contentType)
{
    MHD_Response* response
        = Http->CreateResponse(size_t(body.size()), const_cast<char*>(body.constData()), MHD_RESPMEM_MUST_COPY);
    if (!response)
        return MHD_NO;
    Http->AddResponseHeader(response, MHD_HTTP_HEADER_CONTENT_TYPE, contentType);
    const MHD_Result queued = Http->QueueResponse(connection, status, response);
    Http->DestroyResponse(response);
    return queued;
}

// Called by the library once the request's header has been read, then for each piece of its body and
// once more at its end. An error is answered at once, and the library then closes the connection
// rather than read a body; the metrics wait for the request's end, so the connection may be kept
// for the next scrape.
MHD_Result Answer(void* context, MHD_Connection* connection, const char* url, const char* method, const char*,
                  const char*, size_t* uploadSize, void** requestState)
{
    static const char plain[] = "text/plain; charset=utf-8";
    // Only GET /metrics is served (and HEAD, a GET whose body the library leaves out, as HTTP asks of
    // every server); anything else is not found.
    const bool get = std::strcmp(method, MHD_HTTP_METHOD_GET) == 0 || std::strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
    if (!get || std::strcmp(url, "/metrics") != 0)
        return Queue(connection, MHD_HTTP_NOT_FOUND, QByteArrayLiteral("404 page not found\n"), plain);
    static char headerRead;
    if (*requestState != &headerRead) {
        *requestState = &headerRead;
        return MHD_YES;
    }
    // A GET with a body is no scrape: the connection is dropped at its first piece, so a body that
    // never ends holds nothing.
    if (*uploadSize != 0)
        return MHD_NO;
    // No exception may cross the library's C frames.
    try {
        const auto& source = *static_cast<const MetricsServer::Source*>(context);
        return Queue(connection, MHD_HTTP_OK, source(), MetricsServer::ContentType);
    } catch (...) {
        return Queue(connection, MHD_HTTP_INTERNAL_SERVER_ERROR, QByteArrayLiteral("500 metrics unavailable\n"), plain);
    }
}

} // namespace

MetricsServer::MetricsServer(Source source, unsigned idleTimeoutSeconds)
    : m_source(std::move(source))
    , m_idleTimeoutSeconds(idleTimeoutSeconds)
{
    m_wakeUp.setSingleShot(true);
    QObject::connect(&m_wakeUp, &QTimer::timeout, &m_wakeUp, [this] { Run(); });
}

MetricsServer::~MetricsServer()
{
    Stop();
}

void MetricsServer::Start(quint32 ipv4, quint16 port)
{
    Stop();
    const HttpLibrary& http = LoadHttpLibrary();
    int error = 0;
    const NativeSocket::Handle listener = NativeSocket::Open(error);
    if (listener == NativeSocket::InvalidHandle)
        throw Failure{error, NativeSocket::ErrorText(error)};
    error = NativeSocket::Listen(listener, ipv4, port);
    if (error != 0) {
        NativeSocket::Close(listener);
        throw Failure{error, NativeSocket::ErrorText(error)};
    }
    // From here the library owns the listener, and closes it at its stop. No thread of its own: it runs
    // when its epoll set is ready, on the main thread, one event at a time with the relay.
    m_daemon = http.StartDaemon(MHD_USE_EPOLL, 0, nullptr, nullptr, &Answer, &m_source, MHD_OPTION_LISTEN_SOCKET,
                                MHD_socket(listener), MHD_OPTION_CONNECTION_TIMEOUT, m_idleTimeoutSeconds,
                                MHD_OPTION_CONNECTION_LIMIT, MaxConnections, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
                                RequestMemoryBytes, MHD_OPTION_END);
    if (!m_daemon) {
        NativeSocket::Close(listener);
        throw Failure{0, QStringLiteral("the HTTP server could not be started")};
    }
    // Made at the first start, so that a relay without metrics has no descriptor for them.
    if (!m_backend)
        m_backend = ReadinessBackend::Create(ReadinessBackend::DefaultKind());
    m_epoll = http.GetDaemonInfo(m_daemon, MHD_DAEMON_INFO_EPOLL_FD)->epoll_fd;
    error = m_backend->Add(m_epoll, this, false);
    if (error != 0) {
        Stop();
        throw Failure{error, NativeSocket::ErrorText(error)};
    }
    m_port = NativeSocket::LocalPort(listener);
}

void MetricsServer::Stop()
{
    if (!m_daemon)
        return;
    m_wakeUp.stop();
    m_backend->Cancel(this);
    m_backend->Remove(m_epoll);
    Http->StopDaemon(std::exchange(m_daemon, nullptr));
    m_epoll = NativeSocket::InvalidHandle;
    m_port = 0;
}

void MetricsServer::OnReady(int)
{
    Run();
}

void MetricsServer::OnDeferred()
{
    Run();
}

void MetricsServer::Run()
{
    if (!m_daemon)
        return;
    Http->Run(m_daemon);
    MHD_UNSIGNED_LONG_LONG waitMs = 0;
    if (Http->GetTimeout(m_daemon, &waitMs) != MHD_YES)
        m_wakeUp.stop();
    else if (waitMs == 0) // work left over, such as a connection that still has bytes to read
        m_backend->Defer(this);
    else
        m_wakeUp.start(int(std::min<MHD_UNSIGNED_LONG_LONG>(waitMs, INT_MAX)));
}
