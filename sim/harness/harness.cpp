#include "sim/harness/harness.h"

#include "driver/driver.h"
#include "driver/procstate.h"

#include <iconv.h>

namespace sim {

RunResult run_ftq(Kernel &kernel, const std::vector<std::string> &args) {
    std::vector<std::string> argv = {"ftq"};
    argv.insert(argv.end(), args.begin(), args.end());
    return kernel.run(
        [](int argc, char **argv_) {
            reset_process_state();
            return ftq_main(argc, argv_);
        },
        argv);
}

std::vector<std::string> scenario_args(const Scenario &scenario) {
    std::vector<std::string> args;
    for (const Section &a : scenario.root().list("args"))
        args.push_back(a.as_text());
    return args;
}

std::string catalog_dir() {
    return FTQ_CATALOG_DIR;
}

std::string catalog_file(const std::string &name) {
    return catalog_dir() + "/" + name + ".json";
}

std::string gb2312_to_utf8(const std::string &bytes, bool *ok) {
    if (ok)
        *ok = true;
    iconv_t cd = iconv_open("UTF-8", "GB2312");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        if (ok)
            *ok = false;
        return bytes;
    }
    std::string out;
    out.reserve(bytes.size() * 3 / 2);
    char *in = const_cast<char *>(bytes.data());
    size_t in_left = bytes.size();
    char buf[4096];
    while (in_left > 0) {
        char *o = buf;
        size_t o_left = sizeof buf;
        size_t r = iconv(cd, &in, &in_left, &o, &o_left);
        out.append(buf, sizeof buf - o_left);
        if (r == static_cast<size_t>(-1) && errno != E2BIG) {
            // An invalid or cut-off sequence: show it and go on.
            out += "\xEF\xBF\xBD";
            ++in;
            --in_left;
        }
    }
    iconv_close(cd);
    return out;
}

std::string gb2312_stream_to_utf8(std::string &pending, const std::string &bytes) {
    std::string all = pending + bytes;
    size_t whole = 0;
    while (whole < all.size()) {
        // Below 0x80 a byte stands alone; from 0x80 on it leads a pair.
        size_t width = static_cast<unsigned char>(all[whole]) < 0x80 ? 1 : 2;
        if (whole + width > all.size())
            break;
        whole += width;
    }
    pending = all.substr(whole);
    return gb2312_to_utf8(all.substr(0, whole));
}

} // namespace sim
