// The kernel test bed's RS-485 peer (sim/bed/rs485_peer.cpp) as qemu sees
// it: a socket on which the program's bytes go out and come back with the
// scenario's faults, once the board record says the line is switched on.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

#ifdef FTQ_SIM_BINARY
using Bytes = std::vector<uint8_t>;

struct Peer {
    std::string dir = testing::TempDir() + "rs485peer" + std::to_string(getpid());
    pid_t pid = -1;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0), status = -1;
    size_t sent = 0;

    explicit Peer(const std::string &scenario) {
        ::mkdir(dir.c_str(), 0700);
        std::ofstream(dir + "/s.json") << scenario;
        std::string peer = FTQ_SIM_BINARY;
        peer = peer.substr(0, peer.rfind('/')) + "/sim/bed/rs485-peer";
        sockaddr_un a{AF_UNIX, {}};
        snprintf(a.sun_path, sizeof a.sun_path, "%s/sock", dir.c_str());
        ::unlink((dir + "/board.jsonl").c_str());
        if ((pid = fork()) == 0) {
            freopen((dir + "/err").c_str(), "w", stderr);
            execl(peer.c_str(), peer.c_str(), "--scenario", (dir + "/s.json").c_str(), "--socket",
                  a.sun_path, "--board-record", (dir + "/board.jsonl").c_str(), "--record",
                  (dir + "/rec.jsonl").c_str(), nullptr);
            _exit(127);
        }
        for (int i = 0; i < 500 && connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 &&
                        waitpid(pid, &status, WNOHANG) == 0;
             ++i)
            usleep(10000);
    }
    // One line of the guest's /dev/vexio record: request 7 or 8's answer.
    void driver(bool tx, int value, int result = 0) {
        std::ofstream(dir + "/board.jsonl", std::ios::app)
            << "{\"data\":{\"result\":" << result << ",\"value\":" << value
            << "},\"dev\":\"vexio\",\"ev\":\"rs485_" << (tx ? "tx" : "rx") << "_enable\"}\n";
    }
    // The program's bytes, once the peer has taken them in, so that the next
    // record line comes after them.
    void send(Bytes b) {
        ASSERT_EQ(::send(fd, b.data(), b.size(), 0), ssize_t(b.size()));
        sent += b.size();
        size_t taken = 0;
        for (int i = 0; i < 1000 && taken < sent; ++i, usleep(5000)) {
            std::ifstream rec(dir + "/rec.jsonl");
            taken = 0;
            for (std::string line; std::getline(rec, line);)
                if (auto e = nlohmann::json::parse(line); e["ev"] == "write")
                    taken += e["data"]["requested"].get<size_t>();
        }
        ASSERT_EQ(taken, sent);
    }
    Bytes back(size_t n) { // within 5 s
        timeval bound{5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
        Bytes got(n);
        got.resize(size_t(std::max<ssize_t>(recv(fd, got.data(), n, MSG_WAITALL), 0)));
        return got;
    }
    // Hangs up as qemu does at power-off; the peer's exit status and message.
    std::pair<int, std::string> hang_up() {
        ::close(fd);
        if (status == -1)
            waitpid(pid, &status, 0);
        std::string err;
        std::getline(std::ifstream(dir + "/err"), err);
        return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), err};
    }
};

TEST(Rs485Peer, PlaysTheLinesFaultsOnlyWhileTheDriverHasItOn) {
    Peer p(R"({"rs485": {"lose_byte": 3, "corrupt_byte": 5, "extra_byte_after": 7,
                         "extra_byte_value": 85, "stale": "EE EF"}})");
    p.driver(false, 1);
    p.send({0xA0, 0xA1}); // the line driver is still off: never sent
    p.driver(true, 1);
    p.send({0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
    EXPECT_EQ(p.back(12), (Bytes{0xEE, 0xEF, 0, 1, 2, 4, 0xFA, 6, 7, 85, 8, 9}));
    p.driver(true, 2, -22); // refused: the driver stays on
    p.send({0xB0});
    p.driver(true, 0);
    p.send({0xB1});
    p.driver(true, 1);
    p.send({0xC0, 0xC1});
    EXPECT_EQ(p.back(3), (Bytes{0xB0, 0xC0, 0xC1}));
    EXPECT_EQ(p.hang_up(), std::make_pair(0, std::string()));
}

TEST(Rs485Peer, RefusesWhatOnlyThePortsDriverCouldDo) {
    auto [status, err] = Peer(R"({"rs485": {"accept_per_write": 1}})").hang_up();
    EXPECT_EQ(status, 2);
    EXPECT_NE(err.find("rs485.accept_per_write: the port's own driver"), std::string::npos) << err;
}
#endif

} // namespace
