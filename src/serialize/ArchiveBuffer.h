// CArchiveBuffer: the growable little-endian byte image that every message,
// announcement and cache file of the system is written into and read from.
//
// The heap block starts with a 4-byte frame length slot; the content (object
// id word first) follows it. Writes grow the block in steps of at least 8192
// bytes; reads never go past the data end, so a message shorter than what it
// announces fails to read instead of yielding bytes that never arrived.
// Every primitive returns false on failure and leaves the cursor unchanged
// (a failing string read alone leaves its count consumed).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class CArchiveBuffer {
 public:
  enum Mode : uint8_t { LOADING = 0, STORING = 1 };
  static const uint32_t DEFAULT_SIZE = 8192;
  // Bit of the first content word that marks the body as enciphered.
  static const uint32_t ENCRYPTED_FLAG = 0x8000;

  CArchiveBuffer(uint8_t mode, uint32_t initialSize = DEFAULT_SIZE);
  ~CArchiveBuffer();
  CArchiveBuffer(const CArchiveBuffer&) = delete;
  CArchiveBuffer& operator=(const CArchiveBuffer&) = delete;

  bool IsStoring() const { return m_Mode == STORING; }
  // False once a growth failed; such an archive is only destroyed.
  bool IsUsable() const { return m_pBlock != nullptr; }
  void Rewind(uint8_t mode);
  bool AllocateData(uint32_t n);

  // Content start and cursor - content start.
  void GetContent(uint8_t*& data, uint32_t& length) const;
  // The little-endian word at offset in the content (as GetContent gives
  // it): a record's id at 0; 0 when the content is shorter.
  uint32_t ContentWord(uint32_t offset) const;
  // Storing: writes the frame length into the slot and returns (block,
  // content length + 4). Otherwise: (block, receive size), nothing written.
  void GetFrame(uint8_t*& data, uint32_t& length);

  // What a loading archive lets its readers build in memory: MEMORY_FACTOR
  // times its data plus MEMORY_FLOOR. A reader charges the elements that a
  // count announces before it builds them; false (nothing charged) once the
  // total would pass the allowance, so that no archive, however forged,
  // makes its reader hold much more than the bytes that arrived. Rewind and
  // AllocateData start the count afresh.
  enum : uint32_t { MEMORY_FACTOR = 10, MEMORY_FLOOR = 65536 };
  bool ChargeMemory(uint64_t bytes);

  bool IsEncrypted() const;
  bool Encrypt(uint32_t selector, uint32_t modifier);
  bool Decrypt(uint32_t selector, uint32_t modifier);

  bool LoadFromFile(const char* path);
  // The content (id word up to the cursor) replaces the file at path in one
  // step (platform::ReplaceFileAtomically), missing folders created.
  bool StoreToFile(const char* path);

  // Primitive writes.
  bool Write(char v) { return WriteBytes(&v, 1); }
  bool Write(unsigned char v) { return WriteBytes(&v, 1); }
  bool Write(bool v);
  bool Write(int16_t v);
  bool Write(uint16_t v);
  bool Write(int32_t v);
  bool Write(uint32_t v);
  bool Write(const std::string& s);
  bool Write(const char* s);
  // Raw bytes; fails for a null pointer or n = 0.
  bool WriteRaw(const void* p, uint32_t n);
  bool WriteFill(uint8_t value, uint32_t n);

  // Primitive reads.
  bool Read(char& v) { return ReadBytes(&v, 1); }
  bool Read(unsigned char& v) { return ReadBytes(&v, 1); }
  bool Read(bool& v);
  bool Read(int16_t& v);
  bool Read(uint16_t& v);
  bool Read(int32_t& v);
  bool Read(uint32_t& v);
  bool Read(std::string& s);
  bool ReadRaw(void* p, uint32_t n) { return ReadBytes(p, n); }

  // Inspection for the transport and the tools.
  uint32_t GetCapacity() const { return m_uiCapacity; }
  uint32_t GetReceiveSize() const { return m_uiReceiveSize; }
  // Bytes placed in the archive (data end - content start).
  uint32_t GetDataLength() const;
  // Read position (cursor - content start).
  uint32_t GetPosition() const;
  // Bytes between the cursor and the data end: what a reader still has.
  uint32_t GetRemaining() const;

 private:
  bool Grow(uint32_t n);
  bool WriteBytes(const void* p, uint32_t n);
  bool ReadBytes(void* p, uint32_t n);

  uint32_t m_uiReceiveSize;
  uint8_t* m_pContent;   // m_pBlock + 4
  uint8_t* m_pCursor;
  uint32_t m_uiCapacity;  // bytes for content, without the length slot
  uint8_t* m_pBlock;
  uint8_t m_Mode;
  uint8_t* m_pDataEnd;
  uint64_t m_ullCharged = 0;
};
