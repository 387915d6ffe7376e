#include "Fields.h"

#include <cstring>
#include <new>

namespace pk_detail {

FieldView view(const Block& block, const Entry& entry) {
  FieldView field;
  field.number = entry.number;
  field.kind = entry.kind;
  field.markedSet = entry.markedSet;
  switch (entry.kind) {
    case Kind::kInteger:
      field.integer = entry.payload.integer;
      break;
    case Kind::kText:
      field.text = textOf(block, entry);
      break;
    case Kind::kRecord:
      field.sub = fieldsOf(*entry.payload.box->record());
      field.subType = entry.payload.box->recordType();
      break;
    default:
      field.box = entry.payload.box;
  }
  return field;
}

FieldView view(const CompactField& compact) {
  FieldView field;
  field.number = compact.number;
  field.kind = compact.kind();
  field.markedSet = compact.markedSet();
  switch (field.kind) {
    case Kind::kInteger:
      field.integer = compact.integer();
      break;
    case Kind::kText:
      field.text = compact.bytes();
      break;
    default:
      if (compact.isBoxed()) {
        field.sub = fieldsOf(*compact.box()->record());
        field.subType = compact.box()->recordType();
      } else {
        field.sub = Fields{nullptr, compact.bytes()};
        field.subType = &recordTypeAt(compact.typeIndex());
      }
      break;
  }
  return field;
}

bool countsAsSet(const FieldView& field) {
  if (field.markedSet) return true;
  if (field.kind == Kind::kRecord) return anySet(field.sub);
  return field.box != nullptr && field.box->hasContent();
}

bool anySet(const Fields& of) {
  return anyField(of, [](const FieldView& field) { return countsAsSet(field); });
}

namespace {

bool sameValue(const FieldView& a, const FieldView& b) {
  switch (a.kind) {
    case Kind::kInteger:
      return a.integer == b.integer;
    case Kind::kText:
      return a.text == b.text;
    case Kind::kRecord:
      return sameType(*a.subType, *b.subType) &&
             sameFields(a.sub, b.sub, TypePair{a.subType->family, a.subType->typeNumber});
    default:
      return a.box->equals(*b.box);
  }
}

bool encode(const Fields& of, CompactSink& sink);

// Appends the sub-record in `box` as a compact field.
bool encodeRecord(std::int16_t number, std::uint32_t hash, bool markedSet, const Box& box,
                  CompactSink& sink) {
  const int index = box.recordTypeIndex();
  if (index < 0) return false;
  const Fields body = fieldsOf(*box.record());
  std::uint64_t bodySize = body.compact.size();
  if (body.block != nullptr || body.boxes) {
    CompactSink measure{nullptr, 0};
    if (!encode(body, measure)) return false;
    bodySize = measure.size;
  }
  sink.put(
      FieldHeader::record(number, hash, markedSet, static_cast<std::uint8_t>(index), bodySize));
  return encode(body, sink);
}

// Appends the compact encoding of `of` to `sink`, with every boxed
// sub-record taken back into it; false when the fields cannot be compact (a
// list, or a sub-record class without an index).
bool encode(const Fields& of, CompactSink& sink) {
  if (of.block == nullptr) {
    if (!of.boxes) {
      sink.put(of.compact);
      return true;
    }
    return !anyCompact(of.compact, [&](const CompactField& field) {
      if (!field.isBoxed()) {
        sink.put(
            std::string_view(field.start, static_cast<std::size_t>(field.end() - field.start)));
        return false;
      }
      return !encodeRecord(field.number, field.hashValue(), field.markedSet(), *field.box(), sink);
    });
  }
  const Block& block = *of.block;
  for (std::uint32_t i = 0; i < block.count; ++i) {
    const Entry& entry = block.entries()[i];
    switch (entry.kind) {
      case Kind::kInteger:
        sink.put(FieldHeader::integer(entry.number, entry.hash, entry.payload.integer));
        break;
      case Kind::kText:
        sink.put(FieldHeader::text(entry.number, entry.hash, entry.payload.text.length));
        sink.put(textOf(block, entry));
        break;
      case Kind::kRecord:
        if (!encodeRecord(entry.number, entry.hash, entry.markedSet, *entry.payload.box, sink)) {
          return false;
        }
        break;
      default:
        return false;
    }
  }
  return true;
}

}  // namespace

bool sameFields(const Fields& a, const Fields& b, TypePair owner) {
  std::size_t setInA = 0;
  std::size_t setInB = 0;
  anyField(b, [&](const FieldView& field) {
    setInB += countsAsSet(field);
    return false;
  });
  const bool differs = anyField(a, [&](const FieldView& field) {
    if (!countsAsSet(field)) return false;
    ++setInA;
    const Field match = Field::at(b, field.number, owner);
    if (!match) return true;
    const FieldView other = match.view();
    return !countsAsSet(other) || other.kind != field.kind || !sameValue(field, other);
  });
  return !differs && setInA == setInB;
}

// copyStorage of inline storage whose boxed sub-records are each plain
// inline (an item built through its accessors): every field is copied as
// its bytes, a boxed sub-record as a header and its record's bytes. False,
// with `to` left empty, when the copy does not fit inline or a sub-record
// is in another form.
bool copyInlineWithBoxes(Storage& to, const Storage& source) {
  char out[Storage::kInlineCapacity + kMaxFieldHeader];
  std::size_t size = 0;
  const std::string_view encoding = compactBytes(source);
  const char* const end = encoding.data() + encoding.size();
  for (const char* p = encoding.data(); p < end;) {
    const CompactField field = CompactField::read(p);
    const char* const next = field.end();
    if (!field.isBoxed()) {
      const auto length = static_cast<std::size_t>(next - p);
      if (size + length > Storage::kInlineCapacity) return false;
      std::memcpy(out + size, p, length);
      size += length;
    } else {
      const Box& box = *field.box();
      const Storage& sub = Access::storage(*box.record());
      const int index = box.recordTypeIndex();
      if (sub.inlined.used > Storage::kInlineCapacity || index < 0) return false;
      const FieldHeader header =
          FieldHeader::record(field.number, field.hashValue(), field.markedSet(),
                              static_cast<std::uint8_t>(index), sub.inlined.used);
      const std::string_view bytes = header.bytes();
      if (size + bytes.size() + sub.inlined.used > Storage::kInlineCapacity) return false;
      std::memcpy(out + size, bytes.data(), kMaxFieldHeader);
      std::memcpy(out + size + bytes.size(), sub.inlined.bytes, sub.inlined.used);
      size += bytes.size() + sub.inlined.used;
    }
    p = next;
  }
  std::memcpy(to.inlined.bytes, out, size);
  to.inlined.used = static_cast<std::uint8_t>(size);
  return true;
}

void copyStorage(Storage& to, const PKMessageBase& from) {
  Storage& source = Access::storage(from);
  if (source.holdsBoxes() && source.form() == Storage::Form::kInline &&
      copyInlineWithBoxes(to, source)) {
    return;
  }
  if (!source.holdsBoxes()) {
    switch (source.form()) {
      case Storage::Form::kInline:
        to = source;
        return;
      case Storage::Form::kOutOfLine:
        setCompact(to, compactBytes(source));
        return;
      case Storage::Form::kFull:
        break;
    }
  }
  // Encoded straight into the inline bytes; encoded again into a block of
  // the exact size when they turn out too few.
  const Fields fromFields = fieldsOf(from);
  CompactSink inlineSink{to.inlined.bytes, Storage::kInlineCapacity};
  if (!encode(fromFields, inlineSink)) {
    // A boxed sub-record that cannot be compact: the source moves to its
    // full form, which keeps its boxes, and is cloned from there.
    if (source.form() != Storage::Form::kFull) promote(source, 0);
    to.full = Storage::Full{Storage::kFull, cloneBlock(*source.full.block)};
    return;
  }
  if (inlineSink.size <= Storage::kInlineCapacity) {
    to.inlined.used = static_cast<std::uint8_t>(inlineSink.size);
    return;
  }
  const std::uint32_t size = checkedCount(inlineSink.size);
  char* data = static_cast<char*>(::operator new(size));
  CompactSink blockSink{data, size};
  encode(fromFields, blockSink);
  to.outOfLine = Storage::OutOfLine{Storage::kOutOfLine, size, data, size};
}

void deleteCompactBoxes(const Storage& s) noexcept {
  anyCompact(compactBytes(s), [](const CompactField& field) {
    if (field.isBoxed()) delete field.box();
    return false;
  });
}

std::size_t compactBoxBytes(const Storage& s) noexcept {
  std::size_t bytes = 0;
  anyCompact(compactBytes(s), [&](const CompactField& field) {
    if (field.isBoxed()) bytes += field.box()->heapBytes();
    return false;
  });
  return bytes;
}

void releaseStorage(Storage& s) noexcept {
  if (s.holdsBoxes()) deleteCompactBoxes(s);
  switch (s.form()) {
    case Storage::Form::kInline:
      break;
    case Storage::Form::kOutOfLine:
      ::operator delete(s.outOfLine.data);
      break;
    case Storage::Form::kFull:
      freeBlockAndBoxes(s.full.block);
      break;
  }
  s = Storage{};
}

}  // namespace pk_detail
