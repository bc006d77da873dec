#include "records/BindMap.h"

#include "serialize/ArchiveBuffer.h"
#include "serialize/FieldList.h"
#include "serialize/ObjectId.h"
#include "serialize/RecordCount.h"

CBindMap::CBindMap() : CSerialize(OBJID_CBindMap), m_uiVersion(CURRENT_VERSION) {}

bool CBindMap::Serialize(CArchiveBuffer& ar) {
  if (!ar.IsStoring()) m_Map.clear();
  return SerializeFields(ar);
}

bool CBindMap::VisitFields(CFieldVisitor& v) {
  auto bindingFields = [](CFieldVisitor& v, Binding& b) {
    return v.Field("seconds", b.m_Confirmed.m_iSeconds) && v.Field("nanoseconds", b.m_Confirmed.m_iNanoseconds) &&
           v.Field("local", b.m_strLocal);
  };
  // Each foreign address takes at least its binding count and its string
  // count, each binding its time point and its string count.
  auto foreignFields = [&bindingFields](CFieldVisitor& v, auto& e) {
    auto bindings = field::List<Binding>(
        e.second, bindingFields, [](BindingList& l, Binding& b) { return l.push_back(b), true; }, 20,
        record_count::VectorSlot<Binding>());
    return v.Count(bindings) && field::Key(v, "foreign", e.first) && v.Elements("bindings", bindings);
  };
  auto foreign = field::List<std::pair<std::string, BindingList>>(
      m_Map, foreignFields,
      [](std::map<std::string, BindingList>& m, std::pair<std::string, BindingList>& e) {
        BindingList& list = m[e.first];
        list.insert(list.end(), e.second.begin(), e.second.end());
        return true;
      },
      8, record_count::MapNode<std::string, BindingList>());
  return v.Begin(*this) && v.Version(m_uiVersion, CURRENT_VERSION) && v.List("foreign", foreign);
}

std::string CBindMap::GetLocalAddr(const std::string& foreign) const {
  auto it = m_Map.find(foreign);
  if (it == m_Map.end() || it->second.empty()) return std::string();
  return it->second.front().m_strLocal;
}

void CBindMap::RemoveLocal(const std::string& local) {
  for (auto it = m_Map.begin(); it != m_Map.end();) {
    BindingList& list = it->second;
    for (auto b = list.begin(); b != list.end(); ++b)
      if (b->m_strLocal == local) {
        list.erase(b);
        break;
      }
    if (list.empty())
      it = m_Map.erase(it);
    else
      ++it;
  }
}
