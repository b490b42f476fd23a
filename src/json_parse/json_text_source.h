// JSON text as a pull source: the tokenizer over the UTF-8 form of a str or
// bytes object read in place (a bytearray is copied once, since Python code
// run during the read could resize it). Syntax errors surface as
// json.JSONDecodeError with the byte offset of the failure.
#pragma once

#include <string_view>

#include "common/ref.h"
#include "common/status.h"
#include "json_parse/json_tokenizer.h"
#include "json_parse/short_strs.h"
#include "json_parse/source_values.h"
#include "json_parse/type_first_scan.h"

namespace velum::json {

// The member a reader expects next: its name and, when the name needs no
// escape, its compact spelling (the quoted name and the colon); either may
// be empty. `plain`: the name is known to need no escape (ASCII without
// quote, backslash or control byte), so its bytes need no test.
struct MemberGuess {
  std::string_view name;
  std::string_view spelled;
  bool plain = false;
};

class JsonTextSource {
 public:
  JsonTextSource() = default;
  JsonTextSource(const JsonTextSource&) = delete;
  JsonTextSource& operator=(const JsonTextSource&) = delete;

  // Opens over `json` (borrowed: the caller keeps it alive while reading).
  // TypeError for anything but str, bytes or bytearray (subclasses too).
  Status Open(PyObject* json);

  Status Peek(JsonKind& kind) { return tok_.Peek(&kind) ? Status() : Failure(); }
  Status ReadNull() { return tok_.ReadNull() ? Status() : Failure(); }
  Status ReadBool(bool& value) { return tok_.ReadBool(&value) ? Status() : Failure(); }
  Status ReadFloat(double& value);
  // As ReadFloat; a tree hands back its float object too, text never.
  Status ReadFloat(double& value, Ref& /*same*/) { return ReadFloat(value); }
  Status ReadNumber(NumberValue& value);
  // A new str holding the decoded string.
  Status ReadStr(Ref& value);
  // As ReadStr, with plain ASCII made inline: the common string of a list
  // or a Struct skips the general read's calls.
  [[gnu::always_inline]] Status ReadStrInline(Ref& value) {
    std::string_view text;
    if (tok_.ReadPlainString(&text)) [[likely]] {
#ifndef Py_GIL_DISABLED
      if (text.size() >= 2 && text.size() <= ShortStrs::kLongest) {
        value = Ref::steal(ShortStrs::Get(text));
        return value ? Status() : Status::Pending();
      }
#endif
      value = Ref::steal(NewStrFromText(text, true));
      return value ? Status() : Status::Pending();
    }
    return ReadStr(value);
  }
  // The decoded UTF-8 text, valid until the next read from the source.
  Status ReadText(std::string_view& value) { return tok_.ReadString(&value) ? Status() : Failure(); }
  // The next value built as Python objects (dict, list, str, int, float,
  // bool, None), for error messages and for forms read as a whole.
  Status TakeValue(Ref& value);
  Status SkipValue() { return tok_.SkipValue() ? Status() : Failure(); }
  Status EndCheck() { return tok_.EndCheck() ? Status() : Failure(); }

  // A position to read again from (see JsonTokenizer::Mark).
  JsonTokenizer::Mark Mark() const noexcept { return tok_.mark(); }
  void Rewind(const JsonTokenizer::Mark& mark) noexcept { tok_.Rewind(mark); }
  // The text from the value ahead (after a Peek) to the end of the input.
  std::string_view Ahead() const noexcept { return tok_.text().substr(tok_.offset()); }
  // ScanTypeFirstObject over the value ahead; the caller rewinds after it.
  bool ScanTypeFirst(std::string_view& url) noexcept { return ScanTypeFirstObject(tok_, &url); }
  // The next object iterated leaves out its first member (an Any's "@type",
  // read before the rest of the object is read as the packed message).
  void SkipFirstMember(bool skip) noexcept { skip_first_member_ = skip; }

  // Calls body() once per element; each call must consume the element.
  template <class Body>
  Status ForEachElement(Body&& body) {
    bool more = false;
    if (!tok_.EnterArray(&more)) return Failure();
    while (more) {
      VELUM_TRY(body());
      if (!tok_.NextElement(&more)) return Failure();
    }
    return Status();
  }

  // Calls body(name) once per member in document order; each call must
  // consume the member's value, and must be done with the name first.
  template <class Body>
  Status ForEachMember(Body&& body) {
    bool more = false;
    if (!tok_.EnterObject(&more) || !SkipFirstIfAsked(more)) return Failure();
    while (more) {
      // Names with nothing to decode (map keys mostly) are taken inline.
      MemberName name;
      if (tok_.ReadPlainKey(&name.text)) {
        name.ascii = true;
      } else {
        if (!tok_.ReadKey(&name.text)) return Failure();
        name.ascii = tok_.string_ascii();
      }
      VELUM_TRY(body(static_cast<const MemberName&>(name)));
      if (!tok_.NextMember(&more)) return Failure();
    }
    return Status();
  }

  // As ForEachMember; before each member, guess() gives the MemberGuess of
  // the member expected next, which is matched in place in the text (by its
  // spelling when it has one), and body(name, matched) learns whether the
  // member is that one.
  template <class Guess, class Body>
  Status ForEachMemberGuessing(Guess&& guess, Body&& body) {
    bool more = false;
    if (!tok_.EnterObject(&more) || !SkipFirstIfAsked(more)) return Failure();
    while (more) {
      MemberName name;
      const MemberGuess expected = guess();
      bool matched = false;
      if (!expected.spelled.empty()) {
        matched = tok_.MatchSpelledKey(expected.spelled);
        // The name between the quotes, before the colon (the spelling holds both).
        name.text = std::string_view(expected.spelled.data() + 1, expected.spelled.size() - 3);
      } else if (!expected.name.empty()) {
        matched = expected.plain ? tok_.MatchPlainKey(expected.name) : tok_.MatchKey(expected.name);
        name.text = expected.name;
      }
      if (matched) {
        name.ascii = true;
      } else {
        if (!tok_.ReadKey(&name.text)) return Failure();
        name.ascii = tok_.string_ascii();
      }
      VELUM_TRY(body(static_cast<const MemberName&>(name), matched));
      if (!tok_.NextMember(&more)) return Failure();
    }
    return Status();
  }

  // The tokenizer itself and its failure as the exception it stands for,
  // for the readers of number lists, which scan numbers in place.
  JsonTokenizer& tokenizer() noexcept { return tok_; }
  Status Failure();

 private:
  Status TakeInto(Ref& value);

  // After EnterObject: the first member left out when SkipFirstMember asked
  // for it. False on a syntax error.
  bool SkipFirstIfAsked(bool& more) noexcept {
    if (!skip_first_member_) [[likely]]
      return true;
    skip_first_member_ = false;
    std::string_view skipped;
    return !more || (tok_.ReadKey(&skipped) && tok_.SkipValue() && tok_.NextMember(&more));
  }

  JsonTokenizer tok_;
  RawString copy_;  // bytearray contents
  bool skip_first_member_ = false;
};

}  // namespace velum::json
