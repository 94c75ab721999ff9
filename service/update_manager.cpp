#include "service/update_manager.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "common/portal_config.h"
#include "common/program_utils.h"
#include "common/sha256_pipe.h"
#include "common/signature_record.h"
#include "common/user_files.h"
#include "foundation/file_util.h"
#include "foundation/guard.h"
#include "foundation/log.h"
#include "foundation/version.h"
#include "platform/file.h"
#include "service/service_files.h"
#include "service/update_list.h"

namespace {

constexpr char kUpdateListPath[] = "/ocs/veltrane/updateList.do?sessionKey=";
constexpr char kStartNoticePath[] = "/ocs/veltrane/start.do?sessionKey=";
constexpr char kSessionKeyParameter[] = "sessionKey=";

// `url` with the value of its session key parameter shown as "***", for the log.
std::string MaskSessionKey(const std::string& url) {
  const std::size_t name = url.find(kSessionKeyParameter);
  if (name == std::string::npos) return url;
  const std::size_t value = name + sizeof kSessionKeyParameter - 1;
  const std::size_t end = std::min(url.find('&', value), url.size());
  if (end == value) return url;  // no key to hide
  return url.substr(0, value) + "***" + url.substr(end);
}

}  // namespace

CUpdateManager::CUpdateManager(VGS_Log* log, const std::string& program_dir,
                               unsigned long interval_ms, const CURLOptions& transfer)
    : CScheduleHandler(interval_ms), log_(log), program_dir_(program_dir), busy_(0), enabled_(1),
      system_install_(false), transfer_(transfer), cancelled_(false) {}

CUpdateManager::~CUpdateManager() = default;

void CUpdateManager::ReadSettings() {
  const std::string session_ini = UserFilePath(program_dir_, kSessionKeyIni);
  const std::string update_ini = program_dir_ + "/" + kUpdateIni;
  session_key_ = ReadProfileString(session_ini, "SESSION", "SESSIONKEY", "");
  if (ReadProfileString(update_ini, "UPDATE", "UPDATEINFO", "") == "0") enabled_ = 0;
  system_install_ = IsSystemInstall(program_dir_);
  if (system_install_) enabled_ = 0;
  const PortalConfig portal = ReadPortalConfig(program_dir_);
  portal_ = portal.base_url;
  ca_file_ = portal.ca_file;
  max_download_bytes_ = portal.max_download_bytes;
  std::vector<std::string> rejected;
  keys_ = CUpdateKeys::Parse(portal.update_keys, &rejected);
  for (const std::string& key : rejected) {
    if (log_ != nullptr) log_->log_error(nullptr, 0, "[업데이트 키 거부 : %s]", key.c_str());
  }
}

int CUpdateManager::Start() {
  // The settings are in place before the worker thread can run a cycle.
  ReadSettings();
  if (system_install_ && log_ != nullptr) {
    log_->log_info(nullptr, 0, "[업데이트 안 함 : %s 는 패키지 관리자가 업데이트합니다]",
                   program_dir_.c_str());
  } else if (enabled_ != 0 && keys_.empty() && log_ != nullptr) {
    log_->log_info(nullptr, 0, "[업데이트 서명 확인 안 함 : UPDATE_KEYS 없음]");
  }
  const int spawned = spawn_worker();
  CheckForUpdates();
  return spawned;
}

int CUpdateManager::handle_timeout(long, unsigned long&, VGS_Reactor*) {
  if (reactor() == nullptr) return -1;
  CheckForUpdates();
  return 0;
}

int CUpdateManager::busy() const {
  VGS_Guard guard(lock());
  return busy_;
}

void CUpdateManager::SetBusy(int busy) {
  VGS_Guard guard(lock());
  busy_ = busy;
}

int CUpdateManager::CheckForUpdates() {
  if (enabled_ == 0) return 0;
  {
    VGS_Guard guard(lock());
    if (busy_ != 0) return 1;
    busy_ = 1;
  }
  std::string list;
  if (FetchUpdateList(list)) ProcessUpdateList(list);
  SetBusy(0);
  return 1;
}

std::string CUpdateManager::UpdateListUrl() const {
  return portal_ + kUpdateListPath + session_key_;
}

std::string CUpdateManager::StartNoticeUrl() const {
  return portal_ + kStartNoticePath + session_key_;
}

bool CUpdateManager::aborted() const {
  return cancelled_.load() || (transfer_.abort && transfer_.abort());
}

CURLOptions CUpdateManager::TransferOptions() const {
  CURLOptions options = transfer_;
  if (!ca_file_.empty()) options.ca_file = ca_file_;
  options.max_download_bytes = max_download_bytes_;
  options.abort = [this] { return aborted(); };
  return options;
}

BOOL CUpdateManager::FetchUpdateList(std::string& list) {
  const std::string url = UpdateListUrl();
  int status = -1;
  // Without a portal nothing is sent: the cycle ends with the URL line. Nor to a portal
  // that is not reached over https (plain http is for a portal on this machine only).
  const bool permitted = IsPermittedUrl(url);
  if (!portal_.empty() && !permitted && log_ != nullptr) {
    log_->log_error(nullptr, 0, "[다운로드 거부 : https 가 아닌 포털 주소 - %s]", portal_.c_str());
  }
  std::string failure;
  if (!portal_.empty() && !aborted()) {
    CURLClientPOST client;  // refuses a URL that is not permitted without sending it
    client.SetOptions(TransferOptions());
    client.SetUrl(url);
    status = client.Perform();
    if (status >= 200 && status <= 299) list = client.GetResponse();
    failure = client.failure();
  }
  if (status < 200 || status > 299) {
    if (log_ != nullptr)
      log_->log_error(nullptr, 0, "[다운로드 JASON URL : %s]", MaskSessionKey(url).c_str());
    LogFailureCause(failure, url);
    return FALSE;
  }
  if (log_ != nullptr) log_->log_info(nullptr, 0, "[다운로드 JASON 정보 : %s]", list.c_str());
  return TRUE;
}

void CUpdateManager::ProcessUpdateList(const std::string& list) {
  const std::string folder = program_dir_ + "/" + kDownloadFolder;
  VGSLib::createdir(folder.c_str());
  std::vector<CUpdateItem> items;
  if (!ParseUpdateList(list, &items)) return;
  const CURLOptions options = TransferOptions();
  bool downloaded = false;
  for (const CUpdateItem& item : items) {
    if (aborted()) break;
    if (item.down_path.empty() || item.file_version.empty()) continue;
    const char* name = item.file_name.c_str();
    // A name that would leave "downfile", hide in it or say nothing is never written.
    if (!IsInstallableFileName(item.file_name)) {
      if (log_ != nullptr) log_->log_error(nullptr, 0, "[다운로드 파일 이름 거부 : %s]", name);
      continue;
    }
    if (log_ != nullptr) {
      log_->log_info(nullptr, 0, "[다운로드 정보 : %s]  버전 - %s", name,
                     item.file_version.c_str());
    }
    if (NeedsUpdate(item.file_name, item.file_version) == 0) continue;
    if (!IsPermittedUrl(item.down_path)) {
      if (log_ != nullptr) {
        log_->log_error(nullptr, 0, "[다운로드 거부 : https 가 아닌 주소 - %s %s]", name,
                        item.down_path.c_str());
      }
      continue;
    }
    const std::string target = folder + "/" + item.file_name;
    bool unsigned_file = false;
    std::string failure;
    if (!DownloadFile(item.down_path.c_str(), target.c_str(), options,
                      SignatureCheck(item, folder, &unsigned_file), &failure)) {
      if (log_ != nullptr) {
        log_->log_error(nullptr, 0,
                        unsigned_file ? "[다운로드 서명 오류 : %s]" : "[다운로드 실패: %s]", name);
      }
      if (!unsigned_file) LogFailureCause(failure, item.down_path);
      continue;
    }
    if (log_ != nullptr) log_->log_info(nullptr, 0, "[다운로드 성공 : %s]", name);
    downloaded = true;
    // The applier cannot replace its own file: a new one goes into place at once.
    if (item.file_name == kApplierExe) {
      const std::string installed = program_dir_ + "/" + item.file_name;
      plat::MoveFileExA(target.c_str(), installed.c_str(), MOVEFILE_REPLACE_EXISTING);
    }
  }
  if (downloaded) SendStartNotice();
}

void CUpdateManager::LogFailureCause(const std::string& failure, const std::string& url) const {
  if (log_ == nullptr || failure.empty()) return;
  log_->log_error(nullptr, 0, "[업데이트 실패 원인 : %s - %s]", failure.c_str(),
                  UrlHost(url).c_str());
}

DownloadCheck CUpdateManager::SignatureCheck(const CUpdateItem& item, const std::string& folder,
                                             bool* refused) const {
  DownloadCheck check;
  if (keys_.empty()) return check;
  // Hashed while the bytes arrive; checked before the file takes its name.
  auto hash = std::make_shared<CSha256Pipe>();
  check.on_bytes = [hash](const char* data, std::size_t size) { hash->Update(data, size); };
  check.accept = [this, hash, &item, folder, refused](unsigned long long size) {
    const std::string text =
        UpdateSignedText(item.signed_name, item.signed_version, size, hash->HexDigest());
    *refused = !keys_.Verify(text, item.signature);
    return !*refused &&
           WriteSignatureRecord(folder, item.file_name,
                                {item.signed_name, item.signed_version, item.signature});
  };
  return check;
}

void CUpdateManager::SendStartNotice() {
  if (portal_.empty()) return;
  CURLClientPOST client;
  client.SetOptions(TransferOptions());
  client.SetUrl(StartNoticeUrl());
  client.Perform();
}

int CUpdateManager::NeedsUpdate(const std::string& file_name, const std::string& file_version) {
  std::string candidate = program_dir_ + "/" + kDownloadFolder + "/" + file_name;
  if (VGSLib::taccess(candidate.c_str(), 0) < 0) candidate = program_dir_ + "/" + file_name;
  if (VGSLib::taccess(candidate.c_str(), 0) < 0) return 1;
  const std::size_t point = file_name.rfind('.');
  if (point == std::string::npos) return 0;
  const std::string extension = file_name.substr(point + 1);
  std::string current;
  if (extension == "ini" || extension == "INI") {
    current = ReadProfileString(candidate, "VERSION", "VERSION", "");
  } else {
    VGS_Version version;
    if (version.extract(candidate.c_str()) == 0) return 1;
    current = version.fileVerStr();
  }
  return current == file_version ? 0 : 1;
}
