#include "serial/object_factory.h"

#include "foundation/library.h"

VGS_Object_Factory::~VGS_Object_Factory() = default;

VGS_Serializable* VGS_Object_Factory::create_stream(unsigned short, unsigned short) const {
  VGSLib::SetErrorCode(VGS_ERR_NOT_IMPLEMENTED);
  return nullptr;
}
