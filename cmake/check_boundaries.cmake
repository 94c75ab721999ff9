# Fails when a file includes a header that its folder may not use:
#  1. Operating-system headers (POSIX, Linux, Windows) only in lib/platform. ISO C and C++
#     headers are fine in their C++ form (<csignal>, <ctime>); the C forms <signal.h> and
#     <time.h> count as system headers, since POSIX declares its signal and clock calls there.
#     libcurl only in lib/http and common/, OpenSSL only in common/ and tools/veltrane_sign/.
#  2. GUI toolkit headers (GTK, GDK, WebKitGTK, GLib, GIO, AppIndicator, X11) only in
#     relay/ui. lib/platform uses none of them: GLib counts as the toolkit everywhere.
#  3. The programs never include one another (relay/, service/, applier/), and lib/ and
#     common/ never include a folder above them. tools/ may use the programs' headers.
# Rules 1 and 2 read <...> includes only (a "..." include names a file of this tree); rule 3
# reads "..." includes, relative to the including file or to the top of the tree (lib/ for
# the library layers). Folders not in FOLDERS (tests/, bench/, fuzz/) are not checked.
# cmake -DSOURCE_DIR=<top> -DFOLDERS=<folders, comma-separated> -DSTAMP=<file>
#       -P check_boundaries.cmake
cmake_minimum_required(VERSION 3.22)

# Matched against the lower-cased header name.
set(os_headers "^(sys|netinet|arpa|net|linux|asm|asm-generic|bits|gnu)/")
string(APPEND os_headers "|^(unistd|fcntl|pthread|dirent|dlfcn|poll|termios|pwd|grp|spawn|sched")
string(APPEND os_headers "|semaphore|netdb|ifaddrs|syslog|strings|iconv|langinfo|glob|fnmatch")
string(APPEND os_headers "|libgen|utime|mqueue|aio|ftw|wordexp|mntent|pty|utmp|shadow|err|error")
string(APPEND os_headers "|execinfo|malloc|alloca|endian|byteswap|elf|link|ucontext|paths")
string(APPEND os_headers "|resolv|signal|time")
string(APPEND os_headers "|windows|winsock|winsock2|ws2tcpip|mswsock|io|process|direct)\\.h$")
set(toolkit_headers "^(gtk|gdk|webkit|javascriptcore|jsc/|glib|gio/|gobject/|gmodule|pango")
string(APPEND toolkit_headers "|atk/|cairo|libsoup|x11/|xcb/|wayland-|libayatana-appindicator")
string(APPEND toolkit_headers "|libappindicator)")
# Library headers with the folders that may use them.
set(curl_headers "^curl/")
set(curl_folders "^(lib/http|common)/")
set(openssl_headers "^openssl/")
set(openssl_folders "^(common|tools/veltrane_sign)/")

# The folders each top-level folder may not include.
set(refused_lib common relay service applier tools)
set(refused_common relay service applier tools)
set(refused_relay service applier tools)
set(refused_service relay applier tools)
set(refused_applier relay service tools)
set(refused_tools "")
set(lib_layers platform foundation serial event http)

string(REPLACE "," ";" folders "${FOLDERS}")
set(patterns "")
foreach(folder ${folders})
  foreach(ext h hpp c cc cpp)
    list(APPEND patterns ${SOURCE_DIR}/${folder}/*.${ext})
  endforeach()
endforeach()
file(GLOB_RECURSE files ${patterns})
list(SORT files)

set(violations "")
foreach(file ${files})
  file(RELATIVE_PATH name ${SOURCE_DIR} ${file})
  string(REGEX MATCH "^[^/]+" area "${name}")
  get_filename_component(dir ${file} DIRECTORY)
  file(STRINGS ${file} lines REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"][^>\"]+[>\"]")
  foreach(line ${lines})
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*([<\"])([^>\"]+)[>\"].*$" "\\1;\\2" parts
                         "${line}")
    list(GET parts 0 delimiter)
    list(GET parts 1 header)
    set(why "")
    if(delimiter STREQUAL "<")
      string(TOLOWER "${header}" lower)
      if(lower MATCHES "${os_headers}" AND NOT name MATCHES "^lib/platform/")
        set(why "operating-system header outside lib/platform")
      elseif(lower MATCHES "${curl_headers}" AND NOT name MATCHES "${curl_folders}")
        set(why "libcurl outside lib/http and common/")
      elseif(lower MATCHES "${openssl_headers}" AND NOT name MATCHES "${openssl_folders}")
        set(why "OpenSSL outside common/ and tools/veltrane_sign/")
      elseif(lower MATCHES "${toolkit_headers}" AND NOT name MATCHES "^relay/ui/")
        set(why "GUI toolkit header outside relay/ui")
      endif()
    else()
      # Where the compiler finds it: beside the including file, else from the top.
      if(header MATCHES "^\\.\\.?/" OR EXISTS ${dir}/${header})
        get_filename_component(target ${dir}/${header} ABSOLUTE)
        file(RELATIVE_PATH target ${SOURCE_DIR} ${target})
      else()
        set(target ${header})
      endif()
      string(REGEX MATCH "^[^/]+" target_area "${target}")
      if(target MATCHES "/" AND target_area IN_LIST lib_layers)
        set(target_area lib)
      endif()
      if(target MATCHES "/" AND target_area IN_LIST refused_${area})
        set(why "${area}/ may not include ${target_area}/")
      endif()
    endif()
    if(why)
      if(delimiter STREQUAL "<")
        set(included "<${header}>")
      else()
        set(included "\"${header}\"")
      endif()
      string(APPEND violations "\n  ${name}: #include ${included}  (${why})")
    endif()
  endforeach()
endforeach()
if(violations)
  message(FATAL_ERROR "Files include what their folder may not use (README, Contributing):"
                      "${violations}")
endif()
file(TOUCH ${STAMP})
