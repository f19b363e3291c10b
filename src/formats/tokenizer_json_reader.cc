#include "formats/tokenizer_json_reader.h"

#include "core/utf8.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <vector>

#include "core/byte_level.h"

namespace corvane {

namespace {

using json = nlohmann::json;

// The document is read with the JSON library's event (SAX) parser rather than into a full
// document tree: the same lexer and grammar, so exactly the same documents are accepted and
// the same errors reported, but the tens of thousands of vocabulary entries and merge
// strings land in flat arrays instead of one heap-allocated tree node each. What a tree
// would give is then reproduced on those arrays:
//   - a member name given twice in one object keeps its later value only;
//   - an object's members are visited in ascending byte-wise order of their names;
//   - an array's elements are visited in order, with their indexes written in decimal as
//     names; null holds nothing; any other single value is one element named "".
// The small "pre_tokenizer" and "decoder" members are built as ordinary trees by the
// library's own tree builder.

enum class Kind : uint8_t { kNull, kBoolean, kInteger, kUnsigned, kFloat, kString, kArray, kObject };

json::value_t value_type(Kind k) {
  switch (k) {
    case Kind::kNull: return json::value_t::null;
    case Kind::kBoolean: return json::value_t::boolean;
    case Kind::kInteger: return json::value_t::number_integer;
    case Kind::kUnsigned: return json::value_t::number_unsigned;
    case Kind::kFloat: return json::value_t::number_float;
    case Kind::kString: return json::value_t::string;
    case Kind::kArray: return json::value_t::array;
    case Kind::kObject: return json::value_t::object;
  }
  return json::value_t::null;
}

// One collected element: its name (for object members) and its value. Strings and names
// live in the owner's text arena; only numbers and booleans are kept by value.
struct Item {
  std::size_t name_offset;
  std::size_t name_length;
  std::size_t text_offset;  // kString; the left part of a two-string array
  std::size_t text_length;
  std::size_t right_offset;  // the right part of a two-string array
  std::size_t right_length;
  union {
    int64_t integer;
    uint64_t unsigned_integer;
    double real;
    bool boolean;
  };
  Kind kind;
  bool pair;  // kArray: exactly two strings (a merge written as ["left", "right"])
};

// The value of "vocab" or "merges": absent, or a container (or single value) of items.
struct Collection {
  enum class Form : uint8_t { kAbsent, kNull, kObject, kArray, kSingle };
  Form form = Form::kAbsent;
  std::vector<Item> items;
  std::string text;  // names and string values of `items`

  void reset(Form f) {
    form = f;
    items.clear();
    text.clear();
  }
  std::string_view name(const Item& it) const { return {text.data() + it.name_offset, it.name_length}; }
  std::string_view string(const Item& it) const { return {text.data() + it.text_offset, it.text_length}; }
  std::string_view right(const Item& it) const { return {text.data() + it.right_offset, it.right_length}; }

  // Visiting order of the items as a document tree would give it: for an object, one item
  // per distinct name (the last one given), in ascending byte-wise order of the names.
  std::vector<uint32_t> order() const;
};

std::vector<uint32_t> Collection::order() const {
  std::vector<uint32_t> idx(items.size());
  for (uint32_t i = 0; i < idx.size(); ++i) idx[i] = i;
  if (form != Form::kObject || items.empty()) return idx;
  bool sorted = true;
  for (std::size_t i = 1; i < items.size() && sorted; ++i) sorted = name(items[i - 1]) < name(items[i]);
  if (sorted) return idx;  // strictly ascending: no name repeats either

  // Sort by name, then by index. The first eight name bytes as a big-endian number decide
  // most of the order: a stable radix sort on that number, then a comparison sort of each
  // run of equal numbers by the full name (stable, so equal names stay in index order).
  struct Key {
    uint64_t head;
    uint32_t index;
  };
  const std::size_t n = items.size();
  std::vector<Key> keys(n);
  std::vector<Key> spare(n);
  for (uint32_t i = 0; i < n; ++i) {
    const std::string_view s = name(items[i]);
    uint64_t head = 0;
    for (std::size_t b = 0; b < 8; ++b) head = (head << 8) | (b < s.size() ? static_cast<unsigned char>(s[b]) : 0u);
    keys[i] = Key{head, i};
  }
  for (unsigned shift = 0; shift < 64; shift += 8) {
    std::size_t counts[257] = {};
    for (const Key& k : keys) ++counts[((k.head >> shift) & 0xFF) + 1];
    if (counts[((keys[0].head >> shift) & 0xFF) + 1] == n) continue;  // all equal: no change
    for (std::size_t b = 1; b < 257; ++b) counts[b] += counts[b - 1];
    for (const Key& k : keys) spare[counts[(k.head >> shift) & 0xFF]++] = k;
    keys.swap(spare);
  }
  for (std::size_t a = 0; a < n;) {
    std::size_t b = a + 1;
    while (b < n && keys[b].head == keys[a].head) ++b;
    if (b - a > 1) {
      std::stable_sort(keys.begin() + static_cast<std::ptrdiff_t>(a), keys.begin() + static_cast<std::ptrdiff_t>(b),
                       [&](const Key& x, const Key& y) { return name(items[x.index]) < name(items[y.index]); });
    }
    a = b;
  }
  idx.clear();
  for (std::size_t k = 0; k < n; ++k) {
    // Of equal names only the last given (the highest index, sorted last) survives.
    if (k + 1 < n && keys[k + 1].head == keys[k].head &&
        name(items[keys[k + 1].index]) == name(items[keys[k].index])) {
      continue;
    }
    idx.push_back(keys[k].index);
  }
  return idx;
}

// Receives the parser's events and keeps what the loader reads.
class Collector {
 public:
  using number_integer_t = json::number_integer_t;
  using number_unsigned_t = json::number_unsigned_t;
  using number_float_t = json::number_float_t;
  using string_t = json::string_t;
  using binary_t = json::binary_t;

  // What the document held, once parsing has succeeded.
  bool model_is_object = false;
  std::optional<std::string> model_type;  // "model" / "type", when it is a string
  Collection vocab;
  Collection merges;
  std::optional<json> pre_tokenizer;
  std::optional<json> decoder;
  std::string error;  // the parser's message, when parsing failed

  bool null() {
    switch (route(Kind::kNull)) {
      case Dest::kCapture: capture_->null(); return captured_scalar();
      case Dest::kItem: add_item(Kind::kNull); return true;
      default: return true;
    }
  }
  bool boolean(bool v) {
    switch (route(Kind::kBoolean)) {
      case Dest::kCapture: capture_->boolean(v); return captured_scalar();
      case Dest::kItem: add_item(Kind::kBoolean).boolean = v; return true;
      default: return true;
    }
  }
  bool number_integer(number_integer_t v) {
    switch (route(Kind::kInteger)) {
      case Dest::kCapture: capture_->number_integer(v); return captured_scalar();
      case Dest::kItem: add_item(Kind::kInteger).integer = v; return true;
      default: return true;
    }
  }
  bool number_unsigned(number_unsigned_t v) {
    switch (route(Kind::kUnsigned)) {
      case Dest::kCapture: capture_->number_unsigned(v); return captured_scalar();
      case Dest::kItem: add_item(Kind::kUnsigned).unsigned_integer = v; return true;
      default: return true;
    }
  }
  bool number_float(number_float_t v, const string_t& text) {
    switch (route(Kind::kFloat)) {
      case Dest::kCapture: capture_->number_float(v, text); return captured_scalar();
      case Dest::kItem: add_item(Kind::kFloat).real = v; return true;
      default: return true;
    }
  }
  bool string(string_t& v) {
    switch (route(Kind::kString)) {
      case Dest::kCapture: capture_->string(v); return captured_scalar();
      case Dest::kModelType: model_type = v; return true;
      case Dest::kPairPart: {
        Item& it = target_->items.back();
        const std::size_t offset = target_->text.size();
        target_->text.append(v);
        if (pair_parts_ == 0) {
          it.text_offset = offset;
          it.text_length = v.size();
        } else {
          it.right_offset = offset;
          it.right_length = v.size();
        }
        ++pair_parts_;
        return true;
      }
      case Dest::kItem: {
        Item& it = add_item(Kind::kString);
        it.text_offset = target_->text.size();
        it.text_length = v.size();
        target_->text.append(v);
        return true;
      }
      default: return true;
    }
  }
  bool binary(binary_t&) { return true; }  // never produced by JSON text

  bool start_object(std::size_t n) {
    switch (route(Kind::kObject)) {
      case Dest::kCapture: capture_->start_object(n); ++capture_depth_; return true;
      case Dest::kItem: add_item(Kind::kObject); skip_depth_ = 1; return true;
      default: return true;
    }
  }
  bool start_array(std::size_t n) {
    switch (route(Kind::kArray)) {
      case Dest::kCapture: capture_->start_array(n); ++capture_depth_; return true;
      case Dest::kItem: add_item(Kind::kArray); skip_depth_ = 1; return true;
      default: return true;
    }
  }
  bool end_object() {
    if (skip_depth_ > 0) {
      --skip_depth_;
    } else if (capture_) {
      capture_->end_object();
      captured_end();
    } else {
      frames_.pop_back();
    }
    return true;
  }
  bool end_array() {
    if (skip_depth_ > 0) {
      --skip_depth_;
    } else if (capture_) {
      capture_->end_array();
      captured_end();
    } else {
      if (frames_.back() == Frame::kMergePair) target_->items.back().pair = pair_ok_ && pair_parts_ == 2;
      frames_.pop_back();
    }
    return true;
  }

  bool key(string_t& name) {
    if (skip_depth_ > 0) return true;
    if (capture_) return capture_->key(name);
    switch (frames_.back()) {
      case Frame::kTop:
        role_ = name == "model" ? Role::kModel
                : name == "pre_tokenizer" ? Role::kPreTokenizer
                : name == "decoder" ? Role::kDecoder
                                    : Role::kIgnored;
        break;
      case Frame::kModel:
        role_ = name == "vocab"    ? Role::kVocab
                : name == "merges" ? Role::kMerges
                : name == "type"   ? Role::kModelType
                                   : Role::kIgnored;
        break;
      case Frame::kMergePair:
        break;  // arrays have no member names
      case Frame::kCollection:
        name_offset_ = target_->text.size();
        name_length_ = name.size();
        target_->text.append(name);
        break;
    }
    return true;
  }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) {
    error = e.what();
    return false;
  }

 private:
  enum class Frame : uint8_t { kTop, kModel, kCollection, kMergePair };
  enum class Role : uint8_t { kIgnored, kModel, kModelType, kPreTokenizer, kDecoder, kVocab, kMerges };
  // What an event handler does with its value after `route`.
  enum class Dest : uint8_t { kNothing, kCapture, kItem, kModelType, kPairPart };

  using TreeBuilder = nlohmann::detail::json_sax_dom_parser<json>;

  static bool is_container(Kind k) { return k == Kind::kArray || k == Kind::kObject; }

  // Decides where the next value goes, given the innermost open container and the member
  // name before it, and opens the containers the loader looks into. Containers of no
  // interest are skipped as a whole, only their depth being counted, so nesting costs no
  // memory here; the pre-tokenizer and decoder are captured as trees.
  Dest route(Kind kind) {
    const bool container = is_container(kind);
    if (skip_depth_ > 0) {
      if (container) ++skip_depth_;
      return Dest::kNothing;
    }
    if (capture_) return Dest::kCapture;
    if (frames_.empty()) {  // the document itself
      if (kind == Kind::kObject) {
        frames_.push_back(Frame::kTop);
        role_ = Role::kIgnored;
      } else if (container) {
        skip_depth_ = 1;
      }
      return Dest::kNothing;
    }
    switch (frames_.back()) {
      case Frame::kTop:
        if (role_ == Role::kModel) {
          // A later "model" member replaces an earlier one entirely.
          model_is_object = kind == Kind::kObject;
          model_type.reset();
          vocab.reset(Collection::Form::kAbsent);
          merges.reset(Collection::Form::kAbsent);
          if (model_is_object) {
            frames_.push_back(Frame::kModel);
            role_ = Role::kIgnored;
          } else if (container) {
            skip_depth_ = 1;
          }
          return Dest::kNothing;
        }
        if (role_ == Role::kPreTokenizer || role_ == Role::kDecoder) {
          std::optional<json>& slot = role_ == Role::kPreTokenizer ? pre_tokenizer : decoder;
          slot.emplace();
          capture_.emplace(*slot);
          capture_depth_ = 0;
          return Dest::kCapture;
        }
        break;
      case Frame::kModel:
        if (role_ == Role::kModelType) {
          // A later "type" replaces an earlier one; only a string names a model type.
          model_type.reset();
          if (kind == Kind::kString) return Dest::kModelType;
          break;
        }
        if (role_ == Role::kVocab || role_ == Role::kMerges) {
          using Form = Collection::Form;
          Collection& c = role_ == Role::kVocab ? vocab : merges;
          target_ = &c;
          name_offset_ = name_length_ = 0;
          if (container) {
            c.reset(kind == Kind::kObject ? Form::kObject : Form::kArray);
            frames_.push_back(Frame::kCollection);
            return Dest::kNothing;
          }
          c.reset(kind == Kind::kNull ? Form::kNull : Form::kSingle);
          return kind == Kind::kNull ? Dest::kNothing : Dest::kItem;
        }
        break;
      case Frame::kCollection:
        // A merge written as an array is opened to look for its two strings.
        if (kind == Kind::kArray && target_ == &merges) {
          add_item(Kind::kArray);
          frames_.push_back(Frame::kMergePair);
          pair_parts_ = 0;
          pair_ok_ = true;
          return Dest::kNothing;
        }
        // An element; a nested container is recorded by its kind, its contents skipped.
        return Dest::kItem;
      case Frame::kMergePair:
        // Anything but a third string spoils the pair; containers inside are skipped.
        if (kind == Kind::kString && pair_parts_ < 2) return Dest::kPairPart;
        pair_ok_ = false;
        break;
    }
    if (container) skip_depth_ = 1;
    return Dest::kNothing;
  }

  Item& add_item(Kind kind) {
    Item it{};
    it.kind = kind;
    if (target_->form == Collection::Form::kObject) {
      it.name_offset = name_offset_;
      it.name_length = name_length_;
    }
    target_->items.push_back(it);
    return target_->items.back();
  }

  bool captured_scalar() {
    if (capture_depth_ == 0) capture_.reset();
    return true;
  }
  void captured_end() {
    if (--capture_depth_ == 0) capture_.reset();
  }

  std::vector<Frame> frames_;  // at most four deep: document, "model", "vocab"/"merges", a merge pair
  Role role_ = Role::kIgnored;
  std::size_t skip_depth_ = 0;
  std::optional<TreeBuilder> capture_;
  std::size_t capture_depth_ = 0;
  Collection* target_ = nullptr;
  std::size_t name_offset_ = 0;
  std::size_t name_length_ = 0;
  std::size_t pair_parts_ = 0;  // strings seen in the open merge array
  bool pair_ok_ = false;
};

// Member `key` of `v`, or nullptr when `v` is not an object or has no such member.
const json* member(const json& v, const char* key) {
  if (!v.is_object()) return nullptr;
  const auto it = v.find(key);
  return it == v.end() ? nullptr : &*it;
}

bool has_type(const json& component, const char* type) {
  const json* t = member(component, "type");
  return t && t->is_string() && t->get_ref<const std::string&>() == type;
}

// Whether `component` (a pre-tokenizer or decoder description) is byte-level: of type
// "ByteLevel", or a "Sequence" whose `list_key` list holds a byte-level component, however
// deeply nested. Walked with an explicit stack, so nesting depth costs no native stack.
bool is_byte_level(const std::optional<json>& component, const char* list_key) {
  std::vector<const json*> pending;
  if (component) pending.push_back(&*component);
  while (!pending.empty()) {
    const json* c = pending.back();
    pending.pop_back();
    if (has_type(*c, "ByteLevel")) return true;
    if (!has_type(*c, "Sequence")) continue;
    const json* list = member(*c, list_key);
    if (!list || !list->is_array()) continue;
    for (const json& item : *list) pending.push_back(&item);
  }
  return false;
}

// Throws the JSON library's own error for converting a value of kind `kind` to T (type
// error 302, "type must be number, but is ..." or "type must be string, but is ...").
template <class T>
[[noreturn]] void throw_conversion_error(Kind kind) {
  const json v(value_type(kind));
  (void)v.get<T>();
  throw std::logic_error("conversion unexpectedly succeeded");  // not reached
}

// A vocabulary value as an id, as the JSON library converts a value to a 32-bit integer:
// the low 32 bits of an integer, a float truncated toward zero, true and false as 1 and 0.
// A float outside the 32-bit range (where the library's conversion is undefined) saturates
// at the nearer limit.
int32_t to_id(const Item& it) {
  switch (it.kind) {
    case Kind::kUnsigned: return static_cast<int32_t>(it.unsigned_integer);
    case Kind::kInteger: return static_cast<int32_t>(it.integer);
    case Kind::kFloat: {
      const double d = std::trunc(it.real);
      if (!(d > -2147483648.0)) return d < 0 ? std::numeric_limits<int32_t>::min() : 0;  // NaN: 0
      if (d >= 2147483647.0) return std::numeric_limits<int32_t>::max();
      return static_cast<int32_t>(d);
    }
    case Kind::kBoolean: return it.boolean ? 1 : 0;
    default: throw_conversion_error<int32_t>(it.kind);
  }
}

// Hands `text` on as it is, or as the raw bytes it stands for in a byte-level file.
class TextMapper {
 public:
  explicit TextMapper(bool byte_level) : byte_level_(byte_level) {}
  std::string_view operator()(std::string_view text, std::string& scratch) const {
    // A token holding a character outside the byte alphabet stands for no bytes: it is kept
    // whole as its own text, as the byte-level decoder of tokenizer.json keeps it.
    if (!byte_level_ || !ByteLevel::all_stand_ins(text)) return text;
    scratch.clear();
    ByteLevel::to_bytes(text, scratch);
    return scratch;
  }

 private:
  bool byte_level_;
};

}  // namespace

void TokenizerJsonReader::read(const std::string& path, const TokenFn& on_token, const MergeFn& on_merge) {
  std::ifstream in(path, std::ios::binary);
  if (!in.is_open()) throw std::runtime_error("Cannot open tokenizer.json: " + Utf8::repair(path));

  // Parse the first JSON value of the file; whatever follows it is never looked at.
  Collector doc;
  bool parsed = false;
  try {
    parsed = json::sax_parse(in, &doc, json::input_format_t::json, /*strict=*/false);
  } catch (const std::exception& e) {
    throw std::runtime_error("JSON parse error: " + Utf8::repair(e.what()));
  }
  if (!parsed) throw std::runtime_error("JSON parse error: " + Utf8::repair(doc.error));
  in.close();

  if (!doc.model_is_object) return;
  if (doc.model_type && *doc.model_type != "BPE") {
    throw std::runtime_error("tokenizer.json model type is not BPE: " + Utf8::repair(*doc.model_type));
  }
  const TextMapper map(is_byte_level(doc.pre_tokenizer, "pretokenizers") ||
                       is_byte_level(doc.decoder, "decoders"));
  std::string left_bytes;
  std::string right_bytes;

  // Vocabulary: each (name, value) pair; an array's names are its decimal indexes.
  {
    const Collection& c = doc.vocab;
    const bool indexed = c.form == Collection::Form::kArray;
    char digits[24];
    std::size_t index = 0;
    for (const uint32_t i : c.order()) {
      const Item& it = c.items[i];
      const int32_t id = to_id(it);
      std::string_view name = c.name(it);
      if (indexed) {
        const auto end = std::to_chars(digits, digits + sizeof digits, index++).ptr;
        name = std::string_view(digits, static_cast<std::size_t>(end - digits));
      }
      on_token(map(name, left_bytes), id);
    }
  }

  // Merges: every element counts a position; strings with a space, and arrays of exactly
  // two strings, give a rule.
  {
    const Collection& c = doc.merges;
    uint32_t position = 0;
    for (const uint32_t i : c.order()) {
      const Item& it = c.items[i];
      if (it.kind == Kind::kArray && it.pair) {
        on_merge(map(c.string(it), left_bytes), map(c.right(it), right_bytes), static_cast<int32_t>(position));
        ++position;
        continue;
      }
      if (it.kind != Kind::kString) throw_conversion_error<std::string>(it.kind);
      const std::string_view text = c.string(it);
      const std::size_t space = text.find(' ');
      if (space != std::string_view::npos) {
        on_merge(map(text.substr(0, space), left_bytes), map(text.substr(space + 1), right_bytes),
                 static_cast<int32_t>(position));
      }
      ++position;
    }
  }
}

}  // namespace corvane
