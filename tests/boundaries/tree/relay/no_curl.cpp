// refused: libcurl outside lib/http and common/
#include <curl/curl.h>
