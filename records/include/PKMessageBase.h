// PKMessageBase: the base of every message record.
//
// A record is a value: it owns its fields, and a copy holds deep, independent
// copies of all of them (sub-records and lists included). Fields are addressed
// by field number together with the constants that the record classes pass
// (storage index, record hash, field hash, and for a sub-record its type
// pair). A field holds one kind of value for its life: an integer (signed 64
// bits), a text, a sub-record, a list of records or a list of 4-byte values.
//
// Presence: a new record has no field set. An integer or text field is set
// once a value is stored in it. A sub-record or list always exists when read
// (an unset one reads empty) and reading it never makes it count as set; it
// counts as set once it holds something (a set field, an entry), once a value
// was stored into it with setObjectAccessor, or once markSet was called on it.
//
// Misuse throws std::logic_error and never corrupts memory. What is checked
// on every access: the record hash shifted right by 24 bits must be the
// record's family (the family in its top 8 of 32 bits, nothing above); the
// field hash must be the one that the field was created with; the field must
// hold the kind of value asked for; a sub-record must be of the class and
// type pair asked for, a list of the element type asked for. Not checked: the
// low 24 bits of the record hash, the storage index, and the field hash of a
// field that does not exist yet (it becomes the field's hash). So the
// constants of another record of the same family go unnoticed until they
// meet a field that exists with another hash or kind.
//
// Storage: a record is 64 bytes. While it holds only integers, texts and
// sub-records of such fields, they are kept in a compact encoding inside the
// record itself (up to 55 bytes, no allocation) or, when longer, in one heap
// block. A sub-record asked for by pointer (getObjectAccessor, findObject)
// moves to a heap object of its own that the compact encoding refers to, so
// the record stays compact; asking for a list, or for a sub-record whose
// class has no place in the table of classes below or that sits inside a
// compact sub-record, moves the record to its full form: one block of
// fixed-size entries, with each sub-record and list in a heap object of its
// own. Either way the pointers handed out stay valid until the record is
// assigned to or destroyed, across moves of the record too. A copy takes the
// compact form, with every sub-record inside its encoding, whenever the
// source holds no list (an empty one included) and every sub-record class
// found a place in the table.
//
// Failure: every operation that allocates leaves the record as it was when
// an allocation fails (the exception propagates).
//
// Thread safety: none. A record serves one thread at a time; this includes
// const reads, since findObject may change how the record is stored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <typeinfo>
#include <vector>

#include "RwXMLMessagesBaseExport.h"

class PKMessageBase;

namespace pk_detail {

struct RecordType;

// Owner of a sub-record or a list, copied deeply through clone().
class RWXMLMESSAGESBASE_EXPORT Box {
 public:
  virtual ~Box() = default;
  virtual Box* clone() const = 0;  // a new copy; the caller owns it
  virtual bool hasContent() const = 0;
  virtual bool equals(const Box& other) const = 0;
  // Heap bytes of the box itself and of everything that it owns.
  virtual std::size_t heapBytes() const = 0;
  // For a sub-record: the record held, its class, and that class's index in
  // the table of sub-record classes (-1 when the table is full). A list has
  // none of them.
  virtual PKMessageBase* record() { return nullptr; }
  virtual const PKMessageBase* record() const { return nullptr; }
  virtual const RecordType* recordType() const { return nullptr; }
  virtual int recordTypeIndex() const { return -1; }
};

enum class Kind : std::uint8_t { kInteger, kText, kRecord, kRecordList, kValueList };

RWXMLMESSAGESBASE_EXPORT const char* kindName(Kind kind);

// A sub-record class as the storage knows it: its C++ type, its type pair,
// and how to make an empty box of it.
struct RecordType {
  const std::type_info* type;
  std::int32_t family;
  std::int32_t typeNumber;
  Box* (*makeBox)();
};

// Enters `type` into the process-wide table that lets a compact sub-record
// name its class in one byte. Returns its index, or -1 once the table is full
// (255 classes); sub-records of a class without an index keep their record in
// the full form. Thread-safe.
RWXMLMESSAGESBASE_EXPORT int registerRecordType(const RecordType& type) noexcept;

template <class T>
class RecordBox;

template <class T>
RWXMLMESSAGESBASE_EXPORT const RecordType& recordTypeOf() {
  static const RecordType type = [] {
    const T prototype;
    return RecordType{&typeid(T), prototype.family(), prototype.typeNumber(),
                      []() -> Box* { return new RecordBox<T>(); }};
  }();
  return type;
}

template <class T>
RWXMLMESSAGESBASE_EXPORT int recordTypeIndexOf() {
  static const int index = registerRecordType(recordTypeOf<T>());
  return index;
}

template <class T>
class RWXMLMESSAGESBASE_EXPORT RecordBox final : public Box {
 public:
  RecordBox() = default;
  Box* clone() const override { return new RecordBox(*this); }
  bool hasContent() const override { return value_.hasAnyFieldSet(); }
  bool equals(const Box& other) const override {
    auto* same = dynamic_cast<const RecordBox*>(&other);
    return same && same->value_ == value_;
  }
  std::size_t heapBytes() const override { return sizeof(*this) + value_.heapBytes(); }
  PKMessageBase* record() override { return &value_; }
  const PKMessageBase* record() const override { return &value_; }
  const RecordType* recordType() const override { return &recordTypeOf<T>(); }
  int recordTypeIndex() const override { return recordTypeIndexOf<T>(); }
  T& value() { return value_; }
  const T& value() const { return value_; }

 private:
  T value_;
};

template <class T>
class RWXMLMESSAGESBASE_EXPORT ListBox final : public Box {
 public:
  ListBox() = default;
  Box* clone() const override { return new ListBox(*this); }
  bool hasContent() const override { return !value_.empty(); }
  bool equals(const Box& other) const override {
    auto* same = dynamic_cast<const ListBox*>(&other);
    return same && same->value_ == value_;
  }
  std::size_t heapBytes() const override {
    std::size_t bytes = sizeof(*this) + value_.capacity() * sizeof(T);
    if constexpr (std::is_base_of_v<PKMessageBase, T>) {
      for (const T& entry : value_) bytes += entry.heapBytes();
    }
    return bytes;
  }
  std::vector<T>& value() { return value_; }

 private:
  std::vector<T> value_;
};

struct Block;   // the full form: a record's fields, in one allocation
struct Access;  // the storage code's way into a record, inside the library

// The 56 bytes of a record's storage; the first byte tells the form.
union Storage {
  static constexpr std::uint8_t kInlineCapacity = 55;
  // Inline, this bit of `used` tells that the encoding refers to sub-records
  // in heap objects of their own; out-of-line, kOutOfLineWithBoxes does.
  static constexpr std::uint8_t kBoxesBit = 0x80;
  static constexpr std::uint8_t kOutOfLineWithBoxes = 0xFD;
  static constexpr std::uint8_t kOutOfLine = 0xFE;
  static constexpr std::uint8_t kFull = 0xFF;

  // The form that the first byte tells.
  enum class Form { kInline, kOutOfLine, kFull };
  Form form() const {
    if (inlined.used <= kInlineCapacity) return Form::kInline;
    if (inlined.used == kFull) return Form::kFull;
    return inlined.used >= kOutOfLineWithBoxes ? Form::kOutOfLine : Form::kInline;
  }
  // True when the compact encoding refers to sub-records in heap objects.
  bool holdsBoxes() const {
    return inlined.used == kOutOfLineWithBoxes ||
           (inlined.used & kBoxesBit && inlined.used <= (kBoxesBit | kInlineCapacity));
  }
  // Bytes of the inline encoding.
  std::uint8_t inlineSize() const { return inlined.used & ~kBoxesBit & 0xFF; }
  // Only the plain inline form owns no heap memory.
  bool ownsHeap() const { return inlined.used > kInlineCapacity; }

  struct Inline {
    std::uint8_t used;  // 0..kInlineCapacity, with kBoxesBit
    char bytes[kInlineCapacity];
  } inlined;
  struct OutOfLine {
    std::uint8_t form;  // kOutOfLine or kOutOfLineWithBoxes
    std::uint32_t size;
    char* data;
    std::uint32_t capacity;
  } outOfLine;
  struct Full {
    std::uint8_t form;  // kFull
    Block* block;
  } full;
};
static_assert(sizeof(Storage) == 56);

}  // namespace pk_detail

class RWXMLMESSAGESBASE_EXPORT PKMessageBase {
 public:
  // An empty record of the given type pair: no field set. Never allocates.
  PKMessageBase(int family, int typeNumber);
  // A deep copy; a record kept inside the object is copied without a call.
  PKMessageBase(const PKMessageBase& other)
      : family_(other.family_), typeNumber_(other.typeNumber_), storage_(other.storage_) {
    if (storage_.ownsHeap()) copyHeap(other);
  }
  // Takes the other's fields; the other is left empty. Never allocates.
  PKMessageBase(PKMessageBase&& other) noexcept
      : family_(other.family_), typeNumber_(other.typeNumber_), storage_(other.storage_) {
    other.storage_ = pk_detail::Storage{};
  }
  ~PKMessageBase() {
    if (storage_.ownsHeap()) releaseHeap();
  }

  // Whole-record assignment: afterwards this record holds deep copies of the
  // other's fields. Assigning a record of another type pair throws.
  PKMessageBase& operator=(const PKMessageBase& other);
  PKMessageBase& operator=(PKMessageBase&& other);

  int family() const { return family_; }
  int typeNumber() const { return typeNumber_; }

  // Deep equality: same type pair, the same fields with the same presence and
  // values, whatever the storage forms.
  bool operator==(const PKMessageBase& other) const;

  // True when any field of this record counts as set.
  bool hasAnyFieldSet() const;

  // How the record keeps its fields now (see Storage above).
  enum class StorageForm { kInline, kOutOfLine, kFull };
  StorageForm storageForm() const;

  // Bytes of heap that the record owns: its out-of-line or full storage with
  // every sub-record and list in it; 0 for a record kept inside the object.
  // Never allocates and never changes the storage form.
  std::size_t heapBytes() const { return storage_.ownsHeap() ? ownedHeapBytes() : 0; }

  // The sub-record field, created empty (none of its fields set) when absent.
  // T is the record class of the sub-record, of type pair family/typeNumber.
  // The pointer is never null and stays valid while the field lives, that is,
  // until this record is assigned to or destroyed. Neither flag changes what
  // counts as set; the second one says whether the caller means to write.
  // A compact record stays compact (see Storage above).
  template <class T>
  T* getObjectAccessor(bool, bool forWrite, short fieldNumber, short storageIndex,
                       unsigned long recordHash, unsigned int fieldHash, int family,
                       int typeNumber);

  // The sub-record field when it exists, else null; unlike getObjectAccessor
  // it never creates the field. When the field exists this moves the
  // sub-record to a heap object of its own (and may allocate) so that the
  // pointer stays valid, as for getObjectAccessor; getsubint64 reads a
  // sub-record's integer without.
  template <class T>
  const T* findObject(short fieldNumber, unsigned long recordHash, unsigned int fieldHash) const;

  // Sets the sub-record field to a copy of *value, which stays unchanged; the
  // field counts as set afterwards. A compact record keeps a compact copy
  // inside its encoding, with no heap object for it.
  template <class T>
  void setObjectAccessor(T const* value, short fieldNumber, short storageIndex,
                         unsigned long recordHash, unsigned int fieldHash);

  // The list-of-records field, created empty when absent. Never null; valid
  // while the field lives. Moves the record to its full form.
  template <class T>
  std::vector<T>* getlistobject(short fieldNumber, short storageIndex, unsigned long recordHash,
                                unsigned int fieldHash, bool forWrite);

  // The list of 4-byte values, as a vector of E (a 4-byte enumeration or
  // integer), created empty when absent. Never null; valid while the field
  // lives. Moves the record to its full form.
  template <class E>
  std::vector<E>* getlistint(short fieldNumber, short storageIndex, unsigned long recordHash,
                             unsigned int fieldHash, bool forWrite);

  // The text, or the empty text when unset.
  std::string getstring(short fieldNumber, short storageIndex, unsigned long recordHash,
                        unsigned int fieldHash);
  // The same text without a copy. Never allocates. The view is valid until
  // the record changes, moves, or moves to its full form (getObjectAccessor,
  // getlistobject, getlistint and findObject may do that); read everything
  // that needs a pointer first.
  std::string_view getstringview(short fieldNumber, unsigned long recordHash,
                                 unsigned int fieldHash) const;
  void setstring(short fieldNumber, short storageIndex, std::string const& value,
                 unsigned long recordHash, unsigned int fieldHash);

  // The integer, or 0 when unset. Never allocates.
  long long getint64(short fieldNumber, unsigned long recordHash, unsigned int fieldHash) const;
  void setint64(short fieldNumber, short storageIndex, long long value, unsigned long recordHash,
                unsigned int fieldHash);

  // The integer field subFieldNumber of the sub-record (of class T) in field
  // fieldNumber, or 0 when either is absent. Creates nothing, never changes
  // the storage form and never allocates. The sub-record's constants are
  // checked as for getint64 on the sub-record.
  template <class T>
  long long getsubint64(short fieldNumber, unsigned long recordHash, unsigned int fieldHash,
                        short subFieldNumber, unsigned long subRecordHash,
                        unsigned int subFieldHash) const;

  // Sets the integer field subFieldNumber of the sub-record (of class T) in
  // field fieldNumber, creating the sub-record when absent. A record kept in
  // compact form stays compact (getObjectAccessor followed by setint64 would
  // move it to its full form); a failure leaves the record as it was.
  template <class T>
  void setsubint64(short fieldNumber, short storageIndex, unsigned long recordHash,
                   unsigned int fieldHash, short subFieldNumber, short subStorageIndex,
                   unsigned long subRecordHash, unsigned int subFieldHash, long long value);

  // True when the field counts as set (see the presence rules above). For a
  // list, true does not mean that it has entries. Never allocates.
  bool isSet(short fieldNumber, unsigned long recordHash, unsigned long fieldHash) const;

  // Makes a sub-record or list field that exists count as set even while it
  // is empty (a list given as [] stays present). Throws when the field was
  // never accessed or holds an integer or a text. Never allocates.
  void markSet(short fieldNumber, unsigned long recordHash, unsigned int fieldHash);

 private:
  friend struct pk_detail::Access;
  using Box = pk_detail::Box;
  using Kind = pk_detail::Kind;
  using RecordType = pk_detail::RecordType;

  // The box of a sub-record or list field, created with `make` when absent.
  // A list, or a sub-record that cannot be boxed in the compact form, moves
  // the record to its full form. For a sub-record, `type` is the class asked
  // for, checked before anything changes.
  Box& box(short fieldNumber, unsigned long recordHash, unsigned int fieldHash, Kind kind,
           const RecordType* type, Box* (*make)());
  // The box of an existing sub-record field of class `type`, or null when the
  // field is absent; boxes it (see box) when it is there.
  const Box* findBox(short fieldNumber, unsigned long recordHash, unsigned int fieldHash,
                     const RecordType& type) const;
  long long subint64(const RecordType& type, short fieldNumber, unsigned long recordHash,
                     unsigned int fieldHash, short subFieldNumber, unsigned long subRecordHash,
                     unsigned int subFieldHash) const;
  // setsubint64 on the compact form; false when the record is in its full
  // form or the class has no compact index, and nothing was done.
  bool setCompactSubint64(const RecordType& type, int typeIndex, short fieldNumber,
                          unsigned long recordHash, unsigned int fieldHash, short subFieldNumber,
                          unsigned long subRecordHash, unsigned int subFieldHash, long long value);
  // setObjectAccessor on the compact form: the field becomes a marked-set
  // compact copy of `value`. False when the record is in its full form, the
  // class has no compact index or `value` holds a list, and nothing was done.
  bool setCompactRecord(const RecordType& type, int typeIndex, const PKMessageBase& value,
                        short fieldNumber, unsigned long recordHash, unsigned int fieldHash);
  [[noreturn]] void throwBoxType(short fieldNumber, const std::type_info& wanted) const;
  // Frees what the out-of-line or full storage owns.
  void releaseHeap() noexcept;
  std::size_t ownedHeapBytes() const noexcept;
  // Replaces the storage, which holds the other's heap pointers, by a copy.
  void copyHeap(const PKMessageBase& other);

  template <class BoxT>
  BoxT& typedBox(short fieldNumber, unsigned long recordHash, unsigned int fieldHash, Kind kind,
                 const RecordType* type);

  std::int32_t family_;
  std::int32_t typeNumber_;
  // Mutable: findObject may move a record to its full form, which changes
  // how it is stored but not its value.
  mutable pk_detail::Storage storage_;
};

template <class BoxT>
BoxT& PKMessageBase::typedBox(short fieldNumber, unsigned long recordHash, unsigned int fieldHash,
                              Kind kind, const RecordType* type) {
  Box& found =
      box(fieldNumber, recordHash, fieldHash, kind, type, []() -> Box* { return new BoxT(); });
  // Box classes are final: an exact type test is enough, and cheaper than a cast.
  if (typeid(found) != typeid(BoxT)) throwBoxType(fieldNumber, typeid(BoxT));
  return static_cast<BoxT&>(found);
}

template <class T>
T* PKMessageBase::getObjectAccessor(bool, bool, short fieldNumber, short, unsigned long recordHash,
                                    unsigned int fieldHash, int family, int typeNumber) {
  static_assert(std::is_base_of_v<PKMessageBase, T>, "a sub-record is a record");
  const RecordType& type = pk_detail::recordTypeOf<T>();
  if (type.family != family || type.typeNumber != typeNumber) {
    throwBoxType(fieldNumber, typeid(T));
  }
  return &typedBox<pk_detail::RecordBox<T>>(fieldNumber, recordHash, fieldHash, Kind::kRecord,
                                            &type)
              .value();
}

template <class T>
const T* PKMessageBase::findObject(short fieldNumber, unsigned long recordHash,
                                   unsigned int fieldHash) const {
  const Box* found = findBox(fieldNumber, recordHash, fieldHash, pk_detail::recordTypeOf<T>());
  if (found == nullptr) return nullptr;
  if (typeid(*found) != typeid(pk_detail::RecordBox<T>)) throwBoxType(fieldNumber, typeid(T));
  return &static_cast<const pk_detail::RecordBox<T>*>(found)->value();
}

template <class T>
void PKMessageBase::setObjectAccessor(T const* value, short fieldNumber, short storageIndex,
                                      unsigned long recordHash, unsigned int fieldHash) {
  if (value == nullptr) throw std::logic_error("setObjectAccessor: null sub-record");
  if (setCompactRecord(pk_detail::recordTypeOf<T>(), pk_detail::recordTypeIndexOf<T>(), *value,
                       fieldNumber, recordHash, fieldHash)) {
    return;
  }
  T copy = *value;
  T* target = getObjectAccessor<T>(true, true, fieldNumber, storageIndex, recordHash, fieldHash,
                                   copy.family(), copy.typeNumber());
  *target = std::move(copy);
  markSet(fieldNumber, recordHash, fieldHash);
}

template <class T>
std::vector<T>* PKMessageBase::getlistobject(short fieldNumber, short, unsigned long recordHash,
                                             unsigned int fieldHash, bool) {
  static_assert(std::is_base_of_v<PKMessageBase, T>, "a list of records holds records");
  return &typedBox<pk_detail::ListBox<T>>(fieldNumber, recordHash, fieldHash, Kind::kRecordList,
                                          nullptr)
              .value();
}

template <class E>
std::vector<E>* PKMessageBase::getlistint(short fieldNumber, short, unsigned long recordHash,
                                          unsigned int fieldHash, bool) {
  static_assert(sizeof(E) == 4 && (std::is_enum_v<E> || std::is_integral_v<E>),
                "a value list holds 4-byte values");
  return &typedBox<pk_detail::ListBox<E>>(fieldNumber, recordHash, fieldHash, Kind::kValueList,
                                          nullptr)
              .value();
}

template <class T>
long long PKMessageBase::getsubint64(short fieldNumber, unsigned long recordHash,
                                     unsigned int fieldHash, short subFieldNumber,
                                     unsigned long subRecordHash, unsigned int subFieldHash) const {
  static_assert(std::is_base_of_v<PKMessageBase, T>, "a sub-record is a record");
  return subint64(pk_detail::recordTypeOf<T>(), fieldNumber, recordHash, fieldHash, subFieldNumber,
                  subRecordHash, subFieldHash);
}

template <class T>
void PKMessageBase::setsubint64(short fieldNumber, short storageIndex, unsigned long recordHash,
                                unsigned int fieldHash, short subFieldNumber, short subStorageIndex,
                                unsigned long subRecordHash, unsigned int subFieldHash,
                                long long value) {
  static_assert(std::is_base_of_v<PKMessageBase, T>, "a sub-record is a record");
  const RecordType& type = pk_detail::recordTypeOf<T>();
  if (setCompactSubint64(type, pk_detail::recordTypeIndexOf<T>(), fieldNumber, recordHash,
                         fieldHash, subFieldNumber, subRecordHash, subFieldHash, value)) {
    return;
  }
  getObjectAccessor<T>(true, true, fieldNumber, storageIndex, recordHash, fieldHash, type.family,
                       type.typeNumber)
      ->setint64(subFieldNumber, subStorageIndex, value, subRecordHash, subFieldHash);
}
