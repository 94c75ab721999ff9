// The service manager's reading of the portal's update list, on arbitrary answer bytes,
// and the file-name rule applied to every name it yields.
#include "service/update_list.h"

#include "common/program_utils.h"

#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<CUpdateItem> items;
  const bool parsed = ParseUpdateList(text, &items);
  if (!parsed && !items.empty()) std::abort();
  for (const CUpdateItem& item : items) {
    if (!IsInstallableFileName(item.file_name)) continue;
    // A name the rule lets through stays in the folder it is joined to.
    if (item.file_name[0] == '.' ||
        item.file_name.find_first_of(std::string("/\\\0", 3)) != std::string::npos) {
      std::abort();
    }
  }
  return 0;
}
