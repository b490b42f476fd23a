// Core unit: no Python.
#include "json_parse/base64_decode.h"

#include <array>

namespace velum::json {

namespace {

constexpr uint8_t kInvalid = 0xff;

constexpr std::array<uint8_t, 256> MakeTable(char c62, char c63) {
  std::array<uint8_t, 256> table{};
  for (auto& v : table) v = kInvalid;
  for (int i = 0; i < 26; ++i) {
    table['A' + i] = static_cast<uint8_t>(i);
    table['a' + i] = static_cast<uint8_t>(26 + i);
  }
  for (int i = 0; i < 10; ++i) table['0' + i] = static_cast<uint8_t>(52 + i);
  table[static_cast<uint8_t>(c62)] = 62;
  table[static_cast<uint8_t>(c63)] = 63;
  return table;
}

constexpr auto kStandard = MakeTable('+', '/');
constexpr auto kUrlSafe = MakeTable('-', '_');

const std::array<uint8_t, 256>& TableFor(std::string_view text) noexcept {
  return text.find_first_of("-_") == std::string_view::npos ? kStandard : kUrlSafe;
}

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

std::optional<size_t> Base64DecodedSize(std::string_view text) noexcept {
  const size_t n = SymbolCount(text);
  if (n == std::string_view::npos) return std::nullopt;
  const auto& table = TableFor(text);
  for (size_t i = 0; i < n; ++i) {
    if (table[static_cast<uint8_t>(text[i])] == kInvalid) return std::nullopt;
  }
  return n / 4 * 3 + (n % 4 == 0 ? 0 : n % 4 - 1);
}

void Base64Decode(std::string_view text, uint8_t* out) noexcept {
  const size_t n = SymbolCount(text);
  const auto& table = TableFor(text);
  auto sym = [&](size_t i) { return static_cast<uint32_t>(table[static_cast<uint8_t>(text[i])]); };
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const uint32_t v = sym(i) << 18 | sym(i + 1) << 12 | sym(i + 2) << 6 | sym(i + 3);
    *out++ = static_cast<uint8_t>(v >> 16);
    *out++ = static_cast<uint8_t>(v >> 8);
    *out++ = static_cast<uint8_t>(v);
  }
  const size_t rest = n - i;
  if (rest >= 2) {
    uint32_t v = sym(i) << 18 | sym(i + 1) << 12;
    if (rest == 3) v |= sym(i + 2) << 6;
    *out++ = static_cast<uint8_t>(v >> 16);
    if (rest == 3) *out = static_cast<uint8_t>(v >> 8);
  }
}

}  // namespace velum::json
