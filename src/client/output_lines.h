#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace vesk::updater {

// The most of one line that is kept. Whatever a line carries beyond it is dropped up to its line feed, so
// output without line ends costs this much memory at most.
inline constexpr std::size_t kMaxOutputLineBytes = 64 * 1024;

// Collects the console updater's output as it arrives in arbitrary pieces and cuts it into lines.
// A line ends at a line feed; one carriage return right before it is dropped, any other carriage return
// (a lone one, or the first of two) stays in the line. NUL bytes are dropped. Of a line longer than
// kMaxOutputLineBytes only its first kMaxOutputLineBytes bytes are kept (and handed on when its line feed
// comes). Text after the last line feed waits for more output or for takeRest().
class OutputLineBuffer {
public:
    // Feeds a piece of output and calls onLine(std::string_view) for every line it completes, in order
    // (empty lines included). A view is valid only during its call: a line that lies whole in the piece is
    // handed on in place, without a copy.
    template <typename OnLine> void feed(std::string_view bytes, OnLine&& onLine) {
        using Target = std::remove_reference_t<OnLine>;
        feedTo(bytes, LineSink{&onLine, [](void* target, std::string_view line) {
                                   (*static_cast<Target*>(target))(line);
                               }});
    }

    // Appends a piece of output and returns the lines it completed, in order (empty lines included).
    std::vector<std::string> append(std::string_view bytes);

    // The unterminated rest as kept (a trailing carriage return included); clears it.
    std::string takeRest();

    bool hasRest() const { return !pending.empty(); }

private:
    struct LineSink {
        void* target;
        void (*call)(void* target, std::string_view line);
    };

    void feedTo(std::string_view bytes, LineSink sink);
    // Adds part of the current line to `pending`, without NUL bytes and up to the limit.
    void keep(std::string_view part);

    std::string pending;
    // The current line has lost bytes past the limit.
    bool cut = false;
};

} // namespace vesk::updater
