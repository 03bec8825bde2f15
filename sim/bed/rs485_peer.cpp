// The RS-485 line and loop-back fixture of the kernel test bed
// (scripts/test-kernel.sh): the simulator's RS-485 model
// (sim/models/rs485.cpp) on the far end of the guest's /dev/ttyS1, a 16550
// port that qemu binds to a Unix socket.
//
//   rs485-peer --scenario FILE --socket PATH --board-record PATH --record PATH
//
// It listens on PATH and serves the first connection (qemu's) until qemu
// closes it. What the program writes goes onto the model's line at the
// model's speed (9600 baud, the speed the program sets: a socket carries
// no line settings) and comes back with the scenario's faults: a byte lost,
// corrupted or one more, or no fixture at all.
//
// The line is driven and heard only after the board I/O driver's requests 7
// and 8, which the guest's /dev/vexio daemon records as it answers them; the
// peer follows that record (the guest's /dev/ttyS3, a file on the host) for
// the model's wires. A real port keeps nothing before it is opened, so the
// bytes waiting in the model's receive queue (`stale`) go to the guest once
// the program has switched the line on, which it does right after opening
// the port.
//
// What only the port's driver could do (take part of a write, stay busy,
// refuse its settings, hang up) and noise at a virtual time are not the far
// end's to play: the peer refuses such a scenario, and bed/plan.jq skips it.
//
// Every event of the model goes to the record, one JSON object per line in
// the format of ftq-sim --trace.
#include "sim/bed/accept_one.h"
#include "sim/bed/realtime_host.h"
#include "sim/kernel/trace.h"
#include "sim/models/rs485.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

class PeerHost : public bed::RealTimeHost {
  public:
    PeerHost(sim::Scenario scenario, std::ofstream &record)
        : RealTimeHost(std::move(scenario)), record_(record) {}

    void trace(const std::string &dev, const std::string &ev, nlohmann::json data) override {
        sim::Trace one;
        one.add(now(), dev, ev, std::move(data));
        one.write_jsonl(record_);
        record_.flush();
    }

  private:
    std::ofstream &record_;
};

// The guest's board record as qemu writes it: the driver's answers to
// requests 7 and 8 become the model's wires. The file appears when qemu
// starts; inotify on its folder wakes the peer when it grows.
class BoardRecord {
  public:
    BoardRecord(const std::string &path, PeerHost &host) : path_(path), host_(host) {
        std::string dir = path.substr(0, path.rfind('/') + 1);
        notify_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (notify_ < 0 || ::inotify_add_watch(notify_, dir.empty() ? "." : dir.c_str(),
                                               IN_CREATE | IN_MODIFY | IN_MOVED_TO) < 0)
            throw std::runtime_error(path + ": cannot watch its folder: " + strerror(errno));
    }
    ~BoardRecord() {
        if (fd_ >= 0)
            ::close(fd_);
        ::close(notify_);
    }

    int notify_fd() const { return notify_; }
    // The program has switched the line on since the port was opened.
    bool line_switched() const { return switched_; }

    // Takes the folder's change notices, so that they wake the peer once.
    void changed() {
        char events[4096];
        while (::read(notify_, events, sizeof events) > 0) {
        }
    }

    // Reads what was added since the last call.
    void follow() {
        if (fd_ < 0)
            fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0)
            return;
        char buf[4096];
        ssize_t n;
        while ((n = ::read(fd_, buf, sizeof buf)) > 0) {
            partial_.append(buf, static_cast<size_t>(n));
            size_t end;
            while ((end = partial_.find('\n')) != std::string::npos) {
                line(partial_.substr(0, end));
                partial_.erase(0, end + 1);
            }
        }
    }

  private:
    void line(const std::string &text) {
        nlohmann::json e = nlohmann::json::parse(text, nullptr, false);
        if (!e.is_object() || e.value("dev", "") != "vexio")
            return;
        std::string ev = e.value("ev", "");
        bool driver = ev == "rs485_tx_enable";
        if (!driver && ev != "rs485_rx_enable")
            return;
        const nlohmann::json &d = e["data"];
        if (!d.is_object() || d.value("result", -1) != 0)
            return; // a refused request leaves the line as it was
        bool on = d.value("value", 0) == 1;
        (driver ? host_.wiring().rs485_driver_enabled : host_.wiring().rs485_receiver_enabled) = on;
        host_.trace("peer", driver ? "driver" : "receiver", {{"on", on}});
        switched_ = true;
    }

    std::string path_;
    PeerHost &host_;
    int notify_ = -1;
    int fd_ = -1;
    std::string partial_;
    bool switched_ = false;
};

// The fields of the model that only the port's own driver could play.
const char *const kPortOnly[] = {
    "accept_per_write", "busy_after_write",   "never_writable", "tcsetattr_error",
    "hangup_at",        "hangup_after_write", "noise",          "missing"};

int usage() {
    fprintf(stderr, "usage: rs485-peer --scenario FILE --socket PATH --board-record PATH "
                    "--record PATH\n");
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    std::string scenario_file, socket_path, board_path, record_path;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            usage();
            return 0;
        }
        if (a == "--scenario" && i + 1 < argc)
            scenario_file = argv[++i];
        else if (a == "--socket" && i + 1 < argc)
            socket_path = argv[++i];
        else if (a == "--board-record" && i + 1 < argc)
            board_path = argv[++i];
        else if (a == "--record" && i + 1 < argc)
            record_path = argv[++i];
        else
            return usage();
    }
    if (scenario_file.empty() || socket_path.empty() || board_path.empty() || record_path.empty())
        return usage();

    try {
        std::ofstream record(record_path);
        if (!record) {
            fprintf(stderr, "rs485-peer: %s: %s\n", record_path.c_str(), strerror(errno));
            return 1;
        }
        PeerHost host(sim::Scenario::from_file(scenario_file), record);
        sim::Section section = host.scenario().section("rs485");
        for (const char *field : kPortOnly)
            if (section.has(field)) {
                fprintf(stderr,
                        "rs485-peer: %s: rs485.%s: the port's own driver would have to play "
                        "it, not the line's far end\n",
                        scenario_file.c_str(), field);
                return 2;
            }
        sim::Rs485Port port(host, section);
        BoardRecord board(board_path, host);

        int fd = bed::accept_one(socket_path, "rs485-peer");
        if (fd < 0)
            return 1;
        host.trace("peer", "connected", {});

        sim::OpenFile file;
        file.path = "/dev/ttyS1";
        file.dev = &port;
        bool opened = false;
        uint8_t buf[4096];
        for (;;) {
            board.follow();
            if (!opened && board.line_switched()) {
                opened = true;
                host.trace("peer", "program_opened", {});
            }
            int wait_ms = host.run_due();
            // What came back goes to the port at once; nothing before the
            // program has it open.
            while (opened) {
                ssize_t n = port.read(file, buf, sizeof buf);
                if (n <= 0 || !bed::send_all(fd, buf, static_cast<size_t>(n)))
                    break;
            }
            pollfd p[2] = {{fd, POLLIN, 0}, {board.notify_fd(), POLLIN, 0}};
            int r = ::poll(p, 2, wait_ms);
            if (r > 0 && p[1].revents != 0)
                board.changed(); // the loop reads the record again anyway
            if (r < 0 && errno != EINTR) {
                perror("rs485-peer: poll");
                return 1;
            }
            if (r <= 0 || p[0].revents == 0)
                continue;
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                perror("rs485-peer: recv");
                return 1;
            }
            if (n == 0)
                break; // qemu closed the port: the board is off
            // The wires as the driver last set them, before the bytes go.
            board.follow();
            ssize_t took = port.write(file, buf, static_cast<size_t>(n));
            if (took != n) {
                fprintf(stderr, "rs485-peer: the model took %zd of %zd bytes\n", took, n);
                return 1;
            }
        }
        host.trace("peer", "disconnected", {});
        return 0;
    } catch (const std::exception &e) {
        fprintf(stderr, "rs485-peer: %s\n", e.what());
        return 1;
    }
}
