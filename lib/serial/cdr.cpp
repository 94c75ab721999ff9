#include "serial/cdr.h"

#include "foundation/exception.h"
#include "foundation/library.h"
#include "foundation/str_conv.h"
#include "serial/byte_block.h"

// Constant-initialised from the compiler's view of the host; check_endian() confirms
// it when the library is loaded.
int VGS_CDR::little_endian_ = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? 1 : 0;

namespace {
[[maybe_unused]] const int kEndianChecked = VGS_CDR::check_endian();

int not_implemented() {
  VGSLib::SetErrorCode(VGS_ERR_NOT_IMPLEMENTED);
  return -1;
}

// Host value -> big-endian bytes.
void store(unsigned char* p, std::uint8_t v) { *p = v; }
void store(unsigned char* p, std::uint16_t v) {
  v = VGS_CDR::swap16(v);
  std::memcpy(p, &v, 2);
}
void store(unsigned char* p, std::uint32_t v) {
  v = VGS_CDR::swap32(v);
  std::memcpy(p, &v, 4);
}
void store(unsigned char* p, std::uint64_t v) {
  v = VGS_CDR::swap64(v);
  std::memcpy(p, &v, 8);
}
void store(unsigned char* p, float v) {
  std::uint32_t bits;
  std::memcpy(&bits, &v, 4);
  store(p, bits);
}
void store(unsigned char* p, double v) {
  std::uint64_t bits;
  std::memcpy(&bits, &v, 8);
  store(p, bits);
}
}  // namespace

// ---- VGS_CDR ----

VGS_CDR::~VGS_CDR() = default;

int VGS_CDR::write(const void*, unsigned int) { return not_implemented(); }
int VGS_CDR::write(double) { return not_implemented(); }
int VGS_CDR::write(float) { return not_implemented(); }
int VGS_CDR::write(std::uint64_t) { return not_implemented(); }
int VGS_CDR::write(std::uint32_t) { return not_implemented(); }
int VGS_CDR::write(std::uint16_t) { return not_implemented(); }
int VGS_CDR::write(std::uint8_t) { return not_implemented(); }
int VGS_CDR::read(void*, unsigned int) { return not_implemented(); }
int VGS_CDR::read(double&) { return not_implemented(); }
int VGS_CDR::read(float&) { return not_implemented(); }
int VGS_CDR::read(std::uint64_t&) { return not_implemented(); }
int VGS_CDR::read(std::uint32_t&) { return not_implemented(); }
int VGS_CDR::read(std::uint16_t&) { return not_implemented(); }
int VGS_CDR::read(std::uint8_t&) { return not_implemented(); }
int VGS_CDR::offset() const { return not_implemented(); }
int VGS_CDR::move(unsigned int) { return not_implemented(); }

int VGS_CDR::check_endian() {
  const std::uint32_t one = 1;
  unsigned char lowest;
  std::memcpy(&lowest, &one, 1);
  little_endian_ = lowest == 1 ? 1 : 0;
  return little_endian_;
}

float VGS_CDR::swapflt(float v) {
  std::uint32_t bits;
  std::memcpy(&bits, &v, 4);
  bits = swap32(bits);
  std::memcpy(&v, &bits, 4);
  return v;
}

double VGS_CDR::swapdbl(double v) {
  std::uint64_t bits;
  std::memcpy(&bits, &v, 8);
  bits = swap64(bits);
  std::memcpy(&v, &bits, 8);
  return v;
}

unsigned int VGS_CDR::size_of(const VGS_Byte_Block& block) { return block.size(); }

unsigned int VGS_CDR::size_of(const char16_t* text) {
  if (text == nullptr) return 0;
  VGS_Str_Conv narrow;
  return size_of(narrow.convert_to_char(text));
}

unsigned int VGS_CDR::fixed_length(unsigned char type) {
  switch (type) {
    case TYPE_BYTE: return 1;
    case TYPE_SHORT: return 2;
    case TYPE_LONG: return 4;
    case TYPE_INT64: return 8;
    case TYPE_FLOAT: return 4;
    case TYPE_DOUBLE: return 8;
    default: return 0;
  }
}

// ---- VGS_OutputCDR ----

void VGS_OutputCDR::set(void* buffer, unsigned int capacity) {
  buffer_ = static_cast<unsigned char*>(buffer);
  capacity_ = buffer == nullptr ? 0u : capacity;
  position_ = 0;
  set_size_ = 0;
  elements_ = 0;
}

int VGS_OutputCDR::put(const void* bytes, unsigned int n) {
  if (n == 0) return 0;
  if (buffer_ == nullptr || bytes == nullptr) {
    VGSLib::SetErrorCode(VGS_ERR_NULL_ARGUMENT);
    return -1;
  }
  if (room() < n) {
    VGSLib::SetErrorCode(VGS_ERR_OUTPUT_OVERFLOW);
    return -1;
  }
  std::memcpy(buffer_ + position_, bytes, n);
  position_ += n;
  if (position_ > set_size_) set_size_ = position_;
  return static_cast<int>(n);
}

int VGS_OutputCDR::write(const void* data, unsigned int length) { return put(data, length); }

template <class T>
static int write_value(VGS_OutputCDR& out, T value) {
  unsigned char bytes[sizeof(T)];
  store(bytes, value);
  return out.write(static_cast<const void*>(bytes), static_cast<unsigned int>(sizeof(T)));
}

int VGS_OutputCDR::write(double value) { return write_value(*this, value); }
int VGS_OutputCDR::write(float value) { return write_value(*this, value); }
int VGS_OutputCDR::write(std::uint64_t value) { return write_value(*this, value); }
int VGS_OutputCDR::write(std::uint32_t value) { return write_value(*this, value); }
int VGS_OutputCDR::write(std::uint16_t value) { return write_value(*this, value); }
int VGS_OutputCDR::write(std::uint8_t value) { return write_value(*this, value); }

int VGS_OutputCDR::move(unsigned int position) {
  if (position > capacity_) {
    VGSLib::SetErrorCode(VGS_ERR_OUTPUT_OVERFLOW);
    return -1;
  }
  position_ = position;
  if (position_ > set_size_) set_size_ = position_;
  return static_cast<int>(position_);
}

bool VGS_OutputCDR::check_room(unsigned int need) const {
  if (buffer_ == nullptr || capacity_ == 0) {
    VGSLib::SetErrorCode(VGS_ERR_NULL_ARGUMENT);
    return false;
  }
  if (room() < need) {
    VGSLib::SetErrorCode(VGS_ERR_OUTPUT_OVERFLOW);
    return false;
  }
  return true;
}

int VGS_OutputCDR::set_value(unsigned int, const void* data, unsigned int length) {
  if (!check_room(length)) return -1;
  return counted(write(data, length));
}

int VGS_OutputCDR::set_value(unsigned int element, const VGS_Byte_Block& block) {
  return set_value(element, block.c_ptr(0), block.size());
}

int VGS_OutputCDR::set_value(unsigned int element, const char* text) {
  return set_value(element, static_cast<const void*>(text), size_of(text));
}

int VGS_OutputCDR::set_value(unsigned int element, const std::string& text) {
  return set_value(element, static_cast<const void*>(text.data()), size_of(text));
}

int VGS_OutputCDR::set_value(unsigned int element, const char16_t* text) {
  if (text == nullptr) return set_value(element, static_cast<const char*>(nullptr));
  VGS_Str_Conv narrow;
  const char* converted = narrow.convert_to_char(text);
  if (converted == nullptr) return -1;
  return set_value(element, converted);
}

// ---- VGS_InputCDR ----

void VGS_InputCDR::set(const void* data, unsigned int size) {
  data_ = static_cast<const unsigned char*>(data);
  size_ = data == nullptr ? 0u : size;
  position_ = 0;
}

int VGS_InputCDR::take(void* bytes, unsigned int n) {
  if (n == 0) return 0;
  if (bytes == nullptr) {
    VGSLib::SetErrorCode(VGS_ERR_NULL_ARGUMENT);
    return -1;
  }
  if (remaining() < n) {
    VGSLib::SetErrorCode(VGS_ERR_INPUT_UNDERFLOW);
    return -1;
  }
  std::memcpy(bytes, data_ + position_, n);
  position_ += n;
  return static_cast<int>(n);
}

int VGS_InputCDR::read(void* data, unsigned int length) { return take(data, length); }

template <class T>
static int read_value(VGS_InputCDR& in, T& value) {
  unsigned char bytes[sizeof(T)];
  const int result = in.read(static_cast<void*>(bytes), static_cast<unsigned int>(sizeof(T)));
  if (result >= 0) vgs_cdr_detail::load(bytes, value);
  return result;
}

int VGS_InputCDR::read(double& value) { return read_value(*this, value); }
int VGS_InputCDR::read(float& value) { return read_value(*this, value); }
int VGS_InputCDR::read(std::uint64_t& value) { return read_value(*this, value); }
int VGS_InputCDR::read(std::uint32_t& value) { return read_value(*this, value); }
int VGS_InputCDR::read(std::uint16_t& value) { return read_value(*this, value); }
int VGS_InputCDR::read(std::uint8_t& value) { return read_value(*this, value); }

int VGS_InputCDR::move(unsigned int position) {
  if (position > size_) {
    VGSLib::SetErrorCode(VGS_ERR_INPUT_UNDERFLOW);
    return -1;
  }
  position_ = position;
  return static_cast<int>(position_);
}

int VGS_InputCDR::lookup(unsigned int& element, unsigned char& type, unsigned int& length,
                         const void*& data) {
  if (data_ == nullptr || size_ == 0) {
    VGS_Exception::ThrowException(VGS_ERR_NULL_ARGUMENT, nullptr);
  }
  element = 0;
  const unsigned int fixed = fixed_length(type);
  if (fixed != 0) {
    if (length != fixed) {
      VGSLib::SetErrorCode(VGS_ERR_ELEMENT_LENGTH);
      return -1;
    }
    if (remaining() < length) {
      VGSLib::SetErrorCode(VGS_ERR_INPUT_UNDERFLOW);
      return -1;
    }
  } else if (length > remaining()) {
    VGSLib::SetErrorCode(VGS_ERR_ELEMENT_LENGTH);
    return -1;
  } else if (type == TYPE_BITFIELD) {
    if (length < 4) {
      VGSLib::SetErrorCode(VGS_ERR_ELEMENT_LENGTH);
      return -1;
    }
    std::uint32_t bits;
    vgs_cdr_detail::load(data_ + position_, bits);
    if ((static_cast<std::uint64_t>(bits) + 7) / 8 != length - 4) {
      VGSLib::SetErrorCode(VGS_ERR_ELEMENT_LENGTH);
      return -1;
    }
  }
  data = data_ + position_;
  position_ += length;
  return static_cast<int>(length);
}

int VGS_InputCDR::read_text(std::string& text, unsigned int length) {
  if (remaining() < length) {
    VGSLib::SetErrorCode(VGS_ERR_INPUT_UNDERFLOW);
    return -1;
  }
  text.assign(reinterpret_cast<const char*>(data_ + position_), length);
  position_ += length;
  return static_cast<int>(length);
}

// ---- operators ----

void vgs_cdr_detail::throw_recorded() {
  VGS_Exception::ThrowException(VGSLib::GetErrorCode(), nullptr);
}

VGS_OutputCDR& operator<<(VGS_OutputCDR& out, const VGS_Byte_Block& block) {
  if (out.set_value(out.elements(), block) < 0) vgs_cdr_detail::throw_recorded();
  return out;
}

VGS_OutputCDR& operator<<(VGS_OutputCDR& out, const char* text) {
  if (out.set_value(out.elements(), text) < 0) vgs_cdr_detail::throw_recorded();
  return out;
}

VGS_OutputCDR& operator<<(VGS_OutputCDR& out, const std::string& text) {
  if (out.set_value(out.elements(), text) < 0) vgs_cdr_detail::throw_recorded();
  return out;
}

void read_block(VGS_InputCDR& in, VGS_Byte_Block& block, unsigned int length) {
  unsigned int element = 0;
  unsigned char type = VGS_CDR::TYPE_BLOCK;
  const void* data = nullptr;
  if (in.lookup(element, type, length, data) < 0) vgs_cdr_detail::throw_recorded();
  if (block.set(length, data) < 0) vgs_cdr_detail::throw_recorded();
}

VGS_InputCDR& operator>>(VGS_InputCDR& in, VGS_Byte_Block& block) {
  read_block(in, block, block.size());
  return in;
}

VGS_OutputCDR& operator<<(VGS_OutputCDR& out, const char16_t* text) {
  if (out.set_value(out.elements(), text) < 0) vgs_cdr_detail::throw_recorded();
  return out;
}

VGS_OutputCDR& operator<<(VGS_OutputCDR& out, const std::u16string& text) {
  if (out.set_value(out.elements(), text) < 0) vgs_cdr_detail::throw_recorded();
  return out;
}
