// Numbers of the HTTP request layer: methods, callback record types, query levels and
// the Internet error codes that records and failed operations carry (Windows numbering).
#pragma once

#include "platform/types.h"

// Methods of open_request; any other value means GET.
constexpr int VGS_HTTP_GET = 0;
constexpr int VGS_HTTP_HEAD = 1;
constexpr int VGS_HTTP_POST = 2;
constexpr int VGS_HTTP_PUT = 3;
constexpr int VGS_HTTP_DELETE = 4;

// Types of the callback records.
constexpr unsigned long VGS_HTTP_CALLBACK_RESPONSE = 1;
constexpr unsigned long VGS_HTTP_CALLBACK_INPUT = 2;
constexpr unsigned long VGS_HTTP_CALLBACK_SIGNAL = 3;

// Internet error codes.
constexpr DWORD ERROR_INTERNET_TIMEOUT = 12002;
constexpr DWORD ERROR_INTERNET_INTERNAL_ERROR = 12004;
constexpr DWORD ERROR_INTERNET_INVALID_URL = 12005;
constexpr DWORD ERROR_INTERNET_NAME_NOT_RESOLVED = 12007;
constexpr DWORD ERROR_INTERNET_SHUTDOWN = 12012;
constexpr DWORD ERROR_INTERNET_OPERATION_CANCELLED = 12017;
constexpr DWORD ERROR_INTERNET_INCORRECT_HANDLE_STATE = 12019;
constexpr DWORD ERROR_INTERNET_CANNOT_CONNECT = 12029;
constexpr DWORD ERROR_INTERNET_CONNECTION_ABORTED = 12030;
constexpr DWORD ERROR_INTERNET_CONNECTION_RESET = 12031;
constexpr DWORD ERROR_INTERNET_SEC_CERT_DATE_INVALID = 12037;
constexpr DWORD ERROR_INTERNET_SEC_CERT_CN_INVALID = 12038;
constexpr DWORD ERROR_INTERNET_INVALID_CA = 12045;
constexpr DWORD ERROR_HTTP_HEADER_NOT_FOUND = 12150;
constexpr DWORD ERROR_HTTP_INVALID_SERVER_RESPONSE = 12152;
constexpr DWORD ERROR_HTTP_INVALID_QUERY_REQUEST = 12154;
constexpr DWORD ERROR_INTERNET_SECURITY_CHANNEL_ERROR = 12157;

// Query levels of getQueryInfo (the low 16 bits) and their modifier flags.
constexpr DWORD HTTP_QUERY_MIME_VERSION = 0;
constexpr DWORD HTTP_QUERY_CONTENT_TYPE = 1;
constexpr DWORD HTTP_QUERY_CONTENT_LENGTH = 5;
constexpr DWORD HTTP_QUERY_DATE = 9;
constexpr DWORD HTTP_QUERY_VERSION = 18;
constexpr DWORD HTTP_QUERY_STATUS_CODE = 19;
constexpr DWORD HTTP_QUERY_STATUS_TEXT = 20;
constexpr DWORD HTTP_QUERY_RAW_HEADERS = 21;
constexpr DWORD HTTP_QUERY_RAW_HEADERS_CRLF = 22;
constexpr DWORD HTTP_QUERY_CONNECTION = 23;
constexpr DWORD HTTP_QUERY_LOCATION = 33;
constexpr DWORD HTTP_QUERY_SERVER = 37;
constexpr DWORD HTTP_QUERY_SET_COOKIE = 43;
constexpr DWORD HTTP_QUERY_TRANSFER_ENCODING = 63;
// The header named by the text in the caller's buffer.
constexpr DWORD HTTP_QUERY_CUSTOM = 65535;
constexpr DWORD HTTP_QUERY_FLAG_REQUEST_HEADERS = 0x80000000u;
constexpr DWORD HTTP_QUERY_FLAG_SYSTEMTIME = 0x40000000u;
constexpr DWORD HTTP_QUERY_FLAG_NUMBER = 0x20000000u;
constexpr DWORD HTTP_QUERY_FLAG_COALESCE = 0x10000000u;
constexpr DWORD HTTP_QUERY_FLAG_NUMBER64 = 0x08000000u;
constexpr DWORD HTTP_QUERY_MODIFIER_FLAGS_MASK = 0xF8000000u;
