#include "serialize/ArchiveBuffer.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/Files.h"

namespace {

const uint32_t kFrameSlot = 4;
const uint32_t kGrowthStep = 8192;

template <typename T>
void PutLittleEndian(T value, uint8_t* out) {
  typedef typename std::make_unsigned<T>::type U;
  U u = static_cast<U>(value);
  for (size_t i = 0; i < sizeof(T); ++i) out[i] = static_cast<uint8_t>(u >> (8 * i));
}

template <typename T>
T GetLittleEndian(const uint8_t* in) {
  typedef typename std::make_unsigned<T>::type U;
  U u = 0;
  for (size_t i = 0; i < sizeof(T); ++i) u = static_cast<U>(u | (static_cast<U>(in[i]) << (8 * i)));
  return static_cast<T>(u);
}

}  // namespace

CArchiveBuffer::CArchiveBuffer(uint8_t mode, uint32_t initialSize)
    : m_uiReceiveSize(initialSize),
      m_pContent(nullptr),
      m_pCursor(nullptr),
      m_uiCapacity(initialSize),
      m_pBlock(static_cast<uint8_t*>(std::calloc(1, static_cast<size_t>(initialSize) + kFrameSlot))),
      m_Mode(mode),
      m_pDataEnd(nullptr) {
  if (m_pBlock == nullptr) {
    m_uiCapacity = 0;
    return;
  }
  m_pContent = m_pBlock + kFrameSlot;
  m_pCursor = m_pContent;
  m_pDataEnd = m_pContent;
}

CArchiveBuffer::~CArchiveBuffer() { std::free(m_pBlock); }

void CArchiveBuffer::Rewind(uint8_t mode) {
  m_Mode = mode;
  m_ullCharged = 0;
  m_pCursor = m_pContent;
  if (mode == STORING) m_pDataEnd = m_pContent;
}

bool CArchiveBuffer::AllocateData(uint32_t n) {
  if (!IsUsable() || m_pCursor != m_pContent) return false;
  m_ullCharged = 0;
  if (n == 0) {
    m_pDataEnd = m_pContent;
    return true;
  }
  if (!Grow(n)) return false;
  m_pCursor = m_pContent + n;
  m_pDataEnd = m_pCursor;
  return true;
}

void CArchiveBuffer::GetContent(uint8_t*& data, uint32_t& length) const {
  data = m_pContent;
  length = m_pContent ? static_cast<uint32_t>(m_pCursor - m_pContent) : 0;
}

uint32_t CArchiveBuffer::ContentWord(uint32_t offset) const {
  uint8_t* data = nullptr;
  uint32_t length = 0;
  GetContent(data, length);
  if (data == nullptr || length < 4 || offset > length - 4) return 0;
  return GetLittleEndian<uint32_t>(data + offset);
}

void CArchiveBuffer::GetFrame(uint8_t*& data, uint32_t& length) {
  data = m_pBlock;
  if (m_pBlock == nullptr) {
    length = 0;
    return;
  }
  if (m_Mode == STORING) {
    length = static_cast<uint32_t>(m_pCursor - m_pBlock);
    PutLittleEndian<uint32_t>(length, m_pBlock);
  } else {
    length = m_uiReceiveSize;
  }
}

bool CArchiveBuffer::ChargeMemory(uint64_t bytes) {
  const uint64_t allowance = static_cast<uint64_t>(MEMORY_FACTOR) * GetDataLength() + MEMORY_FLOOR;
  if (bytes > allowance || m_ullCharged > allowance - bytes) return false;
  m_ullCharged += bytes;
  return true;
}

bool CArchiveBuffer::IsEncrypted() const {
  if (m_pContent == nullptr || m_pDataEnd - m_pContent < 4) return false;
  return (GetLittleEndian<uint32_t>(m_pContent) & ENCRYPTED_FLAG) != 0;
}

uint32_t CArchiveBuffer::GetDataLength() const {
  return m_pContent ? static_cast<uint32_t>(m_pDataEnd - m_pContent) : 0;
}

uint32_t CArchiveBuffer::GetPosition() const {
  return m_pContent ? static_cast<uint32_t>(m_pCursor - m_pContent) : 0;
}

uint32_t CArchiveBuffer::GetRemaining() const {
  return m_pCursor < m_pDataEnd ? static_cast<uint32_t>(m_pDataEnd - m_pCursor) : 0;
}

// A request that would take the capacity past 32 bits fails like a failed
// allocation would, but leaves the archive usable: nothing was reallocated.
bool CArchiveBuffer::Grow(uint32_t n) {
  if (!IsUsable()) return false;
  uint64_t used = static_cast<uint64_t>(m_pCursor - m_pContent);
  if (used + n <= m_uiCapacity) return true;
  uint64_t increment = n > kGrowthStep ? n : kGrowthStep;
  uint64_t newCapacity = static_cast<uint64_t>(m_uiCapacity) + increment;
  if (newCapacity + kFrameSlot > UINT32_MAX) return false;
  size_t dataEnd = static_cast<size_t>(m_pDataEnd - m_pContent);
  uint8_t* block = static_cast<uint8_t*>(std::realloc(m_pBlock, static_cast<size_t>(newCapacity) + kFrameSlot));
  if (block == nullptr) {
    std::free(m_pBlock);
    m_pBlock = nullptr;
    m_pContent = nullptr;
    m_pCursor = nullptr;
    m_pDataEnd = nullptr;
    return false;
  }
  std::memset(block + kFrameSlot + m_uiCapacity, 0, static_cast<size_t>(increment));
  m_pBlock = block;
  m_pContent = block + kFrameSlot;
  m_pCursor = m_pContent + used;
  m_pDataEnd = m_pContent + dataEnd;
  m_uiCapacity = static_cast<uint32_t>(newCapacity);
  m_uiReceiveSize = m_uiCapacity;
  return true;
}

bool CArchiveBuffer::WriteBytes(const void* p, uint32_t n) {
  if (!Grow(n)) return false;
  if (n > 0) std::memcpy(m_pCursor, p, n);
  m_pCursor += n;
  if (m_pCursor > m_pDataEnd) m_pDataEnd = m_pCursor;
  return true;
}

bool CArchiveBuffer::ReadBytes(void* p, uint32_t n) {
  if (!IsUsable() || n > GetRemaining()) return false;
  if (n > 0) std::memcpy(p, m_pCursor, n);
  m_pCursor += n;
  return true;
}

bool CArchiveBuffer::Write(bool v) {
  unsigned char b = v ? 1 : 0;
  return WriteBytes(&b, 1);
}

bool CArchiveBuffer::Write(int16_t v) {
  uint8_t b[2];
  PutLittleEndian(v, b);
  return WriteBytes(b, 2);
}

bool CArchiveBuffer::Write(uint16_t v) {
  uint8_t b[2];
  PutLittleEndian(v, b);
  return WriteBytes(b, 2);
}

bool CArchiveBuffer::Write(int32_t v) {
  uint8_t b[4];
  PutLittleEndian(v, b);
  return WriteBytes(b, 4);
}

bool CArchiveBuffer::Write(uint32_t v) {
  uint8_t b[4];
  PutLittleEndian(v, b);
  return WriteBytes(b, 4);
}

bool CArchiveBuffer::Write(const std::string& s) {
  if (s.size() > UINT32_MAX - 4) return false;
  uint32_t n = static_cast<uint32_t>(s.size());
  // Room for the count and the bytes is asked for at once, so that a failing
  // string write leaves nothing behind.
  if (!Grow(4 + n)) return false;
  Write(n);
  return n == 0 || WriteBytes(s.data(), n);
}

bool CArchiveBuffer::Write(const char* s) { return Write(std::string(s ? s : "")); }

bool CArchiveBuffer::WriteRaw(const void* p, uint32_t n) {
  if (p == nullptr || n == 0) return false;
  return WriteBytes(p, n);
}

bool CArchiveBuffer::WriteFill(uint8_t value, uint32_t n) {
  if (!Grow(n)) return false;
  std::memset(m_pCursor, value, n);
  m_pCursor += n;
  if (m_pCursor > m_pDataEnd) m_pDataEnd = m_pCursor;
  return true;
}

bool CArchiveBuffer::Read(bool& v) {
  unsigned char b;
  if (!ReadBytes(&b, 1)) return false;
  v = b != 0;
  return true;
}

bool CArchiveBuffer::Read(int16_t& v) {
  uint8_t b[2];
  if (!ReadBytes(b, 2)) return false;
  v = GetLittleEndian<int16_t>(b);
  return true;
}

bool CArchiveBuffer::Read(uint16_t& v) {
  uint8_t b[2];
  if (!ReadBytes(b, 2)) return false;
  v = GetLittleEndian<uint16_t>(b);
  return true;
}

bool CArchiveBuffer::Read(int32_t& v) {
  uint8_t b[4];
  if (!ReadBytes(b, 4)) return false;
  v = GetLittleEndian<int32_t>(b);
  return true;
}

bool CArchiveBuffer::Read(uint32_t& v) {
  uint8_t b[4];
  if (!ReadBytes(b, 4)) return false;
  v = GetLittleEndian<uint32_t>(b);
  return true;
}

bool CArchiveBuffer::Read(std::string& s) {
  uint32_t n = 0;
  if (!Read(n)) return false;
  if (n > GetRemaining()) return false;
  if (n > 0) {
    std::unique_ptr<char[]> temp(new (std::nothrow) char[static_cast<size_t>(n) + 1]());
    if (!temp) return false;
    std::memcpy(temp.get(), m_pCursor, n);
    s.assign(temp.get());
  } else {
    s.clear();
  }
  m_pCursor += n;
  return true;
}

bool CArchiveBuffer::LoadFromFile(const char* path) {
  Rewind(LOADING);
  if (path == nullptr || !IsUsable()) return false;
  std::vector<uint8_t> file;
  if (!platform::ReadWholeFile(path, file, UINT32_MAX - kFrameSlot - 1)) return false;
  if (!AllocateData(static_cast<uint32_t>(file.size()))) return false;
  if (!file.empty()) std::memcpy(m_pContent, file.data(), file.size());
  return true;
}

bool CArchiveBuffer::StoreToFile(const char* path) {
  if (path == nullptr || !IsUsable()) return false;
  // Replaced as one step, its missing folders created: a reader (the service
  // loading a cache file while the tool writes it, or after a crash) never
  // finds half an archive.
  return platform::ReplaceFileAtomically(path, m_pContent, static_cast<size_t>(m_pCursor - m_pContent));
}
