// Console output the tests expect from the updater, shared by the in-process
// and the end-to-end tests.
#pragma once

#include <string>

namespace testing_support {

// A successful update through an "IAP" loader with an external image and the
// digest check, from the empty line after the connection to the end.
inline const std::string kIapUpdateTranscript = "\n"
                                                "Erasing external...\n"
                                                "Programming external...\n"
                                                "Verifing external...\n"
                                                "Eraseing internal...\n"
                                                "Programming internal...\n"
                                                "Verifing...\n"
                                                "Digest Check...\n"
                                                "Reset to AP...\n"
                                                "Operation Success.\n\n";

} // namespace testing_support
