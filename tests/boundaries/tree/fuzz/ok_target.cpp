// allowed
#include <unistd.h>
