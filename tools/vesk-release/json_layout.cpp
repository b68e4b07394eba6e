#include "json_layout.h"

#include <algorithm>

namespace vesk::release {

namespace {

constexpr int kMaximumDepth = 512;

class Scanner {
public:
    explicit Scanner(std::string_view text) : text_(text) {}

    bool document(JsonNode& root, std::string& error) {
        if (text_.substr(0, 3) == "\xEF\xBB\xBF") {
            pos_ = 3;
        }
        skipBlanks();
        if (!value(root, 0)) {
            error = error_ + " at " + lineColumn(text_, pos_);
            return false;
        }
        skipBlanks();
        if (pos_ != text_.size()) {
            error = "unexpected text after the document at " + lineColumn(text_, pos_);
            return false;
        }
        return true;
    }

private:
    bool fail(const char* reason) {
        error_ = reason;
        return false;
    }

    void skipBlanks() {
        while (pos_ < text_.size() &&
               (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\n' || text_[pos_] == '\r')) {
            ++pos_;
        }
    }

    bool value(JsonNode& node, int depth) {
        if (depth > kMaximumDepth) {
            return fail("nesting too deep");
        }
        if (pos_ >= text_.size()) {
            return fail("unexpected end of text");
        }
        node.begin = pos_;
        const char c = text_[pos_];
        bool ok;
        if (c == '{') {
            node.kind = JsonNode::Kind::Object;
            ok = object(node, depth);
        } else if (c == '[') {
            node.kind = JsonNode::Kind::Array;
            ok = array(node, depth);
        } else if (c == '"') {
            node.kind = JsonNode::Kind::String;
            ok = string(node.value, node.escaped);
        } else if (c == '-' || (c >= '0' && c <= '9')) {
            node.kind = JsonNode::Kind::Number;
            ok = number(node.value);
        } else {
            node.kind = JsonNode::Kind::Literal;
            ok = literal(node.value);
        }
        node.end = pos_;
        return ok;
    }

    bool object(JsonNode& node, int depth) {
        ++pos_;
        skipBlanks();
        if (pos_ < text_.size() && text_[pos_] == '}') {
            ++pos_;
            return true;
        }
        for (;;) {
            if (pos_ >= text_.size() || text_[pos_] != '"') {
                return fail("expected a key");
            }
            JsonMember member;
            member.keyBegin = pos_;
            if (!string(member.key, member.keyEscaped)) {
                return false;
            }
            member.keyEnd = pos_;
            skipBlanks();
            if (pos_ >= text_.size() || text_[pos_] != ':') {
                return fail("expected a colon");
            }
            member.colon = pos_++;
            skipBlanks();
            if (!value(member.value, depth + 1)) {
                return false;
            }
            node.members.push_back(std::move(member));
            skipBlanks();
            if (pos_ >= text_.size()) {
                return fail("unexpected end of text");
            }
            if (text_[pos_] == ',') {
                ++pos_;
                skipBlanks();
                continue;
            }
            if (text_[pos_] == '}') {
                ++pos_;
                return true;
            }
            return fail("expected a comma or a closing brace");
        }
    }

    bool array(JsonNode& node, int depth) {
        ++pos_;
        skipBlanks();
        if (pos_ < text_.size() && text_[pos_] == ']') {
            ++pos_;
            return true;
        }
        for (;;) {
            JsonNode item;
            if (!value(item, depth + 1)) {
                return false;
            }
            node.items.push_back(std::move(item));
            skipBlanks();
            if (pos_ >= text_.size()) {
                return fail("unexpected end of text");
            }
            if (text_[pos_] == ',') {
                ++pos_;
                skipBlanks();
                continue;
            }
            if (text_[pos_] == ']') {
                ++pos_;
                return true;
            }
            return fail("expected a comma or a closing bracket");
        }
    }

    static void appendUtf8(std::string& out, unsigned code) {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }

    bool hex4(unsigned& code) {
        if (pos_ + 4 > text_.size()) {
            return fail("short \\u escape");
        }
        code = 0;
        for (int i = 0; i < 4; ++i) {
            const char h = text_[pos_++];
            code <<= 4;
            if (h >= '0' && h <= '9') {
                code |= static_cast<unsigned>(h - '0');
            } else if (h >= 'a' && h <= 'f') {
                code |= static_cast<unsigned>(h - 'a' + 10);
            } else if (h >= 'A' && h <= 'F') {
                code |= static_cast<unsigned>(h - 'A' + 10);
            } else {
                return fail("bad \\u escape");
            }
        }
        return true;
    }

    bool string(std::string& out, bool& escaped) {
        out.clear();
        escaped = false;
        ++pos_;
        while (pos_ < text_.size()) {
            const char c = text_[pos_++];
            if (c == '"') {
                return true;
            }
            if (static_cast<unsigned char>(c) < 0x20) {
                return fail("control character in a string");
            }
            if (c != '\\') {
                out += c;
                continue;
            }
            escaped = true;
            if (pos_ >= text_.size()) {
                break;
            }
            const char e = text_[pos_++];
            switch (e) {
            case '"':
                out += '"';
                break;
            case '\\':
                out += '\\';
                break;
            case '/':
                out += '/';
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'u': {
                unsigned code;
                if (!hex4(code)) {
                    return false;
                }
                if (code >= 0xD800 && code < 0xDC00 && pos_ + 2 <= text_.size() && text_[pos_] == '\\' &&
                    text_[pos_ + 1] == 'u') {
                    pos_ += 2;
                    unsigned low;
                    if (!hex4(low)) {
                        return false;
                    }
                    if (low >= 0xDC00 && low < 0xE000) {
                        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                    }
                }
                appendUtf8(out, code);
                break;
            }
            default:
                return fail("bad escape");
            }
        }
        return fail("string not closed");
    }

    bool number(std::string& out) {
        const size_t start = pos_;
        while (pos_ < text_.size()) {
            const char c = text_[pos_];
            if ((c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E') {
                ++pos_;
            } else {
                break;
            }
        }
        out.assign(text_.substr(start, pos_ - start));
        return true;
    }

    bool literal(std::string& out) {
        for (const char* word : {"true", "false", "null"}) {
            const std::string_view w(word);
            if (text_.substr(pos_, w.size()) == w) {
                out.assign(w);
                pos_ += w.size();
                return true;
            }
        }
        return fail("unexpected character");
    }

    std::string_view text_;
    size_t pos_ = 0;
    std::string error_;
};

} // namespace

const JsonMember* JsonNode::member(std::string_view key) const {
    for (const JsonMember& m : members) {
        if (m.key == key) {
            return &m;
        }
    }
    return nullptr;
}

bool scanJsonLayout(std::string_view text, JsonNode& root, std::string& error) {
    root = JsonNode{};
    Scanner scanner(text);
    return scanner.document(root, error);
}

std::string lineColumn(std::string_view text, size_t offset) {
    size_t line = 1;
    size_t column = 1;
    for (size_t i = 0; i < offset && i < text.size(); ++i) {
        if (text[i] == '\n') {
            ++line;
            column = 1;
        } else {
            ++column;
        }
    }
    return std::to_string(line) + ":" + std::to_string(column);
}

LineIndex::LineIndex(std::string_view text) : starts_{0}, size_(text.size()) {
    for (size_t i = text.find('\n'); i != std::string_view::npos; i = text.find('\n', i + 1)) {
        starts_.push_back(i + 1);
    }
}

std::string LineIndex::at(size_t offset) const {
    const size_t clamped = std::min(offset, size_);
    const auto after = std::upper_bound(starts_.begin(), starts_.end(), clamped);
    const size_t line = static_cast<size_t>(after - starts_.begin());
    return std::to_string(line) + ":" + std::to_string(clamped - *(after - 1) + 1);
}

} // namespace vesk::release
