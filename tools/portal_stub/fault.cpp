#include "tools/portal_stub/fault.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstdlib>

#include <nlohmann/json.hpp>

namespace portal_stub {

namespace {

constexpr unsigned int kDefaultDelayMs = 2000;

struct KindName {
  FaultKind kind;
  const char* name;
};
constexpr KindName kKinds[] = {
    {FaultKind::kStatus, "status"},
    {FaultKind::kRedirect, "redirect"},
    {FaultKind::kRedirectNowhere, "redirect-nowhere"},
    {FaultKind::kCutBody, "cut-body"},
    {FaultKind::kStall, "stall"},
    {FaultKind::kStallBody, "stall-body"},
    {FaultKind::kPartial, "partial"},
    {FaultKind::kNotModified, "not-modified"},
    {FaultKind::kNoLength, "no-length"},
    {FaultKind::kDelay, "delay"},
    {FaultKind::kBadSignature, "bad-signature"},
    {FaultKind::kNoSignature, "no-signature"},
};

struct TargetName {
  FaultTarget target;
  const char* name;
};
constexpr TargetName kTargets[] = {
    {FaultTarget::kUpdateList, "updateList"},
    {FaultTarget::kStart, "start"},
    {FaultTarget::kComplete, "complete"},
    {FaultTarget::kDownload, "download"},
    {FaultTarget::kPages, "pages"},
    {FaultTarget::kUpdates, "updates"},
    {FaultTarget::kAll, "all"},
};

// A decimal number in [low, high], or nothing.
std::optional<long> ParseNumber(const std::string& text, long low, long high) {
  if (text.empty() || text.size() > 10 ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  const long value = std::strtol(text.c_str(), nullptr, 10);
  if (value < low || value > high) return std::nullopt;
  return value;
}

std::optional<FaultTarget> ParseTarget(const std::string& name) {
  for (const TargetName& t : kTargets) {
    if (name == t.name) return t.target;
  }
  return std::nullopt;
}

// Specificity of a target for choosing among several matching switches.
int Rank(FaultTarget target) {
  switch (target) {
    case FaultTarget::kAll: return 2;
    case FaultTarget::kUpdates: return 1;
    default: return 0;
  }
}

}  // namespace

namespace {

// Whether `a` and `b` take the same place on the board (the later replaces the earlier).
bool SameSlot(const FaultSpec& a, const FaultSpec& b) {
  if (IsListFault(a.kind) != IsListFault(b.kind)) return false;
  return IsListFault(a.kind) ? a.file == b.file : a.target == b.target && a.path == b.path;
}

nlohmann::json SpecJson(const FaultSpec& spec) {
  const bool list = IsListFault(spec.kind);
  nlohmann::json json = {
      {"kind", FaultKindName(spec.kind)},
      {"target", list ? (spec.file.empty() ? "all" : spec.file) : FaultTargetName(spec.target)},
      {"count", spec.count},
      {"code", spec.code},
      {"ms", spec.ms}};
  if (!spec.path.empty()) json["path"] = spec.path;
  if (!spec.location.empty()) json["location"] = spec.location;
  return json;
}

}  // namespace

bool IsListFault(FaultKind kind) {
  return kind == FaultKind::kBadSignature || kind == FaultKind::kNoSignature;
}

const char* FaultKindName(FaultKind kind) {
  for (const KindName& k : kKinds) {
    if (k.kind == kind) return k.name;
  }
  return "?";
}

const char* FaultTargetName(FaultTarget target) {
  for (const TargetName& t : kTargets) {
    if (t.target == target) return t.name;
  }
  return "?";
}

bool TargetMatches(FaultTarget target, Endpoint endpoint) {
  switch (target) {
    case FaultTarget::kUpdateList: return endpoint == Endpoint::kUpdateList;
    case FaultTarget::kStart: return endpoint == Endpoint::kStart;
    case FaultTarget::kComplete: return endpoint == Endpoint::kComplete;
    case FaultTarget::kDownload: return endpoint == Endpoint::kDownload;
    case FaultTarget::kPages: return endpoint == Endpoint::kPage;
    case FaultTarget::kUpdates:
      return endpoint == Endpoint::kUpdateList || endpoint == Endpoint::kStart ||
             endpoint == Endpoint::kComplete || endpoint == Endpoint::kDownload;
    case FaultTarget::kAll: return endpoint != Endpoint::kControl;
  }
  return false;
}

std::optional<FaultSpec> ParseFaultParams(const std::map<std::string, std::string>& params,
                                          std::string* error) {
  FaultSpec spec;
  bool have_kind = false;
  bool have_ms = false;
  std::optional<std::string> target_text;  // read once the kind is known
  for (const auto& [key, value] : params) {
    if (key == "kind") {
      if (value == "status500") {  // shorthand of kind=status&code=500
        spec.kind = FaultKind::kStatus;
        have_kind = true;
        continue;
      }
      for (const KindName& k : kKinds) {
        if (value == k.name) {
          spec.kind = k.kind;
          have_kind = true;
        }
      }
      if (!have_kind) {
        *error = "unknown fault kind \"" + value + "\"";
        return std::nullopt;
      }
    } else if (key == "target") {
      target_text = value;
    } else if (key == "count") {
      const std::optional<long> count = ParseNumber(value, 1, INT_MAX);
      if (!count) {
        *error = "fault count must be a number from 1";
        return std::nullopt;
      }
      spec.count = static_cast<int>(*count);
    } else if (key == "code") {
      const std::optional<long> code = ParseNumber(value, 100, 599);
      if (!code) {
        *error = "fault code must be an HTTP status from 100 to 599";
        return std::nullopt;
      }
      spec.code = static_cast<int>(*code);
    } else if (key == "ms") {
      const std::optional<long> ms = ParseNumber(value, 0, 3600000);
      if (!ms) {
        *error = "fault ms must be a number of milliseconds up to 3600000";
        return std::nullopt;
      }
      spec.ms = static_cast<unsigned int>(*ms);
      have_ms = true;
    } else if (key == "path") {
      if (value.empty() || value[0] != '/' || value.find('?') != std::string::npos) {
        *error = "fault path must be a path from \"/\" without a query";
        return std::nullopt;
      }
      spec.path = value;
    } else if (key == "location") {
      if (value.empty()) {
        *error = "fault location must not be empty";
        return std::nullopt;
      }
      spec.location = value;
    } else {
      *error = "unknown fault parameter \"" + key + "\"";
      return std::nullopt;
    }
  }
  if (!have_kind) {
    *error = "a fault needs a kind";
    return std::nullopt;
  }
  if (target_text && IsListFault(spec.kind)) {
    if (target_text->empty()) {
      *error = "the target of " + std::string(FaultKindName(spec.kind)) + " is a file name";
      return std::nullopt;
    }
    spec.file = *target_text;
  } else if (target_text) {
    const std::optional<FaultTarget> target = ParseTarget(*target_text);
    if (!target) {
      *error = "unknown fault target \"" + *target_text + "\"";
      return std::nullopt;
    }
    spec.target = *target;
  }
  if (IsListFault(spec.kind)) spec.target = FaultTarget::kUpdateList;
  if (spec.kind == FaultKind::kDelay && !have_ms) spec.ms = kDefaultDelayMs;
  return spec;
}

std::optional<FaultSpec> ParseFaultText(const std::string& text, std::string* error) {
  std::map<std::string, std::string> params;
  if (text.find('=') == std::string::npos) {
    const std::size_t at = text.find('@');
    params["kind"] = text.substr(0, at);
    if (at != std::string::npos) params["target"] = text.substr(at + 1);
  } else {
    std::size_t start = 0;
    while (start <= text.size()) {
      const std::size_t end = std::min(text.find('&', start), text.size());
      const std::string pair = text.substr(start, end - start);
      const std::size_t equals = pair.find('=');
      if (equals == std::string::npos || equals == 0) {
        *error = "\"" + pair + "\" is not NAME=VALUE";
        return std::nullopt;
      }
      if (!params.emplace(pair.substr(0, equals), pair.substr(equals + 1)).second) {
        *error = "\"" + pair.substr(0, equals) + "\" is given twice";
        return std::nullopt;
      }
      start = end + 1;
    }
  }
  return ParseFaultParams(params, error);
}

std::string FaultToJson(const FaultSpec& spec) { return SpecJson(spec).dump(); }

void FaultBoard::Set(const FaultSpec& spec) {
  std::lock_guard<std::mutex> lock(mutex_);
  switches_.erase(std::remove_if(switches_.begin(), switches_.end(),
                                 [&](const FaultSpec& s) { return SameSlot(s, spec); }),
                  switches_.end());
  switches_.push_back(spec);
}

void FaultBoard::Clear(std::optional<FaultTarget> target) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (target) {
      switches_.erase(std::remove_if(switches_.begin(), switches_.end(),
                                     [&](const FaultSpec& s) {
                                       return !IsListFault(s.kind) && s.target == *target;
                                     }),
                      switches_.end());
    } else {
      switches_.clear();
    }
    ++release_generation_;
  }
  released_.notify_all();
}

bool FaultBoard::ClearFile(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto end = switches_.end();
  const auto kept = std::remove_if(switches_.begin(), end, [&](const FaultSpec& s) {
    return IsListFault(s.kind) && !s.file.empty() && s.file == name;
  });
  switches_.erase(kept, end);
  return kept != end;
}

std::vector<std::optional<FaultKind>> FaultBoard::TakeListFaults(
    const std::vector<std::string>& names) {
  std::vector<std::optional<FaultKind>> kinds(names.size());
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<bool> applied(switches_.size(), false);
  for (std::size_t i = 0; i < names.size(); ++i) {
    std::size_t chosen = switches_.size();
    for (std::size_t s = 0; s < switches_.size(); ++s) {
      const FaultSpec& spec = switches_[s];
      if (!IsListFault(spec.kind)) continue;
      if (spec.file == names[i]) {
        chosen = s;
        break;
      }
      if (spec.file.empty()) chosen = s;
    }
    if (chosen == switches_.size()) continue;
    kinds[i] = switches_[chosen].kind;
    applied[chosen] = true;
  }
  // Backwards, so that erasing keeps the earlier indices.
  for (std::size_t s = switches_.size(); s-- > 0;) {
    if (applied[s] && switches_[s].count > 0 && --switches_[s].count == 0) {
      switches_.erase(switches_.begin() + static_cast<std::ptrdiff_t>(s));
    }
  }
  return kinds;
}

std::optional<FaultSpec> FaultBoard::Take(Endpoint endpoint, const std::string& path) {
  // Lower is more specific: bound to the path first, then by target.
  const auto rank = [](const FaultSpec& spec) {
    return (spec.path.empty() ? 10 : 0) + Rank(spec.target);
  };
  std::lock_guard<std::mutex> lock(mutex_);
  auto chosen = switches_.end();
  for (auto it = switches_.begin(); it != switches_.end(); ++it) {
    if (!IsListFault(it->kind) && TargetMatches(it->target, endpoint) &&
        (it->path.empty() || it->path == path) &&
        (chosen == switches_.end() || rank(*it) < rank(*chosen))) {
      chosen = it;
    }
  }
  if (chosen == switches_.end()) return std::nullopt;
  const FaultSpec spec = *chosen;
  if (chosen->count > 0 && --chosen->count == 0) switches_.erase(chosen);
  return spec;
}

std::string FaultBoard::ToJson() const {
  nlohmann::json list = nlohmann::json::array();
  std::lock_guard<std::mutex> lock(mutex_);
  for (const FaultSpec& spec : switches_) list.push_back(SpecJson(spec));
  return list.dump();
}

void FaultBoard::Hold(unsigned int limit_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  const unsigned long generation = release_generation_;
  const auto released = [&] { return shut_down_ || release_generation_ != generation; };
  ++held_;
  if (limit_ms == 0) {
    released_.wait(lock, released);
  } else {
    released_.wait_for(lock, std::chrono::milliseconds(limit_ms), released);
  }
  --held_;
}

void FaultBoard::Release() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++release_generation_;
  }
  released_.notify_all();
}

std::size_t FaultBoard::Held() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return held_;
}

void FaultBoard::Sleep(unsigned int ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  released_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return shut_down_; });
}

void FaultBoard::Shutdown() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    shut_down_ = true;
  }
  released_.notify_all();
}

}  // namespace portal_stub
