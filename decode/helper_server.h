#pragma once

// The decoder helper process's side: decodes the files the scan asks for and answers
// step by step (decode/helper_protocol.h).

#include <string>

// Tests only: called with each request's path once the helper is confined and holds the
// file, just before it checks it.
using HelperProbe = void (*)(const std::string& path);

// When argv asks for the decoder helper, confines itself (platform/sandbox.h), serves
// requests until the scan closes the pipe and returns the exit status; otherwise returns
// -1. Every front end's main calls it first.
int MaybeRunDecoderHelper(int argc, char** argv, HelperProbe probe = nullptr);
