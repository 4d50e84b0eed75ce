// What a Windows executable's Authenticode signature says about a packed
// updater: whether there is one, and whether the file is still what was
// signed (the certificate's trust is Windows' and osslsigncode's to judge).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pack {

enum class Signature {
    None,         // not signed (or not a Windows executable)
    Intact,       // the file's digest is the signed one
    Changed,      // bytes changed or added after signing
    TrailerAfter, // a trailer was appended to a signed executable
    Unchecked,    // signed with a digest other than SHA-256
};

struct SignatureReport {
    Signature state = Signature::None;
    std::int64_t tableOffset = 0; // the certificate table, when signed
    std::int64_t tableSize = 0;
};

// The signature of the file at `path`; `trailerEnd` is the file offset where
// its updater trailer ends, or -1 when it has none.
SignatureReport checkSignature(const std::string& path, std::int64_t trailerEnd);

// True when the file is a Windows executable that carries a signature.
bool carriesSignature(const std::string& path);

// Takes the signature out of an executable held in memory (its certificate
// table and the table's directory entry); false when it had none.
bool stripSignature(std::vector<std::uint8_t>& exe);

// A few words for `state`, as `show` prints them.
const char* signatureText(Signature state);
// The JSON value for `state`.
const char* signatureName(Signature state);

} // namespace pack
