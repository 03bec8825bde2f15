// The board's USB ports: mice under /dev/input, storage devices whose nodes
// the kernel names ms<letter>[<partition>] in /dev, the mount table that
// mounts them as FAT, and the mkdir and mount programs a fall-back starts.
//
// The default is a healthy board with two USB devices: one mouse and one
// storage disk, listed as msa and its partition msa1.
#include "sim/kernel/model.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace sim {

namespace {

// A block device node: the test only names it, it never reads it.
class UsbNode : public Device {
  public:
    ssize_t read(OpenFile &, void *, size_t) override { return 0; }
};

struct FsFigures {
    int64_t block_size = 4096;
    int64_t free_blocks = 1000000;
    int64_t total_blocks = 2000000;
};

struct UsbDisk {
    std::string name;
    // How a mount of this node goes: the call works; the call fails and the
    // mount program works; both fail.
    enum class Mount { Ok, Fallback, Fails } mount = Mount::Ok;
    int mount_errno = EINVAL;
    bool statfs_fails = false;
    int statfs_errno = EIO;
    FsFigures fs;
};

FsFigures figures(const Section &s, FsFigures d) {
    d.block_size = s.integer("block_size", d.block_size, 1, 1 << 20);
    d.free_blocks = s.integer("free_blocks", d.free_blocks, 0, 0xFFFFFFFFLL);
    d.total_blocks = s.integer("total_blocks", std::max(d.total_blocks, d.free_blocks),
                               d.free_blocks, 0xFFFFFFFFLL);
    return d;
}

class Usb : public Model {
  public:
    Usb(Kernel &k, const Section &s) : k_(k) {
        s.only({"mice", "devices", "root_fs", "mnt", "mount_points"});
        std::vector<int> mice = {0};
        if (s.has("mice")) {
            mice.clear();
            for (const Section &m : s.list("mice")) {
                int n = static_cast<int>(m.as_integer(0, 2));
                if (std::find(mice.begin(), mice.end(), n) != mice.end())
                    m.fail("", "mouse " + std::to_string(n) + " is listed twice");
                mice.push_back(n);
            }
        }
        for (int m : mice)
            k_.vfs().add_device("/dev/input/mouse" + std::to_string(m), &node_);

        if (s.has("devices")) {
            for (const Section &d : s.list("devices")) {
                disks_.push_back(disk(d));
                // A name such as "console" would take the place of the
                // board's own node, and the run would lose that device.
                if (k_.vfs().exists("/dev/" + disks_.back().name))
                    d.fail("name", "/dev/" + disks_.back().name +
                                       " is already a node of the board or another device");
            }
        } else {
            for (const char *name : {"msa", "msa1"}) {
                UsbDisk d;
                d.name = name;
                disks_.push_back(d);
            }
        }
        for (const UsbDisk &d : disks_)
            k_.vfs().add_device("/dev/" + d.name, &node_);

        root_ = figures(s.child("root_fs"), FsFigures{4096, 20000, 65536});
        if (s.choice("mnt", "present", {"present", "absent"}) == "present")
            k_.vfs().add_dir("/mnt");
        else
            k_.vfs().remove("/mnt");
        // Mount points an earlier run left behind: the test never removes them.
        for (const Section &p : s.list("mount_points")) {
            std::string name = p.as_text();
            if (name.empty() || name.find('/') != std::string::npos || !k_.vfs().exists("/mnt"))
                p.fail("", "a plain name under an existing /mnt");
            k_.vfs().add_dir("/mnt/" + name);
        }

        Wiring &w = k_.wiring();
        w.mount = [this](const std::string &src, const std::string &tgt, const std::string &type) {
            return mount(src, tgt, type, "call");
        };
        w.umount = [this](const std::string &tgt) { return umount(tgt); };
        w.statfs = [this](const std::string &path, struct statfs &out) {
            return statfs(path, out);
        };
        w.fs_device = [this](const std::string &path) { return fs_device(path); };
        k_.add_program(
            "mkdir", [this](const std::vector<std::string> &argv) { return mkdir_program(argv); });
        k_.add_program(
            "mount", [this](const std::vector<std::string> &argv) { return mount_program(argv); });
    }

  private:
    static UsbDisk disk(const Section &d) {
        UsbDisk u;
        if (d.raw()->is_string()) {
            u.name = d.as_text();
        } else {
            d.only({"name", "mount", "mount_errno", "statfs", "statfs_errno", "block_size",
                    "free_blocks", "total_blocks"});
            u.name = d.text("name", "");
            std::string m = d.choice("mount", "ok", {"ok", "fallback", "fails"});
            u.mount = m == "ok"         ? UsbDisk::Mount::Ok
                      : m == "fallback" ? UsbDisk::Mount::Fallback
                                        : UsbDisk::Mount::Fails;
            u.mount_errno = d.errno_value("mount_errno", EINVAL);
            u.statfs_fails = d.choice("statfs", "ok", {"ok", "fails"}) == "fails";
            u.statfs_errno = d.errno_value("statfs_errno", EIO);
            u.fs = figures(d, FsFigures{});
        }
        if (u.name.empty() || u.name.find('/') != std::string::npos || u.name == "." ||
            u.name == "..")
            d.fail("name", "must be a plain file name");
        return u;
    }

    UsbDisk *find(const std::string &device) {
        for (UsbDisk &d : disks_)
            if ("/dev/" + d.name == device)
                return &d;
        return nullptr;
    }

    // by: "call" for mount(2), "program" for the mount program.
    int mount(const std::string &src, const std::string &tgt, const std::string &type,
              const char *by) {
        int r = 0;
        UsbDisk *d = find(src);
        Node *point = k_.vfs().lookup(tgt);
        if (d == nullptr)
            r = -ENOENT;
        else if (point == nullptr)
            r = -ENOENT;
        else if (point->kind != Node::Kind::Dir)
            r = -ENOTDIR;
        else if (type != "vfat")
            r = -EINVAL;
        else if (mounted_.count(tgt))
            r = -EBUSY;
        else if (d->mount == UsbDisk::Mount::Fails ||
                 (d->mount == UsbDisk::Mount::Fallback && std::string(by) == "call"))
            r = -d->mount_errno;
        if (r == 0)
            mounted_[tgt] = d;
        k_.trace("usb", "mount", {{"by", by}, {"source", src}, {"target", tgt}, {"result", r}});
        return r;
    }

    int umount(const std::string &tgt) {
        int r = mounted_.erase(tgt) ? 0 : -EINVAL;
        k_.trace("usb", "umount", {{"target", tgt}, {"result", r}});
        return r;
    }

    int statfs(const std::string &path, struct statfs &out) {
        auto it = mounted_.find(path);
        const UsbDisk *d = it == mounted_.end() ? nullptr : it->second;
        if (d != nullptr && d->statfs_fails) {
            k_.trace("usb", "statfs",
                     {{"path", path}, {"of", d->name}, {"result", -d->statfs_errno}});
            return -d->statfs_errno;
        }
        // A path that is not a mount point reports on the root file system,
        // as a failed mount leaves the test looking at /mnt's own disk.
        const FsFigures &fs = d ? d->fs : root_;
        out.f_type = d ? 0x4d44 : 0xEF53; // MSDOS_SUPER_MAGIC, EXT2_SUPER_MAGIC
        out.f_bsize = fs.block_size;
        out.f_blocks = static_cast<decltype(out.f_blocks)>(fs.total_blocks);
        out.f_bfree = static_cast<decltype(out.f_bfree)>(fs.free_blocks);
        out.f_bavail = static_cast<decltype(out.f_bavail)>(fs.free_blocks);
        k_.trace("usb", "statfs", {{"path", path}, {"of", d ? d->name : "root"}, {"result", 0}});
        return 0;
    }

    // A mounted stick is a SCSI disk of its own (major 8, 16 minors each).
    uint64_t fs_device(const std::string &path) {
        auto it = mounted_.find(path);
        if (it == mounted_.end())
            return ROOT_FS_DEVICE;
        auto at = std::find_if(disks_.begin(), disks_.end(),
                               [&](const UsbDisk &d) { return &d == it->second; });
        return 0x800 + 16 * static_cast<uint64_t>(at - disks_.begin());
    }

    int mkdir_program(const std::vector<std::string> &argv) {
        int r = 1;
        if (argv.size() == 2 && !argv[1].empty() && argv[1][0] != '-') {
            std::string path = Vfs::normalize("/", argv[1]);
            std::string parent = path.substr(0, path.rfind('/'));
            Node *pn = k_.vfs().lookup(parent.empty() ? "/" : parent);
            int err = k_.vfs().exists(path)         ? EEXIST
                      : pn == nullptr               ? ENOENT
                      : pn->kind != Node::Kind::Dir ? ENOTDIR
                                                    : 0;
            if (err == 0) {
                k_.vfs().add_dir(path);
                r = 0;
            } else {
                say_err("mkdir: can't create directory '" + argv[1] + "': " + std::strerror(err));
            }
        }
        k_.trace("usb", "program", {{"argv", argv}, {"status", r}});
        return r;
    }

    int mount_program(const std::vector<std::string> &argv) {
        // The one form the fall-back uses: mount -t vfat <device> <dir>.
        int r = 1;
        if (argv.size() == 5 && argv[1] == "-t") {
            int err = mount(argv[3], Vfs::normalize("/", argv[4]), argv[2], "program");
            r = err == 0 ? 0 : 32;
            if (err != 0)
                say_err("mount: mounting " + argv[3] + " on " + argv[4] +
                        " failed: " + std::strerror(-err));
        }
        k_.trace("usb", "program", {{"argv", argv}, {"status", r}});
        return r;
    }

    // The board's mkdir and mount are busybox's: a failure is reported on
    // the console the program shares with ftq, where the operator sees it.
    void say_err(const std::string &line) {
        std::string text = line + "\n";
        k_.record_console(2, text.data(), text.size());
    }

    Kernel &k_;
    UsbNode node_;
    std::vector<UsbDisk> disks_;
    FsFigures root_;
    std::map<std::string, const UsbDisk *> mounted_;
};

} // namespace

std::unique_ptr<Model> make_usb(Kernel &k, const Section &s) {
    return std::make_unique<Usb>(k, s);
}

} // namespace sim
