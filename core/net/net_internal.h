// Internals of the HTTP transport shared by the network sources (and by tests).
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

// Replies and downloads larger than this are refused: a runaway server must not exhaust memory or disk.
constexpr std::size_t http_reply_limit = std::size_t(64) * 1024 * 1024;

// libcurl write callbacks: append to the reply buffer, or write to the open download file. Both
// refuse (return 0, which aborts the transfer) once the reply would pass http_reply_limit.
std::size_t write_to_string(char* data, std::size_t size, std::size_t count, std::string* out);
std::size_t write_to_file(char* data, std::size_t size, std::size_t count, std::FILE* file);

// libcurl's global set-up, once per process; false when it failed.
bool curl_ready();

// The options every transfer gets (the handle is a CURL*): certificate checks, http and https only,
// time-outs and the reply limit.
void set_common_options(void* handle, const std::string& url);

// How long a transfer may stay below 1 byte/s before it is abandoned (60 s). Tests shorten it so
// that a server that never answers is given up quickly.
void set_http_low_speed_time(long seconds);

// Percent-escapes a query value: everything but unreserved characters and '/' (so ordinary codes and
// endpoint names stay as they are).
std::string query_escape(const std::string& text);
