// Runs the built tm350 tool as a user would, through the shell.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <string>
#include <vector>

namespace tm350::test {

struct CommandResult {
    int exit_code;       // -1 when the tool could not run or did not exit
    std::string output;  // standard output and standard error
};

// `arguments` are passed to the shell unchanged, so quote what needs quoting.
CommandResult RunTm350(const std::string &arguments);

// The tool running in the background, for a test that acts while it runs
// (Ctrl-C, say): its output is read line by line as the tool writes it.
class RunningTm350 {
public:
    // Each argument is passed as it is, without a shell.
    explicit RunningTm350(const std::vector<std::string> &arguments);
    // Waits for the tool if Finish was not called.
    ~RunningTm350();
    RunningTm350(const RunningTm350 &) = delete;
    RunningTm350 &operator=(const RunningTm350 &) = delete;

    // The next line of standard output or standard error, without its end;
    // false at the end of the output.
    bool ReadLine(std::string *line);
    // Sends SIGINT, as Ctrl-C in a terminal does.
    void Interrupt();
    // Reads the rest of the output and waits for the tool to exit.
    CommandResult Finish();

private:
    pid_t pid_ = -1;
    FILE *output_ = nullptr;
    std::string seen_;  // everything read so far
};

}  // namespace tm350::test
