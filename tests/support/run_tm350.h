// Runs the built tm350 tool as a user would, through the shell.
#pragma once

#include <string>

namespace tm350::test {

struct CommandResult {
    int exit_code;       // -1 when the tool could not run or did not exit
    std::string output;  // standard output and standard error
};

// `arguments` are passed to the shell unchanged, so quote what needs quoting.
CommandResult RunTm350(const std::string &arguments);

}  // namespace tm350::test
