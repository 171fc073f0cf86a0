#pragma once

// For the tests that drive the executable: the demo pack as the build lays it out.

#include <string>

#include "support/test_support.h"

namespace testing_support {

// Lays out the demo pack at `bundle` as the build does (Info.plist, the executable and the
// libraries it carries in Contents/Frameworks, a small hub cache) with `interpreter` linked in as
// its Python.
inline RunResult layOutDemoPack(const fs::path& bundle, const std::string& interpreter,
                                const std::string& version = "1.0") {
  RunOptions layout;
  layout.arguments = {QP_CMAKE_COMMAND,
                      "-DPACK=" + bundle.string(),
                      "-DEXECUTABLE=" + qualityPackExecutable().string(),
                      "-DVERSION=" + version,
                      "-DFORMAT=1",
                      "-DINTERPRETER=" + interpreter,
                      "-DTEMPLATE=" + std::string(QP_INFO_TEMPLATE),
                      "-P",
                      QP_MAKE_DEMO_PACK};
  return runProgram(layout);
}

}  // namespace testing_support
