// allowed
#include <unistd.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <linux/futex.h>
#include <signal.h>
#include <time.h>
