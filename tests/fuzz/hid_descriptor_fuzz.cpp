// The report-descriptor reader on arbitrary bytes: what a device (or a
// malicious one) gives the hidraw backend.
#include "platform/linux/hid_descriptor.h"
#include "tests/fuzz/memory_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const platform::hid::ReportDescriptor d = platform::hid::parseReportDescriptor(data, size);
    // A fault leaves no collections; a clean read at least one, with the
    // lengths of reports that fit their 16-bit fields.
    fuzz::require(d.error.empty() != d.collections.empty());
    for (const auto& c : d.collections)
        fuzz::require(c.inputReportLength != 1 && c.outputReportLength != 1);
    return 0;
}
