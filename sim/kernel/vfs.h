// The simulated board's file tree: directories, plain files held in memory
// and device nodes that models own. Directories list their entries in the
// order they were added, which is the order readdir gives.
#pragma once

#include "sim/kernel/device.h"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sim {

struct Node {
    enum class Kind { Dir, File, Device };
    Kind kind = Kind::File;
    std::string content;              // File
    Device *dev = nullptr;            // Device
    std::vector<std::string> entries; // Dir: child names in listing order
    bool can_open = true;             // false: listed, but open() fails with ENOENT
};

class Vfs {
  public:
    Vfs();
    // Each creates missing parent directories.
    void add_dir(const std::string &path);
    void add_file(const std::string &path, std::string content);
    void add_device(const std::string &path, Device *dev);
    // A name listed in its directory that cannot be opened, like a process
    // that ended between readdir and open.
    void add_vanishing(const std::string &path);

    Node *lookup(const std::string &path);
    bool exists(const std::string &path) { return lookup(path) != nullptr; }
    // 0, or -errno.
    int remove(const std::string &path);
    std::optional<std::string> file(const std::string &path);
    std::vector<std::string> list(const std::string &dir);

    // Joins a relative path to cwd and folds "." and "..".
    static std::string normalize(const std::string &cwd, const std::string &path);

    // The device that sockets of a family and type open on.
    void add_socket(int domain, int type, Device *dev);
    Device *socket_device(int domain, int type);

  private:
    Node &make_parents(const std::string &path, std::string &leaf);
    std::map<std::string, Node> nodes_;
    std::map<std::pair<int, int>, Device *> sockets_;
};

// Serves a plain file of the tree.
// It looks its node up on every call: a file removed while open reads as
// empty, as an unlinked file's name no longer leads anywhere.
class FileDevice : public Device {
  public:
    FileDevice(Vfs &vfs, std::string path) : vfs_(vfs), path_(std::move(path)) {}
    ssize_t read(OpenFile &f, void *buf, size_t n) override;
    ssize_t write(OpenFile &f, const void *buf, size_t n) override;
    ssize_t pread(OpenFile &f, void *buf, size_t n, off_t off) override;
    off_t size(OpenFile &) override;

  private:
    Vfs &vfs_;
    std::string path_;
};

} // namespace sim
