// VGS_Byte_Block: a handle to a run of heap bytes shared by reference counting.
// Copies share the bytes; each handle keeps its own offset. The last handle frees.
#pragma once

class VGS_Reference_Counter_Global_Sync;

class VGS_Byte_Block {
 public:
  VGS_Byte_Block() = default;
  // Allocates `size` bytes and copies them from `source` (zero-filled when null).
  // Throws VGS_Exception with the recorded code on failure.
  VGS_Byte_Block(unsigned int size, const void* source);
  // Adopts `data`, which must come from VGSLib::malloc; on failure (throws) the
  // caller keeps it.
  VGS_Byte_Block(void* data, unsigned int size);
  VGS_Byte_Block(const VGS_Byte_Block& other);
  virtual ~VGS_Byte_Block();

  const VGS_Byte_Block& operator=(const VGS_Byte_Block& other);

  int set(unsigned int size, const void* source);
  int set(void* data, unsigned int size);
  void reset();
  VGS_Byte_Block clone() const;

  bool is_null() const { return data_ == nullptr; }
  unsigned int size() const { return size_; }
  unsigned int offset() const { return offset_; }
  void offset(unsigned int position) { offset_ = position; }

  // No bounds check: callers keep positions within size().
  void* c_ptr(unsigned int position) const {
    return data_ == nullptr ? nullptr : data_ + position;
  }
  void* current() const { return c_ptr(offset_); }
  unsigned int current_size() const { return size_ - offset_; }

  operator void*() const { return data_; }

  // Identity of the shared bytes, not equality of contents.
  bool operator==(const VGS_Byte_Block& other) const {
    return counter_ == other.counter_ && data_ == other.data_ && size_ == other.size_;
  }
  bool operator!=(const VGS_Byte_Block& other) const { return !(*this == other); }

 private:
  void share(const VGS_Byte_Block& other);

  VGS_Reference_Counter_Global_Sync* counter_ = nullptr;
  unsigned char* data_ = nullptr;
  unsigned int size_ = 0;
  unsigned int offset_ = 0;
};
