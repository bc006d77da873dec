// A record as it travels on a connection: its frame (the length word, then
// the archive's content), and back. The connection manager's tests speak to
// the service with these.
#pragma once

#include <algorithm>
#include <string>

#include "serialize/ArchiveBuffer.h"
#include "serialize/Serialize.h"

namespace recordframe {

using ::FrameOf;

// False when the frame is too short or its content does not read as msg.
template <class M>
bool Parse(const std::string& frame, M& msg) {
  CArchiveBuffer ar(CArchiveBuffer::LOADING);
  if (frame.size() < 8 || !ar.AllocateData(static_cast<uint32_t>(frame.size() - 4))) return false;
  uint8_t* p;
  uint32_t n;
  ar.GetContent(p, n);
  std::copy(frame.begin() + 4, frame.end(), p);
  ar.Rewind(CArchiveBuffer::LOADING);
  return msg.Serialize(ar);
}

}  // namespace recordframe
