// CFieldVisitor: what a record's field list is walked with. Every record
// names its fields once, in wire order and under the names its JSON form
// uses (CSerialize::VisitFields); the archive writer and reader
// (CArchiveFieldVisitor) and the tools' JSON form walk that one list. List
// fields are described in FieldList.h.
//
// Each call returns false to stop the walk: on failure, and also where a
// record read from an archive ends early (a version 0 word, an older
// version's last field); the visitor tells the two apart.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

class CSerialize;
class CFieldList;

class CFieldVisitor {
 public:
  virtual ~CFieldVisitor() = default;

  // True when the walk fills the record (an archive being read, JSON being
  // taken in), false when it takes the record's values.
  virtual bool IntoRecord() const = 0;
  // True for an archive, false for the JSON form.
  virtual bool OnWire() const = 0;

  // The record's object id word.
  virtual bool Begin(CSerialize& record) = 0;
  // The version word: written as `newest`, read into version; a record read
  // with version 0 ends behind it.
  virtual bool Version(uint32_t& version, uint32_t newest) = 0;
  virtual bool Version(uint8_t& version, uint8_t newest) = 0;
  // The fields behind this point came with `version`: a record read with an
  // older one ends here.
  virtual bool Since(uint32_t version) = 0;
  // A record that the service only reads: writing it writes nothing, and
  // its JSON form cannot be taken in (`what` names it in the refusal).
  virtual bool ReadOnly(const char* what) = 0;

  virtual bool Field(const char* name, bool& v) = 0;
  virtual bool Field(const char* name, uint8_t& v) = 0;
  virtual bool Field(const char* name, int32_t& v) = 0;
  virtual bool Field(const char* name, uint32_t& v) = 0;
  // Eight bytes, little-endian.
  virtual bool Field(const char* name, int64_t& v) = 0;
  virtual bool Field(const char* name, std::string& v) = 0;
  // A nested record; a null name stands for a list element that is the
  // record itself.
  virtual bool Field(const char* name, CSerialize& record) = 0;
  // Counted lists of texts and of 32-bit numbers.
  virtual bool Field(const char* name, std::vector<std::string>& v) = 0;
  virtual bool Field(const char* name, std::vector<uint32_t>& v) = 0;
  // A flag that travels as a byte or as a 32-bit word (width 1 or 4): 1 is
  // set, anything else clear.
  virtual bool Flag(const char* name, bool& v, uint32_t width) = 0;
  // A 32-bit value that travels in one byte.
  virtual bool Byte(const char* name, uint32_t& v) = 0;
  // A number in low..high that travels in one byte (signed when low < 0).
  virtual bool Byte(const char* name, int32_t& v, int32_t low, int32_t high) = 0;
  // A fixed number of 32-bit words.
  virtual bool Words(const char* name, uint32_t* words, uint32_t count) = 0;
  // A byte block behind its 32-bit length. With textName, the JSON form
  // shows a block that holds one NUL-terminated text as that text.
  virtual bool Block(const char* name, std::vector<uint8_t>& bytes, const char* textName = nullptr) = 0;
  // A process-wide one-byte counter: a write takes its value and counts it
  // up, a read stores the byte read into it.
  virtual bool Counter(const char* name, std::atomic<uint8_t>& counter) = 0;
  // A record that is written (and shown) but skipped when reading.
  virtual bool Written(const char* name, CSerialize& record) = 0;
  // Values shown in the JSON form for the reader; never on the wire, never
  // taken in.
  virtual bool Shown(const char* name, int64_t value) = 0;
  virtual bool Shown(const char* name, const char* text) = 0;

  // A counted list: its count word (checked against what arrived before
  // anything is built), then, wherever the record puts them, its elements.
  virtual bool Count(CFieldList& list) = 0;
  virtual bool Elements(const char* name, CFieldList& list) = 0;
  bool List(const char* name, CFieldList& list) { return Count(list) && Elements(name, list); }
};
