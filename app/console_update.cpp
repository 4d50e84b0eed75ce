// The connection and update sequences are not part of this build yet: they
// fail plainly instead of pretending that an adapter was reached.
#include "app/console.h"

#include "platform/platform.h"

namespace app {

int consoleConnect() {
    platform::writeStandardError(u"Connecting to the adapter is not available in this build.\n");
    return 1;
}

int consoleUpdate() {
    platform::writeStandardError(u"Updating the adapter is not available in this build.\n");
    return 1;
}

} // namespace app
