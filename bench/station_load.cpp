// station-load: the clients that try the station's door, for bench/station_door_bench.py.
//  - slow: connections that send one byte of a request's head every --slow-interval-ms, from
//    --slow-addresses loopback addresses starting at 127.0.0.--slow-from; each one the station
//    closes is opened again at once (a client that keeps trying).
//  - greedy: connections (a thread each, cpp-httplib's client, kept alive) that request the
//    page's GETs (/api/ports, /api/history, /api/stats, /api/shelf) one after the other as
//    fast as the station answers, from --greedy-addresses addresses starting at
//    127.0.0.--greedy-from.
//  - the probe: a fresh connection from 127.0.0.1 every --probe-interval-ms asking
//    GET /api/station, as a person's page would; its time to the whole answer.
// Prints the greedy requests answered so far once a second ({"t":S,"answered":N}); after
// --seconds (or SIGTERM, SIGINT) one JSON object: the greedy requests answered (and per
// second), failed, the slow connections' closes and how long each lived, every probe's time.
#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <CLI/CLI.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Json = nlohmann::ordered_json;

volatile sig_atomic_t g_stopAsked = 0;

void AskStop(int) {
    g_stopAsked = 1;
}

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string Address(int first, int i, int count) {
    return "127.0.0." + std::to_string(first + i % count);
}

bool BindTo(int fd, const std::string& address) {
    sockaddr_in source{};
    source.sin_family = AF_INET;
    inet_pton(AF_INET, address.c_str(), &source.sin_addr);
    return ::bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) == 0;
}

int ConnectFrom(const std::string& address, int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in station{};
    station.sin_family = AF_INET;
    station.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &station.sin_addr);
    if (fd < 0 || !BindTo(fd, address) ||
        ::connect(fd, reinterpret_cast<sockaddr*>(&station), sizeof station) != 0) {
        if (fd >= 0) {
            ::close(fd);
        }
        return -1;
    }
    return fd;
}

struct Settings {
    int port = 0;
    double seconds = 60;
    int slow = 500, slowFrom = 2, slowAddresses = 40, slowIntervalMs = 3000;
    int greedy = 200, greedyFrom = 42, greedyAddresses = 20;
    int probeIntervalMs = 2000;
};

// The slow clients, all on this thread: one poll over every socket, each sending its next
// byte when its time comes.
struct SlowResult {
    long bytes = 0, closes = 0, connectFailures = 0;
    std::vector<double> lifetimes;  // seconds from connect to the station's close
};

SlowResult RunSlow(const Settings& settings, const std::atomic<bool>& stop) {
    SlowResult result;
    const std::string head =
        "GET /api/ports HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(settings.port) +
        "\r\nX-Slow: " + std::string(4000, 'a');
    struct Client {
        int fd = -1;
        size_t sent = 0;
        Clock::time_point opened, next;
    };
    std::vector<Client> clients(static_cast<size_t>(settings.slow));
    const auto interval = std::chrono::milliseconds(settings.slowIntervalMs);
    auto open = [&](size_t i, Clock::time_point now) {
        Client& client = clients[i];
        client.fd = ConnectFrom(
            Address(settings.slowFrom, static_cast<int>(i), settings.slowAddresses), settings.port);
        if (client.fd < 0) {
            ++result.connectFailures;
        }
        client.sent = 0;
        client.opened = now;
        // Spread over the interval, so that the bytes come evenly.
        client.next = now + interval * static_cast<long>(i) / settings.slow;
    };
    const Clock::time_point start = Clock::now();
    for (size_t i = 0; i < clients.size(); ++i) {
        open(i, start);
    }
    std::vector<pollfd> polled(clients.size());
    while (!stop) {
        for (size_t i = 0; i < clients.size(); ++i) {
            polled[i] = {clients[i].fd, POLLIN, 0};
        }
        ::poll(polled.data(), polled.size(), 20);
        const Clock::time_point now = Clock::now();
        for (size_t i = 0; i < clients.size(); ++i) {
            Client& client = clients[i];
            if (client.fd < 0) {
                open(i, now);
                continue;
            }
            if (polled[i].revents != 0) {
                char drop[512];
                if (::recv(client.fd, drop, sizeof drop, MSG_DONTWAIT) <= 0) {
                    ++result.closes;
                    result.lifetimes.push_back(
                        std::chrono::duration<double>(now - client.opened).count());
                    ::close(client.fd);
                    open(i, now);
                }
                continue;
            }
            if (now >= client.next && client.sent < head.size()) {
                if (::send(client.fd, head.data() + client.sent, 1, MSG_NOSIGNAL) == 1) {
                    ++client.sent;
                    ++result.bytes;
                }
                client.next = now + interval;
            }
        }
    }
    for (Client& client : clients) {
        if (client.fd >= 0) {
            ::close(client.fd);
        }
    }
    return result;
}

struct GreedyResult {
    std::atomic<long> answered{0}, failed{0};
};

void RunGreedy(const Settings& settings, int index, const std::atomic<bool>& stop,
               GreedyResult& result) {
    static const char* const kPaths[] = {"/api/ports", "/api/history", "/api/stats", "/api/shelf"};
    const std::string from = Address(settings.greedyFrom, index, settings.greedyAddresses);
    httplib::Client client("127.0.0.1", settings.port);
    client.set_keep_alive(true);
    client.set_read_timeout(10, 0);
    client.set_socket_options([from](socket_t fd) { BindTo(fd, from); });
    for (size_t n = static_cast<size_t>(index); !stop; ++n) {
        auto answer = client.Get(kPaths[n % 4]);
        if (answer && answer->status == 200) {
            ++result.answered;
        } else {
            ++result.failed;
        }
    }
}

// Each probe: a fresh connection, the request, the whole answer; its seconds (or -1).
std::vector<double> RunProbe(const Settings& settings, const std::atomic<bool>& stop) {
    std::vector<double> times;
    while (!stop) {
        const Clock::time_point start = Clock::now();
        httplib::Client client("127.0.0.1", settings.port);
        client.set_keep_alive(false);
        client.set_connection_timeout(30, 0);
        client.set_read_timeout(30, 0);
        auto answer = client.Get("/api/station");
        times.push_back(answer && answer->status == 200 ? SecondsSince(start) : -1.0);
        const auto next = start + std::chrono::milliseconds(settings.probeIntervalMs);
        while (!stop && Clock::now() < next) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    return times;
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    signal(SIGTERM, AskStop);
    signal(SIGINT, AskStop);
    Settings settings;
    CLI::App app{"Slow, greedy and probing clients of velko-station's door", "station-load"};
    app.add_option("--port", settings.port, "the station's port on 127.0.0.1")->required();
    app.add_option("--seconds", settings.seconds, "how long the clients run")
        ->capture_default_str();
    app.add_option("--slow", settings.slow, "slow connections")->capture_default_str();
    app.add_option("--slow-from", settings.slowFrom, "their first address, 127.0.0.N")
        ->capture_default_str();
    app.add_option("--slow-addresses", settings.slowAddresses, "how many addresses they use")
        ->capture_default_str();
    app.add_option("--slow-interval-ms", settings.slowIntervalMs, "between each one's bytes")
        ->capture_default_str();
    app.add_option("--greedy", settings.greedy, "greedy connections")->capture_default_str();
    app.add_option("--greedy-from", settings.greedyFrom, "their first address, 127.0.0.N")
        ->capture_default_str();
    app.add_option("--greedy-addresses", settings.greedyAddresses, "how many addresses they use")
        ->capture_default_str();
    app.add_option("--probe-interval-ms", settings.probeIntervalMs, "0: no probe")
        ->capture_default_str();
    CLI11_PARSE(app, argc, argv);

    std::atomic<bool> stop{false};
    GreedyResult greedy;
    SlowResult slow;
    std::vector<double> probes;
    const Clock::time_point start = Clock::now();
    std::thread slowThread([&] {
        if (settings.slow > 0) {
            slow = RunSlow(settings, stop);
        }
    });
    std::vector<std::thread> greedyThreads;
    for (int i = 0; i < settings.greedy; ++i) {
        greedyThreads.emplace_back([&, i] { RunGreedy(settings, i, stop, greedy); });
    }
    std::thread probeThread([&] {
        if (settings.probeIntervalMs > 0) {
            probes = RunProbe(settings, stop);
        }
    });
    for (Clock::time_point report = start + std::chrono::seconds(1);
         SecondsSince(start) < settings.seconds && g_stopAsked == 0;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (Clock::now() >= report) {
            std::printf("{\"t\":%.3f,\"answered\":%ld}\n", SecondsSince(start),
                        greedy.answered.load());
            std::fflush(stdout);
            report += std::chrono::seconds(1);
        }
    }
    stop = true;
    const double elapsed = SecondsSince(start);
    const long answered = greedy.answered;
    for (std::thread& thread : greedyThreads) {
        thread.join();
    }
    slowThread.join();
    probeThread.join();

    std::sort(slow.lifetimes.begin(), slow.lifetimes.end());
    auto lifetime = [&](double share) {
        return slow.lifetimes.empty()
                   ? 0.0
                   : slow.lifetimes[static_cast<size_t>(share * (slow.lifetimes.size() - 1))];
    };
    Json out{{"seconds", elapsed},
             {"greedy_answered", answered},
             {"greedy_per_second", answered / elapsed},
             {"greedy_failed", greedy.failed.load()},
             {"slow_bytes", slow.bytes},
             {"slow_closed_by_station", slow.closes},
             {"slow_connect_failures", slow.connectFailures},
             {"slow_lifetime_s",
              {{"min", lifetime(0)}, {"median", lifetime(0.5)}, {"max", lifetime(1)}}},
             {"probes", probes}};
    std::printf("%s\n", out.dump().c_str());
    return 0;
}
