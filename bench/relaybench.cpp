// relaybench: a load generator for TCP relays on 127.0.0.1. It plays the upstream server (the
// RIX, for Tolvane) on one thread and the clients on the main thread, and prints one
// "name value" line per figure.
//
// Memory is the relay's proportional set size (/proc/<pid>/smaps_rollup, summed over --pids): at the
// start, with idle clients held ("memory"), at its peak during the 64-connection test, and after the
// tests before "settle", with every connection closed and 3 s given to the relay to let go.
//
// Every connection starts with a 24-byte header from the client, which the upstream reads to know
// what to do: 'E' echo everything; 'T' transfer: send downBytes to the client, sink upBytes from it
// and then answer one 'K'. Upstream payloads contain no zero byte (Tolvane removes them).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <map>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    int port = 0; // the relay's client port
    int upstreamPort = 0; // where the relay connects to
    int greeting = 0; // bytes the relay sends each new client first (Tolvane: 17)
    bool direct = false; // clients connect to the upstream itself: the floor
    std::string test;
    uint64_t bytes = 1ull << 30;
    int connections = 64;
    int rounds = 20000;
    double seconds = 5;
    int idle = 0;
    std::vector<int> pids; // the relay's processes, for memory
};

[[noreturn]] void Die(const char* what)
{
    std::fprintf(stderr, "relaybench: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

constexpr size_t HeaderSize = 24;
constexpr uint32_t Magic = 0x4e454252; // "RBEN"

struct Header {
    uint32_t magic = Magic;
    char mode = 'E';
    char pad[3] = {};
    uint64_t downBytes = 0;
    uint64_t upBytes = 0;
};
static_assert(sizeof(Header) == HeaderSize);

sockaddr_in Loopback(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

void NoDelay(int fd)
{
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

const std::vector<char>& Payload()
{
    static const std::vector<char> payload = [] {
        std::vector<char> p(1 << 20);
        for (size_t i = 0; i < p.size(); ++i)
            p[i] = char('A' + i % 26);
        return p;
    }();
    return payload;
}

// The upstream: accepts every connection the relay makes and serves it as its header says.
class Upstream {
public:
    explicit Upstream(int port)
    {
        m_listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        const int on = 1;
        setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        const sockaddr_in address = Loopback(port);
        if (bind(m_listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            Die("upstream bind");
        if (listen(m_listener, 4096) != 0)
            Die("upstream listen");
        m_epoll = epoll_create1(0);
        Watch(m_listener, EPOLLIN);
        m_thread = std::thread([this] { Run(); });
    }

    ~Upstream()
    {
        m_stop = true;
        m_thread.join();
        for (auto& [fd, c] : m_connections)
            close(fd);
        close(m_listener);
        close(m_epoll);
    }

    int Accepted() const { return m_accepted.load(); }
    int Open() const { return m_open.load(); }

private:
    struct Connection {
        char header[HeaderSize];
        size_t headerGot = 0;
        char mode = 0;
        uint64_t toSend = 0;
        uint64_t toSink = 0;
        bool ackDue = false;
        std::string echo; // echo bytes the socket did not take yet
    };

    void Watch(int fd, uint32_t events)
    {
        epoll_event event{};
        event.events = events;
        event.data.fd = fd;
        epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event);
    }

    void Run()
    {
        epoll_event events[256];
        std::vector<char> buffer(1 << 20);
        while (!m_stop) {
            const int n = epoll_wait(m_epoll, events, 256, 50);
            for (int i = 0; i < n; ++i) {
                const int fd = events[i].data.fd;
                if (fd == m_listener) {
                    int client;
                    while ((client = accept4(m_listener, nullptr, nullptr, SOCK_NONBLOCK)) >= 0) {
                        NoDelay(client);
                        m_connections[client] = Connection{};
                        Watch(client, EPOLLIN | EPOLLOUT | EPOLLET);
                        ++m_accepted;
                        ++m_open;
                    }
                    continue;
                }
                auto it = m_connections.find(fd);
                if (it == m_connections.end())
                    continue;
                if (!Serve(fd, it->second, buffer)) {
                    close(fd);
                    m_connections.erase(it);
                    --m_open;
                }
            }
        }
    }

    // False when the connection has ended.
    bool Serve(int fd, Connection& c, std::vector<char>& buffer)
    {
        for (;;) {
            bool progress = false;
            // Reading: the header, then echo or sink.
            const ssize_t got = recv(fd, buffer.data(), buffer.size(), 0);
            if (got == 0)
                return false;
            if (got < 0 && errno != EAGAIN)
                return false;
            if (got > 0) {
                progress = true;
                size_t offset = 0;
                if (c.headerGot < HeaderSize) {
                    const size_t take = std::min(HeaderSize - c.headerGot, size_t(got));
                    std::memcpy(c.header + c.headerGot, buffer.data(), take);
                    c.headerGot += take;
                    offset = take;
                    if (c.headerGot == HeaderSize) {
                        Header h;
                        std::memcpy(&h, c.header, HeaderSize);
                        c.mode = h.mode;
                        c.toSend = h.downBytes;
                        c.toSink = h.upBytes;
                    }
                }
                const size_t rest = size_t(got) - offset;
                if (c.mode == 'E') {
                    c.echo.append(buffer.data() + offset, rest);
                } else if (c.mode == 'T' && rest > 0) {
                    c.toSink -= std::min<uint64_t>(c.toSink, rest);
                    if (c.toSink == 0)
                        c.ackDue = true;
                }
            }
            // Writing: echo, then the transfer, then the acknowledgement.
            while (!c.echo.empty()) {
                const ssize_t sent = send(fd, c.echo.data(), c.echo.size(), MSG_NOSIGNAL);
                if (sent <= 0)
                    break;
                c.echo.erase(0, size_t(sent));
                progress = true;
            }
            while (c.toSend > 0) {
                const size_t size = size_t(std::min<uint64_t>(c.toSend, Payload().size()));
                const ssize_t sent = send(fd, Payload().data(), size, MSG_NOSIGNAL);
                if (sent <= 0)
                    break;
                c.toSend -= uint64_t(sent);
                progress = true;
            }
            if (c.toSend == 0 && c.ackDue && send(fd, "K", 1, MSG_NOSIGNAL) == 1) {
                c.ackDue = false;
                progress = true;
            }
            if (!progress)
                return true;
        }
    }

    int m_listener = -1;
    int m_epoll = -1;
    std::map<int, Connection> m_connections;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_accepted{0};
    std::atomic<int> m_open{0};
    std::thread m_thread;
};

// A blocking client connection, greeting already read.
int ConnectClient(const Options& o)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        Die("socket");
    const sockaddr_in address = Loopback(o.direct ? o.upstreamPort : o.port);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        Die("connect");
    NoDelay(fd);
    char greeting[64];
    for (int got = 0, want = o.direct ? 0 : o.greeting; got < want;) {
        const ssize_t n = recv(fd, greeting, size_t(want - got), 0);
        if (n <= 0)
            Die("greeting");
        got += int(n);
    }
    return fd;
}

void SendAll(int fd, const void* data, size_t size)
{
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = send(fd, p, size, MSG_NOSIGNAL);
        if (n <= 0)
            Die("send");
        p += n;
        size -= size_t(n);
    }
}

void ReceiveAll(int fd, void* data, size_t size)
{
    char* p = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t n = recv(fd, p, size, 0);
        if (n <= 0)
            Die("recv");
        p += n;
        size -= size_t(n);
    }
}

double Seconds(Clock::time_point since)
{
    return std::chrono::duration<double>(Clock::now() - since).count();
}

double Percentile(std::vector<double>& values, double p)
{
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, size_t(p / 100.0 * double(values.size())));
    return values[index];
}

double PssMiB(const std::vector<int>& pids);

// Samples the relay's memory every 20 ms while it lives, keeping the highest figure.
class PeakSampler {
public:
    explicit PeakSampler(const std::vector<int>& pids)
        : m_pids(pids)
    {
        if (!m_pids.empty())
            m_thread = std::thread([this] {
                while (!m_stop) {
                    m_peak = std::max(m_peak.load(), PssMiB(m_pids));
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                }
            });
    }
    ~PeakSampler() { Stop(); }
    double Stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        return m_peak;
    }

private:
    std::vector<int> m_pids;
    std::atomic<bool> m_stop{false};
    std::atomic<double> m_peak{0};
    std::thread m_thread;
};

// Transfers on n connections at once: each sends up bytes and receives down bytes (plus the 'K'
// that acknowledges its up bytes). Returns the seconds from the first header to the last byte.
double Transfer(const Options& o, int n, uint64_t up, uint64_t down)
{
    struct Conn {
        int fd;
        uint64_t headerLeft = HeaderSize;
        uint64_t upLeft;
        uint64_t downLeft;
        Header header;
    };
    std::vector<Conn> conns;
    for (int i = 0; i < n; ++i) {
        Conn c{ConnectClient(o), HeaderSize, up, down + (up > 0 ? 1 : 0), {}};
        c.header.mode = 'T';
        c.header.downBytes = down;
        c.header.upBytes = up;
        conns.push_back(c);
    }
    const int epoll = epoll_create1(0);
    for (size_t i = 0; i < conns.size(); ++i) {
        const int fl = ::fcntl(conns[i].fd, F_GETFL);
        ::fcntl(conns[i].fd, F_SETFL, fl | O_NONBLOCK);
        epoll_event event{};
        event.events = EPOLLIN | EPOLLOUT | EPOLLET;
        event.data.u64 = i;
        epoll_ctl(epoll, EPOLL_CTL_ADD, conns[i].fd, &event);
    }
    std::vector<char> sink(1 << 20);
    size_t done = 0;
    const auto started = Clock::now();
    epoll_event events[256];
    while (done < conns.size()) {
        const int ready = epoll_wait(epoll, events, 256, 10000);
        if (ready <= 0)
            Die("transfer stalled");
        for (int e = 0; e < ready; ++e) {
            Conn& c = conns[events[e].data.u64];
            bool progress = true;
            while (progress) {
                progress = false;
                if (c.headerLeft > 0) {
                    const ssize_t s = send(c.fd, reinterpret_cast<char*>(&c.header) + (HeaderSize - c.headerLeft),
                                           c.headerLeft, MSG_NOSIGNAL);
                    if (s > 0) {
                        c.headerLeft -= uint64_t(s);
                        progress = true;
                    }
                } else if (c.upLeft > 0) {
                    const size_t size = size_t(std::min<uint64_t>(c.upLeft, Payload().size()));
                    const ssize_t s = send(c.fd, Payload().data(), size, MSG_NOSIGNAL);
                    if (s > 0) {
                        c.upLeft -= uint64_t(s);
                        progress = true;
                    }
                }
                if (c.downLeft > 0) {
                    const ssize_t r = recv(c.fd, sink.data(), sink.size(), 0);
                    if (r == 0)
                        Die("the relay closed a connection");
                    if (r > 0) {
                        c.downLeft -= std::min<uint64_t>(c.downLeft, uint64_t(r));
                        progress = true;
                        if (c.downLeft == 0 && c.upLeft == 0 && c.headerLeft == 0)
                            ++done;
                    }
                }
            }
        }
    }
    const double elapsed = Seconds(started);
    for (Conn& c : conns)
        close(c.fd);
    close(epoll);
    return elapsed;
}

void Latency(const Options& o, const char* name)
{
    const int fd = ConnectClient(o);
    Header header;
    SendAll(fd, &header, HeaderSize);
    char message[64];
    std::memset(message, 'm', sizeof message);
    char reply[64];
    std::vector<double> micros;
    micros.reserve(size_t(o.rounds));
    for (int i = 0; i < o.rounds + 200; ++i) {
        const auto started = Clock::now();
        SendAll(fd, message, sizeof message);
        ReceiveAll(fd, reply, sizeof reply);
        if (i >= 200) // warm-up rounds are not counted
            micros.push_back(Seconds(started) * 1e6);
    }
    close(fd);
    std::printf("%s_p50_us %.1f\n%s_p99_us %.1f\n%s_p999_us %.1f\n", name, Percentile(micros, 50), name,
                Percentile(micros, 99), name, Percentile(micros, 99.9));
}

void Churn(const Options& o)
{
    std::vector<double> micros;
    const auto started = Clock::now();
    char message[16];
    std::memset(message, 'c', sizeof message);
    Header header;
    char packet[HeaderSize + sizeof message];
    std::memcpy(packet, &header, HeaderSize);
    std::memcpy(packet + HeaderSize, message, sizeof message);
    while (Seconds(started) < o.seconds) {
        const auto cycle = Clock::now();
        const int fd = ConnectClient(o);
        SendAll(fd, packet, sizeof packet);
        char reply[sizeof message];
        ReceiveAll(fd, reply, sizeof reply);
        close(fd);
        micros.push_back(Seconds(cycle) * 1e6);
    }
    std::printf("churn_per_s %.0f\nchurn_p99_us %.1f\n", double(micros.size()) / Seconds(started),
                Percentile(micros, 99));
}

double PssMiB(const std::vector<int>& pids)
{
    double kib = 0;
    for (int pid : pids) {
        std::ifstream in("/proc/" + std::to_string(pid) + "/smaps_rollup");
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind("Pss:", 0) == 0) {
                kib += std::stod(line.substr(4));
                break;
            }
        }
    }
    return kib / 1024;
}

void WaitFor(const char* what, const std::function<bool()>& done)
{
    const auto started = Clock::now();
    while (!done()) {
        if (Seconds(started) > 60) {
            std::fprintf(stderr, "relaybench: timed out waiting for %s\n", what);
            std::exit(1);
        }
        poll(nullptr, 0, 10);
    }
}

} // namespace

int main(int argc, char** argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto next = [&] {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "relaybench: %s needs a value\n", arg.c_str());
                std::exit(2);
            }
            return std::string(argv[++i]);
        };
        if (arg == "--port")
            o.port = std::stoi(next());
        else if (arg == "--upstream-port")
            o.upstreamPort = std::stoi(next());
        else if (arg == "--greeting")
            o.greeting = std::stoi(next());
        else if (arg == "--direct")
            o.direct = true;
        else if (arg == "--test")
            o.test = next();
        else if (arg == "--bytes")
            o.bytes = std::stoull(next());
        else if (arg == "--connections")
            o.connections = std::stoi(next());
        else if (arg == "--rounds")
            o.rounds = std::stoi(next());
        else if (arg == "--seconds")
            o.seconds = std::stod(next());
        else if (arg == "--idle")
            o.idle = std::stoi(next());
        else if (arg == "--pids") {
            const std::string list = next();
            for (size_t start = 0; start < list.size();) {
                const size_t comma = std::min(list.find(',', start), list.size());
                o.pids.push_back(std::stoi(list.substr(start, comma - start)));
                start = comma + 1;
            }
        } else {
            std::fprintf(stderr,
                         "usage: relaybench --port P --upstream-port U [--greeting N] [--direct] --test "
                         "up|down|aggregate|latency|churn|memory|settle [--bytes B] [--connections N] [--rounds R] "
                         "[--seconds S] [--idle N] [--pids a,b]\n");
            return 2;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);

    Upstream upstream(o.upstreamPort);

    // Idle clients, held for the whole run: connected, greeted, their upstream side accepted.
    std::vector<int> idle;
    if (o.idle > 0 || o.test.find("memory") != std::string::npos) {
        const int before = upstream.Open();
        for (int i = 0; i < o.idle; ++i)
            idle.push_back(ConnectClient(o));
        WaitFor("the idle clients' upstream connections", [&] { return upstream.Open() >= before + o.idle; });
        std::printf("memory_idle%d_mib %.1f\n", o.idle, PssMiB(o.pids));
    }

    double startMiB = 0;
    if (o.test.find("settle") != std::string::npos) {
        startMiB = PssMiB(o.pids);
        std::printf("memory_start_mib %.1f\n", startMiB);
    }
    // Several tests may run in one go, separated by commas (while the idle clients stay held).
    std::string previous = "start";
    for (size_t start = 0; start < o.test.size();) {
        const size_t comma = std::min(o.test.find(',', start), o.test.size());
        const std::string test = o.test.substr(start, comma - start);
        start = comma + 1;
        if (test == "up") {
            std::printf("up_mb_s %.0f\n", double(o.bytes) / Transfer(o, 1, o.bytes, 0) / 1e6);
        } else if (test == "down") {
            std::printf("down_mb_s %.0f\n", double(o.bytes) / Transfer(o, 1, 0, o.bytes) / 1e6);
        } else if (test == "aggregate") {
            const uint64_t each = o.bytes / uint64_t(o.connections) / 2;
            PeakSampler peak(o.pids);
            const double seconds = Transfer(o, o.connections, each, each);
            const double peakMiB = peak.Stop();
            std::printf("aggregate_mb_s %.0f\n", double(each * 2 * uint64_t(o.connections)) / seconds / 1e6);
            if (!o.pids.empty())
                std::printf("memory_peak%d_mib %.1f\n", o.connections, peakMiB);
        } else if (test == "latency") {
            Latency(o, o.direct ? "direct" : "latency");
        } else if (test == "churn") {
            Churn(o);
        } else if (test == "settle") {
            // Everything the earlier tests opened is closed by now; the relay gets 3 s to let go.
            std::this_thread::sleep_for(std::chrono::seconds(3));
            const double after = PssMiB(o.pids);
            std::printf("memory_after_%s_mib %.1f\nmemory_after_%s_x %.2f\n", previous.c_str(), after, previous.c_str(),
                        startMiB > 0 ? after / startMiB : 0);
        } else if (test != "memory") {
            std::fprintf(stderr, "relaybench: unknown test %s\n", test.c_str());
            return 2;
        }
        std::fflush(stdout);
        previous = test;
    }
    for (int fd : idle)
        close(fd);
    return 0;
}
