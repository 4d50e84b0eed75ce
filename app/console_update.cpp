// The connection and update sequences are not part of this build yet. The
// connection looks for the adapter, so that a missing adapter and a present
// one can be told apart, and then fails plainly instead of pretending that
// the adapter was read or updated.
#include "app/console.h"

#include "image/program.h"
#include "isp/isp.h"
#include "platform/platform.h"

namespace app {

int consoleConnect() {
    const image::ProgramData& p = image::program();
    const bool found =
        ISP_IsConnectedToDevice(static_cast<int>(p.apVendorId), static_cast<int>(p.apProductId),
                                static_cast<int>(p.apUsageSelector)) == 1 ||
        ISP_IsConnectedToDevice(static_cast<int>(p.iapVendorId), static_cast<int>(p.iapProductId),
                                static_cast<int>(p.iapUsageSelector)) == 1;
    ISP_CloseSerialPortConnect();
    platform::writeStandardError(
        found ? u"Brisklink adapter found; reading it is not available in this build.\n"
              : u"No Brisklink adapter found.\n");
    return 1;
}

int consoleUpdate() {
    platform::writeStandardError(u"Updating the adapter is not available in this build.\n");
    return 1;
}

} // namespace app
