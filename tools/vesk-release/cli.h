#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace vesk::release {

// Exit codes of the tool.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1; // the operation failed, or check found problems
constexpr int kExitUsage = 2;   // the command line is wrong

// Runs the tool with its arguments (without the program name); the report goes to out, errors to err.
int runCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

} // namespace vesk::release
