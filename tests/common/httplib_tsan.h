// ThreadSanitizer suppression for the test servers: libcpp-httplib is a prebuilt,
// uninstrumented library, so TSan sees only the memcmp/memcpy calls its threads make and
// none of the plain accesses that order them. Reports of calls made from inside it are
// not about our code. Include in exactly one source file of a test program.
#pragma once

extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libcpp-httplib.so\n";
}
