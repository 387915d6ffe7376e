// The browse message records: requests, items and responses.
//
// Every record derives from PKMessageBase alone, adds no data members and is
// a value (copies are deep and independent). Each field has one accessor per
// use, named after the field, that calls the base operation of the field's
// kind with the field's constants:
//   T        x()                 integer or text; 0 or "" when unset
//   void     setX(v)             stores v; the field counts as set
//   Sub&     x(forWrite)         sub-record, created empty when absent
//   void     setX(const Sub&)    stores a copy of a sub-record
//   vector&  x(forWrite)         list, created empty when absent
// Presence is tested with isSet(record, Record::kX) and a sub-record or list
// that should count as set while empty is marked with markSet(record, kX).
// References to sub-records and lists stay valid until the owning record is
// assigned to or destroyed. Reading a sub-record or list through its accessor
// moves the record to the full form of its storage (see PKMessageBase.h);
// the const readers (integers, textView, BrowseData::flagValue) do not.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "PKMessageBase.h"
#include "RwXMLMessagesBaseExport.h"

namespace databrowse {

// The constants that address one field of one record.
struct FieldId {
  short number;
  short storageIndex;
  unsigned long recordHash;
  unsigned int fieldHash;
};

// True when the field counts as set in `record`.
inline bool isSet(const PKMessageBase& record, FieldId id) {
  return record.isSet(id.number, id.recordHash, id.fieldHash);
}

// Makes an accessed sub-record or list field count as set while empty.
inline void markSet(PKMessageBase& record, FieldId id) {
  record.markSet(id.number, id.recordHash, id.fieldHash);
}

// An item field to sort by. Held in 4 bytes; values other than the named
// ones are carried, copied and compared alike but add no sort key.
enum RWXMLMESSAGESBASE_EXPORT FilteredBrowseField : std::int32_t {
  ByName = 0,
  ByNumber = 12,
  ByFlag = 38,
};

// AggregateParameters::type that asks for the number of cached items.
inline constexpr std::int64_t AggregateCount = 4;

namespace detail {

// Accessors shared by all records, parameterised by the field's constants.
class RWXMLMESSAGESBASE_EXPORT Record : public PKMessageBase {
 protected:
  using PKMessageBase::PKMessageBase;

  long long integer(FieldId id) const { return getint64(id.number, id.recordHash, id.fieldHash); }
  void setInteger(FieldId id, long long value) {
    setint64(id.number, id.storageIndex, value, id.recordHash, id.fieldHash);
  }
  std::string text(FieldId id) {
    return getstring(id.number, id.storageIndex, id.recordHash, id.fieldHash);
  }
  std::string_view textView(FieldId id) const {
    return getstringview(id.number, id.recordHash, id.fieldHash);
  }
  // The integer `field` of the sub-record (of class T) in `id`, or 0 when
  // either is absent; creates neither and never allocates.
  template <class T>
  long long subInteger(FieldId id, FieldId field) const {
    return getsubint64<T>(id.number, id.recordHash, id.fieldHash, field.number, field.recordHash,
                          field.fieldHash);
  }
  void setText(FieldId id, const std::string& value) {
    setstring(id.number, id.storageIndex, value, id.recordHash, id.fieldHash);
  }
  template <class T>
  T& sub(FieldId id, bool forWrite) {
    const T prototype;
    return *getObjectAccessor<T>(true, forWrite, id.number, id.storageIndex, id.recordHash,
                                 id.fieldHash, prototype.family(), prototype.typeNumber());
  }
  template <class T>
  void setSub(FieldId id, const T& value) {
    setObjectAccessor<T>(&value, id.number, id.storageIndex, id.recordHash, id.fieldHash);
  }
  template <class T>
  std::vector<T>& records(FieldId id, bool forWrite) {
    return *getlistobject<T>(id.number, id.storageIndex, id.recordHash, id.fieldHash, forWrite);
  }
  template <class E>
  std::vector<E>& values(FieldId id, bool forWrite) {
    return *getlistint<E>(id.number, id.storageIndex, id.recordHash, id.fieldHash, forWrite);
  }
};

}  // namespace detail

// A request's context; the cache carries it unread into every response.
class RWXMLMESSAGESBASE_EXPORT BrowseContext : public detail::Record {
 public:
  static constexpr FieldId kSessionId{1, 1, 1677823105, 1201};
  static constexpr FieldId kSequence{2, 2, 1677823105, 1202};

  BrowseContext() : Record(100, 65) {}
  std::string sessionId() { return text(kSessionId); }
  void setSessionId(const std::string& v) { setText(kSessionId, v); }
  long long sequence() const { return integer(kSequence); }
  void setSequence(long long v) { setInteger(kSequence, v); }
};

// One entry of a request's paths.
class RWXMLMESSAGESBASE_EXPORT BrowsePath : public detail::Record {
 public:
  static constexpr FieldId kPath{1, 1, 1677919727, 3433509};

  BrowsePath() : Record(100, 91) {}
  std::string path() { return text(kPath); }
  void setPath(const std::string& v) { setText(kPath, v); }
};

// The first position and the number of items of a page.
class RWXMLMESSAGESBASE_EXPORT PagingParameters : public detail::Record {
 public:
  static constexpr FieldId kOffset{2, 2, 1683189462, 14561313};
  static constexpr FieldId kLimit{3, 3, 1683189462, 3790640};

  PagingParameters() : Record(100, 6) {}
  long long offset() const { return integer(kOffset); }
  void setOffset(long long v) { setInteger(kOffset, v); }
  long long limit() const { return integer(kLimit); }
  void setLimit(long long v) { setInteger(kLimit, v); }
};

// The item fields to sort by and the direction (nonzero: descending).
class RWXMLMESSAGESBASE_EXPORT SortParameters : public detail::Record {
 public:
  static constexpr FieldId kFields{1, 1, 1692411247, 9375381};
  static constexpr FieldId kDirection{2, 2, 1692411247, 11845336};

  SortParameters() : Record(100, 68) {}
  std::vector<FilteredBrowseField>& fields(bool forWrite = false) {
    return values<FilteredBrowseField>(kFields, forWrite);
  }
  long long direction() const { return integer(kDirection); }
  void setDirection(long long v) { setInteger(kDirection, v); }
};

// A query's sort and paging parameters.
class RWXMLMESSAGESBASE_EXPORT QueryParameters : public detail::Record {
 public:
  static constexpr FieldId kPaging{2, 2, 1693291235, 10885004};
  static constexpr FieldId kSort{3, 3, 1693291235, 7210383};

  QueryParameters() : Record(100, 71) {}
  PagingParameters& paging(bool forWrite = false) {
    return sub<PagingParameters>(kPaging, forWrite);
  }
  SortParameters& sort(bool forWrite = false) { return sub<SortParameters>(kSort, forWrite); }
};

// The aggregate that a query asks for.
class RWXMLMESSAGESBASE_EXPORT AggregateParameters : public detail::Record {
 public:
  static constexpr FieldId kType{1, 1, 1684977198, 2456171};

  AggregateParameters() : Record(100, 70) {}
  long long type() const { return integer(kType); }
  void setType(long long v) { setInteger(kType, v); }
};

// One query of a request: a page of sorted items or an aggregate.
class RWXMLMESSAGESBASE_EXPORT Query : public detail::Record {
 public:
  static constexpr FieldId kQueryId{2, 2, 1689004200, 790531};
  static constexpr FieldId kAggregate{4, 7, 1689004200, 4625276};
  static constexpr FieldId kParameters{5, 8, 1689004200, 8090371};

  Query() : Record(100, 93) {}
  std::string queryId() { return text(kQueryId); }
  void setQueryId(const std::string& v) { setText(kQueryId, v); }
  AggregateParameters& aggregate(bool forWrite = false) {
    return sub<AggregateParameters>(kAggregate, forWrite);
  }
  QueryParameters& parameters(bool forWrite = false) {
    return sub<QueryParameters>(kParameters, forWrite);
  }
};

// A browse request: the paths browsed, the queries to answer, a context.
class RWXMLMESSAGESBASE_EXPORT BrowseRequest : public detail::Record {
 public:
  static constexpr FieldId kContext{2, 2, 1682736261, 5276310};
  static constexpr FieldId kPaths{4, 4, 1682736261, 5775598};
  static constexpr FieldId kQueries{12, 12, 1682736261, 776038};

  BrowseRequest() : Record(100, 92) {}
  BrowseContext& context(bool forWrite = false) { return sub<BrowseContext>(kContext, forWrite); }
  std::vector<BrowsePath>& paths(bool forWrite = false) {
    return records<BrowsePath>(kPaths, forWrite);
  }
  std::vector<Query>& queries(bool forWrite = false) { return records<Query>(kQueries, forWrite); }
};

// Holds an item's flag value.
class RWXMLMESSAGESBASE_EXPORT ItemFlags : public detail::Record {
 public:
  static constexpr FieldId kFlag{1, 1, 1692230570, 3143036};

  ItemFlags() : Record(100, 0) {}
  long long flag() const { return integer(kFlag); }
  void setFlag(long long v) { setInteger(kFlag, v); }
};

// One browse item.
class RWXMLMESSAGESBASE_EXPORT BrowseData : public detail::Record {
 public:
  static constexpr FieldId kFlags{1, 1, 1694339444, 13627015};
  static constexpr FieldId kNumber{2, 2, 1694339444, 10447497};
  static constexpr FieldId kName{6, 9, 1694339444, 2872941};

  BrowseData() : Record(100, 94) {}
  ItemFlags& flags(bool forWrite = false) { return sub<ItemFlags>(kFlags, forWrite); }
  // The flag of the item's flags, or 0 when it has none. Never adds the
  // flags, never allocates and leaves the item's storage as it is.
  long long flagValue() const { return subInteger<ItemFlags>(kFlags, ItemFlags::kFlag); }
  // Sets the flag of the item's flags, adding them when absent; an item kept
  // in compact form stays compact (flags(true).setFlag(v) would not).
  void setFlagValue(long long v) {
    setsubint64<ItemFlags>(kFlags.number, kFlags.storageIndex, kFlags.recordHash, kFlags.fieldHash,
                           ItemFlags::kFlag.number, ItemFlags::kFlag.storageIndex,
                           ItemFlags::kFlag.recordHash, ItemFlags::kFlag.fieldHash, v);
  }
  // The flags when the item has them, else null; never adds them, but moves
  // an item that has them to the full form of its storage (flagValue does not).
  const ItemFlags* flagsIfPresent() const {
    return findObject<ItemFlags>(kFlags.number, kFlags.recordHash, kFlags.fieldHash);
  }
  long long number() const { return integer(kNumber); }
  void setNumber(long long v) { setInteger(kNumber, v); }
  std::string name() { return text(kName); }
  // The name without a copy; valid until the item changes or moves, and
  // until flags() or flagsIfPresent() is called (see getstringview).
  std::string_view nameView() const { return textView(kName); }
  void setName(const std::string& v) { setText(kName, v); }
};

// One aggregate value.
class RWXMLMESSAGESBASE_EXPORT AggregateResult : public detail::Record {
 public:
  static constexpr FieldId kCount{2, 5, 1678433948, 5097501};

  AggregateResult() : Record(100, 96) {}
  long long count() const { return integer(kCount); }
  void setCount(long long v) { setInteger(kCount, v); }
};

// The result of one query: its id and either a page of items or aggregates.
class RWXMLMESSAGESBASE_EXPORT BrowseResult : public detail::Record {
 public:
  static constexpr FieldId kQueryId{1, 1, 1694179175, 790531};
  static constexpr FieldId kAggregates{2, 5, 1694179175, 13964916};
  static constexpr FieldId kItems{3, 6, 1694179175, 15784571};

  BrowseResult() : Record(100, 98) {}
  std::string queryId() { return text(kQueryId); }
  void setQueryId(const std::string& v) { setText(kQueryId, v); }
  std::vector<AggregateResult>& aggregates(bool forWrite = false) {
    return records<AggregateResult>(kAggregates, forWrite);
  }
  std::vector<BrowseData>& items(bool forWrite = false) {
    return records<BrowseData>(kItems, forWrite);
  }
};

// The answer to one query.
class RWXMLMESSAGESBASE_EXPORT BrowseResponse : public detail::Record {
 public:
  static constexpr FieldId kStatus{1, 1, 1684783371, 11204394};
  static constexpr FieldId kContext{3, 6, 1684783371, 5276310};
  static constexpr FieldId kResult{6, 9, 1684783371, 3132231};

  BrowseResponse() : Record(100, 101) {}
  long long status() const { return integer(kStatus); }
  void setStatus(long long v) { setInteger(kStatus, v); }
  BrowseContext& context(bool forWrite = false) { return sub<BrowseContext>(kContext, forWrite); }
  void setContext(const BrowseContext& v) { setSub(kContext, v); }
  BrowseResult& result(bool forWrite = false) { return sub<BrowseResult>(kResult, forWrite); }
};

}  // namespace databrowse
