// The bases of every serialisable record. A record writes its object id,
// (replies) its result code, its newest version and then every field in a
// fixed order; a reader checks the id, honours the version it finds and stops
// at the last field that version describes.
//
// A record names that order once, in VisitFields; Serialize writes and reads
// through it, and the tools' JSON form walks the same list.
#pragma once

#include <cstdint>
#include <string>

class CArchiveBuffer;
class CFieldVisitor;

class CSerialize {
 public:
  explicit CSerialize(uint32_t id) : m_uiObjectId(id) {}
  CSerialize(const CSerialize&) = default;
  CSerialize& operator=(const CSerialize&) = default;
  virtual ~CSerialize() = default;
  // Writes or reads the record's field list (SerializeFields); a record that
  // must reset itself before a read overrides it to do so first.
  virtual bool Serialize(CArchiveBuffer& ar) { return SerializeFields(ar); }
  // Walks the record's fields in wire order with v; false where v stops.
  // A record without a field list (one that overrides Serialize alone)
  // gives false.
  virtual bool VisitFields(CFieldVisitor& v);

  uint32_t GetId() const { return m_uiObjectId; }
  // Reads one 32-bit word and succeeds only if it equals this record's id. An
  // id still carrying the enciphered flag never matches.
  bool CheckId(CArchiveBuffer& ar) const;

 protected:
  bool SerializeFields(CArchiveBuffer& ar);
  // The head of a record with a 32-bit version word, for writers outside
  // the field list. Storing writes the id and `newest`, never the version
  // the record was read with: every field is written, and only the newest
  // version word announces them all (an older or 0 word would stop a reader
  // short of them and shift whatever follows). Loading checks the id and
  // reads the version word into `version`.
  bool SerializeHead(CArchiveBuffer& ar, uint32_t& version, uint32_t newest);

 private:
  uint32_t m_uiObjectId;
};

class CResponse : public CSerialize {
 public:
  CResponse(uint32_t id, int32_t result = 0) : CSerialize(id), m_iResult(result) {}
  int32_t GetResult() const { return m_iResult; }
  void SetResult(int32_t result) { m_iResult = result; }

 protected:
  // Every reply that carries its result code carries it right after its id.
  int32_t m_iResult;
};

// A record's whole frame as it travels on a connection or in a datagram:
// the length word, then the archive's content.
std::string FrameOf(CSerialize& record);
inline std::string FrameOf(CSerialize&& record) { return FrameOf(record); }
