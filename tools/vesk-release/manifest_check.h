#pragma once

#include "signature_report.h"
#include "updater_reading.h"

#include <cstddef>
#include <string>
#include <vector>

namespace vesk::release {

// Every kind of finding the check reports; tests and scripts match on these rather than on the wording.
enum class Finding {
    NotJson, // the JSON library rejects the text
    RootNotObject,
    DuplicateKey,         // one object names a key twice; JSON readers disagree on which one counts
    SpaceBeforeColon,     // rule 1: something between a key's closing quote and its colon
    LineBreakAfterColon,  // rule 1: a line break between a colon and its value
    EscapedKey,           // rule 1: a key written with an escape is not found textually
    NameSpacing,          // rule 2: other than zero, one or two spaces before a "name" value
    KeyNotFirst,          // rule 3: the first textual occurrence of a key is not the member meant
    NestedInEntry,        // rule 4: an object or array inside a file entry
    BraceInEntryString,   // rule 4: "{" or "}" inside a string of a file entry
    BracketInFilesString, // rule 5: "[" or "]" inside a string of a files array
    FilesNotArray,        // rule 5: a "files" key whose value is not an array
    FilesChoice,          // rule 6: the updater would use another "files" array
    DuplicateName,        // rule 7: two entries with the same "name"
    EscapedName,          // rule 8: a name written with an escape is not found textually
    ManifestMissed,       // the updater does not find the "manifest" object
    ManifestMisread,      // the updater reads a different text as the manifest object
    VersionMisread,
    BuildMisread,
    EntryMissed,  // the updater does not find a file entry
    EntryMisread, // the updater reads a value of an entry differently
    BadValue,     // a value the updater needs is missing or unusable
    Advice,       // something worth knowing that does not stop the updater
    Signature,    // the signature check does not end as the publisher intends
};

struct Problem {
    Finding finding = Finding::Advice;
    bool blocking = true;              // false: a note; the updater still reads everything correctly
    int rule = 0;                      // the manifest writing rule broken (1..8), or 0
    size_t offset = std::string::npos; // where in the manifest text, when it points somewhere
    std::string message;
};

struct CheckedEntry {
    std::string name;  // from the JSON parse
    size_t offset = 0; // the entry's "{"
    UpdaterEntryReading reading;
};

struct ManifestCheckResult {
    bool parsed = false; // the JSON library accepted the text
    UpdaterManifestReading reading;
    std::vector<CheckedEntry> entries;
    SignatureReport signature;
    std::vector<Problem> problems;

    bool ok() const; // no blocking problem
    bool has(Finding finding) const;
};

struct ManifestCheckOptions {
    bool requireSignature = false; // anything but a passed signature is blocking
};

// Reads the manifest text with the JSON library and with the updater's own text search, and reports every
// difference between the two, every writing rule the text breaks, and the signature check's outcome.
ManifestCheckResult checkManifest(const std::string& text, const ManifestCheckOptions& options = {});

// The files the updater itself looks up in every manifest.
const std::vector<std::string>& updaterLookedUpFiles();

} // namespace vesk::release
