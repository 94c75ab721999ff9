// allowed
#include <sys/epoll.h>
#include <boost/asio.hpp>
