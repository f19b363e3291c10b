#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corvane {

// Shortens English prose: squeezes runs of blanks and of line breaks, replaces a fixed table
// of stock phrases with short forms (applied entry by entry, in table order), and trims the
// ends. `decompress` puts the long phrases back for a human reader.
//
// Both operations give exactly the result of applying the table entry by entry, each entry
// replacing its phrase left to right and resuming after what it inserted, but neither
// rescans the text once per entry:
//
// - One sweep over the text finds every place where any table phrase starts. All phrases
//   begin with a space, so only the spaces of the text are examined: each one that the
//   following bytes do not already rule out (a vector filter, where the processor has
//   AVX2) gets a single hash probe on the four bytes it starts.
// - `compress`: a byte that occurs in no long phrase can never be part of a match, is never
//   removed and never inserted, so the text falls apart into independent segments between
//   such bytes. Only the few segments holding a phrase are worked on, entry by entry; the
//   rest of the text stays where the blank pass wrote it.
// - `decompress`: an expansion never feeds a later entry (its interior is closed to later
//   matches), so every expansion happens at a place the sweep found. Which of them apply is
//   settled on the list of places alone, and the result is written in one pass.
//
// The object never changes after construction, so any number of threads may use it at once.
class Compressor {
 public:
  Compressor();
  std::string compress(const std::string& text) const;
  std::string decompress(const std::string& text) const;

 private:
  // A place in a text where the pattern of a table entry starts, packed in 8 bytes (a text
  // may hold one per three bytes).
  struct Hit {
    std::uint64_t bits;
    static Hit at(std::size_t pos, std::uint32_t entry) { return Hit{(std::uint64_t{pos} << 5) | entry}; }
    std::size_t pos() const { return static_cast<std::size_t>(bits >> 5); }
    std::uint32_t entry() const { return static_cast<std::uint32_t>(bits & 31u); }
  };

  // Finds every occurrence of a set of patterns that each start with a space and are at
  // least four bytes long. Patterns are grouped by their first four bytes, and those
  // groups are found through a collision-free multiplicative hash of that four-byte word.
  class PatternSet {
   public:
    void build(const std::vector<std::string_view>& patterns);
    // Appends the occurrences in `text` (overlapping ones included) in position order.
    // `wide` selects the AVX2 scan (only where the processor has it).
    void find_all(std::string_view text, std::vector<Hit>& out, bool wide) const;

   private:
    // A pattern held as four masked 8-byte words, so that a candidate with 32 bytes of text
    // after it is checked without a loop over bytes.
    static constexpr std::size_t kMaxPattern = 32;
    struct Pattern {
      std::array<std::uint64_t, 4> word{};
      std::array<std::uint64_t, 4> mask{};
      std::uint32_t length = 0;
      std::uint32_t entry = 0;
    };
    struct Slot {
      std::uint32_t key = 0;  // first four bytes; 0 never matches a word starting with a space
      std::uint32_t first = 0;
      std::uint32_t count = 0;
    };
    static constexpr int kSlotBits = 8;
    // Reports the patterns of `slot` that occur at `pos`; `n - pos` may be less than 32.
    void match_slot(const char* s, std::size_t n, std::size_t pos, const Slot& slot,
                    std::vector<Hit>& out) const;
    void find_wide(const char* s, std::size_t n, std::size_t& i, std::vector<Hit>& out) const;

    std::uint32_t multiplier_ = 0;
    std::array<Slot, std::size_t{1} << kSlotBits> slots_{};
    std::vector<Pattern> patterns_;  // grouped by slot
    // Filter tables of the AVX2 scan, for bytes 1 to kFingerprints of a candidate: for
    // each low and each high half of such a byte, the groups of patterns that allow it.
    static constexpr std::size_t kFingerprints = 7;
    std::array<std::array<std::uint8_t, 16>, kFingerprints> fingerprint_lo_{};
    std::array<std::array<std::uint8_t, 16>, kFingerprints> fingerprint_hi_{};
  };

  // One entry's long phrase, searched for inside a segment (Horspool).
  std::size_t find_phrase(std::size_t entry, std::string_view text, std::size_t from) const;
  // Applies the entries flagged in `flags` to one segment, leaving the result in `work`.
  void compress_segment(std::string_view segment, std::uint32_t flags, std::string& work,
                        std::string& scratch) const;

  std::vector<std::pair<std::string, std::string>> abbrev_list;  // (long phrase, short form)
  std::vector<std::pair<std::string, std::string>> expand_list;  // (short form, long phrase)

  PatternSet long_phrases_;   // the long phrases of abbrev_list
  PatternSet short_forms_;    // the short forms of expand_list
  std::vector<std::array<std::uint8_t, 256>> skip_;  // Horspool shifts per long phrase
  // creates_[i]: the later entries whose long phrase can overlap the inside of an inserted
  // short form of entry i, i.e. that an insertion of entry i can bring into being.
  std::vector<std::uint32_t> creates_;
  // Bytes that occur in no long phrase: segment boundaries for `compress`.
  std::array<bool, 256> barrier_{};
  // Whether the processor runs the AVX2 + BMI2 versions of the scans.
  bool wide_ = false;
};

}  // namespace corvane
