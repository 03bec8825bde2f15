// The front-panel controller of the kernel test bed (scripts/test-kernel.sh):
// the simulator's panel model (sim/models/panel.cpp) on the far end of the
// guest's /dev/ttyS2, a 16550 port that qemu binds to a Unix socket.
//
//   panel-peer --scenario FILE --socket PATH --record PATH
//
// It listens on PATH and serves the first connection (qemu's) until qemu
// closes it. The model parses the frames the program writes, checks their
// checksums, answers heartbeats, recognises the LED command sequences and
// plays the scenario's key script (the default operator: ENTER, UP, DOWN,
// LEFT, RIGHT, then MENU). The script's times count from the moment the
// program opened the port; the peer cannot see the open itself and takes
// the first byte the program sends (its first heartbeat or LED frame, right
// after panelopen) for it. Every event of the model goes to the record, one
// JSON object per line in the format of ftq-sim --trace.
#include "sim/kernel/host.h"
#include "sim/kernel/trace.h"
#include "sim/models/panel.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr int kLineQuietMs = 3;

class PeerHost : public sim::Host {
  public:
    PeerHost(sim::Scenario scenario, std::ofstream &record)
        : scenario_(std::move(scenario)), record_(record),
          start_(std::chrono::steady_clock::now()) {}

    sim::Time now() const override {
        return std::chrono::duration_cast<std::chrono::microseconds>(
                   std::chrono::steady_clock::now() - start_)
            .count();
    }
    void at(sim::Time when, std::function<void()> fn) override {
        timers_.emplace(when, std::move(fn));
    }
    void trace(const std::string &dev, const std::string &ev, nlohmann::json data) override {
        sim::Trace one;
        one.add(now(), dev, ev, std::move(data));
        one.write_jsonl(record_);
        record_.flush();
    }
    sim::Wiring &wiring() override { return wiring_; }
    const sim::Scenario &scenario() const override { return scenario_; }
    void add_device(const std::string &path, sim::Device *dev) override { devices_[path] = dev; }
    sim::Device *device(const std::string &path) const {
        auto it = devices_.find(path);
        return it == devices_.end() ? nullptr : it->second;
    }

    // Runs the events that are due; the milliseconds to the next one, or -1.
    int run_due() {
        while (!timers_.empty() && timers_.begin()->first <= now()) {
            auto fn = std::move(timers_.begin()->second);
            timers_.erase(timers_.begin());
            fn();
        }
        if (timers_.empty())
            return -1;
        return static_cast<int>((timers_.begin()->first - now()) / 1000 + 1);
    }

  private:
    sim::Scenario scenario_;
    std::ofstream &record_;
    std::chrono::steady_clock::time_point start_;
    std::multimap<sim::Time, std::function<void()>> timers_;
    sim::Wiring wiring_;
    std::map<std::string, sim::Device *> devices_;
};

bool send_all(int fd, const uint8_t *b, size_t n) {
    while (n > 0) {
        ssize_t w = ::send(fd, b, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        b += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

int usage() {
    fprintf(stderr, "usage: panel-peer --scenario FILE --socket PATH --record PATH\n");
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    std::string scenario_file, socket_path, record_path;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--scenario" && i + 1 < argc)
            scenario_file = argv[++i];
        else if (a == "--socket" && i + 1 < argc)
            socket_path = argv[++i];
        else if (a == "--record" && i + 1 < argc)
            record_path = argv[++i];
        else
            return usage();
    }
    if (scenario_file.empty() || socket_path.empty() || record_path.empty())
        return usage();

    try {
        std::ofstream record(record_path);
        PeerHost host(sim::Scenario::from_file(scenario_file), record);
        sim::PanelController panel(host, host.scenario().section("panel"));
        if (host.device("/dev/ttyS2") == nullptr) {
            fprintf(stderr, "panel-peer: the scenario's panel is missing\n");
            return 1;
        }

        int lfd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socket_path.c_str());
        ::unlink(socket_path.c_str());
        if (lfd < 0 || ::bind(lfd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
            ::listen(lfd, 1) != 0) {
            perror(socket_path.c_str());
            return 1;
        }
        int fd = ::accept(lfd, nullptr, nullptr);
        if (fd < 0) {
            perror("panel-peer: accept");
            return 1;
        }
        host.trace("peer", "connected", {});

        sim::OpenFile port;
        port.path = "/dev/ttyS2";
        port.dev = &panel;
        bool opened = false;
        uint8_t buf[4096];
        for (;;) {
            int wait_ms = host.run_due();
            // What the panel sent goes out at once.
            for (;;) {
                ssize_t n = panel.read(port, buf, sizeof buf);
                if (n <= 0)
                    break;
                if (!send_all(fd, buf, static_cast<size_t>(n)))
                    break;
            }
            pollfd p{fd, POLLIN, 0};
            int r = ::poll(&p, 1, wait_ms);
            if (r < 0 && errno != EINTR) {
                perror("panel-peer: poll");
                return 1;
            }
            if (r <= 0)
                continue;
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break; // qemu closed the port: the board is off
            // The UART hands the bytes over a few at a time; what arrives
            // without a pause of kLineQuietMs is one write of the program.
            size_t got = static_cast<size_t>(n);
            bool closed = false;
            while (got < sizeof buf) {
                pollfd q{fd, POLLIN, 0};
                if (::poll(&q, 1, kLineQuietMs) <= 0)
                    break;
                ssize_t more = ::recv(fd, buf + got, sizeof buf - got, 0);
                if (more <= 0) {
                    closed = more == 0;
                    break;
                }
                got += static_cast<size_t>(more);
            }
            if (!opened) {
                opened = true;
                host.trace("peer", "program_opened", {});
                panel.open(port);
            }
            panel.write(port, buf, got);
            if (closed)
                break;
        }
        // A sequence the program left unfinished is reported as such.
        panel.close(port);
        host.trace("peer", "disconnected", {});
        return 0;
    } catch (const std::exception &e) {
        fprintf(stderr, "panel-peer: %s\n", e.what());
        return 1;
    }
}
