#include "support/run_tm350.h"

#include <sys/wait.h>

#include <cstdio>

#include "support/temp_directory.h"

namespace tm350::test {

CommandResult RunTm350(const std::string &arguments) {
    std::string command = (BinDirectory() / "tm350").string() + " " + arguments + " 2>&1";
    CommandResult result{-1, ""};
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return result;
    char buffer[4096];
    size_t count;
    while ((count = fread(buffer, 1, sizeof(buffer), pipe)) > 0) result.output.append(buffer, count);
    int status = pclose(pipe);
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

}  // namespace tm350::test
