#include "service/service_manager.h"

#include <new>

#include "common/program_utils.h"
#include "common/user_files.h"
#include "foundation/error_codes.h"
#include "foundation/exception.h"
#include "foundation/file_util.h"
#include "foundation/library.h"
#include "foundation/log.h"
#include "foundation/log_retention.h"
#include "foundation/mutex.h"
#include "foundation/singleton.h"
#include "platform/time.h"
#include "platform/types.h"
#include "service/service_files.h"

namespace {

constexpr char kLibraryFailure[] =
    "다음과 같은 이유로 서비스를 시작 할 수 없습니다. - 공통 라이브러리를 초기화 할 수 없습니다.";
constexpr char kUpdaterFailure[] =
    "다음과 같은 이유로 서비스를 시작 할 수 없습니다. - 업데이트 메니저를 초기화 할 수 없습니다.";
constexpr char kLauncherFailure[] =
    "다음과 같은 이유로 서비스를 시작 할 수 없습니다. - 서비스를 메니저를 초기화 할 수 없습니다.";

[[noreturn]] void Fail(const char* text) {
  VGS_Exception::ThrowException(VGSLib::GetErrorCode(), text);
}

// Creates a task, turning an allocation or construction failure into the Part's failure.
template <class Task, class... Args>
Task* MakeTask(const char* failure, Args&&... args) {
  Task* task = nullptr;
  try {
    task = new (std::nothrow) Task(std::forward<Args>(args)...);
  } catch (const VGS_Exception& e) {
    VGSLib::SetErrorCode(e.GetErrorCode());
  }
  if (task == nullptr) {
    if (VGSLib::GetErrorCode() == VGS_ERR_UNKNOWN) VGSLib::SetErrorCode(ERROR_NOT_ENOUGH_MEMORY);
    Fail(failure);
  }
  return task;
}

}  // namespace

CVeltraneServiceManager::CVeltraneServiceManager()
    : log_(nullptr), launcher_(nullptr), updater_(nullptr) {}

CVeltraneServiceManager::~CVeltraneServiceManager() = default;

CVeltraneServiceManager* CVeltraneServiceManager::instance() {
  return VGS_Singleton<CVeltraneServiceManager, VGS_Base_Mutex>::instance();
}

int CVeltraneServiceManager::Open(const CServiceSettings& settings) {
  try {
    if (program_dir_.empty()) program_dir_ = GetModulePath(nullptr);
    const std::string log_dir = UserFilePath(program_dir_, kLogFolder);
    if (VGSLib::initialize() < 0) Fail(kLibraryFailure);

    log_ = new VGS_Log(0);
    if (!log_dir.empty()) {  // else no user folder: the log keeps its default
      if (VGSLib::taccess(log_dir.c_str(), 0) < 0) VGSLib::createdir(log_dir.c_str());
      log_->set_log_dir(log_dir.c_str());
      SYSTEMTIME today;
      plat::GetLocalTime(&today);
      RemoveOldLogFiles(log_dir.c_str(), today);
    }
    log_->set_level(0);

    updater_ = MakeTask<CUpdateManager>(kUpdaterFailure, log_, program_dir_,
                                        settings.update_interval_ms, settings.transfer);
    updater_->Start();

    launcher_ = MakeTask<CLauncherManager>(kLauncherFailure, log_, updater_, program_dir_,
                                           settings.launcher_interval_ms);
    launcher_->Start();

    log_->log_error(nullptr, 0, "[Veltrane Service Start]");
    return 0;
  } catch (const VGS_Exception& e) {
    if (log_ != nullptr)
      log_->log_error(nullptr, 0, "[Veltrane Service error] - %s", e.GetErrorMsg());
    return static_cast<int>(e.GetErrorCode());
  }
}

void CVeltraneServiceManager::Close() {
  if (updater_ != nullptr) updater_->Cancel();
  if (launcher_ != nullptr) launcher_->stop();
  if (updater_ != nullptr) updater_->stop();
  if (log_ != nullptr) log_->log_error(nullptr, 0, "[Veltrane Service ShutDown]");
  delete log_;
  log_ = nullptr;
  if (launcher_ != nullptr) launcher_->release();
  launcher_ = nullptr;
  if (updater_ != nullptr) updater_->release();
  updater_ = nullptr;
}
