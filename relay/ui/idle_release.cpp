#include "relay/ui/idle_release.h"

#include <glib.h>

#include <cstdlib>
#include <string>

unsigned int CIdleRelease::IntervalFromEnvironment() {
  const char* text = g_getenv(kIntervalVariable);
  if (text == nullptr || *text == '\0') return kDefaultIntervalMs;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 10);
  if (*end != '\0' || value > 24ul * 60 * 60 * 1000) return kDefaultIntervalMs;
  return static_cast<unsigned int>(value);
}

CIdleRelease::CIdleRelease(unsigned int interval_ms, std::function<unsigned long()> input_idle_ms,
                           std::function<void()> release)
    : interval_ms_(interval_ms),
      input_idle_ms_(std::move(input_idle_ms)),
      release_(std::move(release)) {}

CIdleRelease::~CIdleRelease() { Disarm(); }

void CIdleRelease::Arm() {
  Disarm();
  if (interval_ms_ != 0) Wait(interval_ms_);
}

void CIdleRelease::Wait(unsigned int ms) {
  source_ = g_timeout_add(ms, &CIdleRelease::OnTimeout, this);
}

void CIdleRelease::Disarm() {
  if (source_ != 0) g_source_remove(source_);
  source_ = 0;
}

int CIdleRelease::OnTimeout(void* self) {
  auto* idle = static_cast<CIdleRelease*>(self);
  idle->source_ = 0;
  // Someone at work on the desktop may soon need the page: wait until the input stops too.
  const unsigned long quiet = idle->input_idle_ms_ ? idle->input_idle_ms_() : idle->interval_ms_;
  if (quiet < idle->interval_ms_) {
    idle->Wait(idle->interval_ms_ - static_cast<unsigned int>(quiet));
    return G_SOURCE_REMOVE;
  }
  if (idle->release_) idle->release_();
  return G_SOURCE_REMOVE;
}
