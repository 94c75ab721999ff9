// VGS_Version: the file and product version numbers of an executable file.
#pragma once

#include <string>

class VGS_Version {
 public:
  VGS_Version();
  // extract(path); throws VGS_Exception with the recorded code when that fails.
  explicit VGS_Version(const char* path);
  VGS_Version(const VGS_Version& other) = default;
  VGS_Version& operator=(const VGS_Version& other) = default;
  virtual ~VGS_Version();

  // 1 on success (a file without version information gives 0.0.0.0), 0 on failure.
  int extract(const char* path);

  unsigned long fileVerHigh() const { return file_high_; }
  unsigned long fileVerLow() const { return file_low_; }
  unsigned long productVerHigh() const { return product_high_; }
  unsigned long productVerLow() const { return product_low_; }

  std::string fileVerStr();
  std::string productVerStr();

 private:
  static std::string Format(unsigned int high, unsigned int low);

  unsigned int file_high_;
  unsigned int file_low_;
  unsigned int product_high_;
  unsigned int product_low_;
};
