// The files ftq-sim writes: opened before the run so that a bad path is
// known at once, every write and the close checked so that a full disk or a
// closed terminal is never taken for success.
#pragma once

#include <string>

namespace sim {

// An output that cannot be opened, written or closed ends ftq-sim with this
// status (sysexits' EX_IOERR), which ftq itself never uses.
constexpr int EXIT_OUTPUT = 74;

class Output {
  public:
    // `what` names the content in messages ("the trace"); "-" as the path
    // is standard output.
    Output(std::string what, std::string path);
    // A stream ftq-sim already holds (standard output or error).
    static Output stream(int fd, std::string what);
    // No output at all: writes go nowhere, and it never fails.
    Output() = default;
    Output(Output &&other) noexcept;
    Output &operator=(Output &&) = delete;
    Output(const Output &) = delete;
    ~Output();

    // False when the file could not be opened (see error()).
    bool ok() const { return error_.empty(); }
    // Writes everything or records the first failure; after a failure the
    // rest is dropped, since the file is cut already.
    void write(const std::string &s);
    // Closes the file (standard output included, where a late error of the
    // file system shows; standard error stays open for the messages) and
    // returns ok().
    bool close();
    // "ftq-sim: cannot write the trace to FILE: reason".
    const std::string &error() const { return error_; }

  private:
    Output(int fd, std::string what, std::string name);
    void fail(const char *verb, int err);

    int fd_ = -1;
    bool owned_ = false;
    std::string what_;
    std::string name_;
    std::string error_;
};

} // namespace sim
