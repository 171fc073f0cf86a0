#include <cstdlib>
#include <string>
#include <vector>

#include "app/entry.h"

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv, argv + argc);
  std::exit(app::run(arguments));
}
