// allowed
#include <curl/curl.h>
#include <openssl/evp.h>
#include <cstdio>
#include <csignal>
#include <ctime>
#include <cstdlib>
#include "platform/file.h"
