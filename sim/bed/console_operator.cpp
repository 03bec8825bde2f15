// The operator at the console of the kernel test bed
// (scripts/test-kernel.sh): the guest's ttyAMA0, which qemu binds to a Unix
// socket.
//
//   console-operator --socket PATH --log RAW --transcript OUT
//                    [--waits N,N,...] [--quiet-ms N] [--timeline FILE]
//
// It listens on PATH, serves qemu's connection until qemu closes it, and
// keeps every byte the guest printed in RAW. Between the guest init's lines
// "@@BED-BEGIN@@" and "@@BED-END" it acts as a person at the console who
// answers the questions the program asks: the program waits for Enter once
// it has shown the number of bytes each of --waits gives (the simulated
// board's operator found those waits in the same run), and the person
// presses Enter (a carriage return, as a terminal sends it) once the output
// has reached that point and then stayed quiet for N ms (300 by default).
// Without --waits nobody presses anything. The program's own bytes between
// the two markers go to OUT, untouched (GB2312). The timeline lists each
// piece of output, each Enter with the bytes shown before it ("ENTER after
// N"), and the run's start and end.
#include "sim/bed/accept_one.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <vector>
#include <unistd.h>

namespace {

const std::string kBegin = "@@BED-BEGIN@@\n";
const std::string kEnd = "@@BED-END";

int usage() {
    fprintf(stderr, "usage: console-operator --socket PATH --log RAW --transcript OUT "
                    "[--waits N,N,...] [--quiet-ms N] [--timeline FILE]\n");
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    std::string socket_path, log_path, transcript_path, timeline_path;
    int quiet_ms = 300;
    std::vector<size_t> waits; // bytes shown when each wait for Enter begins
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--socket" && i + 1 < argc)
            socket_path = argv[++i];
        else if (a == "--log" && i + 1 < argc)
            log_path = argv[++i];
        else if (a == "--transcript" && i + 1 < argc)
            transcript_path = argv[++i];
        else if (a == "--timeline" && i + 1 < argc)
            timeline_path = argv[++i];
        else if (a == "--quiet-ms" && i + 1 < argc)
            quiet_ms = std::stoi(argv[++i]);
        else if (a == "--waits" && i + 1 < argc) {
            std::string list = argv[++i];
            for (size_t at = 0; at < list.size();) {
                size_t comma = list.find(',', at);
                if (comma == std::string::npos)
                    comma = list.size();
                waits.push_back(std::stoul(list.substr(at, comma - at)));
                at = comma + 1;
            }
        } else
            return usage();
    }
    if (socket_path.empty() || log_path.empty() || transcript_path.empty())
        return usage();

    int fd = bed::accept_one(socket_path, "console-operator");
    if (fd < 0)
        return 1;

    std::ofstream log(log_path, std::ios::binary);
    std::ofstream timeline;
    if (!timeline_path.empty())
        timeline.open(timeline_path);
    auto connected = std::chrono::steady_clock::now();
    auto mark = [&](const std::string &what) {
        if (!timeline.is_open())
            return;
        double t =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - connected).count();
        char stamp[32];
        snprintf(stamp, sizeof stamp, "%8.3f ", t);
        timeline << stamp << what << '\n';
        timeline.flush();
    };
    std::string all; // everything so far
    size_t begin = std::string::npos, end = std::string::npos;
    size_t next_wait = 0;
    int presses = 0;
    auto last_output = std::chrono::steady_clock::now();
    char buf[4096];
    for (;;) {
        int wait_ms = -1;
        bool running = begin != std::string::npos && end == std::string::npos;
        if (running && next_wait < waits.size() && all.size() - begin >= waits[next_wait]) {
            auto quiet = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::steady_clock::now() - last_output)
                             .count();
            if (quiet >= quiet_ms) {
                // Read it, then Enter.
                const char enter = '\r';
                if (::send(fd, &enter, 1, MSG_NOSIGNAL) == 1) {
                    ++presses;
                    mark("ENTER after " + std::to_string(all.size() - begin));
                }
                ++next_wait;
                continue;
            }
            wait_ms = static_cast<int>(quiet_ms - quiet);
        }
        pollfd p{fd, POLLIN, 0};
        int r = ::poll(&p, 1, wait_ms);
        if (r < 0 && errno != EINTR)
            break;
        if (r <= 0)
            continue;
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        log.write(buf, n);
        log.flush();
        {
            std::string text;
            for (ssize_t i = 0; i < n; ++i) {
                unsigned char c = static_cast<unsigned char>(buf[i]);
                if (c == '\n')
                    text += "\\n";
                else if (c == '\r')
                    text += "\\r";
                else if (c < 0x20)
                    text += '.';
                else
                    text += static_cast<char>(c);
            }
            mark("out " + text);
        }
        size_t before = all.size();
        all.append(buf, static_cast<size_t>(n));
        if (begin == std::string::npos) {
            size_t at = all.find(kBegin, before >= kBegin.size() ? before - kBegin.size() : 0);
            if (at != std::string::npos) {
                begin = at + kBegin.size();
                mark("RUN BEGINS");
            }
        }
        if (begin != std::string::npos && end == std::string::npos) {
            size_t from = std::max(begin, before >= kEnd.size() ? before - kEnd.size() : 0);
            size_t at = all.find(kEnd, from);
            if (at != std::string::npos) {
                end = at;
                mark("RUN ENDS");
            }
        }
        last_output = std::chrono::steady_clock::now();
    }
    std::ofstream out(transcript_path, std::ios::binary);
    if (begin != std::string::npos)
        out << all.substr(begin, (end == std::string::npos ? all.size() : end) - begin);
    fprintf(stderr, "console-operator: pressed Enter %d times of %zu%s\n", presses, waits.size(),
            begin == std::string::npos ? ", the run never began"
            : end == std::string::npos ? ", the run never ended"
                                       : "");
    return begin != std::string::npos && end != std::string::npos ? 0 : 1;
}
