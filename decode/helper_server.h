#pragma once

// The decoder helper process's side: decodes the files the scan asks for and answers
// step by step (decode/helper_protocol.h).

// When argv asks for the decoder helper, serves requests until the scan closes the pipe
// and returns the exit status; otherwise returns -1. Every front end's main calls it first.
int MaybeRunDecoderHelper(int argc, char** argv);
