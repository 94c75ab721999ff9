// VGS_Object_Factory: makes empty serialisable objects for a received type and identifier.
#pragma once

class VGS_Serializable;

class VGS_Object_Factory {
 public:
  VGS_Object_Factory() = default;
  VGS_Object_Factory(const VGS_Object_Factory&) = default;
  VGS_Object_Factory& operator=(const VGS_Object_Factory&) = default;
  virtual ~VGS_Object_Factory();

  // A new empty object owned by the caller, or null. The base records
  // VGS_ERR_NOT_IMPLEMENTED and returns null.
  virtual VGS_Serializable* create_stream(unsigned short stype, unsigned short sid) const;
};
