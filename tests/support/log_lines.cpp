#include "support/log_lines.h"

#include <algorithm>
#include <filesystem>

#include "support/scratch_dir.h"

namespace test_support {

std::string log_message(std::string line) {
  const std::size_t first = line.find(']');
  const std::size_t second = first == std::string::npos ? first : line.find(']', first + 1);
  if (second != std::string::npos) line.erase(0, second + 1);
  const std::size_t end = line.find_last_not_of("\r\n");
  line.resize(end == std::string::npos ? 0 : end + 1);
  return line;
}

std::vector<std::string> log_messages(const std::string& folder) {
  std::vector<std::string> files;
  std::error_code error;
  for (auto it = std::filesystem::recursive_directory_iterator(folder, error);
       !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    if (it->is_regular_file()) files.push_back(it->path().string());
  }
  std::sort(files.begin(), files.end());
  std::vector<std::string> lines;
  for (const std::string& file : files) {
    const std::string text = ReadAll(file);
    for (std::size_t at = 0; at < text.size();) {
      std::size_t end = text.find("\r\n", at);
      if (end == std::string::npos) end = text.size();
      lines.push_back(log_message(text.substr(at, end - at)));
      at = end + 2;
    }
  }
  return lines;
}

int count_holding(const std::vector<std::string>& lines, const std::string& part) {
  return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
    return line.find(part) != std::string::npos;
  }));
}

}  // namespace test_support
