#include "app/entry.h"

#include <algorithm>

#include "check/report.h"
#include "notice/notice.h"
#include "pack/bundle_info.h"
#include "pack/pack_paths.h"
#include "platform/desktop.h"
#include "platform/process_signals.h"
#include "platform/standard_output.h"

namespace app {

bool hasOption(const std::vector<std::string>& options, std::string_view option) {
  return std::find(options.begin(), options.end(), option) != options.end();
}

Mode chooseMode(const std::vector<std::string>& arguments) {
  std::vector<std::string> options;
  if (!arguments.empty()) {
    options.assign(arguments.begin() + 1, arguments.end());
  }
  if (hasOption(options, "--version")) {
    return Mode::Version;
  }
  if (hasOption(options, "--check")) {
    return Mode::Check;
  }
  return Mode::Notice;
}

bool wantsExplanation(const std::vector<std::string>& arguments) {
  return std::find(arguments.begin() + (arguments.empty() ? 0 : 1), arguments.end(), "--explain") !=
         arguments.end();
}

int run(const std::vector<std::string>& arguments) {
  platform::prepareProcessSignals();
  const pack::Pack pack =
      pack::resolvePackPaths(platform::openMainBundle(), arguments, platform::currentDirectory());
  switch (chooseMode(arguments)) {
    case Mode::Version:
      platform::systemStandardOutput().write(pack::packVersion(*pack.mainBundle) + "\n");
      return 0;
    case Mode::Check:
      return check::runCheck(
          pack, platform::systemFiles(), platform::systemChildProcesses(),
          platform::systemStandardOutput(), {},
          wantsExplanation(arguments) ? &platform::systemStandardError() : nullptr);
    case Mode::Notice: {
      auto desktop = platform::openDesktop(pack::packName);
      notice::showInstalledNotice(desktop->application(), desktop->workspace(),
                                  pack::packVersion(*pack.mainBundle));
      return 0;
    }
  }
  return 0;
}

}  // namespace app
