// CFieldList: a counted list field as the field visitors see it, and
// field::List / field::Records, which describe a record's container as one:
// how an element's fields are named, how a read element is filed, and the
// bounds its count is checked against.
#pragma once

#include <cstdint>
#include <functional>
#include <utility>

#include "serialize/FieldVisitor.h"
#include "serialize/RecordCount.h"

// A list field as the visitors see it; field::List below adapts a container.
class CFieldList {
 public:
  // An element's fields, walked with the visitor given.
  typedef std::function<bool(CFieldVisitor&)> Element;

  // minElementSize: the fewest bytes an element takes on the wire;
  // elementMemory: what one holds in memory (record_count); byteCount: the
  // count travels in one byte (at most 255 elements); maxCount: more
  // elements than that fail to read or to write.
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
