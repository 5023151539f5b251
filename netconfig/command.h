#ifndef COMMAND_H
#define COMMAND_H

#include <string>
#include <vector>

// Runs a system tool to its end: the given text on its standard input, its
// output (both streams, the first few kilobytes) kept for the report. The
// tool gets a fixed PATH and no other environment, and at most a few seconds.
struct CommandResult
{
    bool ran = false;  // false when it could not be started or was killed
    int exitStatus = -1;
    std::string output;

    bool succeeded() const { return ran && exitStatus == 0; }
    // One line for a report: the tool's first output line, or how it ended.
    std::string failure() const;
};

CommandResult runCommand(const std::string& program, const std::vector<std::string>& arguments,
                         const std::string& input = std::string());

// The first executable among the candidates, or an empty string.
std::string findExecutable(const std::vector<std::string>& candidates);

#endif // COMMAND_H
