#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vesk::release {

struct JsonMember;

// A JSON value together with where it stands in the text, so layout questions (what lies between a key
// and its colon, which strings hold brackets) can be answered about the very bytes the updater searches.
struct JsonNode {
    enum class Kind { Object, Array, String, Number, Literal };
    Kind kind = Kind::Literal;
    size_t begin = 0; // first byte of the value
    size_t end = 0;   // one past its last byte
    // String: the decoded value; Number and Literal: the text as written.
    std::string value;
    // String only: true when the text between the quotes holds an escape, so the decoded value and the
    // bytes differ.
    bool escaped = false;
    std::vector<JsonMember> members; // Object, in document order (duplicates kept)
    std::vector<JsonNode> items;     // Array

    // The first member called key, or nullptr.
    const JsonMember* member(std::string_view key) const;
};

struct JsonMember {
    std::string key; // decoded
    bool keyEscaped = false;
    size_t keyBegin = 0; // the key's opening quote
    size_t keyEnd = 0;   // one past its closing quote
    size_t colon = 0;    // the colon's offset
    JsonNode value;
};

// Scans a JSON text into nodes with offsets; false with a short reason on the first syntax error (the
// caller reports the JSON library's message for invalid texts, so this need not be elaborate). Nesting
// deeper than 512 levels is refused rather than risking the stack. A UTF-8 byte-order mark is skipped.
bool scanJsonLayout(std::string_view text, JsonNode& root, std::string& error);

// 1-based line and column of an offset ("12:5"), counting bytes.
std::string lineColumn(std::string_view text, size_t offset);

// lineColumn for many offsets of one text: the line starts are found once, each answer is a binary search.
class LineIndex {
public:
    explicit LineIndex(std::string_view text);
    std::string at(size_t offset) const;

private:
    std::vector<size_t> starts_;
    size_t size_ = 0;
};

} // namespace vesk::release
