#include "app/console.h"
#include "dialog/window.h"

int main(int argc, char** argv) { return app::appMain(argc, argv, dialog::runWindow); }
