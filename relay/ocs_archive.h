// COCSArchive: the OCS connection's frame writer and incremental frame reader.
//
// Frame: an 11-byte header (version byte 2, magic "ZERV", message id as 16 bits, body
// length as 32 bits, all big-endian) followed by the message body in CDR encoding.
#pragma once

#include "serial/archive.h"

class CVgsMessage;

class COCSArchive : public VGS_Archive {
 public:
  static constexpr unsigned int OCS_HEADER_SIZE = 11;
  static constexpr unsigned char OCS_VERSION = 2;
  // Largest body any reader accepts.
  static constexpr unsigned int OCS_MAX_BODY = 16u * 1024u * 1024u;

  // The largest body this archive's reader takes (OCS_MAX_BODY unless set lower): a frame
  // announcing more fails at its header with WSAEMSGSIZE, before its body is held.
  void set_max_body(unsigned int bytes) { max_body_ = bytes < OCS_MAX_BODY ? bytes : OCS_MAX_BODY; }
  unsigned int max_body() const { return max_body_; }

  // Builds the whole frame of `message` into `frame`. Returns the frame length, or -1
  // with the code recorded (`frame` unchanged). Resets the archive: a connection's
  // reading archive must not be used to write.
  int write_frame(const CVgsMessage& message, VGS_Byte_Block& frame);

  // Offers one contiguous run of received bytes. Returns the bytes consumed when a
  // message completed (>= 1; `message` is handed out with one reference for the caller),
  // 0 when all bytes were held and more are needed, or -1 (code recorded, archive reset;
  // WSAEMSGSIZE for a body above max_body()).
  // A body that lies wholly in `data` is decoded where it lies; bytes after a completed
  // frame are left to the caller.
  int read_frame(const void* data, unsigned int length, CVgsMessage*& message);

  // Header writer: 11, or -1 (VGS_ERR_OUTPUT_OVERFLOW when `size` is below 11).
  static int write_header(unsigned char* buffer, unsigned int size, unsigned short sid,
                          unsigned int body_length);
  // Header reader: 11, or -1 (VGS_ERR_INPUT_UNDERFLOW when short, VGS_ERR_PROTOCOL for
  // a wrong magic). The version byte is ignored.
  static int read_header(const unsigned char* buffer, unsigned int size, unsigned short& sid,
                         unsigned int& body_length);

 private:
  static int read_ocs_header(const unsigned char* header, Frame_Header& fields);

  unsigned int max_body_ = OCS_MAX_BODY;
};
