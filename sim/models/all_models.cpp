#include "sim/kernel/model.h"

namespace sim {

// Each model is built from its own file; this list is the only place that
// names them all. The console comes first: process 1 opens it.
std::unique_ptr<Model> make_console(Kernel &, const Section &);
std::unique_ptr<Model> make_vexio(Kernel &, const Section &);
std::unique_ptr<Model> make_proc(Kernel &, const Section &);
std::unique_ptr<Model> make_files(Kernel &, const Section &);
std::unique_ptr<Model> make_panel(Kernel &, const Section &);
std::unique_ptr<Model> make_rs485(Kernel &, const Section &);
std::unique_ptr<Model> make_alarm(Kernel &, const Section &);
std::unique_ptr<Model> make_rtc(Kernel &, const Section &);
std::unique_ptr<Model> make_usb(Kernel &, const Section &);
std::unique_ptr<Model> make_net(Kernel &, const Section &);
std::unique_ptr<Model> make_disks(Kernel &, const Section &);

const std::vector<ModelEntry> &all_models() {
    static const std::vector<ModelEntry> models = {
        {"console", make_console}, {"board", make_vexio}, {"processes", make_proc},
        {"files", make_files},     {"panel", make_panel}, {"rs485", make_rs485},
        {"alarm", make_alarm},     {"rtc", make_rtc},     {"usb", make_usb},
        {"net", make_net},         {"disks", make_disks},
    };
    return models;
}

} // namespace sim
