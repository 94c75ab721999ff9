// VGS_Exception: the library's one exception type, an error code and its message.
#pragma once

class VGS_Exception {
 public:
  static constexpr unsigned int kMessageSize = 512;

  VGS_Exception(unsigned long code, const char* message);
  VGS_Exception(const VGS_Exception& other);
  VGS_Exception& operator=(const VGS_Exception& other);
  virtual ~VGS_Exception();

  unsigned long GetErrorCode() const { return code_; }
  const char* GetErrorMsg() const { return message_; }

  [[noreturn]] static void ThrowException(unsigned long code, const char* message);

 private:
  char message_[kMessageSize];
  unsigned long code_;
};
