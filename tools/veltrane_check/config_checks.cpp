// veltrane_url.ini with the servers it names, and Update.ini with its portal and keys.
#include <map>
#include <string>
#include <vector>

#include "common/curl_client.h"
#include "common/portal_config.h"
#include "common/program_files.h"
#include "common/update_signature.h"
#include "common/user_files.h"
#include "foundation/text.h"
#include "platform/directory.h"
#include "relay/ansi_text.h"
#include "relay/ini_config.h"
#include "relay/trusted_origins.h"
#include "relay/veltrane_view.h"
#include "tools/veltrane_check/checks.h"

namespace veltrane_check {

namespace {

constexpr std::size_t kCodesShown = 5;

bool SameKey(const std::string& a, const char* b) { return VGSLib::tstricmp(a.c_str(), b) == 0; }

std::string SectionValue(const CIniSection& section, const char* key) {
  for (const CIniKeyValue& pair : section.pairs) {
    if (SameKey(pair.key, key)) return pair.value;
  }
  return std::string();
}

std::string Joined(const std::vector<std::string>& items, std::size_t shown) {
  std::string text;
  for (std::size_t i = 0; i < items.size() && i < shown; ++i) {
    text += (i == 0 ? "" : ", ") + items[i];
  }
  if (items.size() > shown) text += ", ...";
  return text;
}

// One server to look at: its origin, the URL asked for and who named it.
struct Server {
  std::string origin;
  std::string url;
  std::string named_by;
};

void CheckServer(const Server& server, DWORD timeout_ms, Lines& lines) {
  const std::string what = server.origin + " (" + server.named_by + ")";
  if (!IsPermittedUrl(server.url)) {
    lines.Fail(what + " is plain http to another computer",
               "portal pages leave this computer over https only: write https:// in "
               "veltrane_url.ini");
    return;
  }
  const Probe probe = ProbeUrl(server.url, std::string(), timeout_ms);
  if (!probe.answered) {
    lines.Fail(what + " unreachable: " + probe.failure,
               "check the address in veltrane_url.ini, the network, the proxy and the firewall");
    return;
  }
  const std::string status = "HTTP " + std::to_string(probe.status) + " for " + server.url;
  if (probe.status < 400 || probe.status == 401 || probe.status == 403) {
    lines.Ok(what + " answers: " + status);
  } else if (probe.status >= 500) {
    lines.Warn(what + " answers " + status, "the portal fails right now; tell its operators");
  } else {
    lines.Fail(what + " answers " + status,
               "the page is not there: correct URL_INFO in veltrane_url.ini");
  }
}

}  // namespace

void CheckServicePages(const Context& context, Lines& lines) {
  const char* file = CVeltraneView::kUrlFile;
  const std::string path = context.Path(file);
  const std::string write_it =
      "write it: one section per service with SERVICE_CODE and URL_INFO (see the "
      "administrator guide)";
  if (plat::AccessA(path.c_str(), 4) != 0) {
    lines.Fail(std::string(file) + " missing or unreadable in " + context.folder, write_it);
    return;
  }
  CIniConfig config;
  if (config.Load(path) != 0) {
    lines.Fail(std::string(file) + " cannot be read (no regular file, or too large)", write_it);
    return;
  }
  // As the relay reads it: every section but TRUST is one service; among equal codes the
  // later wins.
  std::map<std::string, std::string> services;
  std::vector<std::string> codes;
  std::vector<std::string> incomplete;
  std::vector<std::string> not_origins;
  std::vector<std::string> trusted;
  for (const CIniSection& section : config.GetSections()) {
    if (section.name.empty()) continue;
    if (SameKey(section.name, CTrustedOrigins::kSection)) {
      for (const CIniKeyValue& pair : section.pairs) {
        if (!SameKey(pair.key, CTrustedOrigins::kOriginsKey)) continue;
        CTrustedOrigins listed;
        for (const std::string& entry : listed.AddList(pair.value)) not_origins.push_back(entry);
        for (const std::string& origin : listed.origins()) trusted.push_back(origin);
      }
      continue;
    }
    const std::string code = SectionValue(section, "SERVICE_CODE");
    const std::string url = AnsiToUtf8(SectionValue(section, "URL_INFO"));
    if (code.empty() || url.empty()) {
      incomplete.push_back("[" + section.name + "]");
      continue;
    }
    if (services.find(code) == services.end()) codes.push_back(code);
    services[code] = url;
  }

  if (codes.empty()) {
    lines.Fail(std::string(file) + " names no service", write_it);
  } else {
    lines.Ok(std::string(file) + ": " + std::to_string(codes.size()) + " service code" +
             (codes.size() == 1 ? "" : "s") + " (" + Joined(codes, kCodesShown) + ")");
  }
  if (!incomplete.empty()) {
    lines.Warn(std::string(file) +
                   " sections without SERVICE_CODE or URL_INFO: " + Joined(incomplete, kCodesShown),
               "the relay cannot open their pages: add both keys or remove the sections");
  }
  if (!not_origins.empty()) {
    lines.Warn(std::string(file) + " [TRUST] ORIGINS entries that are no origin: " +
                   Joined(not_origins, kCodesShown),
               "write each as scheme://host[:port]");
  }

  // Each distinct origin once: the first page of it, or its root for a TRUST origin.
  std::vector<Server> servers;
  auto known = [&servers](const std::string& origin) {
    for (const Server& server : servers) {
      if (server.origin == origin) return true;
    }
    return false;
  };
  for (const std::string& code : codes) {
    const std::string& url = services[code];
    const std::optional<std::string> origin = UrlOrigin(url);
    if (!origin) {
      lines.Fail("service " + code + ": URL_INFO " + url + " is no http or https address",
                 "write the page's full address, https://host/path");
      continue;
    }
    if (!known(*origin)) servers.push_back({*origin, url, "service " + code});
  }
  for (const std::string& origin : trusted) {
    if (!known(origin)) servers.push_back({origin, origin + "/", "[TRUST]"});
  }
  for (const Server& server : servers) CheckServer(server, context.timeout_ms, lines);
}

void CheckPortal(const Context& context, Lines& lines) {
  if (IsSystemInstall(context.folder)) {
    lines.Ok(std::string(kUpdateIni) +
             ": a system install gets its updates from the package manager (no portal calls)");
    return;
  }
  const PortalConfig config = ReadPortalConfig(context.folder);
  if (plat::AccessA(context.Path(kUpdateIni).c_str(), 4) != 0) {
    lines.Warn(std::string("no ") + kUpdateIni + " in " + context.folder + ": no updates",
               "write [UPDATE] PORTAL=https://... into it (install.sh --portal does)");
  } else if (config.base_url.empty()) {
    lines.Warn(std::string(kUpdateIni) + " names no PORTAL: no updates",
               "set PORTAL=https://... in its section [UPDATE]");
  } else if (!IsPermittedUrl(config.base_url)) {
    lines.Fail(std::string(kUpdateIni) + " PORTAL " + config.base_url + " is not https",
               "updates come over https only (plain http only from this computer): write "
               "https://");
  } else if (!config.ca_file.empty() && plat::AccessA(config.ca_file.c_str(), 4) != 0) {
    lines.Fail(std::string(kUpdateIni) + " CAFILE " + config.ca_file + " cannot be read",
               "put the portal's CA certificate (PEM) there, or remove CAFILE");
  } else {
    const Probe probe = ProbeUrl(config.base_url + "/", config.ca_file, context.timeout_ms);
    const std::string what = "portal " + config.base_url;
    if (!probe.answered) {
      lines.Fail(what + " unreachable: " + probe.failure,
                 "check PORTAL in Update.ini, the network and the proxy; a private CA goes "
                 "into CAFILE");
    } else if (probe.status >= 500) {
      lines.Warn(what + " answers HTTP " + std::to_string(probe.status),
                 "the portal fails right now; tell its operators");
    } else {
      lines.Ok(what + " answers (HTTP " + std::to_string(probe.status) + ")");
    }
  }

  std::vector<std::string> rejected;
  const CUpdateKeys keys = CUpdateKeys::Parse(config.update_keys, &rejected);
  if (!rejected.empty()) {
    lines.Fail(std::string(kUpdateIni) +
                   " UPDATE_KEYS entries that are no key: " + Joined(rejected, kCodesShown),
               "each key is the standard Base64 of 32 bytes, as veltrane-sign keygen prints it");
  } else if (keys.empty()) {
    lines.Warn("no UPDATE_KEYS in " + std::string(kUpdateIni) + ": updates run on TLS alone",
               "add the portal operators' public keys (install.sh --update-key KEY)");
  } else {
    lines.Ok("updates must be signed by " + std::to_string(keys.size()) + " key" +
             (keys.size() == 1 ? "" : "s"));
  }
}

}  // namespace veltrane_check
