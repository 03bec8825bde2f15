// Scenarios the reader refuses, and the message each one gets: the file, the
// field and what is wrong, before any run starts.
#include "sim/harness/session.h"
#include "sim/kernel/kernel.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

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

// qa/data/scenario-errors.json: each bad scenario, as the text a file would
// hold, and the message after "bad.json: ".
TEST(ScenarioErrors, EachBadScenarioGetsItsMessage) {
    std::ifstream in(FTQ_SOURCE_DIR "/qa/data/scenario-errors.json");
    nlohmann::json table = nlohmann::json::parse(in);
    ASSERT_GE(table.size(), 40u);
    for (const auto &row : table)
        EXPECT_EQ(verdict(row.at("scenario").get<std::string>()),
                  "bad.json: " + row.at("message").get<std::string>())
            << row.at("what");
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
