#include "relay/ocs_message.h"

#include <new>

#include "foundation/library.h"
#include "serial/archive.h"

CVgsMessage::CVgsMessage(unsigned short sid) : VGS_Serializable(OCS_MSG_CLASS, sid) {
  refs_.increment();
}

CVgsMessage::~CVgsMessage() = default;

long CVgsMessage::release() {
  const long left = refs_.decrement();
  if (left < 1) delete this;
  return left;
}

int COCSDataMessage::serialize(VGS_Archive& archive) const {
  archive << payload_;
  return 0;
}

int COCSDataMessage::deserialize(VGS_Archive& archive) {
  archive.read_block(payload_, static_cast<unsigned int>(archive.get_bodysize()));
  return 0;
}

void COCSDataMessage::calc_size(VGS_Archive& archive) const { archive += payload_; }

const CVGSMsgFactory& CVGSMsgFactory::instance() {
  static const CVGSMsgFactory factory;
  return factory;
}

VGS_Serializable* CVGSMsgFactory::create_stream(unsigned short stype, unsigned short sid) const {
  return create_message(stype, sid);
}

CVgsMessage* CVGSMsgFactory::create_message(unsigned short stype, unsigned short sid) const {
  if (stype != OCS_MSG_CLASS) {
    VGSLib::SetErrorCode(VGS_ERR_PROTOCOL);
    return nullptr;
  }
  CVgsMessage* message = nullptr;
  switch (sid) {
    case OCS_SID_DATA_REQ: message = new (std::nothrow) COCSDataReq(); break;
    case OCS_SID_DATA_RES: message = new (std::nothrow) COCSDataRes(); break;
    default: message = new (std::nothrow) CVgsMessage(OCS_SID_OTHER); break;
  }
  if (message == nullptr) VGSLib::SetErrorCode(ERROR_NOT_ENOUGH_MEMORY);
  return message;
}
