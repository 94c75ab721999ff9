// CUpdateManager: keeps the installed programs current. Once at start and then on every
// timer expiry it asks the portal for the update list, downloads each listed file whose
// version differs from the installed one into "downfile", moves a new applier into place
// at once, and tells the portal when it downloaded anything. The busy flag tells the
// launcher not to start the applier while a cycle may write into "downfile".
//
// A system install (a program folder the user may not write) is updated by the package
// manager: the cycles then never call the portal, as with UPDATEINFO=0.
//
// Settings read at start:
//   SessionKey.ini [SESSION] SESSIONKEY  the session key, sent as it is (in the user's
//                                        file folder, common/user_files.h)
//   Update.ini     [UPDATE]  UPDATEINFO  "0" switches updates off for the process's life
//                            PORTAL, CAFILE, MAX_DOWNLOAD_MB  where the portal is and the
//                            largest download (common/portal_config.h); a portal or
//                            download URL that IsPermittedUrl refuses is logged, not used
//                            UPDATE_KEYS  trusted keys: a download whose "signature" none
//                            of them made is deleted (common/update_signature.h); the
//                            signature stays beside the file for the applier
#pragma once

#include <atomic>
#include <string>

#include "common/curl_client.h"
#include "common/portal_config.h"
#include "common/update_signature.h"
#include "platform/types.h"
#include "service/schedule_handler.h"

class VGS_Log;
struct CUpdateItem;

class CUpdateManager : public CScheduleHandler {
 public:
  static constexpr unsigned long kIntervalMs = 3600000;

  // `log` is borrowed and may be null. `transfer` holds the time-outs of every portal
  // call and download; its abort check is asked besides Cancel().
  CUpdateManager(VGS_Log* log, const std::string& program_dir,
                 unsigned long interval_ms = kIntervalMs,
                 const CURLOptions& transfer = CURLOptions());
  ~CUpdateManager() override;

  // Reads the settings, spawns the worker thread unless it runs, and runs the first
  // cycle on the calling thread. The spawn result; -1 when the worker already ran.
  int Start();

  // Timer expiry on the worker thread: -1 once the task is closed, else one cycle and 0.
  int handle_timeout(long timer_id, unsigned long& interval, VGS_Reactor* reactor) override;

  // One update cycle: 0 when updates are switched off, else 1. A cycle that finds
  // another one running returns at once.
  int CheckForUpdates();
  // Posts to the update-list endpoint; TRUE with the answer for a status of 200 to 299.
  BOOL FetchUpdateList(std::string& list);
  // Downloads what the list names and differs from what is installed.
  void ProcessUpdateList(const std::string& list);
  // 1 when the listed version differs from the waiting or installed copy, or there is
  // none; 0 when they are equal, or the name has no extension and a copy exists.
  int NeedsUpdate(const std::string& file_name, const std::string& file_version);

  // 1 while a cycle runs, else 0 (read under the task's lock).
  int busy() const;
  bool enabled() const { return enabled_ != 0; }
  // Ends a running transfer and every later one as failed (shutdown).
  void Cancel() { cancelled_.store(true); }

  // The endpoint URLs as the settings make them ("/ocs/..." without a portal).
  std::string UpdateListUrl() const;
  std::string StartNoticeUrl() const;

  // Reads SessionKey.ini and Update.ini (a key of UPDATE_KEYS that cannot be used is
  // logged) and whether this is a system install (Start does this first and logs a system
  // install, or updates without keys, once).
  void ReadSettings();

 private:
  bool aborted() const;
  CURLOptions TransferOptions() const;
  // With keys: the download of `item` into `folder` takes its name only with a valid
  // signature (*refused then false), and its signature record is written beside it.
  DownloadCheck SignatureCheck(const CUpdateItem& item, const std::string& folder,
                               bool* refused) const;
  void SendStartNotice();
  void SetBusy(int busy);
  // The line beside a failure's own: why the transfer to `url` failed, and its host.
  void LogFailureCause(const std::string& failure, const std::string& url) const;

  VGS_Log* log_;
  const std::string program_dir_;
  int busy_;
  std::string session_key_;
  int enabled_;
  bool system_install_;
  std::string portal_;
  std::string ca_file_;
  // UPDATE_KEYS: with keys, a download takes its name only with a valid signature.
  CUpdateKeys keys_;
  unsigned long long max_download_bytes_ = PortalConfig::kDefaultMaxDownloadMb << 20;
  const CURLOptions transfer_;
  std::atomic<bool> cancelled_;
};
