// CFieldVisitor: what a record's field list is walked with. Every record
// names its fields once, in wire order and under the names its JSON form
// uses (CSerialize::VisitFields); the archive writer and reader
// (CArchiveFieldVisitor) and the tools' JSON form walk that one list.
//
// Each call returns false to stop the walk: on failure, and also where a
// record read from an archive ends early (a version 0 word, an older
// version's last field); the visitor tells the two apart.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "serialize/RecordCount.h"

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

// A list field as the visitors see it; FieldList() below adapts a container.
class CFieldList {
 public:
  // An element's fields, walked with the visitor given.
  typedef std::function<bool(CFieldVisitor&)> Element;

  // minElementSize: the fewest bytes an element takes on the wire;
  // elementMemory: what one holds in memory (record_count); byteCount: the
  // count travels in one byte; maxCount: more elements than that fail to
  // read.
  CFieldList(uint32_t minElementSize, uint32_t elementMemory, bool byteCount = false, uint32_t maxCount = UINT32_MAX)
      : m_uiMinElementSize(minElementSize), m_uiElementMemory(elementMemory), m_bByteCount(byteCount),
        m_uiMaxCount(byteCount ? 255 : maxCount) {}
  virtual ~CFieldList() = default;

  virtual size_t Size() const = 0;
  virtual void Clear() = 0;
  // each(element) for every element in wire order, until one gives false.
  virtual bool ForEach(const std::function<bool(const Element&)>& each) = 0;
  // Builds one element through v and files it.
  virtual bool Add(CFieldVisitor& v) = 0;

  const uint32_t m_uiMinElementSize;
  const uint32_t m_uiElementMemory;
  const bool m_bByteCount;
  const uint32_t m_uiMaxCount;
  // The count an archive read announced, for Elements.
  uint32_t m_uiPending = 0;
};

namespace field {

// The value of a map entry, or the element itself.
template <typename K, typename V>
V& Value(std::pair<K, V>& entry) {
  return entry.second;
}
template <typename T>
T& Value(T& element) {
  return element;
}

// A map key: visited through a copy where the map holds it constant.
template <typename K>
bool Key(CFieldVisitor& v, const char* name, const K& key) {
  K copy = key;
  return v.Field(name, copy);
}
template <typename K>
bool Key(CFieldVisitor& v, const char* name, K& key) {
  return v.Field(name, key);
}

template <typename Loaded, typename Container, typename Fields, typename Put>
class ListOf : public CFieldList {
 public:
  ListOf(Container& c, Fields fields, Put put, uint32_t minElementSize, uint32_t elementMemory, bool byteCount,
         uint32_t maxCount)
      : CFieldList(minElementSize, elementMemory, byteCount, maxCount), m_Container(c), m_Fields(fields),
        m_Put(put) {}
  size_t Size() const override { return m_Container.size(); }
  void Clear() override { m_Container.clear(); }
  bool ForEach(const std::function<bool(const Element&)>& each) override {
    for (auto& e : m_Container)
      if (!each([&](CFieldVisitor& v) { return m_Fields(v, e); })) return false;
    return true;
  }
  bool Add(CFieldVisitor& v) override {
    Loaded e{};
    return m_Fields(v, e) && m_Put(m_Container, e);
  }

 private:
  Container& m_Container;
  Fields m_Fields;
  Put m_Put;
};

// A list over c whose elements are built as Loaded: fields(v, element)
// names an element's fields (for a stored element as well as for a Loaded
// one, so usually a generic lambda), put(c, loaded) files one read.
template <typename Loaded, typename Container, typename Fields, typename Put>
ListOf<Loaded, Container, Fields, Put> List(Container& c, Fields fields, Put put, uint32_t minElementSize,
                                            uint32_t elementMemory, bool byteCount = false,
                                            uint32_t maxCount = UINT32_MAX) {
  return ListOf<Loaded, Container, Fields, Put>(c, fields, put, minElementSize, elementMemory, byteCount, maxCount);
}

// The common list whose elements are nested records, each its own element.
template <typename Record, typename Container, typename Put>
auto Records(Container& c, Put put, uint32_t elementMemory, bool byteCount = false, uint32_t maxCount = UINT32_MAX) {
  auto fields = [](CFieldVisitor& v, auto& e) { return v.Field(nullptr, Value(e)); };
  return List<Record>(c, fields, put, record_count::MIN_RECORD_SIZE, elementMemory, byteCount, maxCount);
}

}  // namespace field
