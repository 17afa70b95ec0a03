// harrowbit-cli: the scan of the window, for terminals and scripts.

#include <string>
#include <utility>
#include <vector>

#include "cli/check_run.h"
#include "cli/options.h"
#include "decode/helper_server.h"
#include "platform/program.h"

namespace {

// The options from the program's arguments as UTF-8, which Windows hands over as UTF-16.
int ParseCommandLine(int argc, char** argv, CliOptions& options) {
  std::vector<std::string> arguments = ProgramArguments(argc, argv);
  std::vector<char*> utf8Argv;
  for (std::string& argument : arguments) utf8Argv.push_back(argument.data());
  utf8Argv.push_back(nullptr);
  return ParseOptions(static_cast<int>(arguments.size()), utf8Argv.data(), options);
}

}  // namespace

int main(int argc, char** argv) {
  if (const int helperStatus = MaybeRunDecoderHelper(argc, argv); helperStatus >= 0) {
    return helperStatus;
  }
  CliOptions options;
  if (const int status = ParseCommandLine(argc, argv, options); status >= 0) return status;
  CCheckRun run(std::move(options));
  if (const std::optional<int> status = run.Build()) return *status;
  return run.Run();
}
