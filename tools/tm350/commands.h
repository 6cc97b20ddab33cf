// The subcommands of the tm350 tool. Each takes the arguments after its own
// name and returns the process exit code; errors are one line on stderr.
#pragma once

#include <string>
#include <vector>

namespace tm350::tool {

using Arguments = std::vector<std::string>;

int RunSettings(const Arguments &arguments);
int RunReg(const Arguments &arguments);
int RunRegsvr32(const Arguments &arguments);
int RunProcess(const Arguments &arguments);
int RunList(const Arguments &arguments);
int RunRaw(const Arguments &arguments);
int RunGraph(const Arguments &arguments);
int RunCapture(const Arguments &arguments);
int RunControls(const Arguments &arguments);
int RunSetup(const Arguments &arguments);

}  // namespace tm350::tool
