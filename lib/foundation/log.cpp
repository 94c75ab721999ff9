#include "foundation/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "foundation/exception.h"
#include "foundation/file_util.h"
#include "foundation/library.h"
#include "foundation/str_conv.h"
#include "foundation/time_util.h"
#include "platform/directory.h"
#include "platform/error.h"
#include "platform/file.h"

namespace {

// Bytes kept free at the end of the line buffer for CR, LF and the terminator.
constexpr unsigned int kLineEndReserve = 3;

// Every writer locks the whole file, from offset 0 to beyond any end: the lock then
// covers whatever range another writer locks, even while the file is still empty.
constexpr unsigned long long kWholeFile = ~0ull;

// Log lines may carry what only their user should read.
constexpr unsigned int kLogFileMode = 0600;
constexpr unsigned int kLogFolderMode = 0700;

// Creates the log folder `dir` as needed and its month folder `folder` owner-only.
bool MakeMonthFolder(const char* dir, const std::string& folder) {
  if (*dir != '\0' && VGSLib::createdir(dir) < 0) return false;  // "": the root folder
  if (plat::CreateDirectoryA(folder.c_str(), kLogFolderMode)) return true;
  const DWORD code = plat::GetLastError();
  const DWORD attributes = plat::GetFileAttributesA(folder.c_str());
  if (code == ERROR_ALREADY_EXISTS && attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return true;
  }
  VGSLib::SetErrorCode(code);
  return false;
}

char* CopyText(const char* text) {
  std::size_t n = std::strlen(text);
  char* copy = new (std::nothrow) char[n + 1];
  if (copy != nullptr) std::memcpy(copy, text, n + 1);
  return copy;
}

const char* SeverityTag(unsigned int severity) {
  switch (severity) {
    case 1: return "[WARNING]";
    case 2: return "[ERROR]";
    default: return "[INFO]";
  }
}

const char* BaseName(const char* file) {
  if (file == nullptr) return "";
  const char* slash = std::strrchr(file, '/');
  if (slash == nullptr || slash[1] == '\0') return file;
  return slash + 1;
}

// Appends printf output at `pos`, never past `limit`; returns the new end.
char* AppendFormat(char* pos, char* limit, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
char* AppendFormat(char* pos, char* limit, const char* format, ...) {
  if (pos >= limit) return pos;
  std::size_t room = static_cast<std::size_t>(limit - pos);
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(pos, room, format, args);
  va_end(args);
  if (n < 0) {
    *pos = '\0';
    return pos;
  }
  return static_cast<std::size_t>(n) < room ? pos + n : limit - 1;
}

}  // namespace

VGS_Log::VGS_Log(unsigned int level) : level_(level), dir_(nullptr) {}

VGS_Log::~VGS_Log() { delete[] dir_; }

VGS_Log::VGS_Log(const VGS_Log& other) : level_(other.level_), dir_(nullptr) {
  if (other.dir_ != nullptr) {
    dir_ = CopyText(other.dir_);
    if (dir_ == nullptr) VGS_Exception::ThrowException(ERROR_NOT_ENOUGH_MEMORY, nullptr);
  }
}

VGS_Log& VGS_Log::operator=(const VGS_Log& other) {
  if (this == &other) return *this;
  char* copy = nullptr;
  if (other.dir_ != nullptr) {
    copy = CopyText(other.dir_);
    if (copy == nullptr) VGS_Exception::ThrowException(ERROR_NOT_ENOUGH_MEMORY, nullptr);
  }
  delete[] dir_;
  dir_ = copy;
  level_ = other.level_;
  return *this;
}

void VGS_Log::set_log_dir(const char* dir) {
  delete[] dir_;
  dir_ = nullptr;
  if (dir == nullptr) return;
  char* copy = CopyText(dir);
  if (copy == nullptr) VGS_Exception::ThrowException(ERROR_NOT_ENOUGH_MEMORY, nullptr);
  std::size_t n = std::strlen(copy);
  if (n > 0 && copy[n - 1] == '/') copy[n - 1] = '\0';
  dir_ = copy;
}

const char* VGS_Log::get_log_dir() {
  if (dir_ != nullptr) return dir_;
  char path[4096];
  if (VGSLib::getmodpath(path, sizeof path) == 0) return nullptr;
  dir_ = CopyText(path);
  if (dir_ == nullptr) VGSLib::SetErrorCode(ERROR_NOT_ENOUGH_MEMORY);
  return dir_;
}

int VGS_Log::handle_log_output(const char* /*text*/) { return 0; }

void VGS_Log::log(unsigned int severity, const char* file, int line, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vlog(severity, file, line, format, args);
  va_end(args);
}

void VGS_Log::log_info(const char* file, int line, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vlog(0, file, line, format, args);
  va_end(args);
}

void VGS_Log::log_warning(const char* file, int line, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vlog(1, file, line, format, args);
  va_end(args);
}

void VGS_Log::log_error(const char* file, int line, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vlog(2, file, line, format, args);
  va_end(args);
}

void VGS_Log::vlog(unsigned int severity, const char* file, int line, const char* format,
                   va_list args) {
  SYSTEMTIME now;
  VGSLib::getcurtime(&now);
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[kLineBufferSize]);
  if (!buffer) {
    VGSLib::SetErrorCode(ERROR_NOT_ENOUGH_MEMORY);
    return;
  }
  char* pos = make_log_header(&now, buffer.get(), severity, level_, file, line);
  char* limit = buffer.get() + kLineBufferSize - kLineEndReserve;
  if (format != nullptr && pos < limit) {
    VGS_Str_Conv narrow = VGS_Str_Conv::text_convert_to_char(format);
    const char* text = narrow;
    if (text != nullptr) {
      std::size_t room = static_cast<std::size_t>(limit - pos) + 1;  // the NUL may use CR's byte
      int n = std::vsnprintf(pos, room, text, args);
      if (n > 0) pos += static_cast<std::size_t>(n) < room ? n : static_cast<int>(room - 1);
    }
  }
  pos[0] = '\r';
  pos[1] = '\n';
  pos[2] = '\0';
  log_file(&now, buffer.get());
}

char* VGS_Log::make_log_header(SYSTEMTIME* time, char* buffer, unsigned int severity,
                               unsigned int level, const char* file, int line) {
  char* limit = buffer + kLineBufferSize - kLineEndReserve;
  *buffer = '\0';
  char* pos = buffer;
  if (time != nullptr) {
    pos = AppendFormat(pos, limit, "[%04u-%02u-%02u %02u:%02u:%02u]", time->wYear, time->wMonth,
                       time->wDay, time->wHour, time->wMinute, time->wSecond);
  }
  pos = AppendFormat(pos, limit, "%s", SeverityTag(severity));
  if (level == 1) pos = AppendFormat(pos, limit, "[%s][%d line]", BaseName(file), line);
  return pos;
}

void* VGS_Log::open(SYSTEMTIME* time) {
  const char* dir = get_log_dir();
  if (dir == nullptr || time == nullptr) return INVALID_HANDLE_VALUE;
  char month[16];
  std::snprintf(month, sizeof month, "%04u%02u", time->wYear, time->wMonth);
  std::string folder = std::string(dir) + "/Log" + month;
  if (!MakeMonthFolder(dir, folder)) return INVALID_HANDLE_VALUE;
  char day[32];
  std::snprintf(day, sizeof day, "/log_%04u%02u%02u.log", time->wYear, time->wMonth, time->wDay);
  std::string path = folder + day;
  // Only a regular file of the day's name is written: never through a link planted there,
  // and a FIFO or device there is refused without waiting on it.
  HANDLE file = plat::CreateFileA(
      path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS,
      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_NO_FOLLOW | FILE_FLAG_REGULAR_ONLY, kLogFileMode);
  if (file == INVALID_HANDLE_VALUE) VGSLib::SetErrorCode(plat::GetLastError());
  return file;
}

void VGS_Log::log_file(SYSTEMTIME* time, const char* text) {
  if (text == nullptr) return;
  if (handle_log_output(text) < 0) return;
  void* file = open(time);
  if (file == INVALID_HANDLE_VALUE) return;
  bool locked = VGSLib::flock(file, 0, kWholeFile, nullptr, true) == 0;
  if (VGSLib::seek(file, 0, FILE_END) >= 0) {
    VGSLib::write_n(file, text, static_cast<unsigned int>(std::strlen(text)));
  }
  if (locked) VGSLib::funlock(file, 0, kWholeFile, nullptr);
  plat::CloseFile(file);
}
