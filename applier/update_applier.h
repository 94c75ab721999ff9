// CUpdateApplier: installs what the service manager downloaded into "downfile". Each
// file is moved over its installed copy with one rename, so a program file is either the
// old one or the new one, never missing or half written. A running copy of a replaced
// program (one started from the program folder) is ended once its new file is in place;
// the caller starts what has to run afterwards. When anything was moved the portal gets
// the completion notice.
//
// Only regular files directly in "downfile" are installed: folders, symbolic links (the
// folder itself included), devices, files with other hard links, the applier's own file
// and names that begin with '.' (unfinished downloads among them) are left out and removed
// with the folder. With UPDATE_KEYS, a file is checked once more against the signature the
// service manager recorded beside it (the folder may have changed since the download): one
// without a valid signature is deleted, not installed. A file whose move fails stays in
// "downfile" for the next run, which tries again.
#pragma once

#include <string>
#include <vector>

#include "common/curl_client.h"
#include "common/update_signature.h"
#include "platform/types.h"

// Where the completion notice goes and which keys the files must be signed by: the values
// of ReadPortalConfig (common/portal_config.h) the applier uses.
struct CPortalSettings {
  // Time limits of the notice: a portal that does not answer holds the start of the
  // relay no longer than this.
  static constexpr long kNoticeConnectTimeoutMs = 10000;
  static constexpr long kNoticeTimeoutMs = 15000;

  std::string base_url;     // "PORTAL": blanks and trailing '/' removed; https:// for a bare host
  CURLOptions transfer;     // "CAFILE" (relative to the program folder unless absolute), limits
  std::string update_keys;  // "UPDATE_KEYS": the trusted keys of signed updates

  CPortalSettings();
  static CPortalSettings Read(const std::string& program_dir);
};

class CUpdateApplier {
 public:
  // After a program was ended, before the next file.
  static constexpr DWORD kEndWaitMs = 1000;
  // After the last file, before "downfile" is removed.
  static constexpr DWORD kSettleWaitMs = 300;

  CUpdateApplier(const std::string& program_dir, const std::string& session_key,
                 const CPortalSettings& portal, DWORD end_wait_ms = kEndWaitMs,
                 DWORD settle_wait_ms = kSettleWaitMs);

  // Installs the files of `folder` (see above) and removes it, unless a file in it could
  // not be moved. A missing or empty folder changes nothing and sends nothing. Returns 0.
  int ApplyDownloadedFiles(const std::string& folder);

  // Ends the process at once: 1 when it was ended, else 0 (a line on standard error when
  // it could not be opened).
  int KillProcess(DWORD process_id);

  // The completion notice's URL: the portal's base, "/ocs/veltrane/complete.do?sessionKey="
  // and the session key as it is.
  std::string CompletionNoticeUrl() const;

  // Names moved by the last ApplyDownloadedFiles, in the order they were moved, and the
  // names left in "downfile" because their move failed.
  const std::vector<std::string>& moved() const { return moved_; }
  const std::vector<std::string>& kept() const { return kept_; }

 private:
  enum class Entry { kInstall, kDrop };
  Entry Classify(const std::string& folder, const std::string& name) const;
  void EndRunningCopy(const std::string& name);
  void RemoveFolder(const std::string& folder);
  void SendCompletionNotice();

  const std::string program_dir_;
  const std::string session_key_;
  const CPortalSettings portal_;
  const CUpdateKeys keys_;
  const DWORD end_wait_ms_;
  const DWORD settle_wait_ms_;
  std::vector<std::string> moved_;
  std::vector<std::string> kept_;
};

// Whether `name` (a file name) has the extension "exe" or "EXE", exactly: the files whose
// running copy is ended when they are replaced.
bool IsProgramFileName(const std::string& name);
