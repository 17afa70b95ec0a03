#pragma once

#include <string>
#include <string_view>

// What vorbis_version_string() says, e.g. "Xiph.Org libVorbis 1.3.7".
std::string VorbisLibraryVersion();
// True for the libvorbis versions whose read loop, packet fetch, block accounting and
// packet parsing the quick check copies and was compared against.
bool IsVerifiedVorbisVersion(std::string_view versionString);
// IsVerifiedVorbisVersion for the libvorbis this process runs with.
bool QuickCheckSupported();
