// Differential fuzzer of I2::TVarlenSortCache. Runs the input as a sequence of
// operations on two sorters: keys of 16-bit, 64-bit and text fields added one
// call at a time or in generated batches, SortKeys, reads at any position,
// SetReverse, Clear and reuse, misuse, copies, moves and swaps, and sorters
// that keep only the ends of the order (KeepEnds, DropsCurrentKey, Holds). A
// model of each sorter keeps its keys in insertion order and orders them as
// std::stable_sort does; every answer of the sorter is compared with the model's.
//
// Set SORTER_FUZZ_TRACE=1 to print the operations as they run.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "I2/TVarlenSortCache.h"

namespace {

constexpr std::size_t kMaxInput = 4096;
constexpr std::size_t kMaxOperations = 1000;
constexpr std::size_t kMaxKeys = 6000;   // per sorter, so that a run stays fast
constexpr std::size_t kMaxBatch = 2000;  // more than the sorter sorts eagerly
constexpr std::size_t kMaxText = 600;

bool tracing = false;
int traceDepth = 0;  // 0 for the operations that the input chooses

void printLine(const char* format, std::va_list arguments) {
  std::vfprintf(stderr, format, arguments);
  std::fputc('\n', stderr);
}

[[noreturn]] __attribute__((format(printf, 1, 2))) void fault(const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  std::fputs("sorter_fuzzer: ", stderr);
  printLine(format, arguments);
  va_end(arguments);
  std::abort();
}

void require(bool condition, const char* what) {
  if (!condition) fault("%s", what);
}

// With SORTER_FUZZ_TRACE set, every operation prints "sorter N: what", with
// the choices it made. Those that the input chooses start at the margin
// (fuzz/sorter_seeds_test.py compares them with what the seeds mean), those
// that they run are indented beneath them, and what a read found beneath those.
__attribute__((format(printf, 2, 3))) void trace(int subject, const char* format, ...) {
  if (!tracing) return;
  std::fprintf(stderr, "%*ssorter %d: ", 2 * traceDepth, "", subject);
  std::va_list arguments;
  va_start(arguments, format);
  printLine(format, arguments);
  va_end(arguments);
}

__attribute__((format(printf, 1, 2))) void traceResult(const char* format, ...) {
  if (!tracing) return;
  std::fprintf(stderr, "%*s", 2 * traceDepth + 2, "");
  std::va_list arguments;
  va_start(arguments, format);
  printLine(format, arguments);
  va_end(arguments);
}

// While one lives, the operations traced are indented beneath the one that
// runs them.
class Nested {
 public:
  Nested() { ++traceDepth; }
  ~Nested() { --traceDepth; }
  Nested(const Nested&) = delete;
  Nested& operator=(const Nested&) = delete;
};

// ---- Keys and their reference order -----------------------------------------

enum class Kind : std::uint8_t { kU16, kU64, kText };  // the index of each in Field
using Field = std::variant<unsigned short, unsigned long, std::string>;
using Fields = std::vector<Field>;

unsigned char folded(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return byte >= 'A' && byte <= 'Z' ? static_cast<unsigned char>(byte + ('a' - 'A')) : byte;
}

// Folds A-Z to a-z in place, once per key rather than per comparison.
void foldText(std::string& text) {
  for (char& c : text) c = static_cast<char>(folded(c));
}

// Folded texts compare as unsigned bytes, a prefix first (as std::string's
// compare does).
int compareText(const std::string& a, const std::string& b) { return a.compare(b); }

template <class T>
int compareNumber(T a, T b) {
  return a == b ? 0 : a < b ? -1 : 1;
}

// Fields at the same index of two keys always have the same kind.
int compareField(const Field& a, const Field& b) {
  switch (static_cast<Kind>(a.index())) {
    case Kind::kU16:
      return compareNumber(std::get<unsigned short>(a), std::get<unsigned short>(b));
    case Kind::kU64:
      return compareNumber(std::get<unsigned long>(a), std::get<unsigned long>(b));
    case Kind::kText:
      return compareText(std::get<std::string>(a), std::get<std::string>(b));
  }
  return 0;
}

const char* kindName(Kind kind) {
  static constexpr const char* kNames[] = {"u16", "u64", "text"};
  return kNames[static_cast<std::size_t>(kind)];
}

// A field as the trace shows it: its kind, then its value; a text in quotes,
// with '"', '\\' and the bytes outside printable ASCII as \xHH.
std::string describe(const Field& field) {
  std::string out = kindName(static_cast<Kind>(field.index()));
  if (const auto* text = std::get_if<std::string>(&field)) {
    out += " \"";
    for (const char c : *text) {
      const auto byte = static_cast<unsigned char>(c);
      if (byte >= 0x20 && byte < 0x7F && byte != '"' && byte != '\\') {
        out += c;
      } else {
        char escaped[5];
        std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
        out += escaped;
      }
    }
    return out + '"';
  }
  const std::uint64_t number = static_cast<Kind>(field.index()) == Kind::kU16
                                   ? std::get<unsigned short>(field)
                                   : std::get<unsigned long>(field);
  return out + ' ' + std::to_string(number);
}

std::string describe(const Fields& fields) {
  std::string out = "[";
  for (const Field& field : fields) {
    if (out.size() > 1) out += ", ";
    out += describe(field);
  }
  return out + ']';
}

bool keyLess(const Fields& a, const Fields& b) {
  const std::size_t common = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < common; ++i) {
    if (const int c = compareField(a[i], b[i]); c != 0) return c < 0;
  }
  return a.size() < b.size();
}

// True when `a` is `b` or its first fields.
bool isPrefixOf(const Fields& a, const Fields& b) {
  if (a.size() > b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (compareField(a[i], b[i]) != 0) return false;
  }
  return true;
}

// The value stored with a key: its id in the first bytes, the rest derived
// from it, so that a value read back names its key and shows damage.
void fillValue(std::uint32_t id, std::size_t size, char* out) {
  for (std::size_t i = 0; i < size; ++i) {
    const std::uint32_t mixed =
        (id + 1) * 0x9E3779B1u + static_cast<std::uint32_t>(i) * 0x85EBCA77u;
    out[i] = static_cast<char>(i < 4 ? id >> (8 * i) : mixed >> 24);
  }
}

// ---- What each sorter must answer --------------------------------------------

struct Model {
  enum class Build { kNone, kBuilding, kFinished };
  enum class Cursor { kNone, kAtEnd, kValid };

  // The id of a key that the sorter dropped: it has a position and no value.
  static constexpr std::uint32_t kDropped = std::numeric_limits<std::uint32_t>::max();

  bool initialised = false;
  std::vector<Kind> schema;  // the kind of each key field; its size is the field limit
  std::uint64_t keep = 0;    // KeepEnds: the keys kept at each end; 0 keeps all
  std::size_t valueSize = 0;
  bool reverse = false;
  bool sorted = false;
  std::vector<Fields> keys;        // in insertion order
  std::vector<std::uint32_t> ids;  // the value id of each key
  // Insertion indices of the keys [0, order.size()) in ascending key order:
  // all keys once sorted, those stored before the last sort otherwise.
  std::vector<std::uint32_t> order;
  Build build = Build::kNone;
  Fields current;
  Cursor cursor = Cursor::kNone;
  std::uint64_t position = 0;

  // Orders the keys stored since the last sort by themselves and merges them
  // after the equal earlier ones: the order of std::stable_sort over all keys,
  // at the cost of a merge when a few were added.
  void sort() {
    const std::size_t before = order.size();
    order.resize(keys.size());
    std::iota(order.begin() + before, order.end(), static_cast<std::uint32_t>(before));
    auto less = [&](std::uint32_t a, std::uint32_t b) { return keyLess(keys[a], keys[b]); };
    std::stable_sort(order.begin() + before, order.end(), less);
    std::inplace_merge(order.begin(), order.begin() + before, order.end(), less);
    sorted = true;
    cursor = Cursor::kNone;
  }
  // A reversed sort reads the ascending order backwards.
  std::uint64_t ascendingOf(std::uint64_t at) const { return reverse ? keys.size() - 1 - at : at; }
  std::uint32_t idAt(std::uint64_t at) const { return ids[order[ascendingOf(at)]]; }
  // Whether the key at sorted position `at` (< keys.size()) can be read.
  bool holds(std::uint64_t at) const {
    const std::uint64_t ascending = ascendingOf(at);
    return keep == 0 || ascending < keep || ascending + keep >= keys.size();
  }
  static Fields folded(Fields fields) {
    for (Field& field : fields) {
      if (auto* text = std::get_if<std::string>(&field)) foldText(*text);
    }
    return fields;
  }
  // Whether every key that the current key's fields may begin lies between
  // the ends: at least `keep` stored keys come before all of them, and at
  // least `keep` after all of them.
  bool currentLiesBetweenTheEnds() const {
    const Fields partial = folded(current);
    std::uint64_t before = 0;
    std::uint64_t after = 0;
    for (const Fields& key : keys) {
      if (!keyLess(partial, key)) {
        ++before;
      } else if (!isPrefixOf(partial, key)) {
        ++after;
      }
    }
    return before >= keep && after >= keep;
  }
  void store(std::uint32_t id) {
    keys.push_back(folded(std::move(current)));
    current.clear();
    ids.push_back(id);
    build = Build::kNone;
    if (sorted) {
      sorted = false;
      cursor = Cursor::kNone;
    }
  }
};

struct Subject {
  I2::TVarlenSortCache sorter;
  Model model;
  // The last value read and the id it must still show while it stays valid.
  const char* held = nullptr;
  std::uint32_t heldId = 0;
  std::size_t heldSize = 0;
};

bool valueIs(const char* value, std::uint32_t id, std::size_t size) {
  char expected[32];
  fillValue(id, size, expected);
  return value != nullptr && std::memcmp(value, expected, size) == 0;
}

void checkValue(const char* value, std::uint32_t id, std::size_t size, const char* what) {
  if (!valueIs(value, id, size)) {
    std::uint32_t got = 0;
    if (value != nullptr) std::memcpy(&got, value, std::min<std::size_t>(size, 4));
    fault("%s: value of key id %u expected, got id %u (value size %zu)", what, id, got, size);
  }
}

void checkHeld(const Subject& s) {
  if (s.held != nullptr) checkValue(s.held, s.heldId, s.heldSize, "a value read earlier changed");
}

// Expects `call` to refuse with std::logic_error (and not its std::length_error).
template <class Call>
void expectMisuse(const char* what, Call&& call) {
  try {
    call();
  } catch (const std::length_error& e) {
    fault("%s: std::length_error instead of misuse: %s", what, e.what());
  } catch (const std::logic_error&) {
    return;
  }
  fault("%s: misuse was not refused", what);
}

// True, after checking that `call` is refused, when `subject` was never
// initialised: every call but Initialize and the reads is misuse then.
template <class Call>
bool refusedBeforeInitialize(const Subject& subject, const char* what, Call&& call) {
  if (subject.model.initialised) return false;
  expectMisuse(what, std::forward<Call>(call));
  return true;
}

// ---- Choices, from the input or from a generator seeded by it ---------------

class Chooser {
 public:
  virtual ~Chooser() = default;
  virtual std::uint64_t below(std::uint64_t bound) = 0;  // [0, bound), 0 when bound <= 1
  virtual std::uint8_t byte() = 0;
};

class InputChooser final : public Chooser {
 public:
  explicit InputChooser(FuzzedDataProvider& input) : input_(input) {}
  std::uint64_t below(std::uint64_t bound) override {
    return bound <= 1 ? 0 : input_.ConsumeIntegralInRange<std::uint64_t>(0, bound - 1);
  }
  std::uint8_t byte() override { return input_.ConsumeIntegral<std::uint8_t>(); }

 private:
  FuzzedDataProvider& input_;
};

class RandomChooser final : public Chooser {
 public:
  explicit RandomChooser(std::uint64_t seed) : state_(seed) {}
  std::uint64_t below(std::uint64_t bound) override { return bound <= 1 ? 0 : next() % bound; }
  std::uint8_t byte() override { return static_cast<std::uint8_t>(next() >> 56); }

 private:
  std::uint64_t next() {  // splitmix64
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
  }
  std::uint64_t state_;
};

// Texts and numbers made so far, so that new ones share prefixes and digits
// with them.
class Pools {
 public:
  Pools()
      : texts_{"",
               "Invoice-2023-0142",
               "invoice-2023-0007",
               "AAAAAAAAAAAAAAAAAAAA",
               std::string(12, '\0'),
               std::string(10, '\xFF'),
               "abcdefgh\0ijklmnop"} {}

  const std::string& text(Chooser& c) const { return texts_[c.below(texts_.size())]; }
  std::uint64_t number(Chooser& c) const { return numbers_[c.below(numbers_.size())]; }
  void remember(const std::string& text) { remember(texts_, text, nextText_); }
  void remember(std::uint64_t number) { remember(numbers_, number, nextNumber_); }

 private:
  static constexpr std::size_t kSize = 32;
  template <class T>
  static void remember(std::vector<T>& pool, const T& value, std::size_t& next) {
    if (pool.size() < kSize) {
      pool.push_back(value);
    } else {
      pool[next] = value;
      next = (next + 1) % kSize;
    }
  }

  std::vector<std::string> texts_;
  std::vector<std::uint64_t> numbers_{0, 1, 0xFFFF, 0x8000000000000000u};
  std::size_t nextText_ = 0;
  std::size_t nextNumber_ = 0;
};

// Bytes where the order is easy to get wrong: NUL, letters of both cases,
// the neighbours of A-Z and a-z, and bytes from 0x80.
constexpr char kAlphabet[] = {'\0', 'a', 'A', 'b', 'B',    'z',    'Z',    '@',
                              '[',  '`', '{', '0', '\x7F', '\x80', '\xC4', '\xFF'};

char alphabetByte(Chooser& c) { return kAlphabet[c.below(sizeof kAlphabet)]; }

std::string makeText(Chooser& c, Pools& pools) {
  std::string text;
  switch (c.below(6)) {
    case 0:
      for (std::uint64_t n = c.below(20); n > 0; --n) text += alphabetByte(c);
      break;
    case 1:
      for (std::uint64_t n = c.below(12); n > 0; --n) text += static_cast<char>(c.byte());
      break;
    case 2:  // a prefix of an earlier text, then a few more bytes
      text = pools.text(c);
      text.resize(c.below(text.size() + 1));
      for (std::uint64_t n = c.below(4); n > 0; --n) text += alphabetByte(c);
      break;
    case 3:  // an earlier text in other letter cases
      text = pools.text(c);
      for (char& ch : text) {
        const bool letter = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z');
        if (letter && c.below(2) == 1) ch ^= 0x20;
      }
      break;
    case 4:  // an earlier text exactly
      text = pools.text(c);
      break;
    default: {  // a long text: an earlier one repeated, then a differing tail
      const std::string& base = pools.text(c);
      for (std::uint64_t n = 1 + c.below(12); n > 0 && text.size() < kMaxText / 2; --n) {
        text += base.empty() ? std::string("aB") : base;
      }
      for (std::uint64_t n = c.below(3); n > 0; --n) text += alphabetByte(c);
      break;
    }
  }
  if (text.size() > kMaxText) text.resize(kMaxText);
  pools.remember(text);
  return text;
}

std::uint64_t makeNumber(Chooser& c, Pools& pools) {
  static constexpr std::uint64_t kEdges[] = {0,
                                             1,
                                             0xFF,
                                             0x100,
                                             0x7FFF,
                                             0x8000,
                                             0xFFFF,
                                             0x10000,
                                             0x00FF00FF00FF00FFu,
                                             1u << 31,
                                             0x7FFFFFFFFFFFFFFFu,
                                             0x8000000000000000u,
                                             ~std::uint64_t{0}};
  std::uint64_t number = 0;
  switch (c.below(4)) {
    case 0:
      number = c.below(4);
      break;
    case 1:
      number = kEdges[c.below(std::size(kEdges))];
      break;
    case 2:  // near an earlier number, or one bit away from it
      number = c.below(2) == 0 ? pools.number(c) + c.below(3) - 1
                               : pools.number(c) ^ (std::uint64_t{1} << c.below(64));
      break;
    default:
      for (int i = 0; i < 8; ++i) number = number << 8 | c.byte();
      break;
  }
  pools.remember(number);
  return number;
}

Field makeField(Kind kind, Chooser& c, Pools& pools) {
  switch (kind) {
    case Kind::kU16:
      return static_cast<unsigned short>(makeNumber(c, pools));
    case Kind::kU64:
      return static_cast<unsigned long>(makeNumber(c, pools));
    case Kind::kText:
      return makeText(c, pools);
  }
  return {};
}

// ---- The operations ------------------------------------------------------------

class Run {
 public:
  explicit Run(FuzzedDataProvider& input) : choose_(input) {}

  void operate() {
    const int s = static_cast<int>(choose_.below(2));
    Subject& subject = subjects_[s];
    switch (choose_.below(21)) {
      case 0:
        return initialize(subject, s);
      case 1:
        return addKey(subject, s, choose_);
      case 2:
        return prepareKey(subject, s);
      case 3:
        return addField(subject, s);
      case 4:
        return finishKey(subject, s);
      case 5:
        return storeKey(subject, s);
      case 6:
        return addBatch(subject, s);
      case 7:
        return sortKeys(subject, s);
      case 8:
        return getFirst(subject, s, choosePosition(subject));
      case 9:
        return readPage(subject, s);
      case 10:
        getNext(subject, s);
        return;
      case 11:
        return setReverse(subject, s, choose_.below(2) == 1);
      case 12:
        return clear(subject, s, choose_.below(2) == 1);
      case 13:
        return copy(s);
      case 14:
        return move(s);
      case 15:
        return swap(s);
      case 16:
        return readAll(subject, s);
      case 17:
        return reserve(subject, s);
      case 18:
        return keepEnds(subject, s);
      case 19:
        return dropsCurrentKey(subject, s);
      default:
        return holds(subject, s);
    }
  }

  // Every sorter is read whole in both directions at the end.
  void finish() {
    for (int s = 0; s < 2; ++s) {
      Subject& subject = subjects_[s];
      if (!subject.model.initialised) continue;
      trace(s, "at the end, sorted and read whole both ways");
      const Nested nested;
      sortKeys(subject, s);
      readAll(subject, s);
      setReverse(subject, s, !subject.model.reverse);
      readAll(subject, s);
    }
  }

  void check() const {
    for (const Subject& subject : subjects_) {
      if (subject.sorter.size() != subject.model.keys.size()) {
        fault("size() is %zu, %zu keys were stored", subject.sorter.size(),
              subject.model.keys.size());
      }
      checkHeld(subject);
      subject.sorter.checkInvariants();
    }
  }

 private:
  void initialize(Subject& subject, int s) {
    Model& m = subject.model;
    std::vector<Kind> schema(1 + choose_.below(4));
    for (Kind& kind : schema) kind = static_cast<Kind>(choose_.below(3));
    static constexpr std::size_t kValueSizes[] = {1, 3, 4, 8, 12, 17, 32};
    unsigned long valueSize = kValueSizes[choose_.below(std::size(kValueSizes))];
    unsigned long keyFields = schema.size();
    std::string name = "fuzz";
    const bool reverse = choose_.below(2) == 1;
    switch (choose_.below(24)) {  // arguments that cannot be served, now and then
      case 0:
        keyFields = 0;
        break;
      case 1:
        valueSize = 0;
        break;
      case 2:
        name.clear();
        break;
      default:
        break;
    }
    if (tracing) {
      std::string kinds;
      for (const Kind kind : schema)
        kinds += std::string(kinds.empty() ? "" : " ") + kindName(kind);
      trace(s, "Initialize(keys of %s, %lu fields, value %lu, name \"%s\", %s)", kinds.c_str(),
            keyFields, valueSize, name.c_str(), reverse ? "reversed" : "ascending");
    }
    auto call = [&] {
      return subject.sorter.Initialize(keyFields, valueSize, name, "memory", reverse, false,
                                       nullptr);
    };
    if (!m.keys.empty() || m.build != Model::Build::kNone) {
      expectMisuse("Initialize while keys are held", call);
      return;
    }
    const std::int32_t rc = call();
    if (keyFields == 0 || valueSize == 0 || name.empty()) {
      require(rc != 0, "Initialize accepted arguments it cannot serve");
      return;  // a refused Initialize changes nothing
    }
    require(rc == 0, "Initialize refused arguments it can serve");
    m.initialised = true;
    m.keep = 0;
    m.schema = std::move(schema);
    m.valueSize = valueSize;
    m.reverse = reverse;
    m.sorted = false;
    m.cursor = Model::Cursor::kNone;
    subject.held = nullptr;
  }

  void addKey(Subject& subject, int s, Chooser& c) {
    if (!subject.model.initialised) trace(s, "add key, refused before Initialize");
    if (refusedBeforeInitialize(subject, "PrepareKey before Initialize",
                                [&] { subject.sorter.PrepareKey(); }))
      return;
    Model& m = subject.model;
    if (m.keys.size() >= kMaxKeys) {
      trace(s, "add key, none past %zu keys", kMaxKeys);
      return;
    }
    const std::size_t count = c.below(4) == 0 ? c.below(m.schema.size() + 1) : m.schema.size();
    // In a sorter that keeps the ends, the key may be offered for dropping
    // after this many of its fields (none past `count`).
    const std::size_t dropAfter = m.keep != 0 ? c.below(count + 2) : count + 1;
    Fields fields;
    fields.reserve(count);
    for (std::size_t i = 0; i < count; ++i) fields.push_back(makeField(m.schema[i], c, pools_));
    if (tracing) trace(s, "add key %s", describe(fields).c_str());
    subject.sorter.PrepareKey();
    m.build = Model::Build::kBuilding;
    m.current.clear();
    for (std::size_t i = 0; i <= count; ++i) {
      if (i == dropAfter && drop(subject)) return;
      if (i < count) {
        addToSorter(subject, fields[i]);
        m.current.push_back(fields[i]);
      }
    }
    subject.sorter.FinishKey();
    m.build = Model::Build::kFinished;
    store(subject);
  }

  // Gives `field` to the sorter as the next field of the key being built.
  static void addToSorter(Subject& subject, const Field& field) {
    I2::TVarlenSortCache& sorter = subject.sorter;
    switch (static_cast<Kind>(field.index())) {
      case Kind::kU16:
        sorter.AddFieldToKey(std::get<unsigned short>(field));
        break;
      case Kind::kU64:
        sorter.AddFieldToKey(std::get<unsigned long>(field));
        break;
      case Kind::kText: {
        const std::string& text = std::get<std::string>(field);
        // An empty text may come as a null pointer.
        const char* bytes =
            text.empty() && subject.model.keys.size() % 2 == 1 ? nullptr : text.data();
        sorter.AddFieldToKey_IgnoreCase(bytes, static_cast<unsigned short>(text.size()));
        break;
      }
    }
  }

  // Offers the key being built for dropping; true when the sorter dropped it.
  bool drop(Subject& subject) {
    Model& m = subject.model;
    const bool dropped = subject.sorter.DropsCurrentKey();
    traceResult("%s after %zu fields", dropped ? "dropped" : "not dropped", m.current.size());
    if (!dropped) return false;
    require(m.keep != 0 && m.build == Model::Build::kBuilding,
            "DropsCurrentKey dropped a key in a sorter that keeps every key or builds none");
    require(m.currentLiesBetweenTheEnds(),
            "DropsCurrentKey dropped a key whose fields may still place it at an end");
    m.store(Model::kDropped);
    subject.held = nullptr;
    return true;
  }

  void store(Subject& subject) {
    char value[32];
    const std::uint32_t id = nextId_++;
    traceResult("stored as id %u", id);
    fillValue(id, subject.model.valueSize, value);
    subject.sorter.StoreCurrentKeywithVal(value);
    std::memset(value, 0, sizeof value);  // the sorter keeps a copy
    subject.model.store(id);
    subject.held = nullptr;
  }

  void prepareKey(Subject& subject, int s) {
    trace(s, "PrepareKey");
    if (refusedBeforeInitialize(subject, "PrepareKey before Initialize",
                                [&] { subject.sorter.PrepareKey(); }))
      return;
    Model& m = subject.model;
    subject.sorter.PrepareKey();
    m.build = Model::Build::kBuilding;
    m.current.clear();
  }

  void addField(Subject& subject, int s) {
    Model& m = subject.model;
    if (m.initialised && m.build == Model::Build::kBuilding && m.current.size() < m.schema.size()) {
      Field field = makeField(m.schema[m.current.size()], choose_, pools_);
      if (tracing) trace(s, "AddFieldToKey(%s)", describe(field).c_str());
      addToSorter(subject, field);
      m.current.push_back(std::move(field));
      return;
    }
    const Field field = makeField(static_cast<Kind>(choose_.below(3)), choose_, pools_);
    if (tracing) trace(s, "AddFieldToKey(%s), misuse", describe(field).c_str());
    expectMisuse("a field without a key being built or past the announced count",
                 [&] { addToSorter(subject, field); });
  }

  void finishKey(Subject& subject, int s) {
    trace(s, "FinishKey");
    Model& m = subject.model;
    if (m.build != Model::Build::kBuilding) {
      expectMisuse("FinishKey without a key being built", [&] { subject.sorter.FinishKey(); });
      return;
    }
    subject.sorter.FinishKey();
    m.build = Model::Build::kFinished;
  }

  void storeKey(Subject& subject, int s) {
    trace(s, "StoreCurrentKeywithVal");
    Model& m = subject.model;
    if (m.build != Model::Build::kFinished) {
      char value[32] = {};
      expectMisuse("StoreCurrentKeywithVal without a finished key",
                   [&] { subject.sorter.StoreCurrentKeywithVal(value); });
      return;
    }
    if (m.keys.size() < kMaxKeys) store(subject);
  }

  void addBatch(Subject& subject, int s) {
    const std::uint64_t count = 1 + choose_.below(kMaxBatch);
    const std::uint64_t seed = choose_.below(std::numeric_limits<std::uint64_t>::max());
    const bool initialised = subject.model.initialised;
    const bool reserve = initialised && choose_.below(2) == 1;
    trace(s, "batch of %" PRIu64 " keys from seed %" PRIu64 ", %s", count, seed,
          !initialised ? "before Initialize"
          : reserve    ? "reserved"
                       : "not reserved");
    if (reserve) subject.sorter.Reserve(count);
    RandomChooser random(seed);
    const Nested nested;
    for (std::uint64_t i = 0; i < count && subject.model.keys.size() < kMaxKeys; ++i) {
      addKey(subject, s, random);
      if (!subject.model.initialised) return;
    }
  }

  void reserve(Subject& subject, int s) {
    const std::uint64_t keys = choose_.below(kMaxKeys);
    trace(s, "Reserve(%" PRIu64 ")", keys);
    if (refusedBeforeInitialize(subject, "Reserve before Initialize",
                                [&] { subject.sorter.Reserve(keys); }))
      return;
    subject.sorter.Reserve(keys);
  }

  void keepEnds(Subject& subject, int s) {
    const std::uint64_t count = choose_.below(64);
    trace(s, "KeepEnds(%" PRIu64 ")", count);
    if (refusedBeforeInitialize(subject, "KeepEnds before Initialize",
                                [&] { subject.sorter.KeepEnds(count); }))
      return;
    Model& m = subject.model;
    if (!m.keys.empty()) {
      expectMisuse("KeepEnds with keys stored", [&] { subject.sorter.KeepEnds(count); });
      return;
    }
    subject.sorter.KeepEnds(count);
    m.keep = count;
  }

  void dropsCurrentKey(Subject& subject, int s) {
    trace(s, "DropsCurrentKey");
    Model& m = subject.model;
    if (m.keys.size() >= kMaxKeys) {
      traceResult("not offered past %zu keys", kMaxKeys);
      return;
    }
    if (drop(subject)) return;
    // A key that is not dropped is built on as before.
  }

  void holds(Subject& subject, int s) {
    const std::uint64_t position = choosePosition(subject);
    const std::uint64_t count = choose_.below(80);
    const Model& m = subject.model;
    trace(s, "Holds(%" PRIu64 ", %" PRIu64 ") of %zu keys", position, count, m.keys.size());
    bool expected = true;
    for (std::uint64_t at = position; at < m.keys.size() && at - position < count; ++at) {
      expected = expected && m.holds(at);
    }
    if (subject.sorter.Holds(position, count) != expected) {
      fault("Holds(%llu, %llu) of %zu keys, %llu kept at each end: %s expected",
            static_cast<unsigned long long>(position), static_cast<unsigned long long>(count),
            m.keys.size(), static_cast<unsigned long long>(m.keep), expected ? "true" : "false");
    }
  }

  void sortKeys(Subject& subject, int s) {
    trace(s, "SortKeys");
    if (refusedBeforeInitialize(subject, "SortKeys before Initialize",
                                [&] { subject.sorter.SortKeys(); }))
      return;
    Model& m = subject.model;
    subject.sorter.SortKeys();
    // Sorting sorted keys again changes nothing, not even where reading stands.
    if (!m.sorted) m.sort();
  }

  std::uint64_t choosePosition(const Subject& subject) {
    const std::uint64_t n = subject.model.keys.size();
    switch (choose_.below(8)) {
      case 0:
        return n == 0 ? 0 : n - 1;
      case 1:
        return n;
      case 2:
        return std::numeric_limits<unsigned long>::max();
      default:
        return choose_.below(n + 2);
    }
  }

  void getFirst(Subject& subject, int s, std::uint64_t position) {
    Model& m = subject.model;
    trace(s, "GetFirstVal(%" PRIu64 ") of %zu keys", position, m.keys.size());
    char* value = nullptr;
    const std::int32_t rc = subject.sorter.GetFirstVal(position, 0, value, false);
    if (!m.sorted || position >= m.keys.size()) {
      if (rc == 0)
        fault("GetFirstVal(%llu) found a key where there is none",
              static_cast<unsigned long long>(position));
      m.cursor = Model::Cursor::kAtEnd;
      traceResult("no key");
      return;
    }
    if (!m.holds(position)) {
      require(rc != 0, "GetFirstVal found a key between the kept ends");
      m.cursor = Model::Cursor::kAtEnd;
      traceResult("between the ends");
      return;
    }
    if (rc != 0)
      fault("GetFirstVal(%llu) of %zu sorted keys found none",
            static_cast<unsigned long long>(position), m.keys.size());
    m.cursor = Model::Cursor::kValid;
    m.position = position;
    hold(subject, value, "GetFirstVal");
  }

  // Returns false when there is no next key.
  bool getNext(Subject& subject, int s) {
    trace(s, "GetNextVal");
    Model& m = subject.model;
    char* value = nullptr;
    if (m.cursor == Model::Cursor::kNone && m.sorted && !m.keys.empty()) {
      expectMisuse("GetNextVal with no GetFirstVal since the sort",
                   [&] { subject.sorter.GetNextVal(0, value, false); });
      return false;
    }
    const std::int32_t rc = subject.sorter.GetNextVal(0, value, false);
    if (m.cursor != Model::Cursor::kValid) {
      require(rc != 0, "GetNextVal found a key with nothing to continue from");
      traceResult("no key");
      return false;
    }
    if (m.position + 1 >= m.keys.size()) {
      require(rc != 0, "GetNextVal found a key past the last one");
      m.cursor = Model::Cursor::kAtEnd;
      traceResult("no key");
      return false;
    }
    if (!m.holds(m.position + 1)) {
      require(rc != 0, "GetNextVal found a key between the kept ends");
      m.cursor = Model::Cursor::kAtEnd;
      traceResult("between the ends");
      return false;
    }
    if (rc != 0)
      fault("GetNextVal found no key at %llu of %zu",
            static_cast<unsigned long long>(m.position + 1), m.keys.size());
    ++m.position;
    hold(subject, value, "GetNextVal");
    return true;
  }

  void hold(Subject& subject, const char* value, const char* operation) {
    const Model& m = subject.model;
    const std::uint32_t id = m.idAt(m.position);
    traceResult("position %" PRIu64 ": id %u", m.position, id);
    if (!valueIs(value, id, m.valueSize)) {
      char what[96];
      std::snprintf(what, sizeof what, "%s at position %llu of %zu (%s)", operation,
                    static_cast<unsigned long long>(m.position), m.keys.size(),
                    m.reverse ? "reversed" : "ascending");
      checkValue(value, id, m.valueSize, what);
    }
    subject.held = value;
    subject.heldId = id;
    subject.heldSize = m.valueSize;
  }

  void readPage(Subject& subject, int s) {
    const std::uint64_t position = choosePosition(subject);
    const std::uint64_t more = choose_.below(64);
    trace(s, "page from %" PRIu64 " of %zu keys, %" PRIu64 " more", position,
          subject.model.keys.size(), more);
    const Nested nested;
    getFirst(subject, s, position);
    for (std::uint64_t n = more; n > 0 && getNext(subject, s); --n) {
    }
  }

  void readAll(Subject& subject, int s) {
    trace(s, "read all");
    const Nested nested;
    if (subject.model.keys.empty()) return getFirst(subject, s, 0);
    getFirst(subject, s, 0);
    while (getNext(subject, s)) {
    }
  }

  void setReverse(Subject& subject, int s, bool reverse) {
    trace(s, "SetReverse(%s)", reverse ? "true" : "false");
    if (refusedBeforeInitialize(subject, "SetReverse before Initialize",
                                [&] { subject.sorter.SetReverse(reverse); }))
      return;
    Model& m = subject.model;
    subject.sorter.SetReverse(reverse);
    m.reverse = reverse;
    m.cursor = Model::Cursor::kNone;
  }

  void clear(Subject& subject, int s, bool releaseMemory) {
    trace(s, "Clear(%s)", releaseMemory ? "true" : "false");
    subject.sorter.Clear(releaseMemory);
    subject.model = Model{};
    subject.held = nullptr;
  }

  void copy(int from) {
    Subject& source = subjects_[from];
    Subject& target = subjects_[1 - from];
    switch (choose_.below(3)) {
      case 0:
        trace(from, "copy assignment to the other");
        target.sorter = source.sorter;
        break;
      case 1: {
        trace(from, "copy construction, swapped into the other");
        I2::TVarlenSortCache copied(source.sorter);
        target.sorter.swap(copied);
        break;
      }
      default: {
        trace(from, "self-assignment");
        I2::TVarlenSortCache& alias = source.sorter;
        source.sorter = alias;
        return;
      }
    }
    target.model = source.model;
    target.held = nullptr;
  }

  void move(int from) {
    Subject& source = subjects_[from];
    Subject& target = subjects_[1 - from];
    if (choose_.below(2) == 0) {
      trace(from, "move assignment to the other");
      target.sorter = std::move(source.sorter);
    } else {
      trace(from, "move construction, swapped into the other");
      I2::TVarlenSortCache moved(std::move(source.sorter));
      target.sorter.swap(moved);
    }
    target.model = std::move(source.model);
    source.model = Model{};
    source.held = target.held = nullptr;
  }

  void swap(int s) {
    trace(s, "swap with the other");
    subjects_[0].sorter.swap(subjects_[1].sorter);
    std::swap(subjects_[0].model, subjects_[1].model);
    // Where a value read before the swap lies afterwards is not promised.
    subjects_[0].held = subjects_[1].held = nullptr;
  }

  InputChooser choose_;
  Pools pools_;
  Subject subjects_[2];
  std::uint32_t nextId_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tracing = std::getenv("SORTER_FUZZ_TRACE") != nullptr;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxInput) return -1;  // not added to the corpus
  FuzzedDataProvider input(data, size);
  Run run(input);
  try {
    for (std::size_t i = 0; i < kMaxOperations && input.remaining_bytes() > 0; ++i) {
      run.operate();
      run.check();
    }
    run.finish();
    run.check();
  } catch (const std::exception& e) {
    fault("unexpected exception: %s", e.what());
  }
  return 0;
}
