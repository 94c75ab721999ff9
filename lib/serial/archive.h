// VGS_Archive: frames serialisable objects. It writes a 20-byte "VGSS" header in front
// of an object's CDR body, and on the receiving side gathers a frame from arbitrary
// pieces of input and has an object factory's object read the body.
//
// Frame (big-endian): "VGSS", version 0, stype, sid (2), body size (4), element count (4),
// 4 reserved zero bytes, then the body.
#pragma once

#include <string>

#include "serial/byte_block.h"
#include "serial/cdr.h"

class VGS_Object_Factory;
class VGS_Serializable;

class VGS_Archive {
 public:
  static constexpr unsigned int HEADER_SIZE = 20;
  // Bytes of the header written by build_header and read by parse_header.
  static constexpr unsigned int HEADER_FIELDS = 16;
  // Largest frame whose length the int results can report.
  static constexpr unsigned int MAX_FRAME_SIZE = 0x7FFFFFFFu;

  VGS_Archive() = default;
  VGS_Archive(const VGS_Archive&) = delete;
  VGS_Archive& operator=(const VGS_Archive&) = delete;
  virtual ~VGS_Archive();

  void reset();

  unsigned long get_ver() const { return ver_; }
  unsigned char get_stype() const { return stype_; }
  unsigned short get_sid() const { return sid_; }
  unsigned long get_bodysize() const { return bodysize_; }
  // Bytes of the input body not read yet.
  int get_end_inputlen() const { return static_cast<int>(input_.remaining()); }

  // Value operators for the body: << writes (throws VGS_Exception on failure),
  // >> reads (throws on failure), += adds the encoded size (never fails).
  template <class T, class W = VGS_CDR_Wire<T>>
  VGS_Archive& operator<<(T value) {
    output_ << value;
    return *this;
  }
  VGS_Archive& operator<<(const VGS_Byte_Block& block);
  VGS_Archive& operator<<(const char* text);
  VGS_Archive& operator<<(const std::string& text);
  VGS_Archive& operator<<(const char16_t* text);
  VGS_Archive& operator<<(const std::u16string& text);

  template <class T, class W = VGS_CDR_Wire<T>>
  VGS_Archive& operator>>(T& value) {
    input_ >> value;
    return *this;
  }
  VGS_Archive& operator>>(VGS_Byte_Block& block);
  // As sizing `block` to `length` and reading it with >>, with one allocation.
  void read_block(VGS_Byte_Block& block, unsigned int length) {
    ::read_block(input_, block, length);
  }
  // Text carries no length of its own; the caller knows it from the message.
  int read_text(std::string& text, unsigned int length) { return input_.read_text(text, length); }

  template <class T, class W = VGS_CDR_Wire<T>>
  VGS_Archive& operator+=(T value) {
    length_ += VGS_CDR::size_of(value);
    return *this;
  }
  VGS_Archive& operator+=(const VGS_Byte_Block& block);
  VGS_Archive& operator+=(const char* text);
  VGS_Archive& operator+=(const std::string& text);
  VGS_Archive& operator+=(const char16_t* text);
  VGS_Archive& operator+=(const std::u16string& text);

  // Checked write that counts the element; the element number is not encoded.
  template <class T>
  int set_element(unsigned short element, const T& value) {
    return output_.set_value(element, value);
  }

  // Writes the first 16 header bytes; 16, or -1 (VGS_ERR_OUTPUT_OVERFLOW) when
  // `size` is below 16.
  int build_header(unsigned char* buffer, unsigned int size, unsigned char ver, unsigned char stype,
                   unsigned short sid, unsigned long bodysize, unsigned long elements);
  // Reads the first 16 header bytes into the archive's fields; 16, or -1 with
  // VGS_ERR_PROTOCOL (wrong magic) or VGS_ERR_INPUT_UNDERFLOW (too short).
  int parse_header(const unsigned char* buffer, unsigned int size);

  // Encode a whole frame. Result: the frame length, or -1 with the code recorded.
  int serialize(void* buffer, unsigned int size, const VGS_Serializable& object);
  int serialize(VGS_Byte_Block& block, const VGS_Serializable& object);
  int serialize(void* file, const VGS_Serializable& object);

  // Piecewise decoder: takes the bytes of one frame from successive calls. Returns 0
  // while the frame is incomplete (all given bytes were taken), the number of this
  // call's bytes that completed the frame (the object is handed out, owned by the
  // caller), or -1 (code recorded, archive reset). Bytes after a completed frame
  // are not consumed.
  int deserialize(const void* data, unsigned int length, const VGS_Object_Factory& factory,
                  VGS_Serializable*& object);
  int deserialize(const VGS_Byte_Block& block, const VGS_Object_Factory& factory,
                  VGS_Serializable*& object);
  // Reads one whole frame from a file handle.
  int deserialize(void* file, const VGS_Object_Factory& factory, VGS_Serializable*& object);

 protected:
  // Header fields of a frame being received.
  struct Frame_Header {
    unsigned char ver = 0;
    unsigned char stype = 0;
    unsigned short sid = 0;
    unsigned int bodysize = 0;
    unsigned int elements = 0;
  };
  // Reads a complete header; -1 with the code recorded refuses the frame.
  using Header_Reader = int (*)(const unsigned char* header, Frame_Header& fields);

  // True when the four bytes at `bytes` spell `magic` (upper case), ignoring ASCII case.
  static bool same_magic(const unsigned char* bytes, const char* magic);

  // The piecewise decoder, for a header of `header_size` bytes (at most HEADER_SIZE)
  // read by `read_header`. Results as for deserialize(data, length, ...). A header that
  // announces a body above `max_body` fails at once with WSAEMSGSIZE, before any of the
  // body is taken.
  int gather_frame(const void* data, unsigned int length, unsigned int header_size,
                   Header_Reader read_header, unsigned int max_body,
                   const VGS_Object_Factory& factory, VGS_Serializable*& object);

 private:
  static int read_vgss_header(const unsigned char* header, Frame_Header& fields);
  // Copies `n` bytes of the body to offset `at` of body_. The buffer grows with the
  // bytes that arrive, never ahead of them to what a header announces. Throws
  // VGS_Exception when memory runs out.
  void store_body(const void* bytes, unsigned int n, unsigned int at);
  // Creates the object for the current header and lets it read input_. Throws on
  // failure; the caller owns the result.
  VGS_Serializable* decode_body(const VGS_Object_Factory& factory);

 protected:
  unsigned char header_[HEADER_SIZE] = {};
  unsigned char* body_ = nullptr;
  unsigned int body_capacity_ = 0;
  unsigned int received_ = 0;
  unsigned char ver_ = 0;
  unsigned char stype_ = 0;
  unsigned short sid_ = 0;
  unsigned int bodysize_ = 0;
  unsigned int length_ = 0;
  unsigned int elements_ = 0;
  VGS_OutputCDR output_;
  VGS_InputCDR input_;
};
