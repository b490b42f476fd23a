// Core unit: no Python.
#include "json_parse/base64_decode.h"

#include <array>

namespace velum::json {

namespace {

// One table serves both alphabets: the symbols they share carry their value,
// the four they do not also carry the flag of their alphabet. A text that
// collects both flags mixes the alphabets or holds a byte of neither.
constexpr uint8_t kStandardOnly = 0x40;
constexpr uint8_t kUrlSafeOnly = 0x80;
constexpr uint8_t kInvalid = kStandardOnly | kUrlSafeOnly;
constexpr uint8_t kValueBits = 0x3f;

constexpr std::array<uint8_t, 256> MakeTable() {
  std::array<uint8_t, 256> table{};
  for (auto& v : table) v = kInvalid;
  for (int i = 0; i < 26; ++i) {
    table['A' + i] = static_cast<uint8_t>(i);
    table['a' + i] = static_cast<uint8_t>(26 + i);
  }
  for (int i = 0; i < 10; ++i) table['0' + i] = static_cast<uint8_t>(52 + i);
  table['+'] = 62 | kStandardOnly;
  table['/'] = 63 | kStandardOnly;
  table['-'] = 62 | kUrlSafeOnly;
  table['_'] = 63 | kUrlSafeOnly;
  return table;
}

constexpr auto kTable = MakeTable();

// The symbols without their padding, or npos when the padding is malformed.
size_t SymbolCount(std::string_view text) noexcept {
  size_t n = text.size();
  size_t pad = 0;
  while (n > 0 && text[n - 1] == '=' && pad < 2) {
    --n;
    ++pad;
  }
  if (pad > 0 && (n + pad) % 4 != 0) return std::string_view::npos;
  if (n % 4 == 1) return std::string_view::npos;
  return n;
}

}  // namespace

std::optional<size_t> Base64PaddedSize(std::string_view text) noexcept {
  const size_t n = SymbolCount(text);
  if (n == std::string_view::npos) return std::nullopt;
  return n / 4 * 3 + (n % 4 == 0 ? 0 : n % 4 - 1);
}

std::optional<size_t> Base64DecodedSize(std::string_view text) noexcept {
  const auto size = Base64PaddedSize(text);
  if (!size) return std::nullopt;
  const size_t n = SymbolCount(text);
  uint8_t seen = 0;
  for (size_t i = 0; i < n; ++i) seen |= kTable[static_cast<uint8_t>(text[i])];
  if ((seen & kInvalid) == kInvalid) return std::nullopt;
  return size;
}

bool Base64Decode(std::string_view text, uint8_t* out) noexcept {
  const size_t n = SymbolCount(text);
  const auto* s = reinterpret_cast<const uint8_t*>(text.data());
  uint32_t seen = 0;
  // Four symbols, three bytes per step; validity is gathered, not branched on.
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const uint32_t a = kTable[s[i]], b = kTable[s[i + 1]], c = kTable[s[i + 2]], d = kTable[s[i + 3]];
    seen |= a | b | c | d;
    const uint32_t v = (a & kValueBits) << 18 | (b & kValueBits) << 12 | (c & kValueBits) << 6 | (d & kValueBits);
    out[0] = static_cast<uint8_t>(v >> 16);
    out[1] = static_cast<uint8_t>(v >> 8);
    out[2] = static_cast<uint8_t>(v);
    out += 3;
  }
  const size_t rest = n - i;
  if (rest >= 2) {
    const uint32_t a = kTable[s[i]], b = kTable[s[i + 1]], c = rest == 3 ? kTable[s[i + 2]] : 0;
    seen |= a | b | c;
    const uint32_t v = (a & kValueBits) << 18 | (b & kValueBits) << 12 | (c & kValueBits) << 6;
    out[0] = static_cast<uint8_t>(v >> 16);
    if (rest == 3) out[1] = static_cast<uint8_t>(v >> 8);
  }
  return (seen & kInvalid) != kInvalid;
}

}  // namespace velum::json
