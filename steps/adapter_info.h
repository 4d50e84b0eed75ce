// Reading what the adapter tells about itself: its information items and its
// version record.
#pragma once

#include "steps/run.h"

#include <cstdint>
#include <string>

namespace steps {

// One information item as text; false when the adapter did not deliver it.
bool readInformation(isp::Session& session, int kind, std::u16string& text);

// Reads the version record's length (false: the read failed; `length` then
// untouched).
bool readVersionLength(isp::Session& session, std::uint32_t address, std::uint32_t& length);

// Reads `length` (1 to 128) text bytes after the record's length word.
bool readVersionText(isp::Session& session, std::uint32_t address, std::uint32_t length,
                     std::u16string& text);

// What reading the adapter found out beside its values.
struct AdapterReadNotes {
    // The first item never came in its 20 attempts: a loader that takes no
    // commands.
    bool probeFailed = false;
    // The version record was read (or found erased): chipVersion is new.
    bool versionRead = false;
};

// Reads the adapter's information items and its version record, after the
// authentication, into `run.state`. Each item that fails is an ItemFailed
// note. False takes the failure exit.
bool readAdapterInformation(Run& run, FrontEnd& face, AdapterReadNotes& notes);

} // namespace steps
