// The time as the tools print it: UTC in ISO 8601 with milliseconds in
// every JSON they write (2026-12-06T14:03:07.125Z), local time for a person
// at a terminal (2026-12-06 15:03:07.125).
#pragma once

#include <sys/time.h>

#include <cstdio>
#include <ctime>
#include <string>

// The current time, as UTC or local.
inline std::string TimeText(bool utc) {
  struct timeval tv {};
  gettimeofday(&tv, nullptr);
  struct tm parts {};
  if (utc)
    gmtime_r(&tv.tv_sec, &parts);
  else
    localtime_r(&tv.tv_sec, &parts);
  char text[40];
  const size_t n = strftime(text, sizeof text, utc ? "%Y-%m-%dT%H:%M:%S" : "%Y-%m-%d %H:%M:%S", &parts);
  std::snprintf(text + n, sizeof text - n, utc ? ".%03dZ" : ".%03d", static_cast<int>(tv.tv_usec / 1000));
  return text;
}
