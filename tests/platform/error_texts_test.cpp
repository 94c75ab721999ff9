#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "platform/error.h"
#include "platform/memory.h"

namespace {

std::string Format(DWORD code) {
  char buffer[512];
  DWORD n = plat::FormatSystemMessage(code, buffer, sizeof(buffer));
  return std::string(buffer, n);
}

TEST(SystemMessages, WindowsTextsFollowedByCrLf) {
  EXPECT_EQ(Format(2), "The system cannot find the file specified.\r\n");
  EXPECT_EQ(Format(5), "Access is denied.\r\n");
  EXPECT_EQ(Format(7), "The storage control blocks were destroyed.\r\n");
  EXPECT_EQ(Format(8), "Not enough memory resources are available to process this command.\r\n");
  EXPECT_EQ(Format(87), "The parameter is incorrect.\r\n");
  EXPECT_EQ(Format(10054), "An existing connection was forcibly closed by the remote host.\r\n");
  EXPECT_STREQ(plat::SystemMessageText(258), "The wait operation timed out.");
}

TEST(SystemMessages, UnknownCodeAndSmallBuffer) {
  char buffer[64];
  std::memset(buffer, 'x', sizeof(buffer));
  EXPECT_EQ(plat::FormatSystemMessage(0x1234567, buffer, sizeof(buffer)), 0u);
  EXPECT_EQ(plat::GetLastError(), 317u);
  EXPECT_EQ(plat::SystemMessageText(0x1234567), nullptr);

  // "Access is denied.\r\n" is 19 bytes and needs 20 with its terminator.
  std::memset(buffer, 'x', sizeof(buffer));
  EXPECT_EQ(plat::FormatSystemMessage(5, buffer, 19), 0u);
  EXPECT_EQ(plat::GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(buffer[19], 'x');  // nothing written past the given size
  EXPECT_EQ(plat::FormatSystemMessage(5, buffer, 20), 19u);
  EXPECT_STREQ(buffer, "Access is denied.\r\n");

  EXPECT_EQ(plat::FormatSystemMessage(5, nullptr, 20), 0u);
  EXPECT_EQ(plat::FormatSystemMessage(5, buffer, 0), 0u);
}

// Every code the platform layer can report has a text.
TEST(SystemMessages, EveryDeclaredCodeHasText) {
  const DWORD codes[] = {
      ERROR_SUCCESS, ERROR_INVALID_FUNCTION, ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND,
      ERROR_TOO_MANY_OPEN_FILES, ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE,
      ERROR_NOT_ENOUGH_MEMORY, ERROR_OUTOFMEMORY, ERROR_INVALID_DRIVE, ERROR_NO_MORE_FILES,
      ERROR_WRITE_PROTECT, ERROR_SEEK, ERROR_WRITE_FAULT, ERROR_READ_FAULT, ERROR_GEN_FAILURE,
      ERROR_SHARING_VIOLATION, ERROR_LOCK_VIOLATION, ERROR_HANDLE_EOF, ERROR_HANDLE_DISK_FULL,
      ERROR_NOT_SUPPORTED, ERROR_NOT_SAME_DEVICE, ERROR_FILE_EXISTS, ERROR_CANNOT_MAKE,
      ERROR_INVALID_PARAMETER, ERROR_BROKEN_PIPE, ERROR_OPEN_FAILED, ERROR_BUFFER_OVERFLOW,
      ERROR_DISK_FULL, ERROR_CALL_NOT_IMPLEMENTED, ERROR_SEM_TIMEOUT, ERROR_INSUFFICIENT_BUFFER,
      ERROR_INVALID_NAME, ERROR_MOD_NOT_FOUND, ERROR_NEGATIVE_SEEK, ERROR_DIR_NOT_EMPTY,
      ERROR_BAD_PATHNAME, ERROR_BUSY, ERROR_ALREADY_EXISTS, ERROR_FILENAME_EXCED_RANGE,
      ERROR_FILE_TOO_LARGE,
      ERROR_NO_MORE_ITEMS, ERROR_DIRECTORY, ERROR_CANT_RESOLVE_FILENAME, ERROR_NOT_OWNER,
      ERROR_TOO_MANY_POSTS, ERROR_OPERATION_ABORTED, ERROR_IO_INCOMPLETE, ERROR_IO_PENDING,
      ERROR_NOACCESS, ERROR_RESOURCE_DATA_NOT_FOUND, ERROR_RESOURCE_TYPE_NOT_FOUND,
      ERROR_CANCELLED, ERROR_CONNECTION_REFUSED, ERROR_CONNECTION_ABORTED, ERROR_NOT_FOUND,
      ERROR_OLD_WIN_VERSION, ERROR_PRIVILEGE_NOT_HELD, ERROR_ABANDONED_WAIT_0, ERROR_TIMEOUT,
      ERROR_NOT_LOCKED, ERROR_NO_UNICODE_TRANSLATION, ERROR_BAD_FORMAT, WAIT_TIMEOUT,
      plat::ERROR_BAD_LENGTH, plat::ERROR_INVALID_ADDRESS,
      WSAEINTR, WSAEBADF, WSAEACCES, WSAEFAULT, WSAEINVAL, WSAEMFILE, WSAEWOULDBLOCK,
      WSAEINPROGRESS, WSAEALREADY, WSAENOTSOCK, WSAEDESTADDRREQ, WSAEMSGSIZE, WSAEPROTOTYPE,
      WSAENOPROTOOPT, WSAEPROTONOSUPPORT, WSAESOCKTNOSUPPORT, WSAEOPNOTSUPP, WSAEPFNOSUPPORT,
      WSAEAFNOSUPPORT, WSAEADDRINUSE, WSAEADDRNOTAVAIL, WSAENETDOWN, WSAENETUNREACH,
      WSAENETRESET, WSAECONNABORTED, WSAECONNRESET, WSAENOBUFS, WSAEISCONN, WSAENOTCONN,
      WSAESHUTDOWN, WSAETIMEDOUT, WSAECONNREFUSED, WSAELOOP, WSAENAMETOOLONG, WSAEHOSTDOWN,
      WSAEHOSTUNREACH, WSAVERNOTSUPPORTED, WSANOTINITIALISED, WSATYPE_NOT_FOUND,
      WSAHOST_NOT_FOUND, WSATRY_AGAIN, WSANO_RECOVERY, WSANO_DATA,
  };
  for (DWORD code : codes) {
    const char* text = plat::SystemMessageText(code);
    ASSERT_NE(text, nullptr) << "code " << code;
    EXPECT_GT(std::strlen(text), 0u) << "code " << code;
    EXPECT_EQ(std::strchr(text, '\n'), nullptr) << "code " << code;
  }
}

}  // namespace
