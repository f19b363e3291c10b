#pragma once

#include <cstdint>
#include <initializer_list>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <string_view>

namespace corvane {

// Reading one component object of a tokenizer.json (a decoder, a post-processor, ...):
// checked access to its fields, with errors that name the component and the field.
//
// Field types follow the peer's reader: booleans are JSON booleans, counts and ids are
// non-negative integers written without fraction or exponent, a character is a string of
// exactly one character. A field the component does not have is an error too, so that no
// option is silently ignored. Every error is a std::invalid_argument whose message starts
// with the component's description ("decoder Strip: ...").
class ComponentJson {
 public:
  // Nesting limit of components inside components (Sequence), as the peer's JSON reader
  // limits nesting.
  static constexpr int kMaxDepth = 64;

  // `what` is the kind of component ("decoder", "post-processor"). Checks that `value` is
  // an object with a string "type"; `path` (possibly empty) says where it sits in an
  // enclosing component, for messages.
  ComponentJson(const nlohmann::json& value, std::string_view what, std::string_view path);

  const std::string& type() const { return type_; }
  // "decoder Strip", or "decoder decoders[1] (Strip)" inside a Sequence.
  const std::string& name() const { return name_; }

  // Checks that every member other than "type" is one of `allowed`.
  void allow_only(std::initializer_list<std::string_view> allowed) const;

  bool has(std::string_view key) const;
  const nlohmann::json& get(std::string_view key) const;  // required

  bool boolean(std::string_view key) const;
  uint64_t unsigned_integer(std::string_view key, uint64_t max) const;
  std::string string(std::string_view key) const;
  char32_t character(std::string_view key) const;

  // Throws std::invalid_argument "<name>: <message>".
  [[noreturn]] void fail(const std::string& message) const;

  // Conversions for values nested inside fields, with the same rules; `where` names the
  // value in messages.
  bool as_boolean(const nlohmann::json& v, std::string_view where) const;
  uint64_t as_unsigned(const nlohmann::json& v, std::string_view where, uint64_t max) const;
  std::string as_string(const nlohmann::json& v, std::string_view where) const;

 private:
  const nlohmann::json& value_;
  std::string type_;
  std::string name_;
};

// Parses JSON text for the component factories; throws std::invalid_argument
// "invalid <what> JSON: <reason>" when it is not one well-formed JSON value.
nlohmann::json parse_component_json(std::string_view text, std::string_view what);

}  // namespace corvane
