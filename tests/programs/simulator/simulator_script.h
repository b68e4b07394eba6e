#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vesk::simulator {

// One step of a simulator script. Scripts are text, one step per line:
//   # comment            (blank lines are ignored too)
//   line <text>          write text followed by CR LF
//   write <text>         write text exactly, with escapes \r \n \t \0 \\ and \xHH, nothing appended
//   chunk <n> [sync]     split later writes into pieces of at most n bytes (0: whole); with "sync", wait
//   after
//                        each piece until the reader has taken everything (forces a read boundary there)
//   sync                 wait until the reader has taken everything written so far
//   stream out|err       where later writes go (both are the same pipe when started by the client)
//   sleep <ms>
//   bulk <bytes> [text]  write that many bytes in large writes and record how long the writing took as
//                        bulk_ms: the text (escapes as in "write") repeated, or filler lines with no phrase
//                        the client knows
//   hang                 never exit
//   exit <code>          exit now with the code (decimal or 0x hex); a script without it exits with 0
struct Step {
    enum class Kind { Write, Chunk, Sync, Stream, Sleep, Bulk, Hang, Exit };
    Kind kind = Kind::Write;
    std::string bytes;        // Write; Bulk: the repeated text (empty: filler lines)
    std::uint64_t number = 0; // Chunk size, Sleep ms, Bulk bytes, Exit code, Stream (0 out, 1 err)
    bool syncEachChunk = false;
};

struct Script {
    std::vector<Step> steps;
    std::string error; // non-empty: the line that could not be read
};

Script parseScript(const std::string& text);

// Resolves the escapes of a "write" argument.
std::string unescape(const std::string& text);

} // namespace vesk::simulator
