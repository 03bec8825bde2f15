// The process table under /proc, and the kill program that system() runs.
#include "sim/kernel/model.h"

namespace sim {

namespace {

class Proc : public Model {
  public:
    Proc(Kernel &k, const Section &s) : k_(k) {
        k_.vfs().add_dir("/proc/self");
        k_.vfs().add_file("/proc/uptime", "12.00 10.00\n");
        if (!s.present()) {
            add(1, {"init"}, false);
            add(2, {}, false); // a kernel thread: empty command line
            add(345, {"/sbin/syslogd"}, false);
            add(612, {"./vexmain"}, false);
        }
        for (const Section &p : s.items()) {
            p.only({"pid", "cmdline", "vanishes"});
            int pid = static_cast<int>(p.integer("pid", 0, 1, 32767));
            if (k_.vfs().exists("/proc/" + std::to_string(pid)))
                p.fail("pid", std::to_string(pid) + " is listed twice");
            std::vector<std::string> args;
            Section cmd = p.child("cmdline");
            if (cmd.present() && cmd.raw()->is_string())
                args.push_back(cmd.as_text());
            else
                for (const Section &a : cmd.items())
                    args.push_back(a.as_text());
            add(pid, args, p.flag("vanishes", false));
        }
        k_.add_program("kill", [this](const std::vector<std::string> &argv) { return kill(argv); });
    }

  private:
    void add(int pid, const std::vector<std::string> &args, bool vanishes) {
        std::string dir = "/proc/" + std::to_string(pid);
        k_.vfs().add_dir(dir);
        if (vanishes) {
            k_.vfs().add_vanishing(dir + "/cmdline");
            return;
        }
        std::string cmdline;
        for (const auto &a : args)
            cmdline += a + '\0';
        k_.vfs().add_file(dir + "/cmdline", cmdline);
    }

    int kill(const std::vector<std::string> &argv) {
        if (argv.size() != 3 || argv[1] != "-9")
            return 1;
        std::string dir = "/proc/" + argv[2];
        bool alive = k_.vfs().lookup(dir) != nullptr;
        k_.trace("proc", "kill", {{"pid", argv[2]}, {"found", alive}});
        if (!alive)
            return 1;
        k_.vfs().remove(dir + "/cmdline");
        k_.vfs().remove(dir);
        return 0;
    }

    Kernel &k_;
};

class Files : public Model {
  public:
    static constexpr size_t kAllFilesMax = 256u << 20;

    Files(Kernel &k, const Section &s) {
        std::map<std::string, std::optional<std::string>> files = {
            {"/dav2/devCfg.bin", std::string("device configuration\n")},
            {"/dav2/netOsd.bin", std::string("network OSD\n")},
        };
        if (s.present() && !s.raw()->is_object())
            s.fail("", "must be an object of paths");
        size_t total = 0;
        // Made once every entry has been checked, so that a refused list
        // has taken no memory.
        std::map<std::string, std::pair<size_t, char>> filled;
        if (s.present())
            for (auto it = s.raw()->begin(); it != s.raw()->end(); ++it) {
                Section f = s.child(it.key().c_str());
                check_path(s, it.key());
                if (!f.present()) {
                    files[it.key()] = std::nullopt;
                    continue;
                }
                f.only({"text", "hex", "size", "fill"});
                f.one_of({"text", "hex", "size"});
                if (!f.has("size"))
                    f.unused("fill", "without size");
                if (f.has("hex")) {
                    auto bytes = f.hex("hex");
                    files[it.key()] = std::string(bytes.begin(), bytes.end());
                } else if (f.has("size")) {
                    size_t size = static_cast<size_t>(f.integer("size", 0, 0, 64 << 20));
                    // Each is held in memory: a long list must not exhaust it.
                    if ((total += size) > kAllFilesMax)
                        f.fail("size", "the files come to more than " +
                                           std::to_string(kAllFilesMax >> 20) + " MiB together");
                    files[it.key()] = std::string();
                    filled[it.key()] = {size, static_cast<char>(f.integer("fill", 0, 0, 255))};
                } else {
                    files[it.key()] = f.content("text", "");
                }
            }
        k.vfs().add_dir("/dav0");
        k.vfs().add_dir("/dav2");
        for (auto &[path, content] : files) {
            // In path order, so a file's parents are already there.
            for (size_t at = path.find('/', 1); at != std::string::npos;
                 at = path.find('/', at + 1))
                if (k.vfs().file(path.substr(0, at)))
                    s.fail(path.c_str(), "lies inside the file " + path.substr(0, at));
            if (auto fill = filled.find(path); fill != filled.end())
                content = std::string(fill->second.first, fill->second.second);
            if (content)
                k.vfs().add_file(path, std::move(*content));
        }
    }

  private:
    // The device nodes and the process table belong to the models, and a
    // path that is not written as the program opens it would never match.
    static void check_path(const Section &s, const std::string &path) {
        const char *key = path.c_str();
        if (path.find('\0') != std::string::npos)
            s.fail(key, "a path must not hold a NUL character");
        if (path.size() < 2 || path[0] != '/' || path.back() == '/' ||
            Vfs::normalize("/", path) != path)
            s.fail(key, "must be an absolute path written plainly, such as /dav2/devCfg.bin");
        if (path.rfind("/dev/", 0) == 0 || path.rfind("/proc/", 0) == 0 || path == "/dev" ||
            path == "/proc")
            s.fail(key, "/dev and /proc belong to the board's devices and processes");
    }
};

} // namespace

std::unique_ptr<Model> make_proc(Kernel &k, const Section &s) {
    return std::make_unique<Proc>(k, s);
}

std::unique_ptr<Model> make_files(Kernel &k, const Section &s) {
    return std::make_unique<Files>(k, s);
}

} // namespace sim
