// The library's own error codes: 0x20000000 plus the number of the message text.
// Codes below 0x20000000 are Windows system or Windows Sockets codes.
#pragma once

constexpr unsigned long VGS_ERR_LIBRARY_BIT = 0x20000000ul;

constexpr unsigned long VGS_ERR_UNKNOWN = 0x20000001ul;
constexpr unsigned long VGS_ERR_NOT_INITIALIZED = 0x20000002ul;
constexpr unsigned long VGS_ERR_NOT_IMPLEMENTED = 0x20000003ul;
constexpr unsigned long VGS_ERR_NULL_ARGUMENT = 0x20000004ul;
constexpr unsigned long VGS_ERR_BAD_HASH = 0x20000005ul;
constexpr unsigned long VGS_ERR_MD5_SIZE = 0x20000006ul;
constexpr unsigned long VGS_ERR_CLOSED = 0x20000007ul;
constexpr unsigned long VGS_ERR_POLL_LIMIT = 0x20000008ul;
constexpr unsigned long VGS_ERR_REQUEST_FAILED = 0x20000009ul;
constexpr unsigned long VGS_ERR_NOT_FOUND = 0x2000000Aul;
constexpr unsigned long VGS_ERR_ZERO_SIZE = 0x2000000Bul;
constexpr unsigned long VGS_ERR_OUTPUT_OVERFLOW = 0x2000000Cul;
constexpr unsigned long VGS_ERR_ELEMENT_TYPE = 0x2000000Dul;
constexpr unsigned long VGS_ERR_ELEMENT_LENGTH = 0x2000000Eul;
constexpr unsigned long VGS_ERR_INPUT_UNDERFLOW = 0x2000000Ful;
constexpr unsigned long VGS_ERR_ELEMENT_NOT_FOUND = 0x20000010ul;
constexpr unsigned long VGS_ERR_PROTOCOL = 0x20000011ul;
constexpr unsigned long VGS_ERR_PEER_CLOSED = 0x20000012ul;
constexpr unsigned long VGS_ERR_TASK_INIT = 0x20000013ul;
constexpr unsigned long VGS_ERR_NO_COMPLETION_KEY = 0x20000014ul;
constexpr unsigned long VGS_ERR_IO_THREAD_LIMIT = 0x20000015ul;
constexpr unsigned long VGS_ERR_CACHE_META = 0x20000016ul;
constexpr unsigned long VGS_ERR_CACHE_CANCELLED = 0x20000017ul;
constexpr unsigned long VGS_ERR_CACHE_NOT_OPEN = 0x20000018ul;
constexpr unsigned long VGS_ERR_CACHE_PIECE_PENDING = 0x20000019ul;
constexpr unsigned long VGS_ERR_CACHE_PIECE_RANGE = 0x2000001Aul;
constexpr unsigned long VGS_ERR_CACHE_CHECKSUM = 0x2000001Bul;
constexpr unsigned long VGS_ERR_CACHE_EMPTY_SOURCE = 0x2000001Cul;
constexpr unsigned long VGS_ERR_CACHE_SOURCE_META = 0x2000001Dul;
constexpr unsigned long VGS_ERR_CACHE_BUSY = 0x2000001Eul;
constexpr unsigned long VGS_ERR_UDP_PEER_LIMIT = 0x2000001Ful;
constexpr unsigned long VGS_ERR_UDP_NOT_CONNECTED = 0x20000020ul;
constexpr unsigned long VGS_ERR_CACHE_PIECE_INDEX = 0x20000021ul;
constexpr unsigned long VGS_ERR_CACHE_SOURCE_EXISTS = 0x20000022ul;
