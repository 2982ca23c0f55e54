// relaybench: a load generator for TCP relays on 127.0.0.1. It plays the upstream server (the
// RIX, for Tolvane) on one thread and the clients on the main thread (churn: one thread per
// concurrent client), and prints one "name value" line per figure.
//
// Memory is the relay's resident set and its proportional set size (Rss and Pss of
// /proc/<pid>/smaps_rollup, each summed over --pids): with idle clients held ("memory"), at the start,
// at its peak during the 64-connection test, and after the tests before "settle", with every
// connection closed and 3 s given to the relay to let go. Pss moves with whatever else maps the same
// libraries; Rss counts a page shared by two of the relay's processes twice.
//
// Latency has its floor measured in the same run: a second connection goes straight to the upstream,
// and the round trips alternate between the two in blocks, so both see the same moment and load.
//
// Every connection starts with a 24-byte header from the client, which the upstream reads to know
// what to do: 'E' echo everything; 'T' transfer: send downBytes to the client, sink upBytes from it
// and then answer one 'K'. Upstream payloads contain no zero byte (Tolvane removes them); the
// clients' payload is text, or every byte value in turn with --pattern bytes.
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
    bool everyByte = false; // what the clients upload: every byte value 0..255 in turn, or text
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

const std::vector<char>& Payload(bool everyByte = false)
{
    static const std::vector<char> text = [] {
        std::vector<char> p(1 << 20);
        for (size_t i = 0; i < p.size(); ++i)
            p[i] = char('A' + i % 26);
        return p;
    }();
    static const std::vector<char> bytes = [] {
        std::vector<char> p(1 << 20);
        for (size_t i = 0; i < p.size(); ++i)
            p[i] = char(i % 256);
        return p;
    }();
    return everyByte ? bytes : text;
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

// A blocking client connection through the relay, greeting already read; or, direct, straight to the
// upstream (which greets nobody).
int ConnectClient(const Options& o, bool direct = false)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        Die("socket");
    const sockaddr_in address = Loopback(direct ? o.upstreamPort : o.port);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        Die("connect");
    NoDelay(fd);
    char greeting[64];
    for (int got = 0, want = direct ? 0 : o.greeting; got < want;) {
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
    if (values.empty()) // a run too short for even one cycle
        return 0;
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, size_t(p / 100.0 * double(values.size())));
    return values[index];
}

// The relay's memory in MiB, each figure summed over its processes.
struct Memory {
    double rss = 0;
    double pss = 0;
};

Memory ReadMemory(const std::vector<int>& pids)
{
    double rssKiB = 0;
    double pssKiB = 0;
    for (int pid : pids) {
        std::ifstream in("/proc/" + std::to_string(pid) + "/smaps_rollup");
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind("Rss:", 0) == 0)
                rssKiB += std::stod(line.substr(4));
            else if (line.rfind("Pss:", 0) == 0)
                pssKiB += std::stod(line.substr(4));
        }
    }
    return {rssKiB / 1024, pssKiB / 1024};
}

void PrintMemory(const std::string& what, Memory m)
{
    std::printf("rss_%s_mib %.1f\npss_%s_mib %.1f\n", what.c_str(), m.rss, what.c_str(), m.pss);
}

// Samples the relay's memory every 20 ms while it lives, keeping the highest figures.
class PeakSampler {
public:
    explicit PeakSampler(const std::vector<int>& pids)
        : m_pids(pids)
    {
        if (!m_pids.empty())
            m_thread = std::thread([this] {
                while (!m_stop) {
                    const Memory now = ReadMemory(m_pids);
                    m_peak.rss = std::max(m_peak.rss, now.rss);
                    m_peak.pss = std::max(m_peak.pss, now.pss);
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                }
            });
    }
    ~PeakSampler() { Stop(); }
    Memory Stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        return m_peak;
    }

private:
    std::vector<int> m_pids;
    std::atomic<bool> m_stop{false};
    Memory m_peak; // the sampling thread's alone until it is joined
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
                    const std::vector<char>& payload = Payload(o.everyByte);
                    const size_t size = size_t(std::min<uint64_t>(c.upLeft, payload.size()));
                    const ssize_t s = send(c.fd, payload.data(), size, MSG_NOSIGNAL);
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

// Round trips of 64 bytes, alternating in blocks between a connection through the relay and one
// straight to the upstream: the floor is taken at the same moments, under the same load, as the relay.
// The added latency is the relay's percentile minus the floor's.
void Latency(const Options& o)
{
    constexpr int Block = 100;
    const int relayed = ConnectClient(o);
    const int direct = ConnectClient(o, true);
    Header header;
    SendAll(relayed, &header, HeaderSize);
    SendAll(direct, &header, HeaderSize);
    char message[64];
    std::memset(message, 'm', sizeof message);
    char reply[64];
    std::vector<double> relayMicros;
    std::vector<double> floorMicros;
    const auto block = [&](int fd, std::vector<double>* micros) {
        for (int i = 0; i < Block; ++i) {
            const auto started = Clock::now();
            SendAll(fd, message, sizeof message);
            ReceiveAll(fd, reply, sizeof reply);
            if (micros)
                micros->push_back(Seconds(started) * 1e6);
        }
    };
    for (int warmUp = 0; warmUp < 2; ++warmUp) {
        block(relayed, nullptr);
        block(direct, nullptr);
    }
    for (int done = 0; done < o.rounds; done += Block) {
        block(relayed, &relayMicros);
        block(direct, &floorMicros);
    }
    close(relayed);
    close(direct);
    for (const auto& [name, p] : {std::pair{"p50", 50.0}, {"p99", 99.0}, {"p999", 99.9}}) {
        const double through = Percentile(relayMicros, p);
        const double floor = Percentile(floorMicros, p);
        std::printf("latency_%s_us %.1f\nfloor_%s_us %.1f\nadded_%s_us %.1f\n", name, through, name, floor, name,
                    through - floor);
    }
}

// Connect, greeting, one exchange, close, for o.seconds, on `clients` connections at once (one
// thread each). Prints the cycles per second and the 99th percentile of one cycle as name_*.
void Churn(const Options& o, int clients, const std::string& name)
{
    char packet[HeaderSize + 16];
    const Header header;
    std::memcpy(packet, &header, HeaderSize);
    std::memset(packet + HeaderSize, 'c', sizeof packet - HeaderSize);
    std::vector<std::vector<double>> micros(static_cast<size_t>(clients));
    std::vector<std::thread> threads;
    const auto started = Clock::now();
    for (auto& mine : micros)
        threads.emplace_back([&] {
            while (Seconds(started) < o.seconds) {
                const auto cycle = Clock::now();
                const int fd = ConnectClient(o);
                SendAll(fd, packet, sizeof packet);
                char reply[sizeof packet - HeaderSize];
                ReceiveAll(fd, reply, sizeof reply);
                close(fd);
                mine.push_back(Seconds(cycle) * 1e6);
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    const double elapsed = Seconds(started);
    std::vector<double> all;
    for (const auto& mine : micros)
        all.insert(all.end(), mine.begin(), mine.end());
    std::printf("%s_per_s %.0f\n%s_p99_us %.1f\n", name.c_str(), double(all.size()) / elapsed, name.c_str(),
                Percentile(all, 99));
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
        else if (arg == "--pattern") {
            const std::string pattern = next();
            if (pattern != "text" && pattern != "bytes") {
                std::fprintf(stderr, "relaybench: --pattern is text or bytes\n");
                return 2;
            }
            o.everyByte = pattern == "bytes";
        } else if (arg == "--test")
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
                         "usage: relaybench --port P --upstream-port U [--greeting N] --test "
                         "up|down|aggregate|latency|churn|churnN|memory|settle[,...] [--bytes B] [--connections N] "
                         "[--rounds R] [--seconds S] [--idle N] [--pattern text|bytes] [--pids a,b]\n");
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
        PrintMemory("idle" + std::to_string(o.idle), ReadMemory(o.pids));
    }

    Memory atStart;
    if (o.test.find("settle") != std::string::npos) {
        atStart = ReadMemory(o.pids);
        PrintMemory("start", atStart);
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
            const Memory peakMiB = peak.Stop();
            std::printf("aggregate_mb_s %.0f\n", double(each * 2 * uint64_t(o.connections)) / seconds / 1e6);
            if (!o.pids.empty())
                PrintMemory("peak" + std::to_string(o.connections), peakMiB);
        } else if (test == "latency") {
            Latency(o);
        } else if (test.rfind("churn", 0) == 0) {
            // "churn" is one client at a time, "churn4" four at once.
            const int clients = test.size() > 5 ? std::atoi(test.c_str() + 5) : 1;
            if (clients < 1) {
                std::fprintf(stderr, "relaybench: unknown test %s\n", test.c_str());
                return 2;
            }
            Churn(o, clients, test);
        } else if (test == "settle") {
            // Everything the earlier tests opened is closed by now; the relay gets 3 s to let go.
            std::this_thread::sleep_for(std::chrono::seconds(3));
            const Memory after = ReadMemory(o.pids);
            const std::string what = "after_" + previous;
            PrintMemory(what, after);
            std::printf("rss_%s_x %.2f\npss_%s_x %.2f\n", what.c_str(), atStart.rss > 0 ? after.rss / atStart.rss : 0,
                        what.c_str(), atStart.pss > 0 ? after.pss / atStart.pss : 0);
        } else if (test != "memory") {
            std::fprintf(stderr, "relaybench: unknown test %s\n", test.c_str());
            return 2;
        }
        std::fflush(stdout);
        previous = test.rfind("churn", 0) == 0 ? "churn" : test;
    }
    for (int fd : idle)
        close(fd);
    return 0;
}
