// Memory allocators behind one interface, each a process-wide singleton owned by the
// library context.
#pragma once

#include <atomic>

class VGS_Allocator {
 public:
  VGS_Allocator() = default;
  VGS_Allocator(const VGS_Allocator&) = default;
  VGS_Allocator& operator=(const VGS_Allocator&) = default;
  virtual ~VGS_Allocator();

  // A size of 0 records VGS_ERR_ZERO_SIZE and gives null.
  virtual void* malloc(unsigned int size, bool zero) = 0;
  virtual void* realloc(void* block, unsigned int size) = 0;
  // Null is ignored.
  virtual void free(void* block) = 0;
};

// The C heap.
class VGS_Std_Allocator : public VGS_Allocator {
 public:
  static VGS_Std_Allocator* instance();

  void* malloc(unsigned int size, bool zero) override;
  void* realloc(void* block, unsigned int size) override;
  void free(void* block) override;

 private:
  static std::atomic<VGS_Std_Allocator*> instance_;
};

// Whole committed pages (always zero-filled).
class VGS_Virtual_Allocator : public VGS_Allocator {
 public:
  static VGS_Virtual_Allocator* instance();

  void* malloc(unsigned int size, bool zero) override;
  // Returns the block itself while its region still holds `size` bytes.
  void* realloc(void* block, unsigned int size) override;
  void free(void* block) override;

 private:
  static std::atomic<VGS_Virtual_Allocator*> instance_;
};

// Movable global memory, kept locked while handed out.
class VGS_Global_Allocator : public VGS_Allocator {
 public:
  static VGS_Global_Allocator* instance();

  void* malloc(unsigned int size, bool zero) override;
  void* realloc(void* block, unsigned int size) override;
  void free(void* block) override;

 private:
  static std::atomic<VGS_Global_Allocator*> instance_;
};
