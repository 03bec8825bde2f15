// The board's Ethernet ports eth0 and eth1 as the ethtool requests on an
// AF_INET datagram socket see them: link state, speed and duplex.
//
// The default is a healthy board: both ports up at 100 Mbit/s full duplex.
#include "sim/kernel/model.h"

#include <cstring>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/socket.h>

namespace sim {

namespace {

struct Port {
    bool present = true;
    uint32_t link = 1; // what the link query answers: 1 up, 0 down
    int64_t speed = 100;
    int duplex = DUPLEX_FULL;
    int glink_errno = 0; // non-zero: the link query fails with it
    int gset_errno = 0;  // non-zero: the settings query fails with it
};

class Net : public Model, public Device {
  public:
    Net(Kernel &k, const Section &s) : k_(k) {
        s.only({"socket", "eth0", "eth1"});
        ports_[0] = port(s.child("eth0"));
        ports_[1] = port(s.child("eth1"));
        if (s.choice("socket", "ok", {"ok", "fails"}) == "ok")
            k_.vfs().add_socket(AF_INET, SOCK_DGRAM, this);
    }

    int ioctl(OpenFile &, unsigned long req, uintptr_t arg) override {
        if (req != SIOCETHTOOL) {
            k_.trace("net", "unknown_request", {{"request", req}});
            return -ENOTTY;
        }
        auto *ifr = reinterpret_cast<struct ifreq *>(arg);
        std::string name(ifr->ifr_name, strnlen(ifr->ifr_name, IFNAMSIZ));
        auto *data = reinterpret_cast<uint8_t *>(ifr->ifr_data);
        uint32_t cmd = 0;
        if (data != nullptr)
            std::memcpy(&cmd, data, sizeof cmd);
        int r = answer(name, cmd, data);
        k_.trace("net", "ethtool", {{"ifname", name}, {"cmd", command_name(cmd)}, {"result", r}});
        return r;
    }

  private:
    static Port port(const Section &s) {
        s.only({"present", "link", "speed", "duplex", "glink_fails", "gset_fails"});
        Port p;
        p.present = s.flag("present", true);
        if (s.has("link") && !(*s.raw())["link"].is_boolean())
            p.link = static_cast<uint32_t>(s.integer("link", 1, 0, 0xFFFFFFFFLL));
        else
            p.link = s.flag("link", true) ? 1 : 0;
        p.speed = s.integer("speed", 100, 0, 0xFFFFFFFFLL);
        p.duplex = static_cast<int>(s.integer("duplex", DUPLEX_FULL, 0, 255));
        p.glink_errno = failure(s, "glink_fails");
        p.gset_errno = failure(s, "gset_fails");
        return p;
    }

    // true fails as a driver without the request does; an errno name or
    // number fails with that errno.
    static int failure(const Section &s, const char *key) {
        if (!s.has(key))
            return 0;
        const nlohmann::json &v = (*s.raw())[key];
        if (v.is_boolean())
            return v.get<bool>() ? EOPNOTSUPP : 0;
        return s.errno_value(key, EOPNOTSUPP);
    }

    static std::string command_name(uint32_t cmd) {
        if (cmd == ETHTOOL_GLINK)
            return "GLINK";
        if (cmd == ETHTOOL_GSET)
            return "GSET";
        return std::to_string(cmd);
    }

    int answer(const std::string &name, uint32_t cmd, uint8_t *data) {
        const Port *p = name == "eth0" ? &ports_[0] : name == "eth1" ? &ports_[1] : nullptr;
        if (p == nullptr || !p->present)
            return -ENODEV;
        if (data == nullptr)
            return -EFAULT;
        // Each answer fills exactly the structure its command names.
        if (cmd == ETHTOOL_GLINK) {
            if (p->glink_errno)
                return -p->glink_errno;
            struct ethtool_value v;
            std::memset(&v, 0, sizeof v);
            v.cmd = cmd;
            v.data = p->link;
            std::memcpy(data, &v, sizeof v);
            return 0;
        }
        if (cmd == ETHTOOL_GSET) {
            if (p->gset_errno)
                return -p->gset_errno;
            struct ethtool_cmd c;
            std::memset(&c, 0, sizeof c);
            c.cmd = cmd;
            c.supported = SUPPORTED_10baseT_Full | SUPPORTED_100baseT_Full | SUPPORTED_Autoneg;
            c.advertising = ADVERTISED_10baseT_Full | ADVERTISED_100baseT_Full;
            // Without a link the PHY has agreed on nothing.
            ethtool_cmd_speed_set(&c, p->link ? static_cast<uint32_t>(p->speed) : SPEED_UNKNOWN);
            c.duplex = static_cast<uint8_t>(p->link ? p->duplex : DUPLEX_UNKNOWN);
            c.port = PORT_MII;
            c.transceiver = XCVR_INTERNAL;
            c.autoneg = AUTONEG_ENABLE;
            std::memcpy(data, &c, sizeof c);
            return 0;
        }
        return -EOPNOTSUPP;
    }

    Kernel &k_;
    Port ports_[2];
};

} // namespace

std::unique_ptr<Model> make_net(Kernel &k, const Section &s) {
    return std::make_unique<Net>(k, s);
}

} // namespace sim
