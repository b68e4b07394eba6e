#pragma once

// Reads chosen members of a JSON object in one pass, without building the whole document: each wanted
// member is written out in the compact form the JSON library's dump() gives it, and everything else is only
// stepped over. The cost is linear in the text and the memory is the wanted members' compact texts, however
// the text is padded (a manifest of a million "{}" in an unwanted array costs nothing but the pass). Header
// only, so the native release tool, which compiles a fixed list of the program's sources, needs nothing new.

#include <nlohmann/json.hpp>

#include <cstddef>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace vesk::updater {

// Deeper nesting is refused: whatever later re-serialises a member recurses once per level, and real
// manifests nest a handful of levels.
constexpr int kMaxJsonNestingDepth = 512;

struct CapturedMember {
    std::string compact; // the member's value as dump() writes it (the last one when the name repeats)
    int count = 0;       // how many times the name occurs in the object
};

struct ScannedObject {
    bool isObject = false; // false when the text's top level is not an object
    std::map<std::string, CapturedMember> members;
};

struct WantedMember {
    std::string name;
    std::size_t maxCompactBytes; // a larger value throws
};

namespace manifest_document_detail {

using Json = nlohmann::ordered_json;

class MemberScanner {
public:
    MemberScanner(const std::vector<WantedMember>& wanted, ScannedObject& result)
        : wanted_(wanted), result_(result) {}

    // Values are spelled only when they are kept; the spelling is the library's own, so the text matches
    // what dump() of a parsed document gives.
    bool null() { return scalar([] { return std::string("null"); }); }
    bool boolean(bool value) { return scalar([value] { return std::string(value ? "true" : "false"); }); }
    bool number_integer(Json::number_integer_t value) { return scalar([value] { return std::to_string(value); }); }
    bool number_unsigned(Json::number_unsigned_t value) {
        return scalar([value] { return std::to_string(value); });
    }
    bool number_float(Json::number_float_t value, const std::string&) {
        return scalar([value] { return Json(value).dump(); });
    }
    bool string(std::string& value) { return scalar([&value] { return Json(std::move(value)).dump(); }); }
    bool binary(Json::binary_t&) { return scalar([] { return std::string("null"); }); }

    bool start_object(std::size_t) { return open('{'); }
    bool start_array(std::size_t) { return open('['); }
    bool end_object() { return close('}'); }
    bool end_array() { return close(']'); }

    bool key(std::string& name) {
        if (capturing()) {
            separate();
            *out_ += Json(name).dump();
            *out_ += ':';
            afterKey_ = true;
            checkSize();
        } else if (depth_ == 1) {
            // A member of the top-level object: capture its value when it is wanted.
            pending_ = nullptr;
            for (const WantedMember& member : wanted_) {
                if (member.name == name) {
                    pending_ = &member;
                }
            }
        }
        return true;
    }

    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& error) {
        throw std::runtime_error(error.what());
    }

private:
    bool capturing() const { return out_ != nullptr; }

    // Starts capturing when this value belongs to a wanted top-level member.
    void beginValue() {
        if (capturing()) {
            separate();
            afterKey_ = false;
            return;
        }
        if (depth_ == 1 && pending_ != nullptr) {
            CapturedMember& member = result_.members[pending_->name];
            ++member.count;
            member.compact.clear(); // a repeated name keeps its last value, as a parsed document would
            out_ = &member.compact;
            limit_ = pending_->maxCompactBytes;
            limitName_ = pending_->name;
            pending_ = nullptr;
            afterKey_ = false;
            captureDepth_ = depth_;
        }
    }

    void separate() {
        if (afterKey_) {
            afterKey_ = false;
            return;
        }
        if (!commas_.empty()) {
            if (commas_.back()) {
                *out_ += ',';
            }
            commas_.back() = true;
        }
    }

    void checkSize() const {
        if (out_->size() > limit_) {
            throw std::runtime_error("the \"" + limitName_ + "\" member is larger than " +
                                     std::to_string(limit_) + " bytes");
        }
    }

    template <typename Spell>
    bool scalar(const Spell& spell) {
        beginValue();
        if (capturing()) {
            *out_ += spell();
            checkSize();
            if (commas_.empty()) {
                out_ = nullptr; // a scalar member is complete at once
            }
        }
        return true;
    }

    bool open(char bracket) {
        if (depth_ == 0) {
            result_.isObject = bracket == '{';
        } else {
            beginValue();
        }
        if (++depth_ > kMaxJsonNestingDepth) {
            throw std::runtime_error("JSON nesting deeper than " + std::to_string(kMaxJsonNestingDepth) +
                                     " levels");
        }
        if (capturing()) {
            *out_ += bracket;
            commas_.push_back(false);
            checkSize();
        }
        return true;
    }

    bool close(char bracket) {
        --depth_;
        if (capturing()) {
            *out_ += bracket;
            commas_.pop_back();
            checkSize();
            if (commas_.empty() && depth_ == captureDepth_) {
                out_ = nullptr;
            }
        }
        return true;
    }

    const std::vector<WantedMember>& wanted_;
    ScannedObject& result_;
    int depth_ = 0;
    const WantedMember* pending_ = nullptr;
    std::string* out_ = nullptr;
    std::size_t limit_ = 0;
    std::string limitName_;
    int captureDepth_ = 0;
    bool afterKey_ = false;
    std::vector<bool> commas_; // per open container of the captured value: has it an element already
};

} // namespace manifest_document_detail

// Scans text (which must be one valid JSON value) and captures the wanted members of its top-level object.
// Throws std::exception when the text is not valid JSON, nests deeper than kMaxJsonNestingDepth or a wanted
// member is larger than its limit.
inline ScannedObject scanJsonObjectMembers(const std::string& text, const std::vector<WantedMember>& wanted) {
    ScannedObject result;
    manifest_document_detail::MemberScanner scanner(wanted, result);
    nlohmann::ordered_json::sax_parse(text, &scanner);
    return result;
}

} // namespace vesk::updater
