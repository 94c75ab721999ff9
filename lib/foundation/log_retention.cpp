#include "foundation/log_retention.h"

#include <optional>
#include <string>
#include <vector>

#include "platform/directory.h"
#include "platform/file.h"

namespace {

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar.
long DaysFromCivil(long year, unsigned month, unsigned day) {
  year -= month <= 2 ? 1 : 0;
  const long era = (year >= 0 ? year : year - 399) / 400;
  const unsigned year_of_era = static_cast<unsigned>(year - era * 400);
  const unsigned day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const unsigned day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + static_cast<long>(day_of_era) - 719468;
}

// The value of `digits` decimal digits at `text[at]`, or nothing.
std::optional<unsigned> Digits(const std::string& text, std::size_t at, std::size_t digits) {
  if (at + digits > text.size()) return std::nullopt;
  unsigned value = 0;
  for (std::size_t i = at; i < at + digits; ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(text[i] - '0');
  }
  return value;
}

// The day of a name "log_YYYYMMDD.log", or nothing for any other name.
std::optional<long> DayOfLogFile(const std::string& name) {
  static const std::string kPrefix = "log_", kSuffix = ".log";
  if (name.size() != kPrefix.size() + 8 + kSuffix.size() || name.rfind(kPrefix, 0) != 0 ||
      name.compare(kPrefix.size() + 8, kSuffix.size(), kSuffix) != 0) {
    return std::nullopt;
  }
  const auto year = Digits(name, 4, 4), month = Digits(name, 8, 2), day = Digits(name, 10, 2);
  if (!year || !month || !day || *month < 1 || *month > 12 || *day < 1 || *day > 31) {
    return std::nullopt;
  }
  return DaysFromCivil(*year, *month, *day);
}

bool IsMonthFolder(const std::string& name) {
  return name.size() == 9 && name.rfind("Log", 0) == 0 && Digits(name, 3, 6).has_value();
}

std::vector<plat::DirectoryEntry> Entries(const std::string& path) {
  std::vector<plat::DirectoryEntry> entries;
  plat::DirectoryReader reader;
  if (!reader.open(path.c_str())) return entries;
  plat::DirectoryEntry entry;
  while (reader.next(&entry)) entries.push_back(entry);
  return entries;
}

}  // namespace

unsigned int RemoveOldLogFiles(const char* dir, const SYSTEMTIME& today, unsigned int keep_days) {
  if (dir == nullptr || *dir == '\0') return 0;
  const long oldest_kept = DaysFromCivil(today.wYear, today.wMonth, today.wDay) - keep_days;
  unsigned int removed = 0;
  for (const plat::DirectoryEntry& month : Entries(dir)) {
    if (!month.is_directory || !IsMonthFolder(month.name)) continue;
    const std::string folder = std::string(dir) + "/" + month.name;
    for (const plat::DirectoryEntry& file : Entries(folder)) {
      const std::optional<long> day = DayOfLogFile(file.name);
      if (file.is_directory || !day || *day >= oldest_kept) continue;
      const std::string path = folder + "/" + file.name;
      if (plat::DeleteFileA(path.c_str())) ++removed;  // a link goes itself, not its target
    }
    plat::RemoveDirectoryA(folder.c_str());  // only when nothing is left in it
  }
  return removed;
}
