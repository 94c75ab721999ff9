// Where a request goes: the base URL from open's server and port, and the URL of one
// resource on it.
#pragma once

#include <string>

#include "platform/types.h"

// "scheme://host:port" from a server name (a host name, an IPv4 address or an IPv6
// address, bare or in brackets, optionally after "http://" or "https://" and before one
// "/") and a port (0: the scheme's default; without a scheme, 443 means HTTPS). The host
// alone goes to *host. 0, or the code: 87 for a port outside 0..65535, 12005 for a server
// name that is no host.
DWORD VGS_HTTP_Base_Url(const char* server, int port, std::string& base, std::string& host);

// base + resource ("/" when null or empty; a "/" is put in front when missing). Bytes
// above 0x7F are percent-encoded. 0, or 12005 for a resource with blanks or control
// characters or a URL that does not parse back to the base's host.
DWORD VGS_HTTP_Resource_Url(const std::string& base, const std::string& host,
                            const char* resource, std::string& url);
