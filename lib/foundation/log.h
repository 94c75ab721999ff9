// VGS_Log: timestamped lines, one file per day in one folder per month:
// <dir>/LogYYYYMM/log_YYYYMMDD.log. Every line opens, locks, appends and closes the file.
// New month folders are owner-only (0700), new day files too (0600); a line is dropped
// when the day file's path holds anything but a regular file (a link, FIFO or device).
#pragma once

#include <cstdarg>

#include "platform/types.h"

class VGS_Log {
 public:
  static constexpr unsigned int kLineBufferSize = 32768;

  explicit VGS_Log(unsigned int level);
  virtual ~VGS_Log();
  VGS_Log(const VGS_Log& other);
  VGS_Log& operator=(const VGS_Log& other);

  void set_level(unsigned int level) { level_ = level; }
  // Stores a copy of `dir` without one trailing '/'; null restores the program's folder.
  void set_log_dir(const char* dir);
  const char* get_log_dir();

  // Severity 0 info, 1 warning, 2 error, anything else info. A message too long for the
  // line buffer is cut so that the line break still fits.
  void log(unsigned int severity, const char* file, int line, const char* format, ...)
      __attribute__((format(printf, 5, 6)));
  void log_info(const char* file, int line, const char* format, ...)
      __attribute__((format(printf, 4, 5)));
  void log_warning(const char* file, int line, const char* format, ...)
      __attribute__((format(printf, 4, 5)));
  void log_error(const char* file, int line, const char* format, ...)
      __attribute__((format(printf, 4, 5)));

  // Sees each finished line; a negative result keeps it from the file.
  virtual int handle_log_output(const char* text);

 protected:
  // The day file of `time`, opened (created with its folders if needed), or
  // INVALID_HANDLE_VALUE.
  void* open(SYSTEMTIME* time);
  // Runs the hook, then appends `text` to the day file of `time` under the file lock.
  void log_file(SYSTEMTIME* time, const char* text);
  // Writes the time, severity and (level 1) source parts into `buffer`, which holds
  // kLineBufferSize bytes; returns the position just behind them.
  char* make_log_header(SYSTEMTIME* time, char* buffer, unsigned int severity,
                        unsigned int level, const char* file, int line);

 private:
  void vlog(unsigned int severity, const char* file, int line, const char* format,
            va_list args);

  unsigned int level_;
  char* dir_;
};
