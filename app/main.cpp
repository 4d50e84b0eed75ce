#include "app/console.h"

int main(int argc, char** argv) { return app::appMain(argc, argv); }
