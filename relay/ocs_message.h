// Messages exchanged with OCS client programs and the factory that makes them from a
// received frame header. Messages are shared by reference counting; whoever drops
// the last reference deletes the message.
#pragma once

#include "foundation/ref_counter.h"
#include "platform/types.h"
#include "serial/byte_block.h"
#include "serial/object_factory.h"
#include "serial/serializable.h"

// Class of every message on the OCS connection (the character 'f').
constexpr unsigned char OCS_MSG_CLASS = 102;
// Message ids.
constexpr unsigned short OCS_SID_OTHER = 1000;     // any id the relay does not know
constexpr unsigned short OCS_SID_DATA_REQ = 1001;  // OCS client -> relay
constexpr unsigned short OCS_SID_DATA_RES = 1002;  // relay -> OCS client

class CVgsMessage : public VGS_Serializable {
 public:
  // Holds one reference after construction.
  explicit CVgsMessage(unsigned short sid = OCS_SID_OTHER);
  CVgsMessage(const CVgsMessage&) = delete;
  CVgsMessage& operator=(const CVgsMessage&) = delete;
  ~CVgsMessage() override;

  long addref() { return refs_.increment(); }
  // Drops one reference; deletes the message on the last. Returns the references left.
  long release();

  // Completion key of the connection that delivered the message; 0 for our own.
  DWORD get_key() const { return key_; }
  void set_key(DWORD key) { key_ = key; }

  // No body: writes and reads nothing.
  int serialize(VGS_Archive&) const override { return 0; }
  int deserialize(VGS_Archive&) override { return 0; }
  void calc_size(VGS_Archive&) const override {}

 private:
  VGS_Reference_Counter_Global_Sync refs_;
  DWORD key_ = 0;
};

// A message whose body is exactly its payload bytes.
class COCSDataMessage : public CVgsMessage {
 public:
  VGS_Byte_Block& payload() { return payload_; }
  const VGS_Byte_Block& payload() const { return payload_; }

  int serialize(VGS_Archive& archive) const override;
  // Takes the whole body (the archive's body size) as the payload.
  int deserialize(VGS_Archive& archive) override;
  void calc_size(VGS_Archive& archive) const override;

 protected:
  explicit COCSDataMessage(unsigned short sid) : CVgsMessage(sid) {}

 private:
  VGS_Byte_Block payload_;
};

class COCSDataReq : public COCSDataMessage {
 public:
  COCSDataReq() : COCSDataMessage(OCS_SID_DATA_REQ) {}
};

class COCSDataRes : public COCSDataMessage {
 public:
  COCSDataRes() : COCSDataMessage(OCS_SID_DATA_RES) {}
};

class CVGSMsgFactory : public VGS_Object_Factory {
 public:
  // The relay's one factory.
  static const CVGSMsgFactory& instance();

  // Class 102 only: 1001 -> COCSDataReq, 1002 -> COCSDataRes, any other id -> a
  // CVgsMessage with id 1000. Null (VGS_ERR_PROTOCOL) for another class or when memory
  // runs out (code 8).
  VGS_Serializable* create_stream(unsigned short stype, unsigned short sid) const override;
  CVgsMessage* create_message(unsigned short stype, unsigned short sid) const;
};
