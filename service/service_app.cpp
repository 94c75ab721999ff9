#include "service/service_app.h"

#include "foundation/library.h"
#include "platform/error.h"
#include "platform/termination_signal.h"

CVeltraneServiceApp::CVeltraneServiceApp(const CServiceOptions& options)
    : options_(options), mutex_(nullptr), manager_(nullptr) {}

CVeltraneServiceApp::~CVeltraneServiceApp() {
  if (mutex_ != nullptr) plat::CloseMutex(mutex_);
}

BOOL CVeltraneServiceApp::InitInstance() {
  mutex_ = plat::CreateMutexA(options_.instance_name.c_str(), TRUE);
  if (mutex_ != nullptr && plat::GetLastError() == ERROR_ALREADY_EXISTS) return FALSE;

  manager_ = CVeltraneServiceManager::instance();
  if (manager_ != nullptr) {
    CServiceSettings settings = options_.settings;
    // A session that ends during a transfer ends the transfer.
    settings.transfer.abort = [] { return plat::TerminationSignalPending(); };
    manager_->Open(settings);
  }
  plat::WaitForTerminationSignal();
  return FALSE;
}

int CVeltraneServiceApp::ExitInstance() {
  if (mutex_ != nullptr) plat::CloseMutex(mutex_);
  mutex_ = nullptr;
  if (manager_ != nullptr) manager_->Close();
  manager_ = nullptr;
  VGSLib::uninitialize();
  return 0;
}
