// harrowbit-decoder: the window's decoder helper process. It carries no Qt, so it starts
// at once and gives the decoder a process of its own to crash in.

#include "decode/helper_server.h"

int main(int argc, char** argv) {
  const int status = MaybeRunDecoderHelper(argc, argv);
  return status >= 0 ? status : 2;
}
