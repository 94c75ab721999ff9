// CDR value streams: big-endian, unaligned, tag-less encodings of typed values into
// and out of caller-supplied buffers. Every operation checks bounds; the streams never
// own their buffers.
//
// Integers are encoded by width: 8-, 16-, 32- and 64-bit values take 1, 2, 4 and 8
// bytes. The 4-byte integer of the wire is DWORD (std::uint32_t); a 64-bit `long`
// encodes as 8 bytes and is never truncated.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>

class VGS_Byte_Block;

namespace vgs_cdr_detail {
template <std::size_t N>
struct uint_of;
template <>
struct uint_of<1> { using type = std::uint8_t; };
template <>
struct uint_of<2> { using type = std::uint16_t; };
template <>
struct uint_of<4> { using type = std::uint32_t; };
template <>
struct uint_of<8> { using type = std::uint64_t; };

template <class T, class = void>
struct wire {};
template <class T>
struct wire<T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>>> {
  using type = typename uint_of<sizeof(T)>::type;
};
template <>
struct wire<float> { using type = float; };
template <>
struct wire<double> { using type = double; };
}  // namespace vgs_cdr_detail

// The encoded type of a value type T (only defined for the value types).
template <class T>
using VGS_CDR_Wire = typename vgs_cdr_detail::wire<T>::type;

class VGS_CDR {
 public:
  // Type codes of the typed reader.
  enum : unsigned char {
    TYPE_BYTE = 1,
    TYPE_SHORT = 2,
    TYPE_LONG = 3,
    TYPE_INT64 = 4,
    TYPE_FLOAT = 5,
    TYPE_DOUBLE = 6,
    TYPE_TEXT = 7,
    TYPE_BITFIELD = 8,
    TYPE_BLOCK = 9,
  };

  VGS_CDR() = default;
  VGS_CDR(const VGS_CDR&) = default;
  VGS_CDR& operator=(const VGS_CDR&) = default;
  virtual ~VGS_CDR();

  // The base records VGS_ERR_NOT_IMPLEMENTED and returns -1 for each of these.
  virtual int write(const void* data, unsigned int length);
  virtual int write(double value);
  virtual int write(float value);
  virtual int write(std::uint64_t value);
  virtual int write(std::uint32_t value);
  virtual int write(std::uint16_t value);
  virtual int write(std::uint8_t value);
  virtual int read(void* data, unsigned int length);
  virtual int read(double& value);
  virtual int read(float& value);
  virtual int read(std::uint64_t& value);
  virtual int read(std::uint32_t& value);
  virtual int read(std::uint16_t& value);
  virtual int read(std::uint8_t& value);
  virtual int offset() const;
  virtual int move(unsigned int position);

  static int check_endian();
  static bool is_little_endian() { return little_endian_ != 0; }

  // Host order <-> big-endian.
  static std::uint16_t swap16(std::uint16_t v) {
    return is_little_endian() ? static_cast<std::uint16_t>(__builtin_bswap16(v)) : v;
  }
  static std::uint32_t swap32(std::uint32_t v) {
    return is_little_endian() ? __builtin_bswap32(v) : v;
  }
  static std::uint64_t swap64(std::uint64_t v) {
    return is_little_endian() ? __builtin_bswap64(v) : v;
  }
  static float swapflt(float v);
  static double swapdbl(double v);

  // Encoded sizes.
  template <class T, class W = VGS_CDR_Wire<T>>
  static unsigned int size_of(T) {
    return sizeof(W);
  }
  static unsigned int size_of(const void*, unsigned int length) { return length; }
  static unsigned int size_of(const VGS_Byte_Block& block);
  static unsigned int size_of(const char* text) {
    return text == nullptr ? 0u : static_cast<unsigned int>(std::strlen(text));
  }
  static unsigned int size_of(const std::string& text) {
    return static_cast<unsigned int>(text.size());
  }
  // Wide text is encoded as its narrow conversion (the locale's codeset); 0 when it
  // cannot be converted.
  static unsigned int size_of(const char16_t* text);
  static unsigned int size_of(const std::u16string& text) { return size_of(text.c_str()); }

  // Fixed length of type codes 1 to 6; 0 for the others.
  static unsigned int fixed_length(unsigned char type);

 protected:
  static int little_endian_;
};

class VGS_OutputCDR : public VGS_CDR {
 public:
  VGS_OutputCDR() = default;
  VGS_OutputCDR(void* buffer, unsigned int capacity) { set(buffer, capacity); }

  void set(void* buffer, unsigned int capacity);
  void reset() { set(nullptr, 0); }

  using VGS_CDR::write;
  int write(const void* data, unsigned int length) override;
  int write(double value) override;
  int write(float value) override;
  int write(std::uint64_t value) override;
  int write(std::uint32_t value) override;
  int write(std::uint16_t value) override;
  int write(std::uint8_t value) override;
  int offset() const override { return static_cast<int>(position_); }
  int move(unsigned int position) override;

  unsigned int set_size() const { return set_size_; }
  unsigned int elements() const { return elements_; }
  unsigned int capacity() const { return capacity_; }

  // Checked writes that count elements; the element number is not encoded.
  template <class T, class W = VGS_CDR_Wire<T>>
  int set_value(unsigned int element, T value) {
    (void)element;
    if (!check_room(sizeof(W))) return -1;
    return counted(write(static_cast<W>(value)));
  }
  int set_value(unsigned int element, const void* data, unsigned int length);
  int set_value(unsigned int element, const VGS_Byte_Block& block);
  int set_value(unsigned int element, const char* text);
  int set_value(unsigned int element, const std::string& text);
  int set_value(unsigned int element, const char16_t* text);
  int set_value(unsigned int element, const std::u16string& text) {
    return set_value(element, text.c_str());
  }

 private:
  unsigned int room() const { return position_ < capacity_ ? capacity_ - position_ : 0u; }
  // Records VGS_ERR_NULL_ARGUMENT or VGS_ERR_OUTPUT_OVERFLOW when `need` bytes do not fit.
  bool check_room(unsigned int need) const;
  int counted(int result) {
    if (result >= 0) ++elements_;
    return result;
  }
  int put(const void* bytes, unsigned int n);

  unsigned char* buffer_ = nullptr;
  unsigned int capacity_ = 0;
  unsigned int position_ = 0;
  unsigned int set_size_ = 0;
  unsigned int elements_ = 0;
};

class VGS_InputCDR : public VGS_CDR {
 public:
  VGS_InputCDR() = default;
  VGS_InputCDR(const void* data, unsigned int size) { set(data, size); }

  void set(const void* data, unsigned int size);
  void reset() { set(nullptr, 0); }
  void initlookup() { position_ = 0; }

  using VGS_CDR::read;
  int read(void* data, unsigned int length) override;
  int read(double& value) override;
  int read(float& value) override;
  int read(std::uint64_t& value) override;
  int read(std::uint32_t& value) override;
  int read(std::uint16_t& value) override;
  int read(std::uint8_t& value) override;
  int offset() const override { return static_cast<int>(position_); }
  int move(unsigned int position) override;
  virtual int get_size() const { return static_cast<int>(size_); }

  // Bytes not yet read.
  unsigned int remaining() const { return position_ < size_ ? size_ - position_ : 0u; }

  // The typed cursor: checks that `length` bytes of `type` can be taken at the position,
  // points `data` at them and advances. Throws VGS_Exception (VGS_ERR_NULL_ARGUMENT)
  // when the stream has no data; other failures record their code and return -1.
  int lookup(unsigned int& element, unsigned char& type, unsigned int& length,
             const void*& data);

  // Reads `length` bytes of text; the encoding carries no text length of its own.
  int read_text(std::string& text, unsigned int length);

 private:
  int take(void* bytes, unsigned int n);

  const unsigned char* data_ = nullptr;
  unsigned int size_ = 0;
  unsigned int position_ = 0;
};

// Stream operators: failures throw VGS_Exception with the recorded code.
namespace vgs_cdr_detail {
[[noreturn]] void throw_recorded();
template <class T>
struct type_code;
template <>
struct type_code<std::uint8_t> { static constexpr unsigned char value = VGS_CDR::TYPE_BYTE; };
template <>
struct type_code<std::uint16_t> { static constexpr unsigned char value = VGS_CDR::TYPE_SHORT; };
template <>
struct type_code<std::uint32_t> { static constexpr unsigned char value = VGS_CDR::TYPE_LONG; };
template <>
struct type_code<std::uint64_t> { static constexpr unsigned char value = VGS_CDR::TYPE_INT64; };
template <>
struct type_code<float> { static constexpr unsigned char value = VGS_CDR::TYPE_FLOAT; };
template <>
struct type_code<double> { static constexpr unsigned char value = VGS_CDR::TYPE_DOUBLE; };

// Big-endian bytes at `p` -> host value.
inline void load(const void* p, std::uint8_t& v) { std::memcpy(&v, p, 1); }
inline void load(const void* p, std::uint16_t& v) {
  std::memcpy(&v, p, 2);
  v = VGS_CDR::swap16(v);
}
inline void load(const void* p, std::uint32_t& v) {
  std::memcpy(&v, p, 4);
  v = VGS_CDR::swap32(v);
}
inline void load(const void* p, std::uint64_t& v) {
  std::memcpy(&v, p, 8);
  v = VGS_CDR::swap64(v);
}
inline void load(const void* p, float& v) {
  std::uint32_t bits;
  load(p, bits);
  std::memcpy(&v, &bits, 4);
}
inline void load(const void* p, double& v) {
  std::uint64_t bits;
  load(p, bits);
  std::memcpy(&v, &bits, 8);
}
}  // namespace vgs_cdr_detail

template <class T, class W = VGS_CDR_Wire<T>>
VGS_OutputCDR& operator<<(VGS_OutputCDR& out, T value) {
  if (out.set_value(out.elements(), value) < 0) vgs_cdr_detail::throw_recorded();
  return out;
}
VGS_OutputCDR& operator<<(VGS_OutputCDR& out, const VGS_Byte_Block& block);
VGS_OutputCDR& operator<<(VGS_OutputCDR& out, const char* text);
VGS_OutputCDR& operator<<(VGS_OutputCDR& out, const std::string& text);
VGS_OutputCDR& operator<<(VGS_OutputCDR& out, const char16_t* text);
VGS_OutputCDR& operator<<(VGS_OutputCDR& out, const std::u16string& text);

template <class T, class W = VGS_CDR_Wire<T>>
VGS_InputCDR& operator>>(VGS_InputCDR& in, T& value) {
  unsigned int element = 0;
  unsigned char type = vgs_cdr_detail::type_code<W>::value;
  unsigned int length = sizeof(W);
  const void* data = nullptr;
  if (in.lookup(element, type, length, data) < 0) vgs_cdr_detail::throw_recorded();
  W raw;
  vgs_cdr_detail::load(data, raw);
  value = static_cast<T>(raw);
  return in;
}
// Reads as many bytes as `block` holds now (size it first) into a fresh copy.
VGS_InputCDR& operator>>(VGS_InputCDR& in, VGS_Byte_Block& block);
// The same with the length given: `block` becomes a copy of the next `length` bytes.
void read_block(VGS_InputCDR& in, VGS_Byte_Block& block, unsigned int length);
