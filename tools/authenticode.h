// What a Windows executable's Authenticode signature says about a packed
// updater: whether there is one, and whether the file is still what was
// signed: its digest is the signed content's, and the signature over that
// content verifies with the signer's key. Whom the signer is trusted by is
// another question (`--ca`); Windows and osslsigncode judge it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pack {

enum class Signature {
    None,          // not signed (or not a Windows executable)
    Intact,        // the file's digest is the signed one and the signature verifies
    Changed,       // bytes changed or added after signing
    TrailerAfter,  // a trailer was appended to a signed executable
    Unchecked,     // signed with a digest other than SHA-256
    Unverified,    // the digest matches, but no verifier could check the signature
    Forged,        // the digest matches, but the signature over it does not verify
    SignerExpired, // it verifies, but its signer's certificate expired and no timestamp dates it
    Distrusted,    // it verifies, but the system distrusts its signer explicitly
};

// Whether the signer's certificate chains to the CA asked about.
enum class Chain { NotAsked, Chains, DoesNotChain, Unknown, NoCertificate };

struct SignatureReport {
    Signature state = Signature::None;
    std::int64_t tableOffset = 0; // the certificate table, when signed
    std::int64_t tableSize = 0;
    Chain chain = Chain::NotAsked;
    std::int64_t expired = 0; // SignerExpired: when (seconds since 1970), 0 when not told
};

// The signature of the file at `path`; `trailerEnd` is the file offset where
// its updater trailer ends, or -1 when it has none. With `caFile` (PEM), also
// whether an intact signature's signer chains to it.
SignatureReport checkSignature(const std::string& path, std::int64_t trailerEnd,
                               const std::string& caFile = {});

// True when the file is a Windows executable that carries a signature.
bool carriesSignature(const std::string& path);

// Takes the signature out of an executable held in memory (its certificate
// table and the table's directory entry); false when it had none.
bool stripSignature(std::vector<std::uint8_t>& exe);

// A few words for the report's state (with its date), as `show` prints them.
std::string signatureText(const SignatureReport& report);
// "2021-01-01": the day a SignerExpired signer's certificate ended; empty
// when not told.
std::string expiryDate(const SignatureReport& report);
// The JSON value for `state`.
const char* signatureName(Signature state);
// A few words for `chain`, and its JSON value.
const char* chainText(Chain chain);
const char* chainName(Chain chain);

} // namespace pack
