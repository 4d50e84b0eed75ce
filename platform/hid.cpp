#include "platform/hid.h"

namespace platform::hid {

namespace {
Bus* current = nullptr;
}

Bus& bus() { return current ? *current : systemBus(); }

void setBus(Bus* replacement) { current = replacement; }

} // namespace platform::hid
