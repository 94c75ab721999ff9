// What a hostile local user leaves at a path the programs use (a symbolic link, a FIFO, a link
// to a device, an oversized file), and a bound on calls that could hang on a FIFO.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <future>
#include <string>

#include "support/scratch_dir.h"

namespace test_support {

enum class Planted { kLinkToFile, kDanglingLink, kFifo, kLinkToDevZero, kOversized };

inline const char* PlantedName(Planted kind) {
  constexpr const char* kNames[] = {"link to another file", "link to a missing file", "FIFO",
                                    "link to /dev/zero", "oversized file"};
  return kNames[static_cast<int>(kind)];
}

// Plants `kind` at `path`. A link points at `target`; an oversized file starts with
// `text` and is padded with comment lines to `size` bytes. Whether it worked.
inline bool Plant(Planted kind, const std::string& path, const std::string& target = "",
                  const std::string& text = "", std::size_t size = 0) {
  switch (kind) {
    case Planted::kLinkToFile:
    case Planted::kDanglingLink: return ::symlink(target.c_str(), path.c_str()) == 0;
    case Planted::kFifo: return ::mkfifo(path.c_str(), 0666) == 0;
    case Planted::kLinkToDevZero: return ::symlink("/dev/zero", path.c_str()) == 0;
    case Planted::kOversized: {
      std::string content = text;
      while (content.size() < size) content += ";" + std::string(62, 'x') + "\n";
      WriteAll(path, content);
      return true;
    }
  }
  return false;
}

// Runs `call` on a thread of its own and waits for it at most `limit_ms`. When the call is
// still blocked then (opening, reading or writing the FIFO at `fifo`, maybe more than once),
// the FIFO is served from the other side until the call ends: a writer opens and closes it
// again and again, a reader holds it and drains it, so that the test fails instead of
// hanging. Whether the call finished in time.
inline bool FinishesWithin(int limit_ms, const std::string& fifo, std::function<void()> call) {
  auto done = std::async(std::launch::async, std::move(call));
  if (done.wait_for(std::chrono::milliseconds(limit_ms)) == std::future_status::ready) return true;
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  char sink[4096];
  do {
    const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (writer >= 0) ::close(writer);  // a blocked reader gets the end of the file
    while (reader >= 0 && ::read(reader, sink, sizeof sink) > 0) {
    }
  } while (done.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready);
  if (reader >= 0) ::close(reader);
  return false;
}

}  // namespace test_support
