// VGS_Ref_Counted: addref and release of a handler interface over one of the library's
// reference counters; the reactor's and the proactor's handler bases share it.
#pragma once

// RC is VGS_Reference_Counter, VGS_Reference_Counter_Sync or
// VGS_Reference_Counter_Global_Sync; BASE declares addref and release. A new object has
// count 1, owned by its creator, and deletes itself when release reaches 0.
template <class RC, class BASE>
class VGS_Ref_Counted : public BASE {
 public:
  VGS_Ref_Counted() { counter_.increment(); }

  VGS_Ref_Counted(const VGS_Ref_Counted&) = delete;
  VGS_Ref_Counted& operator=(const VGS_Ref_Counted&) = delete;

  int addref() override { return static_cast<int>(counter_.increment()); }
  int release() override {
    const int count = static_cast<int>(counter_.decrement());
    if (count <= 0) delete this;
    return count;
  }

 private:
  RC counter_;
};
