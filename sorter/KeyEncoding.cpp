#include "KeyEncoding.h"

namespace I2::detail {
namespace {

constexpr std::uint64_t kEveryByte = 0x0101010101010101u;
constexpr std::uint64_t kHighBits = 0x8080808080808080u;

unsigned char FoldAsciiCase(unsigned char c) {
  return static_cast<unsigned char>(c + ((static_cast<unsigned>(c - 'A') < 26u) << 5));
}

// FoldAsciiCase on each of the 8 bytes of `chunk`. No sum carries into the
// next byte: every byte is at most 0x7F + 0x3F before its high bit is tested.
std::uint64_t FoldAsciiCase8(std::uint64_t chunk) {
  std::uint64_t const low7 = chunk & ~kHighBits;
  std::uint64_t const aboveZ = low7 + kEveryByte * (0x7F - 'Z');  // high bit: low7 > 'Z'
  std::uint64_t const fromA = low7 + kEveryByte * (0x80 - 'A');   // high bit: low7 >= 'A'
  std::uint64_t const upper = fromA & ~aboveZ & ~chunk & kHighBits;
  return chunk | (upper >> 2);  // 0x80 >> 2 is the case bit 0x20
}

// True when one of the bytes of `chunk` is 0 (exact: a borrow only reaches a
// byte above a 0 byte, which the test has already found).
bool HasZeroByte(std::uint64_t chunk) { return ((chunk - kEveryByte) & ~chunk & kHighBits) != 0; }

// Folds the text into `out` unescaped and says whether it holds a NUL. Texts
// are folded 8 (or 4) bytes at a time; a last, partial chunk overlaps the one
// before it.
bool FoldText(const unsigned char* in, std::size_t length, unsigned char* out) {
  bool zero = false;
  if (length >= 8) {
    auto const foldChunk = [&](std::size_t at) {
      std::uint64_t chunk;
      std::memcpy(&chunk, in + at, 8);
      zero |= HasZeroByte(chunk);
      chunk = FoldAsciiCase8(chunk);
      std::memcpy(out + at, &chunk, 8);
    };
    std::size_t i = 0;
    for (; i + 8 <= length; i += 8) foldChunk(i);
    if (i < length) foldChunk(length - 8);
  } else if (length >= 4) {
    // Two 4-byte halves, overlapping when length < 8; the upper four bytes
    // of each chunk are 0xFF, so they neither count as 0 nor fold.
    std::uint32_t low, high;
    std::memcpy(&low, in, 4);
    std::memcpy(&high, in + length - 4, 4);
    std::uint64_t const pad = ~std::uint64_t{0xFFFFFFFFu};
    zero = HasZeroByte(pad | low) || HasZeroByte(pad | high);
    low = static_cast<std::uint32_t>(FoldAsciiCase8(pad | low));
    high = static_cast<std::uint32_t>(FoldAsciiCase8(pad | high));
    std::memcpy(out, &low, 4);
    std::memcpy(out + length - 4, &high, 4);
  } else {
    for (std::size_t i = 0; i < length; ++i) {
      zero |= in[i] == 0;
      out[i] = FoldAsciiCase(in[i]);
    }
  }
  return zero;
}

}  // namespace

std::size_t EncodeText(const unsigned char* in, std::size_t length, unsigned char* out) {
  unsigned char* end = out + length;
  // Texts without NUL, the usual case, need no escapes.
  if (FoldText(in, length, out)) {
    end = out;
    for (std::size_t i = 0; i < length; ++i) {
      *end++ = FoldAsciiCase(in[i]);
      if (in[i] == 0) *end++ = 0xFF;
    }
  }
  end[0] = 0;
  end[1] = 0;
  return static_cast<std::size_t>(end + 2 - out);
}

}  // namespace I2::detail
