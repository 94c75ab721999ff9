// VGS_Serializable: an object that knows its type and identifier, the size of its
// encoding, and how to write itself into and read itself out of an archive.
#pragma once

#include <cstdint>

class VGS_Archive;
class VGS_Object_Factory;

class VGS_Serializable {
 public:
  VGS_Serializable() = default;
  VGS_Serializable(unsigned char stype, unsigned short sid) : stype_(stype), sid_(sid) {}
  virtual ~VGS_Serializable() = default;

  // Writes the body with the archive's << operators; negative on failure.
  virtual int serialize(VGS_Archive&) const { return 0; }
  // Reads the body with the archive's >> operators; negative on failure.
  virtual int deserialize(VGS_Archive&) { return 0; }
  // Adds the encoded size of every body value with the archive's += operators.
  virtual void calc_size(VGS_Archive&) const {}

  unsigned char get_stype() const { return stype_; }
  unsigned short get_sid() const { return sid_; }

  // Encodes this object and decodes it again through `factory`. The caller owns the
  // result; null on any failure (error code recorded).
  VGS_Serializable* clone(const VGS_Object_Factory& factory) const;

 private:
  std::uint8_t stype_ = 0;
  std::uint16_t sid_ = 0;
};
