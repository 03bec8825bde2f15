// Scenarios the reader refuses, and the message each one gets: the file, the
// field and what is wrong, before any run starts.
#include "sim/harness/session.h"
#include "sim/kernel/kernel.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// What building the board from this text says; "accepted" when it builds.
std::string verdict(const std::function<sim::Scenario()> &read) {
    try {
        sim::Scenario s = read();
        sim::Kernel k(s);
    } catch (const sim::ScenarioError &e) {
        return e.what();
    }
    return "accepted";
}

std::string verdict(const std::string &json) {
    return verdict([&] { return sim::Scenario::from_text(json, "bad.json"); });
}

std::string nested(int levels) {
    std::string doc;
    for (int i = 0; i < levels; ++i)
        doc += "{\"a\":";
    doc += "1";
    return doc + std::string(static_cast<size_t>(levels), '}');
}

std::string path_of(int levels) {
    std::string p = "a";
    for (int i = 1; i < levels; ++i)
        p += ".a";
    return p;
}

struct Bad {
    const char *what;
    const char *json;
    const char *message; // after "bad.json: "
};

const Bad kBad[] = {
    // Fields the backend read only when the program made the call.
    {"setuid_fails not a flag", R"({"system": {"setuid_fails": 1}})",
     "field 'system.setuid_fails': must be true or false"},
    {"kernel_release not a text", R"({"system": {"kernel_release": 5}})",
     "field 'system.kernel_release': must be a text"},
    {"kernel_release too long",
     R"({"system": {"kernel_release": "2.6.37-0000000000000000000000000000000000000000000000000000000000"}})",
     "field 'system.kernel_release': longer than the 64 characters uname reports"},
    {"kernel_release with a NUL", R"({"system": {"kernel_release": "2.6\u00007"}})",
     "field 'system.kernel_release': must not hold a NUL character"},
    {"description not a text", R"({"description": ["a"]})", "field 'description': must be a text"},
    {"args not texts", R"({"args": ["-o", 1]})", "field 'args[1]': must be a text"},
    // Numbers beyond 64 bits, and unsigned ones that would wrap.
    {"integer beyond 64 bits", R"({"board": {"type": 99999999999999999999}})",
     "field 'board.type': 99999999999999999999 is out of range 0..6"},
    {"unsigned wraps to -1", R"({"rs485": {"lose_byte": 18446744073709551615}})",
     "field 'rs485.lose_byte': 18446744073709551615 is out of range -1..2147483647"},
    {"huge negative float", R"({"rtc": {"offset": -1e300}})",
     "field 'rtc.offset': -1e300 is out of range -1000000000..700000000"},
    {"fraction", R"({"board": {"type": 1.5}})",
     "field 'board.type': must be a whole number, not 1.5"},
    {"beyond a double", R"({"system": {"time_limit": 1e400}})",
     "field 'system.time_limit': 1e400 is out of range of any number"},
    {"float above its range", R"({"system": {"time_limit": 1e8}})",
     "field 'system.time_limit': 1e8 is out of range 0..10000000"},
    {"float below its range", R"({"console": {"delay": -0.5}})",
     "field 'console.delay': -0.5 is out of range 0..10000000"},
    // Numbers written as texts.
    {"text number with blanks", R"({"board": {"type": " 1"}})",
     "field 'board.type': ' 1' is not a number"},
    {"text number without digits", R"({"faults": [{"call": "ioctl", "request": "0x"}]})",
     "field 'faults[0].request': '0x' is not a number"},
    {"text number is decimal", R"({"board": {"type": "010"}})",
     "field 'board.type': '010' is out of range 0..6"},
    {"text number beyond 64 bits", R"({"board": {"device_type": "0x10000000000000000"}})",
     "field 'board.device_type': '0x10000000000000000' is out of range 0..65535"},
    // Control characters are shown, not sent to the terminal.
    {"escape in a value", R"({"console": {"operator": "\u001b[2J"}})",
     "field 'console.operator': '\\x1b[2J' is not one of: enter, absent, eof, script"},
    {"C1 control in a key", R"({"rtc": {"x\u009b": 1}})",
     "field 'rtc.x\\xc2\\x9b': unknown field (known here: offset, local_time, missing, open_error, "
     "read_error)"},
    {"long value cut after a whole character",
     R"({"console": {"operator": "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\u4e2dyyy"}})",
     "field 'console.operator': "
     "'xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\xe4\xb8\xad."
     "..' is not one of: enter, absent, eof, "
     "script"},
    // Settings that contradict each other or that nothing reads.
    {"key given twice", R"({"system": {"start_time": 1, "start_time": 2}})",
     "field 'system.start_time': given twice (only one value can hold; remove the other)"},
    {"section given twice", R"({"rtc": {}, "rtc": {"missing": true}})",
     "field 'rtc': given twice (only one value can hold; remove the other)"},
    {"type beside device_type", R"({"board": {"type": 2, "device_type": "0x461F"}})",
     "field 'board.device_type': cannot be given beside 'type': both set the same thing"},
    {"device_type beside device_info", R"({"board": {"device_type": 1, "device_info": "00"}})",
     "field 'board.device_info': cannot be given beside 'device_type': both set the same thing"},
    {"info beside raw_info", R"({"board": {"info": {}, "raw_info": "00"}})",
     "field 'board.raw_info': cannot be given beside 'info': both set the same thing"},
    {"script without the script operator",
     R"({"console": {"operator": "enter", "script": [{"at": 1, "text": "x\n"}]}})",
     "field 'console.script': has no effect unless operator is \"script\""},
    {"then without the script operator", R"({"console": {"operator": "absent", "then": "eof"}})",
     "field 'console.then': has no effect unless operator is \"script\""},
    {"delay without the enter operator", R"({"console": {"operator": "eof", "delay": 1}})",
     "field 'console.delay': has no effect unless operator is \"enter\""},
    {"request on another call", R"({"faults": [{"call": "open", "request": 16}]})",
     "field 'faults[0].request': has no effect on a call other than ioctl"},
    {"errno beside another mode",
     R"({"faults": [{"call": "read", "mode": "hang", "errno": "EIO"}]})",
     "field 'faults[0].errno': has no effect unless mode is \"error\""},
    {"short transfer of an open", R"({"faults": [{"call": "open", "mode": "short"}]})",
     "field 'faults[0].mode': \"short\" moves half the bytes of a read, write or pread, not of "
     "open"},
    {"file text beside hex", R"({"files": {"/dav0/a": {"text": "x", "hex": "00"}}})",
     "field 'files./dav0/a.hex': cannot be given beside 'text': both set the same thing"},
    {"fill without size", R"({"files": {"/dav0/a": {"text": "x", "fill": 255}}})",
     "field 'files./dav0/a.fill': has no effect without size"},
    {"mouse listed twice", R"({"usb": {"mice": [1, 0, 1]}})",
     "field 'usb.mice[2]': mouse 1 is listed twice"},
    {"pid listed twice", R"({"processes": [{"pid": 7}, {"pid": 7}]})",
     "field 'processes[1].pid': 7 is listed twice"},
    // Files that would replace a device or could never be opened.
    {"file over a device", R"({"files": {"/dev/vexio": {"text": "x"}}})",
     "field 'files./dev/vexio': /dev and /proc belong to the board's devices and processes"},
    {"relative file", R"({"files": {"dav0/a": {"text": "x"}}})",
     "field 'files.dav0/a': must be an absolute path written plainly, such as /dav2/devCfg.bin"},
    {"file path not plain", R"({"files": {"/dav0//a": {"text": "x"}}})",
     "field 'files./dav0//a': must be an absolute path written plainly, such as "
     "/dav2/devCfg.bin"},
    {"file inside a file", R"({"files": {"/dav0/a": {"text": "x"}, "/dav0/a/b": {"text": "y"}}})",
     "field 'files./dav0/a/b': lies inside the file /dav0/a"},
    {"files too large together",
     R"({"files": {"/d/1": {"size": 67108864}, "/d/2": {"size": 67108864}, "/d/3": {"size": 67108864},
                   "/d/4": {"size": 67108864}, "/d/5": {"size": 1}}})",
     "field 'files./d/5.size': the files come to more than 256 MiB together"},
    // A NUL would cut a name or an argument short.
    {"NUL in a device name", R"({"usb": {"devices": ["ms\u0000a"]}})",
     "field 'usb.devices[0]': must not hold a NUL character"},
    {"NUL in an argument", R"({"processes": [{"pid": 9, "cmdline": ["a\u0000b"]}]})",
     "field 'processes[0].cmdline[0]': must not hold a NUL character"},
    // The document itself.
    {"DEL in bad JSON", "{\"a\": \x7f}",
     "not valid JSON: [json.exception.parse_error.101] parse error at line 1, column 7: syntax "
     "error while parsing value - invalid literal; last read: '\"a\": \\x7f'"},
    {"not an object", "[1]", "the scenario must be a JSON object"},
    {"a number beyond a double alone", "-1e400", "-1e400 is out of range of any number"},
};

TEST(ScenarioErrors, EachBadScenarioGetsItsMessage) {
    for (const Bad &b : kBad)
        EXPECT_EQ(verdict(b.json), std::string("bad.json: ") + b.message) << b.what;
}

TEST(ScenarioErrors, WhatTheCheckedFieldsStillAccept) {
    // The forms of the same fields that are right.
    EXPECT_EQ(verdict(R"({"board": {"device_type": "0x4520"}, "system": {"time_limit": 1e7,
        "kernel_release": "2.6.37-000000000000000000000000000000000000000000000000000000000"},
        "console": {"operator": "script", "then": "eof", "script": [{"text": "\u0000\n"}]},
        "files": {"/dav0/a": {"size": 67108864, "fill": 255}, "/dav0/b": {"text": "a\u0000b"}},
        "disks": {"drives": [{"name": "sda", "serial": "S\u0000N"}]},
        "rs485": {"lose_byte": -1}, "faults": [{"call": "ioctl", "request": "0x10"}]})"),
              "accepted");
}

TEST(ScenarioErrors, NestingIsBoundedBeforeAnythingIsBuilt) {
    // The deepest the reader takes; the board then finds no section 'a'.
    EXPECT_EQ(verdict(nested(sim::kScenarioMaxDepth)), "bad.json: field 'a': unknown section");
    EXPECT_EQ(verdict(nested(sim::kScenarioMaxDepth + 1)),
              "bad.json: field '" + path_of(sim::kScenarioMaxDepth) +
                  "': nested deeper than 32 levels; no field lies that deep");
    // 400 KB of brackets once took the stack down while being copied.
    std::string deep = std::string(200000, '[') + std::string(200000, ']');
    EXPECT_NE(verdict(deep).find("nested deeper than 32 levels"), std::string::npos);
}

class ScenarioFiles : public testing::Test {
  protected:
    std::string path(const std::string &name) {
        return testing::TempDir() + "scenario-errors-" + std::to_string(getpid()) + "-" + name;
    }
    std::string write(const std::string &name, const std::string &content) {
        std::string p = path(name);
        std::ofstream(p, std::ios::binary) << content;
        made_.push_back(p);
        return p;
    }
    void TearDown() override {
        for (const auto &p : made_)
            std::remove(p.c_str());
    }
    static std::string read(const std::string &file) {
        return verdict([&] { return sim::Scenario::from_file(file); });
    }
    std::vector<std::string> made_;
};

TEST_F(ScenarioFiles, OnlyARegularFileOrAPipeOfBoundedSizeIsRead) {
    EXPECT_EQ(read("/"), "/: not a regular file (a directory)");
    EXPECT_EQ(read("/dev/zero"), "/dev/zero: not a regular file (a character device)");
    EXPECT_EQ(read("/nonexistent/board.json"),
              "/nonexistent/board.json: cannot be read: No such file or directory");

    std::string limit = write("limit.json", "{}" + std::string(sim::kScenarioMaxBytes - 2, ' '));
    EXPECT_EQ(read(limit), "accepted");
    std::string over = write("over.json", "{}" + std::string(sim::kScenarioMaxBytes - 1, ' '));
    EXPECT_EQ(read(over), over + ": 4194305 bytes, more than the 4194304 bytes (4 MiB) a "
                                 "scenario may hold");

    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(::write(fds[1], "{\"rtc\": 5}", 10), 10);
    close(fds[1]);
    std::string piped = "/proc/self/fd/" + std::to_string(fds[0]);
    EXPECT_EQ(read(piped), piped + ": field 'rtc': must be an object");
    close(fds[0]);
}

#ifdef FTQ_SIM_BINARY

// ftq-sim ends with 2 and the message, where it once crashed or aborted.
TEST_F(ScenarioFiles, FtqSimEndsWithStatusTwoAndTheMessage) {
    struct Case {
        std::string file;
        std::string args;
        std::string message;
    };
    std::string deep = write("deep.json", std::string(200000, '[') + std::string(200000, ']'));
    std::string setuid = write("setuid.json", R"({"system": {"setuid_fails": "yes"}})");
    std::string release = write("release.json", R"({"system": {"kernel_release": 2637}})");
    std::string silent = write("silent.json", R"({"panel": {"silent": "yes"}})");
    const Case cases[] = {
        {deep, "",
         deep + ": field '[0][0][0][0][0][0][0][0][0][0][0][0][0][0][0][0][0][0][0][0][0][0][0][0]"
                "[0][0][0][0][0][0][0][0]': nested deeper than 32 levels; no field lies that deep"},
        {setuid, "", setuid + ": field 'system.setuid_fails': must be true or false"},
        {release, "-- -o 1", release + ": field 'system.kernel_release': must be a text"},
        {"/dev/zero", "", "/dev/zero: not a regular file (a character device)"},
        // Handing the panel to a person once read this field unchecked.
        {silent, "--interactive", silent + ": field 'panel.silent': must be true or false"},
    };
    for (const Case &c : cases) {
        std::string err = path("err");
        made_.push_back(err);
        std::string cmd = std::string(FTQ_SIM_BINARY) + " --scenario " + c.file + " " + c.args +
                          " > /dev/null 2> " + err + " < /dev/null";
        int status = std::system(cmd.c_str());
        std::ifstream in(err);
        std::string said(std::istreambuf_iterator<char>(in), {});
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << c.file << ": " << status;
        EXPECT_EQ(said, "ftq-sim: " + c.message + "\n");
    }
}

#endif

} // namespace
