// The board I/O driver /dev/vexio on a real kernel: a CUSE daemon of the
// kernel test bed (scripts/test-kernel.sh) that serves the simulator's own
// board I/O driver model (sim/models/vexio.cpp) and alarm fixture
// (sim/models/alarm.cpp) to the unchanged ARM ftq.
//
// It speaks the plain CUSE protocol on /dev/cuse: the kernel creates
// /dev/vexio, and every open, write, ioctl and release of it arrives here as
// a request. The driver's requests 0x01 to 0x52 carry no size in their
// number and several take a plain value, so the device asks for
// unrestricted ioctls and fetches or returns the caller's memory only for
// the requests whose argument is a pointer.
//
//   vexio-cuse --scenario FILE --record PATH
//
// Every event of the models is written to PATH as it happens, one JSON
// object per line in the format of ftq-sim --trace. When the watchdog is
// armed the board "restarts": two seconds later the daemon records it and
// sends SIGUSR2 to init, which powers the machine off.
#include "board/vexio.h"
#include "sim/bed/realtime_host.h"
#include "sim/kernel/model.h"
#include "sim/kernel/trace.h"
#include "sim/models/vexio.h"

#include <linux/fuse.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace sim {
std::unique_ptr<Model> make_alarm(Host &host, const Section &s);
}

namespace {

constexpr sim::Time kRestartAfter = 2 * sim::kSecond;

// The transport: the bed's real-time carrier, records to a file.
class CuseHost : public bed::RealTimeHost {
  public:
    CuseHost(sim::Scenario scenario, int record_fd)
        : RealTimeHost(std::move(scenario)), record_fd_(record_fd) {}

    void trace(const std::string &dev, const std::string &ev, nlohmann::json data) override {
        sim::Trace one;
        one.add(now(), dev, ev, std::move(data));
        std::ostringstream line;
        one.write_jsonl(line);
        std::string text = line.str();
        if (record_fd_ >= 0 && ::write(record_fd_, text.data(), text.size()) < 0)
            perror("vexio-cuse: record");
        const auto &e = one.events().front();
        if (dev == "vexio" && ev == "watchdog_armed" && e.data.value("result", -1) == 0 &&
            !restarting_) {
            restarting_ = true;
            after(kRestartAfter, [this] {
                this->trace("board", "restart", {{"by", "watchdog"}});
                ::kill(1, SIGUSR2);
            });
        }
    }

  private:
    int record_fd_;
    bool restarting_ = false;
};

// The bytes a request's pointer argument refers to: the caller's memory
// that the model fills. Every other request passes its argument as a value.
size_t out_size(unsigned long request) {
    switch (request) {
    case VEXIO_BOARD_INFO:
    case VEXIO_DEVICE_INFO:
        return 256;
    case VEXIO_ALARM_INPUTS:
        return 2; // _IOR size 2
    default:
        return 0;
    }
}

class Server {
  public:
    Server(int fd, CuseHost &host, sim::Device &dev) : fd_(fd), host_(host), dev_(dev) {}

    void reply(uint64_t unique, int error, const void *body = nullptr, size_t n = 0) {
        std::vector<uint8_t> out(sizeof(fuse_out_header) + n);
        fuse_out_header h{};
        h.len = static_cast<uint32_t>(out.size());
        h.error = error;
        h.unique = unique;
        std::memcpy(out.data(), &h, sizeof h);
        if (n)
            std::memcpy(out.data() + sizeof h, body, n);
        if (::write(fd_, out.data(), out.size()) < 0 && errno != ENOENT)
            perror("vexio-cuse: reply");
    }

    void handle(const uint8_t *req, size_t len) {
        fuse_in_header in;
        std::memcpy(&in, req, sizeof in);
        const uint8_t *body = req + sizeof in;
        size_t body_len = len - sizeof in;
        switch (in.opcode) {
        case CUSE_INIT: {
            cuse_init_out o{};
            o.major = FUSE_KERNEL_VERSION;
            o.minor = FUSE_KERNEL_MINOR_VERSION;
            o.flags = CUSE_UNRESTRICTED_IOCTL;
            o.max_read = 4096;
            o.max_write = 4096;
            const char info[] = "DEVNAME=vexio";
            std::vector<uint8_t> b(sizeof o + sizeof info);
            std::memcpy(b.data(), &o, sizeof o);
            std::memcpy(b.data() + sizeof o, info, sizeof info);
            reply(in.unique, 0, b.data(), b.size());
            host_.trace("cuse", "init", {{"device", "/dev/vexio"}});
            return;
        }
        case FUSE_OPEN: {
            fuse_open_in oi{};
            std::memcpy(&oi, body, std::min(sizeof oi, body_len));
            sim::OpenFile &f = files_[next_fh_];
            f.path = VEXIO_PATH;
            f.dev = &dev_;
            f.flags = static_cast<int>(oi.flags);
            f.id = static_cast<int>(next_fh_);
            int rc = dev_.open(f);
            if (rc < 0) {
                files_.erase(next_fh_);
                reply(in.unique, rc);
                return;
            }
            fuse_open_out oo{};
            oo.fh = next_fh_++;
            oo.open_flags = FOPEN_DIRECT_IO | FOPEN_NONSEEKABLE;
            reply(in.unique, 0, &oo, sizeof oo);
            return;
        }
        case FUSE_RELEASE: {
            fuse_release_in ri{};
            std::memcpy(&ri, body, std::min(sizeof ri, body_len));
            auto it = files_.find(ri.fh);
            if (it != files_.end()) {
                dev_.close(it->second);
                files_.erase(it);
            }
            reply(in.unique, 0);
            return;
        }
        case FUSE_WRITE: {
            fuse_write_in wi{};
            std::memcpy(&wi, body, std::min(sizeof wi, body_len));
            size_t n = std::min<size_t>(wi.size, body_len - std::min(sizeof wi, body_len));
            auto it = files_.find(wi.fh);
            if (it == files_.end()) {
                reply(in.unique, -EBADF);
                return;
            }
            ssize_t rc = dev_.write(it->second, body + sizeof wi, n);
            if (rc < 0) {
                reply(in.unique, static_cast<int>(rc));
                return;
            }
            fuse_write_out wo{};
            wo.size = static_cast<uint32_t>(rc);
            reply(in.unique, 0, &wo, sizeof wo);
            return;
        }
        case FUSE_READ: {
            fuse_read_in ri{};
            std::memcpy(&ri, body, std::min(sizeof ri, body_len));
            auto it = files_.find(ri.fh);
            if (it == files_.end()) {
                reply(in.unique, -EBADF);
                return;
            }
            std::vector<uint8_t> buf(ri.size);
            ssize_t rc = dev_.read(it->second, buf.data(), buf.size());
            if (rc < 0)
                reply(in.unique, static_cast<int>(rc));
            else
                reply(in.unique, 0, buf.data(), static_cast<size_t>(rc));
            return;
        }
        case FUSE_IOCTL:
            ioctl(in, body, body_len);
            return;
        case FUSE_INTERRUPT:
            return; // nothing here blocks; the request it names is answered anyway
        default:
            reply(in.unique, -ENOSYS);
            return;
        }
    }

  private:
    void ioctl(const fuse_in_header &in, const uint8_t *body, size_t body_len) {
        fuse_ioctl_in ii{};
        std::memcpy(&ii, body, std::min(sizeof ii, body_len));
        auto it = files_.find(ii.fh);
        if (it == files_.end()) {
            reply(in.unique, -EBADF);
            return;
        }
        unsigned long request = ii.cmd;
        size_t want = out_size(request);
        if (want > 0 && ii.out_size < want) {
            // First pass of a pointer request: ask the kernel for the
            // caller's memory at the argument's address.
            struct {
                fuse_ioctl_out o;
                fuse_ioctl_iovec iov;
            } retry{};
            retry.o.flags = FUSE_IOCTL_RETRY;
            retry.o.in_iovs = 0;
            retry.o.out_iovs = 1;
            retry.iov.base = ii.arg;
            retry.iov.len = want;
            reply(in.unique, 0, &retry, sizeof retry);
            return;
        }
        std::vector<uint8_t> buf(want);
        uintptr_t arg =
            want > 0 ? reinterpret_cast<uintptr_t>(buf.data()) : static_cast<uintptr_t>(ii.arg);
        int rc = dev_.ioctl(it->second, request, arg);
        if (rc < 0) {
            reply(in.unique, rc);
            return;
        }
        std::vector<uint8_t> out(sizeof(fuse_ioctl_out) + want);
        fuse_ioctl_out o{};
        o.result = rc;
        std::memcpy(out.data(), &o, sizeof o);
        if (want)
            std::memcpy(out.data() + sizeof o, buf.data(), want);
        reply(in.unique, 0, out.data(), out.size());
    }

    int fd_;
    CuseHost &host_;
    sim::Device &dev_;
    std::map<uint64_t, sim::OpenFile> files_;
    uint64_t next_fh_ = 1;
};

int usage() {
    fprintf(stderr, "usage: vexio-cuse --scenario FILE [--record PATH]\n");
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    std::string scenario_file, record_path;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--scenario" && i + 1 < argc)
            scenario_file = argv[++i];
        else if (a == "--record" && i + 1 < argc)
            record_path = argv[++i];
        else
            return usage();
    }
    if (scenario_file.empty())
        return usage();

    try {
        int record_fd = -1;
        if (!record_path.empty()) {
            record_fd = ::open(record_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOCTTY, 0644);
            if (record_fd < 0) {
                perror(record_path.c_str());
                return 1;
            }
        }
        CuseHost host(sim::Scenario::from_file(scenario_file), record_fd);
        // The same models, built the same way as on the simulated board.
        auto vexio = sim::make_vexio(host, host.scenario().section("board"));
        auto alarm = sim::make_alarm(host, host.scenario().section("alarm"));
        sim::Device *dev = host.device(VEXIO_PATH);
        if (dev == nullptr) {
            fprintf(stderr, "vexio-cuse: the scenario's board has no /dev/vexio\n");
            return 1;
        }

        int fd = ::open("/dev/cuse", O_RDWR);
        if (fd < 0) {
            perror("/dev/cuse");
            return 1;
        }
        Server server(fd, host, *dev);
        std::vector<uint8_t> buf(FUSE_MIN_READ_BUFFER + 65536);
        for (;;) {
            int wait_ms = host.run_due();
            pollfd p{fd, POLLIN, 0};
            int r = ::poll(&p, 1, wait_ms);
            if (r < 0 && errno != EINTR) {
                perror("vexio-cuse: poll");
                return 1;
            }
            if (r <= 0)
                continue;
            ssize_t n = ::read(fd, buf.data(), buf.size());
            if (n < 0) {
                if (errno == EINTR || errno == EAGAIN || errno == ENOENT)
                    continue;
                if (errno == ENODEV)
                    return 0; // the device was torn down
                perror("vexio-cuse: read");
                return 1;
            }
            if (static_cast<size_t>(n) < sizeof(fuse_in_header))
                continue;
            server.handle(buf.data(), static_cast<size_t>(n));
        }
    } catch (const std::exception &e) {
        fprintf(stderr, "vexio-cuse: %s\n", e.what());
        return 1;
    }
}
