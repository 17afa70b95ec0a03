#include <cstdio>
#include <cstring>

#include "app/scan_app.h"
#include "decode/helper_server.h"

namespace {

const char kUsage[] =
    "Usage: harrowbit [PATH]\n"
    "Open the Harrowbit window, which decodes Ogg Vorbis files completely and reports,\n"
    "file by file, \"OK\" or where and how decoding failed.\n"
    "\n"
    "Everything after the program's name is one PATH, double quotes removed: a folder is\n"
    "checked at once as the window opens, and so is a single file whose name ends in\n"
    "\".ogg\". Anything else opens the window idle, with a line in the report that says\n"
    "what was given and why it was not checked.\n"
    "\n"
    "  --help     show this help and exit (only as the whole command line)\n"
    "  --version  show the version and exit (only as the whole command line)\n";

}  // namespace

int main(int argc, char** argv) {
  // Without harrowbit-decoder at hand, the program is its own decoder helper.
  if (const int helperStatus = MaybeRunDecoderHelper(argc, argv); helperStatus >= 0) {
    return helperStatus;
  }
  // Answered before Qt starts, so that they work where there is no display.
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("harrowbit %s\n", HARROWBIT_VERSION);
    return 0;
  }
  CScanApp app(argc, argv);
  app.InitInstance();
  return 0;
}
