#include "foundation/singleton.h"

VGS_List<VGS_SingleInstance*>* VGS_SingleInstance::instance_set_ = nullptr;
VGS_Thread_Mutex VGS_SingleInstance::instance_lock_;

VGS_SingleInstance::~VGS_SingleInstance() = default;

int VGS_SingleInstance::add_instance(VGS_SingleInstance* instance) {
  VGS_Guard guard(instance_lock_);
  if (instance_set_ == nullptr) {
    instance_set_ = new (std::nothrow) VGS_List<VGS_SingleInstance*>();
    if (instance_set_ == nullptr) {
      VGSLib::SetErrorCode(8);
      return -1;
    }
  }
  instance_set_->append(instance);
  return 0;
}

void VGS_SingleInstance::release_all_instance() {
  VGS_List<VGS_SingleInstance*>* set;
  {
    VGS_Guard guard(instance_lock_);
    set = instance_set_;
    instance_set_ = nullptr;
  }
  if (set == nullptr) return;
  // Outside the lock: a destructor may use (and register) other single instances, which
  // then go into a new registry.
  for (auto it = set->rbegin(); it != set->end(); --it) delete *it;
  delete set;
}
