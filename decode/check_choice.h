#pragma once

#include "filetest/codecs/any_ogg_check.h"
#include "filetest/codecs/ogg_check.h"
#include "filetest/codecs/quick_check.h"
#include "filetest/rules/strict_check.h"
#include "scan/check_mode.h"

// The check class that serves `mode`, handed to `use` as its template argument:
// `use.template operator()<Check>()`. The in-process tester and the decoder helper both
// choose here, so a way of checking cannot decode one way in-process and another in a
// helper. Strictness chooses no class: it is set on the check (SetStrict), file by file.
template <typename Use>
decltype(auto) WithCheckOf(CheckMode mode, Use&& use) {
  if (mode.everyCodec && mode.quick) return use.template operator()<CAnyOggQuickCheck>();
  if (mode.everyCodec) return use.template operator()<CAnyOggCheck>();
  if (mode.quick) return use.template operator()<CStrictCheck<COggQuickCheck>>();
  return use.template operator()<CStrictCheck<COggCheck>>();
}
