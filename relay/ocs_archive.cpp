#include "relay/ocs_archive.h"

#include <cstring>

#include "foundation/exception.h"
#include "foundation/library.h"
#include "relay/ocs_message.h"

namespace {

const char kMagic[] = "ZERV";
constexpr unsigned int kMagicSize = 4;

[[noreturn]] void throw_code(unsigned long code) { VGS_Exception::ThrowException(code, nullptr); }
[[noreturn]] void throw_recorded() { throw_code(VGSLib::GetErrorCode()); }

}  // namespace

int COCSArchive::write_header(unsigned char* buffer, unsigned int size, unsigned short sid,
                              unsigned int body_length) {
  if (buffer == nullptr) {
    VGSLib::SetErrorCode(VGS_ERR_NULL_ARGUMENT);
    return -1;
  }
  if (size < OCS_HEADER_SIZE) {
    VGSLib::SetErrorCode(VGS_ERR_OUTPUT_OVERFLOW);
    return -1;
  }
  VGS_OutputCDR out(buffer, OCS_HEADER_SIZE);
  out.write(static_cast<std::uint8_t>(OCS_VERSION));
  out.write(kMagic, kMagicSize);
  out.write(static_cast<std::uint16_t>(sid));
  out.write(static_cast<std::uint32_t>(body_length));
  return static_cast<int>(OCS_HEADER_SIZE);
}

int COCSArchive::read_header(const unsigned char* buffer, unsigned int size, unsigned short& sid,
                             unsigned int& body_length) {
  if (buffer == nullptr) {
    VGSLib::SetErrorCode(VGS_ERR_NULL_ARGUMENT);
    return -1;
  }
  if (size < OCS_HEADER_SIZE) {
    VGSLib::SetErrorCode(VGS_ERR_INPUT_UNDERFLOW);
    return -1;
  }
  if (!same_magic(buffer + 1, kMagic)) {
    VGSLib::SetErrorCode(VGS_ERR_PROTOCOL);
    return -1;
  }
  VGS_InputCDR in(buffer + 1 + kMagicSize, OCS_HEADER_SIZE - 1 - kMagicSize);
  std::uint16_t id = 0;
  std::uint32_t length = 0;
  in.read(id);
  in.read(length);
  sid = id;
  body_length = length;
  return static_cast<int>(OCS_HEADER_SIZE);
}

int COCSArchive::write_frame(const CVgsMessage& message, VGS_Byte_Block& frame) {
  reset();
  length_ = OCS_HEADER_SIZE;
  message.calc_size(*this);
  const unsigned int total = length_;
  reset();
  try {
    if (total < OCS_HEADER_SIZE || total > MAX_FRAME_SIZE) throw_code(VGS_ERR_OUTPUT_OVERFLOW);
    VGS_Byte_Block block;
    if (block.set(total, nullptr) < 0) throw_recorded();
    auto* bytes = static_cast<unsigned char*>(block.c_ptr(0));
    output_.set(bytes + OCS_HEADER_SIZE, total - OCS_HEADER_SIZE);
    stype_ = message.get_stype();
    sid_ = message.get_sid();
    if (message.serialize(*this) < 0) throw_recorded();
    const unsigned int body_length = output_.set_size();
    if (write_header(bytes, OCS_HEADER_SIZE, sid_, body_length) < 0) throw_recorded();
    if (OCS_HEADER_SIZE + body_length != total) throw_code(VGS_ERR_OUTPUT_OVERFLOW);
    reset();
    frame = block;
  } catch (const VGS_Exception& e) {
    reset();
    VGSLib::SetErrorCode(e.GetErrorCode());
    return -1;
  }
  return static_cast<int>(total);
}

int COCSArchive::read_ocs_header(const unsigned char* header, Frame_Header& fields) {
  unsigned short sid = 0;
  unsigned int body_length = 0;
  // The body's size is checked against the archive's max_body() by the caller.
  if (read_header(header, OCS_HEADER_SIZE, sid, body_length) < 0) return -1;
  fields.ver = header[0];
  fields.stype = OCS_MSG_CLASS;
  fields.sid = sid;
  fields.bodysize = body_length;
  fields.elements = 0;
  return static_cast<int>(OCS_HEADER_SIZE);
}

int COCSArchive::read_frame(const void* data, unsigned int length, CVgsMessage*& message) {
  VGS_Serializable* object = nullptr;
  const int result = gather_frame(data, length, OCS_HEADER_SIZE, &COCSArchive::read_ocs_header,
                                  max_body_, CVGSMsgFactory::instance(), object);
  // The relay's factory makes only CVgsMessage objects.
  message = static_cast<CVgsMessage*>(object);
  return result;
}
