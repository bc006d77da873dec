// Hand-built images of the status records that the discovery tests share.
#pragma once

#include <string>

#include "records/WireBytes.h"

namespace images {

using wire::Builder;

// Session 7 on 10.0.0.5 (Ethernet) with the given flag word, or a session of
// version 0.
inline Builder Session(uint32_t version, uint32_t flag = 1) {
  Builder b;
  b.u32(2117).u32(version);
  if (version == 0) return b;
  return b.u32(7).str("t1").str("t2").str("10.0.0.5").u32(1).u32(flag);
}

inline Builder EmptySession() { return Builder().u32(2117).u32(1).u32(0).str("").str("").str("").u32(0).u32(0); }

inline Builder Sessions(std::initializer_list<Builder> sessions) {
  Builder b;
  b.u32(2118).i32(0).u8(1).count8(static_cast<uint8_t>(sessions.size()));
  for (const Builder& s : sessions) b.raw(s);
  return b;
}

inline Builder Arg(uint32_t version, const std::string& name, const std::string& value) {
  Builder b;
  b.u32(2122).u32(version);
  return version == 0 ? b : b.str(name).str(value);
}

inline Builder Args(const std::string& name, std::initializer_list<Builder> args) {
  Builder b;
  b.u32(2123).i32(0).u32(1).str(name).count(static_cast<uint32_t>(args.size()));
  for (const Builder& a : args) b.raw(a);
  return b;
}

// An empty application (2114) or component (2154) list.
inline Builder EmptyList(uint32_t id, int32_t result = 0) { return Builder().u32(id).i32(result).u32(1).count(0); }

// What a default status writes.
inline Builder EmptyStatus() {
  return Builder()
      .u32(2108).u32(3).u32(0).u32(0).raw(EmptyList(2114)).raw(Sessions({})).raw(EmptyList(2154))
      .raw(EmptyList(2154)).raw(Args("", {})).u32(0).u8(0).u8(0).u32(0).raw(Args("", {})).u32(0);
}

}  // namespace images
