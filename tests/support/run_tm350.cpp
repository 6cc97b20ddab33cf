#include "support/run_tm350.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "support/temp_directory.h"

extern char **environ;

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

RunningTm350::RunningTm350(const std::vector<std::string> &arguments) {
    const std::string program = (BinDirectory() / "tm350").string();
    std::vector<char *> argv{const_cast<char *>(program.c_str())};
    for (const std::string &argument : arguments) argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], 2);
    posix_spawn_file_actions_addclose(&actions, pipe_ends[0]);
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_ends[1]);
    output_ = fdopen(pipe_ends[0], "r");
}

RunningTm350::~RunningTm350() {
    if (pid_ > 0 || output_ != nullptr) Finish();
}

bool RunningTm350::ReadLine(std::string *line) {
    line->clear();
    if (output_ == nullptr) return false;
    int c;
    while ((c = fgetc(output_)) != EOF && c != '\n') *line += static_cast<char>(c);
    seen_ += *line;
    if (c == '\n') seen_ += '\n';
    return c != EOF || !line->empty();
}

void RunningTm350::Interrupt() {
    if (pid_ > 0) kill(pid_, SIGINT);
}

CommandResult RunningTm350::Finish() {
    CommandResult result{-1, ""};
    if (output_ != nullptr) {
        int c;
        while ((c = fgetc(output_)) != EOF) seen_ += static_cast<char>(c);
        fclose(output_);
        output_ = nullptr;
    }
    if (pid_ > 0) {
        int status = 0;
        if (waitpid(pid_, &status, 0) == pid_ && WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
        pid_ = -1;
    }
    result.output = seen_;
    return result;
}

}  // namespace tm350::test
