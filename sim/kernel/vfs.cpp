#include "sim/kernel/vfs.h"

#include <cstring>
#include <fcntl.h>

namespace sim {

Vfs::Vfs() {
    nodes_["/"].kind = Node::Kind::Dir;
}

std::string Vfs::normalize(const std::string &cwd, const std::string &path) {
    std::string full = (!path.empty() && path[0] == '/') ? path : cwd + "/" + path;
    std::vector<std::string> parts;
    size_t i = 0;
    while (i <= full.size()) {
        size_t j = full.find('/', i);
        if (j == std::string::npos)
            j = full.size();
        std::string part = full.substr(i, j - i);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        i = j + 1;
    }
    std::string out;
    for (const auto &p : parts)
        out += "/" + p;
    return out.empty() ? "/" : out;
}

Node &Vfs::make_parents(const std::string &path, std::string &leaf) {
    std::string norm = normalize("/", path);
    size_t slash = norm.rfind('/');
    std::string parent = slash == 0 ? "/" : norm.substr(0, slash);
    leaf = norm.substr(slash + 1);
    if (nodes_.find(parent) == nodes_.end())
        add_dir(parent);
    return nodes_[parent];
}

void Vfs::add_dir(const std::string &path) {
    std::string norm = normalize("/", path);
    if (norm == "/" || nodes_.count(norm))
        return;
    std::string leaf;
    Node &parent = make_parents(norm, leaf);
    parent.entries.push_back(leaf);
    nodes_[norm].kind = Node::Kind::Dir;
}

void Vfs::add_file(const std::string &path, std::string content) {
    std::string norm = normalize("/", path);
    if (!nodes_.count(norm)) {
        std::string leaf;
        make_parents(norm, leaf).entries.push_back(leaf);
    }
    Node &n = nodes_[norm];
    n.kind = Node::Kind::File;
    n.content = std::move(content);
    n.can_open = true;
}

void Vfs::add_device(const std::string &path, Device *dev) {
    std::string norm = normalize("/", path);
    if (!nodes_.count(norm)) {
        std::string leaf;
        make_parents(norm, leaf).entries.push_back(leaf);
    }
    Node &n = nodes_[norm];
    n.kind = Node::Kind::Device;
    n.dev = dev;
    n.can_open = true;
}

void Vfs::add_vanishing(const std::string &path) {
    add_file(path, "");
    nodes_[normalize("/", path)].can_open = false;
}

Node *Vfs::lookup(const std::string &path) {
    auto it = nodes_.find(normalize("/", path));
    return it == nodes_.end() ? nullptr : &it->second;
}

int Vfs::remove(const std::string &path) {
    std::string norm = normalize("/", path);
    auto it = nodes_.find(norm);
    if (it == nodes_.end() || !it->second.can_open)
        return -ENOENT;
    if (it->second.kind == Node::Kind::Dir && !it->second.entries.empty())
        return -ENOTEMPTY;
    size_t slash = norm.rfind('/');
    std::string parent = slash == 0 ? "/" : norm.substr(0, slash);
    auto &entries = nodes_[parent].entries;
    for (auto e = entries.begin(); e != entries.end(); ++e)
        if (*e == norm.substr(slash + 1)) {
            entries.erase(e);
            break;
        }
    nodes_.erase(it);
    return 0;
}

std::optional<std::string> Vfs::file(const std::string &path) {
    Node *n = lookup(path);
    if (n == nullptr || n->kind != Node::Kind::File)
        return std::nullopt;
    return n->content;
}

std::vector<std::string> Vfs::list(const std::string &dir) {
    Node *n = lookup(dir);
    if (n == nullptr || n->kind != Node::Kind::Dir)
        return {};
    return n->entries;
}

void Vfs::add_socket(int domain, int type, Device *dev) {
    sockets_[{domain, type}] = dev;
}

Device *Vfs::socket_device(int domain, int type) {
    auto it = sockets_.find({domain, type});
    return it == sockets_.end() ? nullptr : it->second;
}

ssize_t FileDevice::read(OpenFile &f, void *buf, size_t n) {
    ssize_t got = pread(f, buf, n, f.offset);
    if (got > 0)
        f.offset += got;
    return got;
}

off_t FileDevice::size(OpenFile &) {
    Node *node = vfs_.lookup(path_);
    return node ? static_cast<off_t>(node->content.size()) : 0;
}

ssize_t FileDevice::pread(OpenFile &, void *buf, size_t n, off_t off) {
    if (off < 0)
        return -EINVAL;
    Node *node = vfs_.lookup(path_);
    if (node == nullptr)
        return 0;
    size_t size = node->content.size();
    if (static_cast<size_t>(off) >= size)
        return 0;
    size_t take = std::min(n, size - static_cast<size_t>(off));
    std::memcpy(buf, node->content.data() + off, take);
    return static_cast<ssize_t>(take);
}

ssize_t FileDevice::write(OpenFile &f, const void *buf, size_t n) {
    if ((f.flags & O_ACCMODE) == O_RDONLY)
        return -EBADF;
    Node *node = vfs_.lookup(path_);
    if (node == nullptr)
        return static_cast<ssize_t>(n);
    size_t off = static_cast<size_t>(f.offset);
    if (node->content.size() < off + n)
        node->content.resize(off + n, '\0');
    std::memcpy(&node->content[off], buf, n);
    f.offset += static_cast<off_t>(n);
    return static_cast<ssize_t>(n);
}

} // namespace sim
