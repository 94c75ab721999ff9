#include "serial/archive.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "foundation/exception.h"
#include "foundation/file_util.h"
#include "foundation/library.h"
#include "platform/types.h"
#include "serial/object_factory.h"
#include "serial/serializable.h"

namespace {

const char kMagic[] = "VGSS";
constexpr unsigned int kMagicSize = 4;
constexpr unsigned int kFilePiece = 4096;
constexpr unsigned int kFirstBodyCapacity = 4096;

unsigned char ascii_upper(unsigned char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<unsigned char>(c - 'a' + 'A') : c;
}

[[noreturn]] void throw_code(unsigned long code) { VGS_Exception::ThrowException(code, nullptr); }
[[noreturn]] void throw_recorded() { throw_code(VGSLib::GetErrorCode()); }

}  // namespace

VGS_Archive::~VGS_Archive() { reset(); }

void VGS_Archive::reset() {
  ver_ = 0;
  stype_ = 0;
  sid_ = 0;
  bodysize_ = 0;
  length_ = 0;
  elements_ = 0;
  received_ = 0;
  std::memset(header_, 0, sizeof(header_));
  output_.reset();
  input_.reset();
  if (body_ != nullptr) VGSLib::free(body_);
  body_ = nullptr;
  body_capacity_ = 0;
}

// ---- value operators ----

VGS_Archive& VGS_Archive::operator<<(const VGS_Byte_Block& block) {
  output_ << block;
  return *this;
}
VGS_Archive& VGS_Archive::operator<<(const char* text) {
  output_ << text;
  return *this;
}
VGS_Archive& VGS_Archive::operator<<(const std::string& text) {
  output_ << text;
  return *this;
}
VGS_Archive& VGS_Archive::operator<<(const char16_t* text) {
  output_ << text;
  return *this;
}
VGS_Archive& VGS_Archive::operator<<(const std::u16string& text) {
  output_ << text;
  return *this;
}
VGS_Archive& VGS_Archive::operator>>(VGS_Byte_Block& block) {
  input_ >> block;
  return *this;
}
VGS_Archive& VGS_Archive::operator+=(const VGS_Byte_Block& block) {
  length_ += VGS_CDR::size_of(block);
  return *this;
}
VGS_Archive& VGS_Archive::operator+=(const char* text) {
  length_ += VGS_CDR::size_of(text);
  return *this;
}
VGS_Archive& VGS_Archive::operator+=(const std::string& text) {
  length_ += VGS_CDR::size_of(text);
  return *this;
}

VGS_Archive& VGS_Archive::operator+=(const char16_t* text) {
  length_ += VGS_CDR::size_of(text);
  return *this;
}
VGS_Archive& VGS_Archive::operator+=(const std::u16string& text) {
  length_ += VGS_CDR::size_of(text);
  return *this;
}

// ---- header ----

int VGS_Archive::build_header(unsigned char* buffer, unsigned int size, unsigned char ver,
                              unsigned char stype, unsigned short sid, unsigned long bodysize,
                              unsigned long elements) {
  if (buffer == nullptr) {
    VGSLib::SetErrorCode(VGS_ERR_NULL_ARGUMENT);
    return -1;
  }
  if (size < HEADER_FIELDS) {
    VGSLib::SetErrorCode(VGS_ERR_OUTPUT_OVERFLOW);
    return -1;
  }
  VGS_OutputCDR out(buffer, size);
  out.write(kMagic, kMagicSize);
  out.write(static_cast<std::uint8_t>(ver));
  out.write(static_cast<std::uint8_t>(stype));
  out.write(static_cast<std::uint16_t>(sid));
  out.write(static_cast<std::uint32_t>(bodysize));
  out.write(static_cast<std::uint32_t>(elements));
  return static_cast<int>(HEADER_FIELDS);
}

bool VGS_Archive::same_magic(const unsigned char* bytes, const char* magic) {
  for (unsigned int i = 0; i < 4; ++i) {
    if (ascii_upper(bytes[i]) != static_cast<unsigned char>(magic[i])) return false;
  }
  return true;
}

int VGS_Archive::read_vgss_header(const unsigned char* header, Frame_Header& fields) {
  if (!same_magic(header, kMagic)) {
    VGSLib::SetErrorCode(VGS_ERR_PROTOCOL);
    return -1;
  }
  VGS_InputCDR in(header + kMagicSize, HEADER_FIELDS - kMagicSize);
  std::uint8_t ver = 0, stype = 0;
  std::uint16_t sid = 0;
  std::uint32_t bodysize = 0, elements = 0;
  in.read(ver);
  in.read(stype);
  in.read(sid);
  in.read(bodysize);
  in.read(elements);
  fields.ver = ver;
  fields.stype = stype;
  fields.sid = sid;
  fields.bodysize = bodysize;
  fields.elements = elements;
  return static_cast<int>(HEADER_FIELDS);
}

int VGS_Archive::parse_header(const unsigned char* buffer, unsigned int size) {
  if (buffer == nullptr) {
    VGSLib::SetErrorCode(VGS_ERR_NULL_ARGUMENT);
    return -1;
  }
  if (size < HEADER_FIELDS) {
    VGSLib::SetErrorCode(VGS_ERR_INPUT_UNDERFLOW);
    return -1;
  }
  Frame_Header fields;
  if (read_vgss_header(buffer, fields) < 0) return -1;
  ver_ = fields.ver;
  stype_ = fields.stype;
  sid_ = fields.sid;
  bodysize_ = fields.bodysize;
  elements_ = fields.elements;
  return static_cast<int>(HEADER_FIELDS);
}

// ---- encoding ----

int VGS_Archive::serialize(void* buffer, unsigned int size, const VGS_Serializable& object) {
  reset();
  length_ = size;
  if (buffer == nullptr) {
    VGSLib::SetErrorCode(VGS_ERR_NULL_ARGUMENT);
    return -1;
  }
  if (size < HEADER_SIZE) {
    VGSLib::SetErrorCode(VGS_ERR_OUTPUT_OVERFLOW);
    return -1;
  }
  auto* frame = static_cast<unsigned char*>(buffer);
  const unsigned int body_room = std::min(size, MAX_FRAME_SIZE) - HEADER_SIZE;
  output_.set(frame + HEADER_SIZE, body_room);
  ver_ = 0;
  stype_ = object.get_stype();
  sid_ = object.get_sid();
  try {
    if (object.serialize(*this) < 0) throw_recorded();
    bodysize_ = output_.set_size();
    elements_ = output_.elements();
    if (build_header(frame, HEADER_SIZE, ver_, stype_, sid_, bodysize_, elements_) < 0) {
      throw_code(VGS_ERR_OUTPUT_OVERFLOW);
    }
    std::memset(frame + HEADER_FIELDS, 0, HEADER_SIZE - HEADER_FIELDS);
  } catch (const VGS_Exception& e) {
    VGSLib::SetErrorCode(e.GetErrorCode());
    return -1;
  }
  return static_cast<int>(HEADER_SIZE + bodysize_);
}

int VGS_Archive::serialize(VGS_Byte_Block& block, const VGS_Serializable& object) {
  reset();
  length_ = HEADER_SIZE;
  object.calc_size(*this);
  const unsigned int total = length_;
  if (total < HEADER_SIZE || total > MAX_FRAME_SIZE) {  // the size sum wrapped or is too big
    reset();
    VGSLib::SetErrorCode(VGS_ERR_OUTPUT_OVERFLOW);
    return -1;
  }
  VGS_Byte_Block frame;
  if (frame.set(total, nullptr) < 0) {
    reset();
    return -1;
  }
  const int result = serialize(frame.c_ptr(0), total, object);
  if (result < 0) return result;
  if (static_cast<unsigned int>(result) != total) {
    reset();
    VGSLib::SetErrorCode(VGS_ERR_OUTPUT_OVERFLOW);
    return -1;
  }
  block = frame;
  return result;
}

int VGS_Archive::serialize(void* file, const VGS_Serializable& object) {
  VGS_Byte_Block frame;
  const int result = serialize(frame, object);
  if (result < 0) return result;
  return VGSLib::write_n(file, frame.c_ptr(0), frame.size());
}

// ---- decoding ----

void VGS_Archive::store_body(const void* bytes, unsigned int n, unsigned int at) {
  if (n == 0) return;
  const unsigned int need = at + n;
  if (need > body_capacity_) {
    const unsigned int doubled = body_capacity_ > bodysize_ / 2 ? bodysize_ : body_capacity_ * 2;
    const unsigned int capacity =
        std::max(need, std::min(bodysize_, std::max(doubled, kFirstBodyCapacity)));
    void* grown =
        body_ == nullptr ? VGSLib::malloc(capacity, false) : VGSLib::realloc(body_, capacity);
    if (grown == nullptr) throw_recorded();
    body_ = static_cast<unsigned char*>(grown);
    body_capacity_ = capacity;
  }
  std::memcpy(body_ + at, bytes, n);
}

VGS_Serializable* VGS_Archive::decode_body(const VGS_Object_Factory& factory) {
  VGS_Serializable* object = nullptr;
  try {
    object = factory.create_stream(stype_, sid_);
    if (object == nullptr) throw_code(VGS_ERR_PROTOCOL);
    input_.initlookup();
    if (object->deserialize(*this) < 0) throw_recorded();
  } catch (...) {
    delete object;
    throw;
  }
  return object;
}

int VGS_Archive::gather_frame(const void* data, unsigned int length, unsigned int header_size,
                              Header_Reader read_header, unsigned int max_body,
                              const VGS_Object_Factory& factory, VGS_Serializable*& object) {
  object = nullptr;
  if (data == nullptr && length != 0) {
    reset();
    VGSLib::SetErrorCode(VGS_ERR_NULL_ARGUMENT);
    return -1;
  }
  const auto* bytes = static_cast<const unsigned char*>(data);
  unsigned int taken = 0;
  try {
    if (received_ < header_size) {
      taken = std::min(header_size - received_, length);
      if (taken != 0) std::memcpy(header_ + received_, bytes, taken);
      received_ += taken;
      if (received_ < header_size) return 0;
      Frame_Header fields;
      if (read_header(header_, fields) < 0) throw_recorded();
      if (fields.bodysize > max_body) throw_code(WSAEMSGSIZE);
      if (fields.bodysize > MAX_FRAME_SIZE - header_size) throw_code(VGS_ERR_PROTOCOL);
      ver_ = fields.ver;
      stype_ = fields.stype;
      sid_ = fields.sid;
      bodysize_ = fields.bodysize;
      elements_ = fields.elements;
    }
    const unsigned int buffered = received_ - header_size;
    const unsigned int missing = bodysize_ - buffered;
    const unsigned int left = length - taken;
    if (buffered == 0 && left >= missing) {
      // The whole body lies in this call's data: decode it in place, without a copy.
      input_.set(bytes + taken, missing);
      taken += missing;
      received_ += missing;
    } else {
      const unsigned int n = std::min(left, missing);
      store_body(bytes + taken, n, buffered);
      taken += n;
      received_ += n;
      if (n < missing) return 0;
      input_.set(body_, bodysize_);
    }
    object = decode_body(factory);
  } catch (const VGS_Exception& e) {
    reset();
    VGSLib::SetErrorCode(e.GetErrorCode());
    return -1;
  } catch (const std::bad_alloc&) {
    reset();
    VGSLib::SetErrorCode(ERROR_NOT_ENOUGH_MEMORY);
    return -1;
  }
  reset();
  return static_cast<int>(taken);
}

int VGS_Archive::deserialize(const void* data, unsigned int length,
                             const VGS_Object_Factory& factory, VGS_Serializable*& object) {
  return gather_frame(data, length, HEADER_SIZE, &VGS_Archive::read_vgss_header,
                      MAX_FRAME_SIZE - HEADER_SIZE, factory, object);
}

int VGS_Archive::deserialize(const VGS_Byte_Block& block, const VGS_Object_Factory& factory,
                             VGS_Serializable*& object) {
  return deserialize(block.c_ptr(0), block.size(), factory, object);
}

int VGS_Archive::deserialize(void* file, const VGS_Object_Factory& factory,
                             VGS_Serializable*& object) {
  object = nullptr;
  reset();
  unsigned char header[HEADER_SIZE];
  int result = VGSLib::read_n(file, header, HEADER_SIZE);
  if (result < 1) return result;
  if (static_cast<unsigned int>(result) < HEADER_SIZE) {
    VGSLib::SetErrorCode(VGS_ERR_INPUT_UNDERFLOW);
    return -1;
  }
  result = deserialize(header, HEADER_SIZE, factory, object);
  if (result < 0) return result;
  if (object != nullptr) return static_cast<int>(HEADER_SIZE);

  unsigned int total = HEADER_SIZE;
  unsigned char piece[kFilePiece];
  while (object == nullptr) {
    const unsigned int missing = bodysize_ - (received_ - HEADER_SIZE);
    const unsigned int want = std::min(missing, kFilePiece);
    result = VGSLib::read_n(file, piece, want);
    if (result < 1) {
      reset();
      return result;
    }
    if (static_cast<unsigned int>(result) < want) {
      reset();
      VGSLib::SetErrorCode(VGS_ERR_INPUT_UNDERFLOW);
      return -1;
    }
    total += want;
    if (deserialize(piece, want, factory, object) < 0) return -1;
  }
  return static_cast<int>(total);
}

// ---- VGS_Serializable::clone ----

VGS_Serializable* VGS_Serializable::clone(const VGS_Object_Factory& factory) const {
  VGS_Archive archive;
  VGS_Byte_Block frame;
  if (archive.serialize(frame, *this) < 0) return nullptr;
  VGS_Serializable* copy = nullptr;
  if (archive.deserialize(frame, factory, copy) < 0) return nullptr;
  return copy;
}
