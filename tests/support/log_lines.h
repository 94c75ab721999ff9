// Lines of the library's log files, and counting lines that hold a text.
#pragma once

#include <string>
#include <vector>

namespace test_support {

// The message of a log line "[date time][SEVERITY]message\r\n".
std::string log_message(std::string line);
// The messages of every file below `folder` (a program's "Log"), files in path order: oldest
// first.
std::vector<std::string> log_messages(const std::string& folder);
// How many of `lines` hold `part`.
int count_holding(const std::vector<std::string>& lines, const std::string& part);

}  // namespace test_support
