// The program's start, above both front ends: the console with switches,
// the window without, each on the session of the exported functions.
#include "app/console.h"
#include "dialog/window.h"
#include "isp/session.h"

int main(int argc, char** argv) {
    return app::appMain(argc, argv, isp::defaultSession(), dialog::runWindow);
}
