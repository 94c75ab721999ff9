// allowed
#include <openssl/pem.h>
