// Core unit: no Python.
#include "json_parse/type_first_scan.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "json_parse/json_number.h"

namespace velum::json {

namespace {

// Deeper values, or objects with more members, are left to the whole read:
// the scan stays on a small fixed stack.
constexpr uint32_t kMaxScanDepth = 32;
constexpr size_t kMaxScanMembers = 32;

bool ScanValue(JsonTokenizer& tok, uint32_t depth) noexcept;
bool ScanNumber(JsonTokenizer& tok) noexcept;

}  // namespace

// A collision only sends the object to the whole read, so the length and the
// first and last eight bytes are enough.
uint64_t MemberNameHash(std::string_view name) noexcept {
  uint64_t head = 0;
  uint64_t tail = 0;
  const size_t n = name.size();
  std::memcpy(&head, name.data(), n < 8 ? n : 8);
  if (n > 8) std::memcpy(&tail, name.data() + (n < 16 ? 8 : n - 8), n < 16 ? n - 8 : 8);
  uint64_t hash = (head ^ (n * 0x9e3779b97f4a7c15ull)) * 0xff51afd7ed558ccdull;
  hash ^= (tail + (hash >> 29)) * 0xc4ceb9fe1a85ec53ull;
  return hash ^ (hash >> 32);
}

bool NumberReadsAlike(std::string_view text) noexcept {
  JsonTokenizer probe(text.data(), text.size());
  return ScanNumber(probe);
}

namespace {

// The members of an object entered by the caller; `type_first` for the Any
// itself, whose first member must be "@type".
bool ScanMembers(JsonTokenizer& tok, bool more, uint32_t depth, bool type_first, std::string_view* url) noexcept {
  uint64_t seen[kMaxScanMembers];
  size_t count = 0;
  while (more) {
    std::string_view name;
    if (!tok.ReadKey(&name) || count == kMaxScanMembers) return false;
    const uint64_t hash = MemberNameHash(name);
    for (size_t i = 0; i < count; ++i) {
      if (seen[i] == hash) return false;
    }
    seen[count++] = hash;
    if (type_first && count == 1) {
      if (name != "@type") return false;
      JsonKind kind;
      if (!tok.Peek(&kind) || kind != JsonKind::kString || !tok.ReadString(url)) return false;
      const std::string_view text = tok.text();
      // An escaped URL was decoded into the scratch buffer, which the next
      // string overwrites.
      if (url->data() < text.data() || url->data() >= text.data() + text.size()) return false;
    } else if (!ScanValue(tok, depth)) {
      return false;
    }
    if (!tok.NextMember(&more)) return false;
  }
  return !type_first || count > 0;
}

bool ScanNumber(JsonTokenizer& tok) noexcept {
  NumberToken token;
  if (!tok.ReadNumber(&token)) return false;
  if (!token.is_integer) return std::isfinite(LiteralToDouble(token));
  // A tree holds the int 0 for -0, which a double field would read as 0.0.
  int64_t value = 0;
  if (token.small) {
    value = token.small_value;
  } else if (!LiteralToInt64(token, &value)) {
    return false;
  }
  return !(value == 0 && token.negative);
}

bool ScanValue(JsonTokenizer& tok, uint32_t depth) noexcept {
  JsonKind kind;
  if (!tok.Peek(&kind)) return false;
  bool more = false;
  switch (kind) {
    case JsonKind::kNull: return tok.ReadNull();
    case JsonKind::kBool: {
      bool ignored = false;
      return tok.ReadBool(&ignored);
    }
    case JsonKind::kNumber: return ScanNumber(tok);
    case JsonKind::kString: {
      std::string_view ignored;
      return tok.ReadString(&ignored);
    }
    case JsonKind::kArray:
      if (depth + 1 > kMaxScanDepth || !tok.EnterArray(&more)) return false;
      while (more) {
        if (!ScanValue(tok, depth + 1) || !tok.NextElement(&more)) return false;
      }
      return true;
    case JsonKind::kObject:
      if (depth + 1 > kMaxScanDepth || !tok.EnterObject(&more)) return false;
      return ScanMembers(tok, more, depth + 1, false, nullptr);
  }
  return false;
}

}  // namespace

bool ScanTypeFirstObject(JsonTokenizer& tok, std::string_view* url) noexcept {
  JsonKind kind;
  bool more = false;
  if (!tok.Peek(&kind) || kind != JsonKind::kObject || !tok.EnterObject(&more)) return false;
  return ScanMembers(tok, more, 0, true, url);
}

}  // namespace velum::json
