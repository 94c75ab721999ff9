// refused: OpenSSL outside common/ and tools/veltrane_sign/
#include <openssl/evp.h>
